#include "common/TestCertificate.h"

#include <memory>
#include <stdexcept>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace lumivex::test_peers {

namespace {

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using PKeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;

void check(bool ok, const char* step) {
    if (!ok) throw std::runtime_error(std::string("test certificate: ") + step + " failed");
}

std::string bioText(BIO* bio) {
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(size));
}

void addExtension(X509* certificate, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    ExtPtr extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
    check(extension != nullptr, "extension");
    check(X509_add_ext(certificate, extension.get(), -1) == 1, "add extension");
}

}  // namespace

TestCertificate generateSelfSignedCertificate(const std::string& commonName) {
    PKeyPtr key(EVP_RSA_gen(2048));
    check(key != nullptr, "RSA key generation");

    X509Ptr certificate(X509_new());
    check(certificate != nullptr, "X509_new");
    check(X509_set_version(certificate.get(), 2) == 1, "version");

    unsigned char serial[16];
    check(RAND_bytes(serial, sizeof serial) == 1, "serial");
    serial[0] &= 0x7f;
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    check(number != nullptr, "serial number");
    ASN1_INTEGER* asn1Serial = BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate.get()));
    BN_free(number);
    check(asn1Serial != nullptr, "serial number");

    check(X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600) != nullptr, "not before");
    check(X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 30L * 24 * 3600) != nullptr, "not after");
    check(X509_set_pubkey(certificate.get(), key.get()) == 1, "public key");

    X509_NAME* name = X509_get_subject_name(certificate.get());
    check(X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                     reinterpret_cast<const unsigned char*>("Lumivex test peer"), -1, -1, 0) == 1,
          "organisation");
    check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                     reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0) == 1,
          "common name");
    check(X509_set_issuer_name(certificate.get(), name) == 1, "issuer");

    addExtension(certificate.get(), NID_basic_constraints, "critical,CA:FALSE");
    addExtension(certificate.get(), NID_subject_alt_name, "DNS:" + commonName + ",IP:127.0.0.1");

    check(X509_sign(certificate.get(), key.get(), EVP_sha256()) > 0, "signing");

    TestCertificate result;
    BioPtr certificateBio(BIO_new(BIO_s_mem()));
    check(certificateBio && PEM_write_bio_X509(certificateBio.get(), certificate.get()) == 1, "certificate PEM");
    result.certificatePem = bioText(certificateBio.get());
    BioPtr keyBio(BIO_new(BIO_s_mem()));
    check(keyBio && PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "key PEM");
    result.privateKeyPem = bioText(keyBio.get());
    return result;
}

const TestCertificate& sharedTestCertificate() {
    static const TestCertificate certificate = generateSelfSignedCertificate();
    return certificate;
}

}  // namespace lumivex::test_peers
