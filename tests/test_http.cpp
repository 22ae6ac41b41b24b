// The libcurl client against servers run here on loopback: cpp-httplib for
// the well-behaved HTTP and HTTPS ones, raw sockets for the misbehaving ones.
// The certificates come from the openssl command line, made once per run.
#include "Ambiente.h"
#include "ClienteHttp.h"
#include "Postagem.h"
#include "Rede.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <mutex>
#include <optional>
#include <thread>

using componentes::TClienteHttpCurl;
using componentes::TEventosTransferencia;
using componentes::TOpcoesClienteHttp;
using namespace std::chrono_literals;
using Relogio = std::chrono::steady_clock;

namespace {

// ---- servers ----------------------------------------------------------------

// What the servers saw, for the tests to check.
struct TRegistro {
    std::mutex m;
    httplib::Headers cabecalhos;
    std::string metodo, versao;
    int pedidosAlvo = 0;
    std::vector<std::string> cookies;  // Cookie of each /cookie/le, "" when absent
};

void Rotas(httplib::Server& s, TRegistro& r) {
    using httplib::Request;
    using httplib::Response;
    s.Get("/binario", [](const Request&, Response& res) { res.set_content(Binario(), "application/octet-stream"); });
    s.Get("/vazio", [](const Request&, Response& res) { res.set_content("", "text/html"); });
    s.Post("/confirmacao.php", [](const Request& req, Response& res) {
        res.set_header("X-TEF-Resultado", "nenhum");
        res.set_content(req.get_header_value("Content-Type") + "|" + req.body, "text/plain");
    });
    s.Get("/fragmentado", [](const Request&, Response& res) {
        res.set_chunked_content_provider("application/octet-stream", [](std::size_t feito, httplib::DataSink& sink) {
            if (feito < Binario().size())
                return sink.write(Binario().data() + feito, std::min<std::size_t>(70000, Binario().size() - feito));
            sink.done();
            return true;
        });
    });
    s.Get("/cabecalhos", [&r](const Request& req, Response& res) {
        std::lock_guard g(r.m);
        r.cabecalhos = req.headers;
        r.metodo = req.method;
        r.versao = req.version;
        res.set_content("ok", "text/plain");
    });
    s.Get("/cookie/define", [](const Request&, Response& res) {
        res.set_header("Set-Cookie", "sessao=abc123; Path=/");
        res.set_content("ok", "text/plain");
    });
    s.Get("/cookie/le", [&r](const Request& req, Response& res) {
        std::lock_guard g(r.m);
        r.cookies.push_back(req.get_header_value("Cookie"));
        res.set_content("ok", "text/plain");
    });
    s.Get(R"(/status/(\d+))", [](const Request& req, Response& res) {
        res.status = std::stoi(req.matches[1].str());
        if (res.status / 100 == 3) res.set_header("Location", "/alvo");
        res.set_content("<html>pagina do status</html>", "text/html");
    });
    s.Get("/alvo", [&r](const Request&, Response& res) {
        std::lock_guard g(r.m);
        ++r.pedidosAlvo;
        res.set_content("alvo", "text/plain");
    });
}

// An httplib server (plain or TLS) on a free loopback port, in its own thread.
class TServidorHttplib {
public:
    TServidorHttplib(std::unique_ptr<httplib::Server> s, TRegistro& r, bool tls) : s_(std::move(s)), tls_(tls) {
        if (!s_->is_valid()) throw std::runtime_error("httplib server not valid (certificate?)");
        Rotas(*s_, r);
        porta_ = s_->bind_to_any_port("127.0.0.1");
        if (porta_ <= 0) throw std::runtime_error("bind_to_any_port failed");
        thread_ = std::thread([this] { s_->listen_after_bind(); });
    }
    ~TServidorHttplib() {
        // stop() is ignored until the accept loop runs.
        const auto limite = Relogio::now() + 5s;
        while (!s_->is_running() && Relogio::now() < limite) std::this_thread::yield();
        s_->stop();
        thread_.join();
    }
    std::string Url(const std::string& caminho, const std::string& host = "127.0.0.1") const {
        return (tls_ ? "https://" : "http://") + host + ":" + std::to_string(porta_) + caminho;
    }

private:
    std::unique_ptr<httplib::Server> s_;
    bool tls_;
    int porta_ = 0;
    std::thread thread_;
};

// A loopback TCP socket on a free port; listening only when asked.
class TSocketLocal {
public:
    explicit TSocketLocal(bool escuta) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            (escuta && ::listen(fd_, 16) != 0) || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n) != 0)
            throw std::runtime_error("loopback socket");
        porta_ = ntohs(a.sin_port);
    }
    ~TSocketLocal() { Fecha(); }
    void Fecha() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    TSocketLocal(const TSocketLocal&) = delete;
    TSocketLocal& operator=(const TSocketLocal&) = delete;
    int Fd() const { return fd_; }
    std::string Url(const std::string& esquema) const {
        return esquema + "://127.0.0.1:" + std::to_string(porta_) + "/arquivo";
    }

