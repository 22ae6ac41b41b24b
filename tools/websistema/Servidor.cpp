#include "Servidor.h"

#include "Certificado.h"
#include "Registro.h"

#include "Plataforma.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

namespace websistema {

namespace {

std::string QueryBruta(const std::string& alvo) {
    const auto q = alvo.find('?');
    return q == std::string::npos ? std::string() : alvo.substr(q + 1);
}

std::string EnderecoEPorta(const std::string& endereco, int porta) {
    const bool ipv6 = endereco.find(':') != std::string::npos;
    return (ipv6 ? "[" + endereco + "]" : endereco) + ":" + std::to_string(porta);
}

// httplib's default adds SO_REUSEPORT, which would let a second instance
// share a fixed port silently; a busy port must fail to bind instead.
void SoReutilizaEndereco(socket_t sock) {
    int sim = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &sim, sizeof sim);
}

}  // namespace

struct TServidor::TImpl {
    TOpcoes opcoes;
    std::optional<TCertificado> certificado;
    std::FILE* log = stderr;
    std::mutex mutexLog;

    httplib::Server http;
    std::unique_ptr<httplib::SSLServer> https;
    std::vector<std::thread> escutas;

    // Every page served and what became of it; the log gets each change.
    TRegistro registro;

    // The shape of the next pages' answers: the start options' one, or what
    // the last /controle asked for on top of those.
    std::mutex mutexForma;
    TForma formaInicial, forma;
    std::atomic<int> atrasoPagina{0};  // ms before a page is served (/controle?atraso_pagina=)
    std::atomic<int> atrasoResultado{0};  // ms before a decided result is answered (/controle?atraso_resultado=)

    // Held requests (--lento) wait here until the server stops.
    std::mutex mutexParada;
    std::condition_variable parada;
    bool parando = false;

    explicit TImpl(TOpcoes o)
        : opcoes(std::move(o)),
          registro(std::chrono::seconds(opcoes.desfazAposSegundos), &std::chrono::steady_clock::now,
                   [this](const std::string& linha) { Escreve(linha); }),
          formaInicial(opcoes.conf.forma),
          forma(formaInicial) {
        if (!opcoes.log.empty()) {
            log = std::fopen(opcoes.log.c_str(), "a");
            if (log == nullptr) throw std::runtime_error("n\xC3\xA3o abriu o log " + opcoes.log);
        }
        if (opcoes.portaHttps >= 0) {
            certificado = opcoes.certificado.empty()
                              ? TCertificado::Autoassinado()
                              : TCertificado::DeArquivos(opcoes.certificado, opcoes.chave);
            https = std::make_unique<httplib::SSLServer>(
                [this](SSL_CTX& ctx) { return certificado->Instala(&ctx); });
            if (!https->is_valid()) throw std::runtime_error("contexto TLS inv\xC3\xA1lido");
        }
        Rotas(http, false);
        if (https) Rotas(*https, true);
    }

    ~TImpl() {
        if (log != stderr) std::fclose(log);
    }

    void Escreve(const std::string& linha) {
        std::lock_guard trava(mutexLog);
        std::fwrite(linha.data(), 1, linha.size(), log);
        std::fputc('\n', log);
        std::fflush(log);
    }

    void Registra(const httplib::Request& req, bool seguro) {
        Escreve(LinhaDeLog(req.method, req.path, QueryBruta(req.target), seguro));
    }

    // A form's charset: a browser says UTF-8; the manager sends the
    // Windows-1252 of its exchange files and may say nothing.
    static TQuery Formulario(const httplib::Request& req) {
        std::string tipo = req.get_header_value("Content-Type");
        for (auto& c : tipo) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        tipo.erase(std::remove(tipo.begin(), tipo.end(), ' '), tipo.end());
        return DecodificaFormulario(req.body, tipo.find("charset=utf-8") == std::string::npos);
    }

    static bool EhFormulario(const httplib::Request& req) {
        std::string tipo = req.get_header_value("Content-Type");
        for (auto& c : tipo) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        return tipo.empty() || tipo.rfind("application/x-www-form-urlencoded", 0) == 0;
    }

