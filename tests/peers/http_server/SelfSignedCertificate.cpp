#include "SelfSignedCertificate.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

namespace lumivex::test {

namespace {

[[noreturn]] void fail(const char* what) { throw std::runtime_error(std::string("certificate generation: ") + what); }

template <typename T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, std::integral_constant<decltype(Free), Free>>;

std::string drain(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(size));
}

void addExtension(X509* cert, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    Owned<X509_EXTENSION, X509_EXTENSION_free> ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    if (!ext || !X509_add_ext(cert, ext.get(), -1)) fail("extension");
}

}  // namespace

PemCredentials generateSelfSignedCertificate(const std::string& commonName) {
    Owned<EVP_PKEY, EVP_PKEY_free> key(EVP_EC_gen("P-256"));
    if (!key) fail("key");

    Owned<X509, X509_free> cert(X509_new());
    if (!cert) fail("certificate");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 7L * 24 * 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    addExtension(cert.get(), NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1,IP:::1");
    addExtension(cert.get(), NID_basic_constraints, "critical,CA:FALSE");
    if (!X509_sign(cert.get(), key.get(), EVP_sha256())) fail("signature");

    Owned<BIO, BIO_free_all> certBio(BIO_new(BIO_s_mem()));
    Owned<BIO, BIO_free_all> keyBio(BIO_new(BIO_s_mem()));
    if (!certBio || !keyBio || !PEM_write_bio_X509(certBio.get(), cert.get()) ||
        !PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr)) {
        fail("PEM");
    }
    return PemCredentials{drain(certBio.get()), drain(keyBio.get())};
}

const PemCredentials& sharedTestCredentials() {
    static const PemCredentials credentials = generateSelfSignedCertificate();
    return credentials;
}

}  // namespace lumivex::test