private:
    int fd_ = -1;
    int porta_ = 0;
};

// Answers one connection with fixed bytes and closes it: for answers no
// proper server gives.
class TServidorBruto {
public:
    explicit TServidorBruto(std::string resposta) : resposta_(std::move(resposta)), thread_([this] { Atende(); }) {}
    ~TServidorBruto() { thread_.join(); }
    std::string Url() const { return escuta_.Url("http"); }

private:
    void Atende() {
        pollfd p{escuta_.Fd(), POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1) return;
        const int c = ::accept4(escuta_.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) return;
        // The whole request is read first: closing on unread data would reset
        // the connection and lose what was sent.
        std::string pedido;
        char buf[4096];
        while (pedido.find("\r\n\r\n") == std::string::npos) {
            pollfd q{c, POLLIN, 0};
            if (::poll(&q, 1, 10000) != 1) break;
            const ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0) break;
            pedido.append(buf, static_cast<std::size_t>(n));
        }
        for (std::size_t feito = 0; feito < resposta_.size();) {
            const ssize_t n = ::send(c, resposta_.data() + feito, resposta_.size() - feito, MSG_NOSIGNAL);
            if (n <= 0) break;
            feito += static_cast<std::size_t>(n);
        }
        ::shutdown(c, SHUT_WR);
        ::close(c);
    }

    std::string resposta_;
    TSocketLocal escuta_{true};
    std::thread thread_;
};

// ---- the client's side ------------------------------------------------------

// One Get as the caller sees it. Events: 'B' begin(total), 'D' bytes handed
// to escreve, 'W' work(so far), 'E' end.
struct TDownload {
    bool ok = false;
    std::string corpo;
    std::string erro;
    std::vector<std::pair<char, std::int64_t>> eventos;
    long Quantos(char tipo) const {
        return std::count_if(eventos.begin(), eventos.end(), [tipo](const auto& e) { return e.first == tipo; });
    }
};

TEventosTransferencia Anota(TDownload& d) {
    TEventosTransferencia ev;
    ev.OnWorkBegin = [&d](std::int64_t t) { d.eventos.emplace_back('B', t); };
    ev.OnWork = [&d](std::int64_t f) { d.eventos.emplace_back('W', f); };
    ev.OnWorkEnd = [&d] { d.eventos.emplace_back('E', 0); };
    return ev;
}

TDownload Baixa(TClienteHttpCurl& c, const std::string& url) {
    TDownload d;
    d.ok = c.Get(
        url,
        [&d](const char* p, std::size_t n) {
            d.corpo.append(p, n);
            d.eventos.emplace_back('D', static_cast<std::int64_t>(n));
            return true;
        },
        Anota(d));
    d.erro = c.UltimoErro();
    return d;
}

