#include "ClienteHttp.h"

#include <curl/curl.h>

#include <cctype>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string_view>

namespace componentes {

namespace {

// The web system answers these as it always has; keep them byte for byte.
constexpr const char* AgenteUsuario = "Mozilla/3.0 (compatible; Indy Library)";
constexpr const char* CabecalhoAccept = "Accept: text/html, */*";
constexpr const char* CabecalhoContentType = "Content-Type: text/html";

void IniciaCurl() {
    // curl_global_init is not thread-safe; a function-local static is.
    static const CURLcode rc = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (rc != CURLE_OK) throw std::runtime_error(std::string("curl_global_init: ") + curl_easy_strerror(rc));
}

template <typename T>
void Define(CURL* h, CURLoption opcao, T valor) {
    const CURLcode rc = curl_easy_setopt(h, opcao, valor);
    if (rc != CURLE_OK) throw std::runtime_error(std::string("curl_easy_setopt: ") + curl_easy_strerror(rc));
}

bool ComecaCom(std::string_view linha, std::string_view prefixo) {
    if (linha.size() < prefixo.size()) return false;
    for (std::size_t i = 0; i < prefixo.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(linha[i])) != prefixo[i]) return false;
    return true;
}

std::string_view SemBrancos(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

// Digits only; anything else (or an overflow) is an unknown size.
std::int64_t LeTamanho(std::string_view s) {
    s = SemBrancos(s);
    if (s.empty()) return 0;
    std::int64_t n = 0;
    for (const char c : s) {
        if (c < '0' || c > '9' || n > (INT64_MAX - 9) / 10) return 0;
        n = n * 10 + (c - '0');
    }
    return n;
}

// State of one Get, seen by the libcurl callbacks.
struct TTransferencia {
    TTransferencia(const std::function<bool(const char*, std::size_t)>& e, const TEventosTransferencia& ev)
        : escreve(e), eventos(ev) {}
    const std::function<bool(const char*, std::size_t)>& escreve;
    const TEventosTransferencia& eventos;
    long status = 0;
    std::int64_t tamanho = 0;
    bool cabecalhosFinais = false;  // the answer's own headers are all in
    bool comecou = false;           // OnWorkBegin was delivered
    bool recusado = false;          // escreve returned false
    std::int64_t recebidos = 0;
    std::exception_ptr excecao;
};

size_t AoCabecalho(char* dados, size_t tam, size_t n, void* p) {
    auto& t = *static_cast<TTransferencia*>(p);
    const size_t total = tam * n;
    const std::string_view linha(dados, total);
    if (t.cabecalhosFinais) return total;  // trailers of a chunked body
    if (ComecaCom(linha, "http/")) {
        // A new answer (after an interim 1xx) starts its headers afresh.
        t.status = 0;
        t.tamanho = 0;
        const auto espaco = linha.find(' ');
        if (espaco != std::string_view::npos) t.status = static_cast<long>(LeTamanho(linha.substr(espaco + 1, 3)));
        return total;
    }
    if (SemBrancos(linha).empty()) {
        if (t.status >= 100 && t.status < 200) return total;
        t.cabecalhosFinais = true;
        // Redirects are not followed and error pages are not the file: stop
        // here rather than drain a body nobody wants.
        if (t.status < 200 || t.status > 299) return 0;
        t.comecou = true;
        try {
            if (t.eventos.OnWorkBegin) t.eventos.OnWorkBegin(t.tamanho);
        } catch (...) {
            t.excecao = std::current_exception();
            return 0;
        }
        return total;
    }
    if (ComecaCom(linha, "content-length:")) t.tamanho = LeTamanho(linha.substr(15));
    return total;
}

size_t AoCorpo(char* dados, size_t tam, size_t n, void* p) {
    auto& t = *static_cast<TTransferencia*>(p);
    const size_t total = tam * n;
    if (total == 0) return 0;
    if (!t.comecou) return 0;  // a body without a 2xx head (HTTP/0.9 style)
    try {
        if (!t.escreve(dados, total)) {
            t.recusado = true;
            return 0;
        }
        t.recebidos += static_cast<std::int64_t>(total);
        if (t.eventos.OnWork) t.eventos.OnWork(t.recebidos);
    } catch (...) {
        t.excecao = std::current_exception();
        return 0;
    }
    return total;
}

}  // namespace

struct TClienteHttpCurl::TImpl {
    CURL* curl = nullptr;
    curl_slist* cabecalhos = nullptr;
    std::string caPadrao;  // libcurl's built-in CA file, for when TEF_CA_BUNDLE goes away
    bool ocupado = false;
    std::string erro;
    char bufferErro[CURL_ERROR_SIZE] = {};

