#pragma once
// The HTTP and HTTPS session set-up shared by the back-end request layers.

namespace Poco::Net {
class HTTPSessionFactory;
}

namespace trevask::measurement_library {

// Registers "http" and "https" with the factory. HTTPS accepts whatever
// certificate the server presents (self-signed test and device servers
// included), and its context also becomes the process's default client
// context. With `requireTls1`, HTTPS refuses protocols older than TLS 1.0.
void registerHttpProtocols(Poco::Net::HTTPSessionFactory& factory, bool requireTls1);

// Undoes registerHttpProtocols; never throws.
void unregisterHttpProtocols(Poco::Net::HTTPSessionFactory& factory);

}  // namespace trevask::measurement_library