// Begin first with the expected size, end last, each once; every piece of
// data followed by the progress of all bytes delivered so far.
::testing::AssertionResult Sequencia(const TDownload& d, std::int64_t inicio) {
    const auto& e = d.eventos;
    if (e.empty() || e.front() != std::make_pair('B', inicio))
        return ::testing::AssertionFailure() << "does not open with begin(" << inicio << ")";
    if (e.back().first != 'E' || d.Quantos('B') != 1 || d.Quantos('E') != 1)
        return ::testing::AssertionFailure() << "begin and end are not once each, at the edges";
    std::int64_t entregues = 0;
    for (std::size_t i = 1; i + 1 < e.size(); ++i) {
        if (e[i].first == 'D') {
            entregues += e[i].second;
            if (e[i + 1] != std::make_pair('W', entregues))
                return ::testing::AssertionFailure() << "no work(" << entregues << ") after data";
        } else if (e[i].first != 'W') {
            return ::testing::AssertionFailure() << "event '" << e[i].first << "' inside the transfer";
        }
    }
    if (entregues != static_cast<std::int64_t>(d.corpo.size()))
        return ::testing::AssertionFailure() << "delivered " << entregues << " of " << d.corpo.size();
    return ::testing::AssertionSuccess();
}

// ---- fixture ----------------------------------------------------------------

// Besides the test CA with a good server certificate and one for "otherhost"
// only, and the second CA with a server certificate of its own (see
// GeraCertificados): a self-signed one nobody vouches for, and a hashed
// directory trusting the second CA, standing in for the system store.
const char* kMaisCertificados = R"(openssl req -x509 $chave -keyout auto.key -out auto.pem -days 2 -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1,DNS:localhost
mkdir dirca
cp ca2.pem dirca/
ln -s ca2.pem "dirca/$(openssl x509 -hash -noout -in ca2.pem).0"
)";

class ClienteHttp : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // A client that gives up mid-answer must not kill the process.
        ::signal(SIGPIPE, SIG_IGN);
        dir_ = std::make_unique<TDiretorioTemporario>();
        GeraCertificados(*dir_, kMaisCertificados);
        registro_ = std::make_unique<TRegistro>();
        http_ = Servidor(nullptr);
        https_ = Servidor("bom");
        outro_ = Servidor("outro");
        auto_ = Servidor("auto");
        deCa2_ = Servidor("deca2");
    }
    static void TearDownTestSuite() {
        http_.reset();
        https_.reset();
        outro_.reset();
        auto_.reset();
        deCa2_.reset();
        registro_.reset();
        dir_.reset();
    }
    static std::unique_ptr<TServidorHttplib> Servidor(const char* cert) {
        if (!cert) return std::make_unique<TServidorHttplib>(std::make_unique<httplib::Server>(), *registro_, false);
        const std::string pem = *dir_ / (std::string(cert) + ".pem"), chave = *dir_ / (std::string(cert) + ".key");
        return std::make_unique<TServidorHttplib>(std::make_unique<httplib::SSLServer>(pem.c_str(), chave.c_str()),
                                                  *registro_, true);
    }

    void SetUp() override {
        std::lock_guard g(registro_->m);
        registro_->cabecalhos.clear();
        registro_->cookies.clear();
        registro_->pedidosAlvo = 0;
    }
    void ConfiaNaCaDeTeste() { ca_.Define((*dir_ / "ca.pem").c_str()); }

    static inline std::unique_ptr<TDiretorioTemporario> dir_;
    static inline std::unique_ptr<TRegistro> registro_;
    static inline std::unique_ptr<TServidorHttplib> http_, https_, outro_, auto_, deCa2_;
    TVariavelAmbiente ca_{"TEF_CA_BUNDLE", nullptr};
};

// ---- tests --------------------------------------------------------------------

