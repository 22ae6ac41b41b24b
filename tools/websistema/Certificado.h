// The HTTPS identity of tef-websistema: a certificate and key from PEM files,
// or a self-signed one for localhost made in memory at start, so a fresh
// checkout needs no key material on disk.
#pragma once

#include <memory>
#include <string>

typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;
typedef struct ssl_ctx_st SSL_CTX;

namespace websistema {

class TCertificado {
public:
    // EC P-256, subjectAltName DNS:localhost and IP:127.0.0.1, one year.
    // Raises std::runtime_error.
    static TCertificado Autoassinado();
    // The first certificate of the file is the server's; the rest is its
    // chain. Raises std::runtime_error, also when the key does not match.
    static TCertificado DeArquivos(const std::string& certificado, const std::string& chave);

    X509* Certificado() const { return cert_.get(); }
    EVP_PKEY* Chave() const { return chave_.get(); }
    // SHA-256 of the DER certificate as "AB:CD:...".
    std::string ImpressaoSha256() const;
    // Puts certificate, chain and key into a server context.
    bool Instala(SSL_CTX* ctx) const;

private:
    struct TLiberaX509 {
        void operator()(X509* x) const;
    };
    struct TLiberaChave {
        void operator()(EVP_PKEY* k) const;
    };
    std::unique_ptr<X509, TLiberaX509> cert_;
    std::unique_ptr<EVP_PKEY, TLiberaChave> chave_;
    std::string arquivoCert_;  // chain source; empty for the generated one
};

}  // namespace websistema
