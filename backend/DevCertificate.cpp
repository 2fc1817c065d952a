#include "DevCertificate.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace {

template <auto Free>
struct Deleter {
    template <typename T>
    void operator()(T *p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509_free>>;

void require(bool ok, const char *what)
{
    if (!ok)
        throw std::runtime_error(std::string("certificate generation: ") + what);
}

KeyPtr newKey()
{
    KeyPtr key(EVP_EC_gen("P-256"));
    require(key != nullptr, "key");
    return key;
}

void addExtension(X509 *cert, X509 *issuer, int nid, const char *value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    require(ext != nullptr, "extension");
    const int added = X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
    require(added == 1, "extension");
}

CertPtr makeCert(EVP_PKEY *key, const char *commonName, X509 *issuer, EVP_PKEY *issuerKey, bool authority)
{
    CertPtr cert(X509_new());
    require(cert != nullptr, "certificate");
    X509_set_version(cert.get(), 2);
    unsigned char serial[16];
    require(RAND_bytes(serial, sizeof serial) == 1, "serial");
    serial[0] &= 0x7f;  // keep it positive
    BIGNUM *bn = BN_bin2bn(serial, sizeof serial, nullptr);
    require(bn && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get())), "serial");
    BN_free(bn);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
    X509_NAME *name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char *>("Vellora development"),
                               -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char *>(commonName), -1,
                               -1, 0);
    X509 *signer = issuer ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    X509_set_pubkey(cert.get(), key);
    addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    if (authority) {
        addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE,pathlen:0");
        addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
        addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature");
        addExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
        addExtension(cert.get(), signer, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
    }
    require(X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) > 0, "signature");
    return cert;
}

void writePem(const std::string &path, X509 *cert, EVP_PKEY *key)
{
    std::FILE *file = std::fopen(path.c_str(), "w");
    require(file != nullptr, "cannot write a file");
    if (key)
        ::chmod(path.c_str(), 0600);
    const bool ok = key ? PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) == 1
                        : PEM_write_X509(file, cert) == 1;
    const bool closed = std::fclose(file) == 0;
    require(ok && closed, "cannot write a file");
}

} // namespace

DevCertificateFiles writeDevCertificates(const std::string &directory)
{
    const KeyPtr caKey = newKey();
    const CertPtr ca = makeCert(caKey.get(), "Vellora development CA", nullptr, nullptr, true);
    const KeyPtr serverKey = newKey();
    const CertPtr server = makeCert(serverKey.get(), "127.0.0.1", ca.get(), caKey.get(), false);

    DevCertificateFiles files{directory + "/ca.pem", directory + "/server.pem", directory + "/server-key.pem"};
    writePem(files.caFile, ca.get(), nullptr);
    writePem(files.certFile, server.get(), nullptr);
    writePem(files.keyFile, nullptr, serverKey.get());
    return files;
}