    ~TImpl() {
        if (curl) curl_easy_cleanup(curl);
        curl_slist_free_all(cabecalhos);
    }
};

TClienteHttpCurl::TClienteHttpCurl(TOpcoesClienteHttp opcoes) : impl_(std::make_unique<TImpl>()) {
    IniciaCurl();
    auto& im = *impl_;
    im.curl = curl_easy_init();
    if (!im.curl) throw std::runtime_error("curl_easy_init failed");
    CURL* h = im.curl;

    char* ca = nullptr;
    if (curl_easy_getinfo(h, CURLINFO_CAINFO, &ca) == CURLE_OK && ca) im.caPadrao = ca;

    for (const char* c : {CabecalhoAccept, CabecalhoContentType}) {
        curl_slist* l = curl_slist_append(im.cabecalhos, c);
        if (!l) throw std::runtime_error("curl_slist_append failed");
        im.cabecalhos = l;
    }

    Define(h, CURLOPT_ERRORBUFFER, im.bufferErro);
    Define(h, CURLOPT_NOSIGNAL, 1L);  // the process has other threads; no SIGALRM tricks
    Define(h, CURLOPT_PROTOCOLS_STR, "http,https");
    Define(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    Define(h, CURLOPT_HTTPGET, 1L);
    Define(h, CURLOPT_FOLLOWLOCATION, 0L);
    Define(h, CURLOPT_USERAGENT, AgenteUsuario);
    Define(h, CURLOPT_HTTPHEADER, im.cabecalhos);
    // The downloads go straight to the web system, whatever *_proxy says.
    Define(h, CURLOPT_PROXY, "");
    Define(h, CURLOPT_COOKIEFILE, "");  // in-memory cookie engine, for the handle's life
    Define(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(opcoes.limiteConexao.count()));
    Define(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    Define(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(opcoes.limiteSemDados.count()));
    Define(h, CURLOPT_SSL_VERIFYPEER, 1L);
    Define(h, CURLOPT_SSL_VERIFYHOST, 2L);
    Define(h, CURLOPT_CAPATH, opcoes.diretorioCa.c_str());
    Define(h, CURLOPT_HEADERFUNCTION, AoCabecalho);
    Define(h, CURLOPT_WRITEFUNCTION, AoCorpo);
}

TClienteHttpCurl::~TClienteHttpCurl() = default;

const std::string& TClienteHttpCurl::UltimoErro() const { return impl_->erro; }

bool TClienteHttpCurl::Get(const std::string& endereco, const std::function<bool(const char*, std::size_t)>& escreve,
                           const TEventosTransferencia& eventos) {
    auto& im = *impl_;
    // An event handler that pumps messages could come back here; one handle
    // runs one transfer at a time.
    if (im.ocupado) {
        im.erro = "a transfer of this client is already running";
        return false;
    }
    struct TOcupado {
        bool& b;
        explicit TOcupado(bool& x) : b(x) { b = true; }
        ~TOcupado() { b = false; }
    } ocupado(im.ocupado);

    TTransferencia t(escreve, eventos);
    CURL* h = im.curl;
    im.bufferErro[0] = '\0';
    CURLcode rc = curl_easy_setopt(h, CURLOPT_URL, endereco.c_str());
    if (rc == CURLE_OK) {
        // Read on every call so that a changed setting needs no restart.
        const char* extra = std::getenv("TEF_CA_BUNDLE");
        const bool temExtra = extra != nullptr && *extra != '\0';
        const char* padrao = im.caPadrao.empty() ? nullptr : im.caPadrao.c_str();
        rc = curl_easy_setopt(h, CURLOPT_CAINFO, temExtra ? extra : padrao);
    }
    if (rc == CURLE_OK) {
        curl_easy_setopt(h, CURLOPT_HEADERDATA, &t);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, &t);
        rc = curl_easy_perform(h);
        curl_easy_setopt(h, CURLOPT_HEADERDATA, nullptr);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, nullptr);
    }

    const bool ok = rc == CURLE_OK && t.comecou && !t.recusado && !t.excecao;
    if (ok) {
        im.erro.clear();
    } else if (t.cabecalhosFinais && (t.status < 200 || t.status > 299)) {
        im.erro = "HTTP " + std::to_string(t.status);
    } else if (t.excecao) {
        im.erro = "transfer aborted by an exception of its receiver";
    } else if (t.recusado) {
        im.erro = "transfer aborted by its receiver";
    } else {
        im.erro = "curl " + std::to_string(static_cast<int>(rc)) + ": " +
                  (im.bufferErro[0] ? im.bufferErro : curl_easy_strerror(rc));
    }

    if (t.comecou && eventos.OnWorkEnd) {
        if (t.excecao) {
            // The first exception is the one the caller must see.
            try {
                eventos.OnWorkEnd();
            } catch (...) {
            }
        } else {
            eventos.OnWorkEnd();
        }
    }
    if (t.excecao) std::rethrow_exception(t.excecao);
    return ok;
}

}  // namespace componentes