    static void Responde(httplib::Response& res, const TResposta& r) {
        res.status = r.status;
        res.set_header("Cache-Control", "no-store");
        for (const auto& [k, v] : r.cabecalhos) res.set_header(k, v);
        res.set_content(r.corpo, r.tipo);
    }

    static void SoPost(httplib::Response& res) {
        res.status = 405;
        res.set_header("Allow", "POST");
        res.set_content("405 Use POST\n", "text/plain; charset=utf-8");
    }

    // Result of a page's button, and the confirmation interface.
    void Post(const httplib::Request& req, httplib::Response& res, bool confirmacao) {
        if (!EhFormulario(req)) {
            res.status = 415;
            res.set_content("415 Use application/x-www-form-urlencoded\n", "text/plain; charset=utf-8");
            return;
        }
        const auto form = Formulario(req);
        Responde(res, confirmacao ? registro.Confirmacao(form, opcoes.conf) : registro.Decide(form));
        // Decided and recorded; the page hears of it only after this (a slow
        // answer, for tests of what happens meanwhile).
        if (const int atraso = atrasoResultado.load(); !confirmacao && atraso > 0) {
            std::unique_lock trava(mutexParada);
            parada.wait_for(trava, std::chrono::milliseconds(atraso), [this] { return parando; });
        }
    }

    // Interfaces for tests and their checks: answered only on this machine.
    static bool SoPorLoopback(const httplib::Request& req, httplib::Response& res) {
        res.set_header("Cache-Control", "no-store");
        if (EhLoopback(req.remote_addr)) return true;
        res.status = 403;
        res.set_content("s\xC3\xB3 por loopback\n", "text/plain; charset=utf-8");
        return false;
    }

    void Transacoes(const httplib::Request& req, httplib::Response& res) {
        if (!SoPorLoopback(req, res)) return;
        res.set_content(registro.EmJson() + "\n", "application/json");
    }

