#include "apps/host/sinks/mqtt/mqtt_tls_files.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <stdexcept>

namespace kavren::host {

namespace {

// OpenSSL's reason for the last failure, its queue left empty.
std::string openssl_reason() {
    const unsigned long code = ERR_peek_last_error();
    const char* reason = ERR_reason_error_string(code);
    ERR_clear_error();
    return reason != nullptr ? reason : "not a PEM file";
}

// Never asks for a pass phrase.
int no_pass_phrase(char*, int, int, void*) { return -1; }

template <typename T, void (*Free)(T*)>
struct Freed {
    void operator()(T* p) const { Free(p); }
};
using Bio = std::unique_ptr<BIO, Freed<BIO, BIO_free_all>>;
using Certificate = std::unique_ptr<X509, Freed<X509, X509_free>>;
using Key = std::unique_ptr<EVP_PKEY, Freed<EVP_PKEY, EVP_PKEY_free>>;
using Context = std::unique_ptr<SSL_CTX, Freed<SSL_CTX, SSL_CTX_free>>;

[[noreturn]] void refuse(const std::string& what, const std::string& path, const char* holds) {
    throw std::runtime_error(what + " " + path + " holds no " + holds +
                             " OpenSSL can read: " + openssl_reason());
}

Certificate load_certificate(const std::string& path) {
    Bio file(BIO_new_file(path.c_str(), "r"));
    Certificate certificate(file ? PEM_read_bio_X509(file.get(), nullptr, no_pass_phrase, nullptr)
                                 : nullptr);
    if (!certificate) refuse("client certificate", path, "certificate");
    return certificate;
}

Key load_key(const std::string& path) {
    Bio file(BIO_new_file(path.c_str(), "r"));
    Key key(file ? PEM_read_bio_PrivateKey(file.get(), nullptr, no_pass_phrase, nullptr) : nullptr);
    if (!key) refuse("client key", path, "unencrypted private key");
    return key;
}

}  // namespace

void check_tls_files(const std::string& ca_file, const std::string& cert_file,
                     const std::string& key_file) {
    ERR_clear_error();
    if (!ca_file.empty()) {
        Context context(SSL_CTX_new(TLS_client_method()));
        if (!context) throw std::runtime_error("cannot check the TLS files: " + openssl_reason());
        if (SSL_CTX_load_verify_locations(context.get(), ca_file.c_str(), nullptr) != 1)
            refuse("CA file", ca_file, "certificate");
    }
    if (cert_file.empty() || key_file.empty()) return;
    const Certificate certificate = load_certificate(cert_file);
    const Key key = load_key(key_file);
    if (X509_check_private_key(certificate.get(), key.get()) != 1) {
        ERR_clear_error();
        throw std::runtime_error("client key " + key_file +
                                 " is not the key of the client certificate " + cert_file);
    }
}

}  // namespace kavren::host
