#include "service/HttpSessions.h"

#include <Poco/Net/AcceptCertificateHandler.h>
#include <Poco/Net/Context.h>
#include <Poco/Net/HTTPSSessionInstantiator.h>
#include <Poco/Net/HTTPSessionFactory.h>
#include <Poco/Net/HTTPSessionInstantiator.h>
#include <Poco/Net/NetSSL.h>
#include <Poco/Net/SSLManager.h>

namespace trevask::measurement_library {

void registerHttpProtocols(Poco::Net::HTTPSessionFactory& factory, bool requireTls1) {
    Poco::Net::initializeSSL();
    Poco::SharedPtr<Poco::Net::InvalidCertificateHandler> certificateHandler =
        new Poco::Net::AcceptCertificateHandler(false);
    Poco::Net::Context::Ptr context =
        new Poco::Net::Context(Poco::Net::Context::TLS_CLIENT_USE, "", Poco::Net::Context::VERIFY_NONE, 9, false,
                               "ALL:!ADH:!LOW:!EXP:!MD5:@STRENGTH");
    if (requireTls1) context->requireMinimumProtocol(Poco::Net::Context::PROTO_TLSV1);
    Poco::Net::SSLManager::instance().initializeClient(nullptr, certificateHandler, context);
    factory.registerProtocol("https", new Poco::Net::HTTPSSessionInstantiator(context));
    factory.registerProtocol("http", new Poco::Net::HTTPSessionInstantiator());
}

void unregisterHttpProtocols(Poco::Net::HTTPSessionFactory& factory) {
    try {
        factory.unregisterProtocol("https");
        factory.unregisterProtocol("http");
    } catch (...) {
    }
}

}  // namespace trevask::measurement_library