    void Rotas(httplib::Server& svr, bool seguro) {
        svr.set_socket_options(SoReutilizaEndereco);
        // The embedded browser keeps connections alive; a short idle limit
        // keeps shutdown quick.
        svr.set_keep_alive_timeout(2);
        // Every held (--lento) request keeps a worker until the end; a
        // downloader that retries must not starve the page of workers.
        svr.new_task_queue = [] { return new httplib::ThreadPool(32); };
        // Forms are small; nothing needs more.
        svr.set_payload_max_length(64 * 1024);
        // A POST is logged once its form has been read, with the answer's status.
        svr.set_pre_routing_handler([this, seguro](const httplib::Request& req, httplib::Response&) {
            if (req.method != "POST") Registra(req, seguro);
            return httplib::Server::HandlerResponse::Unhandled;
        });
        svr.set_post_routing_handler([this, seguro](const httplib::Request& req, httplib::Response& res) {
            if (req.method == "POST") Escreve(LinhaDeLogPost(req.path, Formulario(req), res.status, seguro));
        });
        for (const auto& [caminho, confirmacao] : {std::pair{R"(/(?:homol/|release/)?resultado\.php)", false},
                                                   std::pair{R"(/(?:homol/|release/)?confirmacao\.php)", true}}) {
            svr.Post(caminho, [this, confirmacao = confirmacao](const httplib::Request& req, httplib::Response& res) {
                Post(req, res, confirmacao);
            });
            const auto so = [](const httplib::Request&, httplib::Response& res) { SoPost(res); };
            svr.Get(caminho, so);
            svr.Put(caminho, so);
            svr.Patch(caminho, so);
            svr.Delete(caminho, so);
            svr.Options(caminho, so);
        }
        // A page's word that it loaded: only logged.
        svr.Post(R"(/(?:homol/|release/)?carregada\.php)",
                 [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
        svr.Get("/transacoes", [this](const httplib::Request& req, httplib::Response& res) { Transacoes(req, res); });
        svr.Get(R"(/(?:homol/|release/)?modtef\.php)",
                [this](const httplib::Request& req, httplib::Response& res) { Pagina(req, res); });
        svr.Get("/controle", [this](const httplib::Request& req, httplib::Response& res) { Controle(req, res); });
        svr.Get(R"(/download/tef/profile/(.*))", [this, seguro](const httplib::Request& req, httplib::Response& res) {
            Download(req.matches[1].str(), req, res, seguro, true);
        });
        svr.Get(R"(/download/redirecionado/(.*))",
                [this, seguro](const httplib::Request& req, httplib::Response& res) {
                    Download(req.matches[1].str(), req, res, seguro, false);
                });
        svr.set_error_handler([](const httplib::Request&, httplib::Response& res) {
            if (res.body.empty() && res.status == 404)
                res.set_content("404 N\xC3\xA3o encontrado\n", "text/plain; charset=utf-8");
        });
    }

    TConfiguracao Configuracao() {
        TConfiguracao conf = opcoes.conf;
        std::lock_guard trava(mutexForma);
        conf.forma = forma;
        return conf;
    }

    // Tests change the shape between transactions without a restart. Only
    // for this machine: a till on the network must not reshape answers.
    void Controle(const httplib::Request& req, httplib::Response& res) {
        if (!SoPorLoopback(req, res)) return;
        TForma nova = formaInicial;
        // Not a shape: how long the next pages take to be served (a slow web
        // system, for tests of what a page still on screen may do meanwhile).
        TQuery query = DecodificaQuery(QueryBruta(req.target));
        int atraso = 0, atrasoDoResultado = 0;
        for (auto it = query.begin(); it != query.end();) {
            if (it->first != "atraso_pagina" && it->first != "atraso_resultado") {
                ++it;
                continue;
            }
            const auto ms = LeCentavos(it->second);
            if (!ms || *ms > 60000) {
                res.status = 400;
                res.set_content(it->first + ": de 0 a 60000 ms\n", "text/plain; charset=utf-8");
                return;
            }
            (it->first == "atraso_pagina" ? atraso : atrasoDoResultado) = static_cast<int>(*ms);
            it = query.erase(it);
        }
        if (const auto erro = AplicaEscolhas(nova, query, true)) {
            res.status = 400;
            res.set_content(*erro + "\n", "text/plain; charset=utf-8");
            return;
        }
        {
            std::lock_guard trava(mutexForma);
            forma = nova;
        }
        atrasoPagina = atraso;
        atrasoResultado = atrasoDoResultado;
        res.set_content(FormaEmJson(nova) + "\n", "application/json");
    }

    void Pagina(const httplib::Request& req, httplib::Response& res) {
        if (const int atraso = atrasoPagina.load(); atraso > 0) {
            std::unique_lock trava(mutexParada);
            parada.wait_for(trava, std::chrono::milliseconds(atraso), [this] { return parando; });
        }
        const auto pedido = LePedido(DecodificaQuery(QueryBruta(req.target)));
        const TConfiguracao conf = Configuracao();
        std::tm horario{};
        const std::time_t agora = std::time(nullptr);
        localtime_r(&agora, &horario);
        const auto pagina = registro.Abre(pedido, conf, horario);
        res.set_header("Cache-Control", "no-store");
        res.set_content(MontaPagina(pedido, conf, pagina.t, pagina.chave), "text/html; charset=utf-8");
        Escreve(LinhaDePagina(pagina.t.nsu, pagina.textos));
    }

    std::string Origem(const httplib::Request& req, bool seguro) const {
        std::string host = req.get_header_value("Host");
        if (host.empty()) host = EnderecoEPorta(req.local_addr, req.local_port);
        return std::string(seguro ? "https://" : "http://") + host;
    }

    // comportamentos: the --lento/--redireciona/--corta names apply (not to
    // the redirect target, which must serve the plain file).
    void Download(const std::string& nome, const httplib::Request& req, httplib::Response& res, bool seguro,
                  bool comportamentos) {
        if (comportamentos && opcoes.lento.count(nome)) {
            std::unique_lock trava(mutexParada);
            parada.wait(trava, [this] { return parando; });
            res.status = 503;
            return;
        }
        if (comportamentos) {
            if (const auto r = opcoes.redireciona.find(nome); r != opcoes.redireciona.end()) {
                res.set_redirect(r->second.empty()
                                     ? Origem(req, seguro) + "/download/redirecionado/" + CodificaCaminho(nome)
                                     : r->second,
                                 302);
                return;
            }
        }
        const auto relativo = NomeDeDownloadSeguro(nome);
        const std::string caminho = opcoes.downloads + "/" + relativo.value_or("");
        const auto entrada = plataforma::Consulta(caminho);
        if (!relativo || opcoes.downloads.empty() || !entrada || entrada->tipo != plataforma::TTipoEntrada::Regular) {
            res.status = 404;
            return;
        }
        auto arquivo = std::make_shared<std::ifstream>(caminho, std::ios::binary);
        if (!*arquivo) {
            res.status = 404;
            return;
        }
        const auto tamanho = static_cast<std::size_t>(entrada->tamanho);
        // Cut: the full Content-Length goes out, then half the body, then
        // the provider fails and httplib closes the connection.
        const std::size_t limite = comportamentos && opcoes.corta.count(nome) ? tamanho / 2 : tamanho;
        res.set_content_provider(
            tamanho, "application/octet-stream",
            [arquivo, limite](std::size_t inicio, std::size_t tam, httplib::DataSink& sink) {
                if (inicio >= limite) return false;
                char buf[64 * 1024];
                const auto n = std::min({tam, limite - inicio, sizeof buf});
                arquivo->clear();
                arquivo->seekg(static_cast<std::streamoff>(inicio));
                arquivo->read(buf, static_cast<std::streamsize>(n));
                if (static_cast<std::size_t>(arquivo->gcount()) != n) return false;
                return sink.write(buf, n);
            });
    }

    void Escuta(httplib::Server& svr) {
        escutas.emplace_back([&svr] { svr.listen_after_bind(); });
        // stop() only acts on a running listener: wait for it so an early
        // SIGTERM is not lost.
        const auto limite = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!svr.is_running()) {
            if (std::chrono::steady_clock::now() > limite) throw std::runtime_error("o servidor n\xC3\xA3o iniciou");
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    int Liga(httplib::Server& svr, int porta) {
        if (porta == 0) return svr.bind_to_any_port(opcoes.endereco);
        return svr.bind_to_port(opcoes.endereco, porta) ? porta : -1;
    }
};

TServidor::TServidor(TOpcoes opcoes) : impl_(std::make_unique<TImpl>(std::move(opcoes))) {}

TServidor::~TServidor() { Para(); }

std::vector<std::string> TServidor::Inicia() {
    auto& i = *impl_;
    std::vector<std::string> linhas;
    const int porta = i.Liga(i.http, i.opcoes.porta);
    if (porta < 0) throw std::runtime_error("n\xC3\xA3o escutou em " + EnderecoEPorta(i.opcoes.endereco, i.opcoes.porta));
    linhas.push_back("HTTP " + EnderecoEPorta(i.opcoes.endereco, porta));
    if (i.https) {
        const int portaHttps = i.Liga(*i.https, i.opcoes.portaHttps);
        if (portaHttps < 0)
            throw std::runtime_error("n\xC3\xA3o escutou em " + EnderecoEPorta(i.opcoes.endereco, i.opcoes.portaHttps));
        linhas.push_back("HTTPS " + EnderecoEPorta(i.opcoes.endereco, portaHttps));
        linhas.push_back("SHA256 " + i.certificado->ImpressaoSha256());
    }
    i.Escuta(i.http);
    if (i.https) i.Escuta(*i.https);
    return linhas;
}

void TServidor::Para() {
    auto& i = *impl_;
    {
        std::lock_guard trava(i.mutexParada);
        i.parando = true;
    }
    i.parada.notify_all();
    i.http.stop();
    if (i.https) i.https->stop();
    for (auto& t : i.escutas)
        if (t.joinable()) t.join();
    i.escutas.clear();
}

}  // namespace websistema