TEST_F(ClienteHttp, BaixaOCorpoByteAByte) {
    ConfiaNaCaDeTeste();
    // The web system is reached directly, whatever the environment says.
    TSocketLocal semProxy(false);
    const std::string proxy = semProxy.Url("http");
    TVariavelAmbiente p1("http_proxy", proxy.c_str()), p2("https_proxy", proxy.c_str()),
        p3("HTTPS_PROXY", proxy.c_str()), p4("no_proxy", nullptr), p5("NO_PROXY", nullptr);
    struct Caso {
        const char* nome;
        std::string url;
        std::string esperado;
        std::int64_t inicio;  // what begin announces
    };
    const Caso casos[] = {
        {"binary over HTTP", http_->Url("/binario"), Binario(), std::int64_t(Binario().size())},
        {"binary over HTTPS", https_->Url("/binario"), Binario(), std::int64_t(Binario().size())},
        {"HTTPS by host name", https_->Url("/binario", "localhost"), Binario(), std::int64_t(Binario().size())},
        {"chunked: size unknown", http_->Url("/fragmentado"), Binario(), 0},
        {"empty file", http_->Url("/vazio"), "", 0},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        TClienteHttpCurl cliente;
        const auto d = Baixa(cliente, c.url);
        EXPECT_TRUE(d.ok) << d.erro;
        EXPECT_EQ(d.erro, "");
        EXPECT_TRUE(d.corpo == c.esperado) << "got " << d.corpo.size() << " bytes of " << c.esperado.size();
        EXPECT_TRUE(Sequencia(d, c.inicio));
        if (!c.esperado.empty()) {
            EXPECT_GT(d.Quantos('W'), 1) << "progress comes as data arrives";
        }
    }
}

TEST_F(ClienteHttp, EnviaOsCabecalhosDoSistema) {
    TClienteHttpCurl cliente;
    ASSERT_TRUE(Baixa(cliente, http_->Url("/cabecalhos")).ok);
    std::lock_guard g(registro_->m);
    EXPECT_EQ(registro_->metodo, "GET");
    EXPECT_EQ(registro_->versao, "HTTP/1.1");
    const auto& h = registro_->cabecalhos;
    for (const auto& [nome, valor] : {std::pair{"Accept", "text/html, */*"}, std::pair{"Content-Type", "text/html"},
                                       std::pair{"User-Agent", "Mozilla/3.0 (compatible; Indy Library)"}}) {
        ASSERT_EQ(h.count(nome), 1u) << nome;
        EXPECT_EQ(h.find(nome)->second, valor) << nome;
    }
    for (const char* ausente : {"Authorization", "Cookie", "Accept-Encoding", "Expect"})
        EXPECT_EQ(h.count(ausente), 0u) << ausente;
}

TEST_F(ClienteHttp, DevolveOsCookiesAoMesmoServidorPelaVidaDoCliente) {
    TClienteHttpCurl cliente;
    ASSERT_TRUE(Baixa(cliente, http_->Url("/cookie/define")).ok);
    ASSERT_TRUE(Baixa(cliente, http_->Url("/cookie/le")).ok);
    ASSERT_TRUE(Baixa(cliente, http_->Url("/cookie/le")).ok);
    TClienteHttpCurl novo;
    ASSERT_TRUE(Baixa(novo, http_->Url("/cookie/le")).ok);
    std::lock_guard g(registro_->m);
    EXPECT_EQ(registro_->cookies, (std::vector<std::string>{"sessao=abc123", "sessao=abc123", ""}));
}

TEST_F(ClienteHttp, StatusForaDe2xxFalhaSemEntregarOCorpo) {
    ConfiaNaCaDeTeste();
    TClienteHttpCurl cliente;
    for (const auto& url : {http_->Url("/status/301"), http_->Url("/status/302"), http_->Url("/status/307"),
                            https_->Url("/status/302"), http_->Url("/status/404"), http_->Url("/status/500")}) {
        SCOPED_TRACE(url);
        const auto d = Baixa(cliente, url);
        EXPECT_FALSE(d.ok);
        EXPECT_EQ(d.corpo, "");
        EXPECT_TRUE(d.eventos.empty());
        EXPECT_NE(d.erro.find(url.substr(url.size() - 3)), std::string::npos) << d.erro;
    }
    // The same client still works after all those aborted answers.
    EXPECT_TRUE(Baixa(cliente, http_->Url("/binario")).corpo == Binario());
    std::lock_guard g(registro_->m);
    EXPECT_EQ(registro_->pedidosAlvo, 0) << "a redirect was followed";
}

TEST_F(ClienteHttp, TransferenciaCortadaFalhaEEncerraOsEventos) {
    const std::string metade(500, 'x');
    TServidorBruto servidor("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nContent-Type: text/html\r\n\r\n" + metade);
    TClienteHttpCurl cliente(Curtas());
    const auto d = Baixa(cliente, servidor.Url());
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.corpo, metade);
    EXPECT_TRUE(Sequencia(d, 1000));
    EXPECT_FALSE(d.erro.empty());
}

