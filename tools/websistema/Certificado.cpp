#include "Certificado.h"

#include "Websistema.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace websistema {

namespace {

[[noreturn]] void Falha(const std::string& o_que) {
    std::string detalhe;
    if (const auto e = ERR_get_error()) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        detalhe = std::string(": ") + buf;
    }
    ERR_clear_error();
    throw std::runtime_error(o_que + detalhe);
}

void AcrescentaExtensao(X509* cert, int nid, const char* valor) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, valor);
    if (ext == nullptr) Falha(std::string("extens\xC3\xA3o ") + valor);
    const int ok = X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
    if (ok != 1) Falha(std::string("extens\xC3\xA3o ") + valor);
}

}  // namespace

void TCertificado::TLiberaX509::operator()(X509* x) const { X509_free(x); }
void TCertificado::TLiberaChave::operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }

TCertificado TCertificado::Autoassinado() {
    TCertificado c;
    c.chave_.reset(EVP_EC_gen("P-256"));
    if (!c.chave_) Falha("gerando a chave EC");
    c.cert_.reset(X509_new());
    X509* x = c.cert_.get();
    if (x == nullptr || X509_set_version(x, 2) != 1) Falha("criando o certificado");

    // A random serial: browsers remember certificates by issuer and serial,
    // and every start makes a new one.
    BIGNUM* serial = BN_new();
    const bool serialOk = serial != nullptr && BN_rand(serial, 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
                          BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(x)) != nullptr;
    BN_free(serial);
    if (!serialOk) Falha("n\xC3\xBAmero de s\xC3\xA9rie");

    // An hour back tolerates a client clock slightly behind.
    if (X509_gmtime_adj(X509_getm_notBefore(x), -3600) == nullptr ||
        X509_gmtime_adj(X509_getm_notAfter(x), 365L * 24 * 3600) == nullptr)
        Falha("validade");

    X509_NAME* nome = X509_get_subject_name(x);
    const auto cn = reinterpret_cast<const unsigned char*>("localhost");
    const auto o = reinterpret_cast<const unsigned char*>("tef-websistema");
    if (X509_NAME_add_entry_by_txt(nome, "O", MBSTRING_ASC, o, -1, -1, 0) != 1 ||
        X509_NAME_add_entry_by_txt(nome, "CN", MBSTRING_ASC, cn, -1, -1, 0) != 1 ||
        X509_set_issuer_name(x, nome) != 1 || X509_set_pubkey(x, c.chave_.get()) != 1)
        Falha("nome do certificado");

    AcrescentaExtensao(x, NID_basic_constraints, "critical,CA:FALSE");
    AcrescentaExtensao(x, NID_key_usage, "critical,digitalSignature");
    AcrescentaExtensao(x, NID_ext_key_usage, "serverAuth");
    AcrescentaExtensao(x, NID_subject_key_identifier, "hash");
    AcrescentaExtensao(x, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");

    if (X509_sign(x, c.chave_.get(), EVP_sha256()) == 0) Falha("assinando o certificado");
    return c;
}

TCertificado TCertificado::DeArquivos(const std::string& certificado, const std::string& chave) {
    TCertificado c;
    c.arquivoCert_ = certificado;
    {
        BIO* bio = BIO_new_file(certificado.c_str(), "r");
        if (bio == nullptr) Falha("abrindo " + certificado);
        c.cert_.reset(PEM_read_bio_X509(bio, nullptr, nullptr, nullptr));
        BIO_free(bio);
        if (!c.cert_) Falha("lendo o certificado " + certificado);
    }
    {
        BIO* bio = BIO_new_file(chave.c_str(), "r");
        if (bio == nullptr) Falha("abrindo " + chave);
        c.chave_.reset(PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr));
        BIO_free(bio);
        if (!c.chave_) Falha("lendo a chave " + chave);
    }
    if (X509_check_private_key(c.cert_.get(), c.chave_.get()) != 1)
        Falha("a chave " + chave + " n\xC3\xA3o corresponde ao certificado " + certificado);
    return c;
}

std::string TCertificado::ImpressaoSha256() const {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (X509_digest(cert_.get(), EVP_sha256(), md, &n) != 1) Falha("impress\xC3\xA3o digital");
    return HexComDoisPontos(md, n);
}

bool TCertificado::Instala(SSL_CTX* ctx) const {
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_SESSION_RESUMPTION_ON_RENEGOTIATION);
    const bool certOk = arquivoCert_.empty() ? SSL_CTX_use_certificate(ctx, cert_.get()) == 1
                                             : SSL_CTX_use_certificate_chain_file(ctx, arquivoCert_.c_str()) == 1;
    return certOk && SSL_CTX_use_PrivateKey(ctx, chave_.get()) == 1 && SSL_CTX_check_private_key(ctx) == 1;
}

}  // namespace websistema
