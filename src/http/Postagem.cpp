#include "Postagem.h"

#include "Plataforma.h"
#include "untFuncao.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace componentes {

namespace {

struct TColeta {
    TRespostaHttp* r;
    std::string excecoes;  // the profile's cert_override.txt
    std::string host;
    int porta = 0;
};

size_t AoCabecalho(char* dados, size_t tam, size_t n, void* p) {
    auto& r = *static_cast<TRespostaHttp*>(p);
    const size_t total = tam * n;
    std::string linha(dados, total);
    while (!linha.empty() && (linha.back() == '\r' || linha.back() == '\n')) linha.pop_back();
    if (linha.rfind("HTTP/", 0) == 0) {
        r.cabecalhos.clear();  // a new answer after an interim 1xx
        return total;
    }
    const auto dois = linha.find(':');
    if (dois == std::string::npos) return total;
    std::string nome = linha.substr(0, dois);
    for (char& c : nome) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string valor = linha.substr(dois + 1);
    while (!valor.empty() && valor.front() == ' ') valor.erase(0, 1);
    r.cabecalhos.emplace_back(nome, valor);
    return total;
}

size_t AoCorpo(char* dados, size_t tam, size_t n, void* p) {
    auto& r = *static_cast<TRespostaHttp*>(p);
    // An answer to a form is short: anything beyond 1 MiB is not one.
    if (r.corpo.size() + tam * n > 1024 * 1024) return 0;
    r.corpo.append(dados, tam * n);
    return tam * n;
}

std::string Impressao(X509* certificado) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!certificado || X509_digest(certificado, EVP_sha256(), md, &n) != 1) return "";
    std::string r;
    char par[4];
    for (unsigned int i = 0; i < n; ++i) {
        std::snprintf(par, sizeof par, i == 0 ? "%02X" : ":%02X", md[i]);
        r += par;
    }
    return r;
}

bool NomeConfere(X509* certificado, const std::string& host) {
    if (X509_check_ip_asc(certificado, host.c_str(), 0) == 1) return true;
    return X509_check_host(certificado, host.c_str(), host.size(), 0, nullptr) == 1;
}

// As the page checks it: a certificate the CAs vouch for, for this host; or,
// when they do not, one the profile's exceptions accept for this very host
// and port by its fingerprint.
int Verifica(X509_STORE_CTX* ctx, void* arg) {
    const auto& c = *static_cast<const TColeta*>(arg);
    X509* folha = X509_STORE_CTX_get0_cert(ctx);
    if (X509_verify_cert(ctx) == 1 && folha && NomeConfere(folha, c.host)) return 1;
    if (folha && !c.excecoes.empty() && CertificadoAceito(c.excecoes, c.host, c.porta, Impressao(folha))) {
        X509_STORE_CTX_set_error(ctx, X509_V_OK);
        return 1;
    }
    if (X509_STORE_CTX_get_error(ctx) == X509_V_OK) X509_STORE_CTX_set_error(ctx, X509_V_ERR_HOSTNAME_MISMATCH);
    return 0;
}

CURLcode AoContextoSsl(CURL*, void* ctx, void* arg) {
    SSL_CTX_set_cert_verify_callback(static_cast<SSL_CTX*>(ctx), Verifica, arg);
    return CURLE_OK;
}

// The scheme, host and port of an address ("https://h:8443/x").
bool PartesDoEndereco(const std::string& endereco, std::string& esquema, std::string& host, int& porta) {
    const auto sep = endereco.find("://");
    if (sep == std::string::npos) return false;
    esquema = MinusculasAnsi(endereco.substr(0, sep));
    std::string resto = endereco.substr(sep + 3);
    resto = resto.substr(0, resto.find_first_of("/?#"));
    if (const auto arroba = resto.rfind('@'); arroba != std::string::npos) resto = resto.substr(arroba + 1);
    porta = esquema == "https" ? 443 : 80;
    if (!resto.empty() && resto[0] == '[') {
        const auto fecha = resto.find(']');
        if (fecha == std::string::npos) return false;
        host = resto.substr(1, fecha - 1);
        resto = resto.substr(fecha + 1);
        if (!resto.empty() && resto[0] == ':') porta = std::atoi(resto.c_str() + 1);
    } else {
        const auto dois = resto.find(':');
        host = resto.substr(0, dois);
        if (dois != std::string::npos) porta = std::atoi(resto.c_str() + dois + 1);
    }
    return !host.empty() && (esquema == "http" || esquema == "https");
}

}  // namespace

std::string CodificaFormulario(const TCampos& campos) {
    std::string r;
    for (const auto& [nome, valor] : campos) {
        if (!r.empty()) r += '&';
        // The header says windows-1252: the exchange files' bytes go as they are.
        r += CodificaBytesUrl(nome) + "=" + CodificaBytesUrl(valor);
    }
    return r;
}

TRespostaHttp PostaFormulario(const std::string& endereco, const TCampos& campos, int limiteMs,
                              const std::string& diretorioPerfil) {
    TRespostaHttp r;
    std::string esquema;
    TColeta coleta{&r, "", "", 0};
    // No TLS check is ever switched off: without OpenSSL there is no post.
    if (curl_version_info(CURLVERSION_NOW)->ssl_version == nullptr ||
        std::string(curl_version_info(CURLVERSION_NOW)->ssl_version).find("OpenSSL") == std::string::npos) {
        r.erro = "libcurl is not built with OpenSSL";
        return r;
    }
    if (!PartesDoEndereco(endereco, esquema, coleta.host, coleta.porta)) {
        r.erro = "not an http:// or https:// address with a host: " + endereco;
        return r;
    }
    static const CURLcode iniciado = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (iniciado != CURLE_OK) {
        r.erro = std::string("curl_global_init: ") + curl_easy_strerror(iniciado);
        return r;
    }
    std::unique_ptr<CURL, void (*)(CURL*)> h(curl_easy_init(), curl_easy_cleanup);
    if (!h) {
        r.erro = "curl_easy_init failed";
        return r;
    }
    if (esquema == "https" && !diretorioPerfil.empty())
        (void)plataforma::LeArquivo(diretorioPerfil + "/cert_override.txt", coleta.excecoes, true, 1024 * 1024);
    const std::string corpo = CodificaFormulario(campos);
    curl_slist* cabecalhos = curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded; charset=windows-1252");
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> libera(cabecalhos, curl_slist_free_all);
    char erro[CURL_ERROR_SIZE] = {};
    CURL* c = h.get();
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, erro);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_URL, endereco.c_str());
    curl_easy_setopt(c, CURLOPT_POST, 1L);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, corpo.c_str());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(corpo.size()));
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, cabecalhos);
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_PROXY, "");
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(limiteMs));
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limiteMs));
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, AoCabecalho);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &r);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, AoCorpo);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &r);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_CAPATH, "/etc/ssl/certs");
    if (const char* extra = std::getenv("TEF_CA_BUNDLE"); extra && *extra) curl_easy_setopt(c, CURLOPT_CAINFO, extra);
    // The host's name is checked in Verifica, beside the profile's exceptions.
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, AoContextoSsl);
    curl_easy_setopt(c, CURLOPT_SSL_CTX_DATA, &coleta);
    const CURLcode rc = curl_easy_perform(c);
    if (rc != CURLE_OK) {
        r.respondeu = false;
        r.erro = erro[0] ? erro : curl_easy_strerror(rc);
        return r;
    }
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
    r.respondeu = true;
    return r;
}

}  // namespace componentes