TEST_F(ClienteHttp, ServidorMudoDesisteNoLimite) {
    // Each case leaves only one bound short: the other would take a minute.
    struct Caso {
        const char* esquema;
        std::chrono::milliseconds conexao;
        std::chrono::seconds semDados;
    };
    for (const Caso c : {Caso{"http", 60000ms, 1s}, Caso{"https", 1000ms, 60s}}) {
        SCOPED_TRACE(c.esquema);
        // Listening but never accepting: the kernel completes the handshake,
        // nobody ever reads or answers.
        TSocketLocal mudo(true);
        TOpcoesClienteHttp o;
        o.limiteConexao = c.conexao;
        o.limiteSemDados = c.semDados;
        TClienteHttpCurl cliente(o);
        auto get = std::async(std::launch::async, [&] { return Baixa(cliente, mudo.Url(c.esquema)); });
        const bool desistiu = get.wait_for(10s) == std::future_status::ready;
        // Closing the listener resets the queued connection: a client that
        // did not give up by itself returns now, and the test can end.
        if (!desistiu) mudo.Fecha();
        const auto d = get.get();
        EXPECT_TRUE(desistiu) << "still waiting after 10 s";
        EXPECT_FALSE(d.ok);
        EXPECT_TRUE(d.eventos.empty());
        EXPECT_FALSE(d.erro.empty());
    }
}

TEST_F(ClienteHttp, SoConfiaEmCertificadoVerificadoParaOHost) {
    struct Caso {
        const char* nome;
        TServidorHttplib* servidor;
        bool caDeTeste;    // TEF_CA_BUNDLE names the test CA
        bool diretorioCa2; // the "system" directory is the one trusting CA2
        bool esperado;
    };
    const Caso casos[] = {
        {"test CA not trusted by default", https_.get(), false, false, false},
        {"test CA trusted through TEF_CA_BUNDLE", https_.get(), true, false, true},
        {"self-signed", auto_.get(), false, false, false},
        {"self-signed, test CA trusted", auto_.get(), true, false, false},
        {"certificate for otherhost", outro_.get(), true, false, false},
        {"system directory still trusted with the extra file", deCa2_.get(), true, true, true},
        {"extra file still trusted with that directory", https_.get(), true, true, true},
        {"system directory alone", deCa2_.get(), false, true, true},
        {"CA2 unknown to the default directory", deCa2_.get(), true, false, false},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        if (c.caDeTeste) ConfiaNaCaDeTeste();
        else ca_.Define(nullptr);
        TOpcoesClienteHttp o;
        if (c.diretorioCa2) o.diretorioCa = *dir_ / "dirca";
        TClienteHttpCurl cliente(o);
        const auto d = Baixa(cliente, c.servidor->Url("/binario"));
        EXPECT_EQ(d.ok, c.esperado) << d.erro;
        if (!c.esperado) {
            EXPECT_EQ(d.corpo, "");
            EXPECT_TRUE(d.eventos.empty());
            EXPECT_FALSE(d.erro.empty());
        }
    }
}

// The confirmation address is trusted as the page is: the CAs for the host's
// name, or else exactly the certificate the profile pins for that host and port.
TEST_F(ClienteHttp, PostagemConfiaComoAPagina) {
    const auto impressao = [](const std::string& pem) {
        std::FILE* f = std::fopen(pem.c_str(), "r");
        X509* x = f ? PEM_read_X509(f, nullptr, nullptr, nullptr) : nullptr;
        if (f) std::fclose(f);
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        std::string r;
        if (x && X509_digest(x, EVP_sha256(), md, &n) == 1)
            for (unsigned int i = 0; i < n; ++i) {
                char par[4];
                std::snprintf(par, sizeof par, i ? ":%02X" : "%02X", md[i]);
                r += par;
            }
        X509_free(x);
        return r;
    };
    const auto porta = [](const TServidorHttplib& s) {
        const std::string u = s.Url("");
        return u.substr(u.rfind(':') + 1);
    };
    struct Caso {
        const char* nome;
        TServidorHttplib* servidor;
        bool caDeTeste;
        const char* pem;  // the pinned certificate; nullptr: no exception
        std::string sufixoDaPorta;
        bool esperado;
    };
    const Caso casos[] = {
        {"the CAs vouch for it", https_.get(), true, nullptr, "", true},
        {"no CA, no exception", https_.get(), false, nullptr, "", false},
        {"self-signed, pinned for this host and port", auto_.get(), false, "auto", "", true},
        {"pinned for another port that starts the same", auto_.get(), false, "auto", "0", false},
        {"a CA's certificate for another name", outro_.get(), true, nullptr, "", false},
        {"that one pinned for this host and port", outro_.get(), true, "outro", "", true},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        if (c.caDeTeste) ConfiaNaCaDeTeste();
        else ca_.Define(nullptr);
        TDiretorioTemporario perfil;
        if (c.pem)
            GravaBytes(perfil / "cert_override.txt", "127.0.0.1:" + porta(*c.servidor) + c.sufixoDaPorta +
                                                         "\tOID.2.16.840.1.101.3.4.2.1\t" +
                                                         impressao(*dir_ / (std::string(c.pem) + ".pem")) + "\tU\t\n");
        const auto r = componentes::PostaFormulario(c.servidor->Url("/confirmacao.php"),
                                                    {{"000-000", "CNS"}, {"001-000", "a&b=\xE9"}}, 5000,
                                                    perfil.Caminho().substr(0, perfil.Caminho().size() - 1));
        EXPECT_EQ(r.respondeu, c.esperado) << r.erro;
        if (!c.esperado) continue;
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.Cabecalho("x-tef-resultado"), "nenhum");
        EXPECT_EQ(r.corpo, "application/x-www-form-urlencoded; charset=windows-1252|000-000=CNS&001-000=a%26b%3D%E9");
    }
}

TEST_F(ClienteHttp, PortaFechadaFalha) {
    TSocketLocal fechada(false);  // bound, so nobody else takes the port, and not listening
    for (const char* esquema : {"http", "https"}) {
        TClienteHttpCurl cliente(Curtas());
        const auto d = Baixa(cliente, fechada.Url(esquema));
        EXPECT_FALSE(d.ok) << esquema;
        EXPECT_TRUE(d.eventos.empty()) << esquema;
        EXPECT_NE(d.erro.find("curl"), std::string::npos) << d.erro;
    }
}

struct TFalhaDoReceptor {
    int onde;
};

TEST_F(ClienteHttp, ExcecaoDoReceptorChegaAoChamadorDepoisDoFim) {
    enum { Escreve, Inicio, Progresso };
    TClienteHttpCurl cliente;
    for (const int onde : {Escreve, Inicio, Progresso}) {
        SCOPED_TRACE(onde);
        TDownload d;
        auto ev = Anota(d);
        if (onde == Inicio) ev.OnWorkBegin = [](std::int64_t) { throw TFalhaDoReceptor{Inicio}; };
        if (onde == Progresso) ev.OnWork = [](std::int64_t) { throw TFalhaDoReceptor{Progresso}; };
        int escritas = 0;
        const auto escreve = [&](const char*, std::size_t) {
            ++escritas;
            if (onde == Escreve) throw TFalhaDoReceptor{Escreve};
            return true;
        };
        try {
            cliente.Get(http_->Url("/binario"), escreve, ev);
            ADD_FAILURE() << "nothing raised";
        } catch (const TFalhaDoReceptor& f) {
            EXPECT_EQ(f.onde, onde);
        }
        EXPECT_EQ(escritas, onde == Inicio ? 0 : 1) << "the transfer went on after the exception";
        EXPECT_EQ(d.Quantos('E'), 1);
        if (!d.eventos.empty()) {
            EXPECT_EQ(d.eventos.back().first, 'E');
        }
        // The handle is whole again: the next download goes through.
        const auto depois = Baixa(cliente, http_->Url("/binario"));
        EXPECT_TRUE(depois.ok) << depois.erro;
        EXPECT_TRUE(depois.corpo == Binario());
    }
}

TEST_F(ClienteHttp, ReceptorQueRecusaInterrompe) {
    TClienteHttpCurl cliente;
    TDownload d;
    int escritas = 0;
    const bool ok = cliente.Get(
        http_->Url("/binario"),
        [&](const char*, std::size_t) {
            ++escritas;
            return false;
        },
        Anota(d));
    EXPECT_FALSE(ok);
    EXPECT_EQ(escritas, 1);
    EXPECT_EQ(d.Quantos('W'), 0);
    EXPECT_EQ(d.Quantos('E'), 1);
}

// Progress handlers pump messages in the app; a Get reached from there must
// not disturb the one running.
TEST_F(ClienteHttp, GetAninhadoNoMesmoClienteFalhaSemAtrapalhar) {
    TClienteHttpCurl cliente;
    TDownload d;
    std::optional<TDownload> aninhado;
    auto ev = Anota(d);
    ev.OnWork = [&](std::int64_t f) {
        d.eventos.emplace_back('W', f);
        if (!aninhado) aninhado = Baixa(cliente, http_->Url("/binario"));
    };
    d.ok = cliente.Get(
        http_->Url("/binario"),
        [&d](const char* p, std::size_t n) {
            d.corpo.append(p, n);
            d.eventos.emplace_back('D', static_cast<std::int64_t>(n));
            return true;
        },
        ev);
    ASSERT_TRUE(aninhado);
    EXPECT_FALSE(aninhado->ok);
    EXPECT_TRUE(aninhado->eventos.empty());
    EXPECT_TRUE(d.ok) << cliente.UltimoErro();
    EXPECT_TRUE(d.corpo == Binario());
    EXPECT_TRUE(Sequencia(d, static_cast<std::int64_t>(Binario().size())));
}

#ifdef TEF_WEBSISTEMA_EXE
TEST_F(ClienteHttp, BaixaOsArquivosDoPerfilDoWebSistemaDeReferencia) {
    const std::string downloads = *dir_ / "downloads";
    CriaDir(downloads);
    for (const char* nome : {"cert8.db", "metade.db", "movido.db", "preso.db"})
        GravaBytes(downloads + "/" + nome, Binario());
    GravaBytes(downloads + "/cert_override.txt", "127.0.0.1:443\tOID.2.16.840.1.101.3.4.2.1\tAB:CD\tU\t\n");
    TWebsistema ws(TEF_WEBSISTEMA_EXE,
                   {"--porta", "0", "--porta-https", "0", "--cert", *dir_ / "bom.pem", "--chave", *dir_ / "bom.key",
                    "--downloads", downloads, "--corta", "metade.db", "--redireciona", "movido.db", "--lento",
                    "preso.db", "--log", *dir_ / "websistema.log"});
    const std::string https = "https://" + ws.Linha("HTTPS") + "/download/tef/profile/";
    const std::string http = "http://" + ws.Linha("HTTP") + "/download/tef/profile/";
    ConfiaNaCaDeTeste();
    struct Caso {
        std::string url;
        bool ok;
        std::string esperado;
    };
    const Caso casos[] = {
        {https + "cert8.db", true, Binario()},
        {http + "cert8.db", true, Binario()},
        {https + "cert_override.txt", true, LeBytes(downloads + "/cert_override.txt")},
        {https + "metade.db", false, ""},
        {https + "movido.db", false, ""},
        {https + "preso.db", false, ""},
        {https + "nao-existe.db", false, ""},
    };
    TClienteHttpCurl cliente(Curtas());
    for (const auto& c : casos) {
        SCOPED_TRACE(c.url);
        const auto inicio = Relogio::now();
        const auto d = Baixa(cliente, c.url);
        EXPECT_EQ(d.ok, c.ok) << d.erro;
        if (c.ok) {
            EXPECT_TRUE(d.corpo == c.esperado);
            EXPECT_TRUE(Sequencia(d, static_cast<std::int64_t>(c.esperado.size())));
        } else {
            EXPECT_LT(d.corpo.size(), Binario().size());
        }
        EXPECT_LT(Relogio::now() - inicio, 10s);
    }
}
#endif

}  // namespace
