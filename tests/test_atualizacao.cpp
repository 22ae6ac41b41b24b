// The profile's certificate files as the controller fetches them at start:
// the real libcurl client against tef-websistema over HTTPS, trusted through
// a test CA made with the openssl command line once per run.
#include "Ambiente.h"
#include "ClienteHttp.h"
#include "ComponentesVirtuais.h"
#include "Rede.h"
#include "Servidor.h"
#include "untPrincipal.h"

#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <set>
#include <vector>

using namespace std::chrono_literals;

namespace {

// Hands every call on to the form's bar and keeps what the bar showed after
// each one, so the steps of a transfer can be checked and not only its end.
class TBarraGravada : public componentes::IBarraProgresso {
public:
    explicit TBarraGravada(componentes::IBarraProgresso& barra) : barra_(barra) {}
    void SetMax(int maximo) override {
        barra_.SetMax(maximo);
        maximos.push_back(maximo);
        Grava();
    }
    int Max() const override { return barra_.Max(); }
    void SetPosition(int posicao) override {
        barra_.SetPosition(posicao);
        Grava();
    }
    int Position() const override { return barra_.Position(); }

    struct Estado {
        int max, posicao;
    };
    std::vector<int> maximos;
    std::vector<Estado> estados;

private:
    void Grava() { estados.push_back({barra_.Max(), barra_.Position()}); }
    componentes::IBarraProgresso& barra_;
};

// The controller on the virtual component layer in a private directory B,
// downloading through the real client.
struct TGerenteReal {
    explicit TGerenteReal(const componentes::TOpcoesClienteHttp& opcoes)
        : B(dir.Caminho()), app(B + "TefOrvex"), form(app), cliente(opcoes), barra(form.JvXPProgressBar1),
          c(Componentes()), frm(app, c) {}

    componentes::TComponentesPrincipal Componentes() {
        auto r = form.Componentes();
        r.IdHTTP1 = &cliente;
        r.JvXPProgressBar1 = &barra;
        return r;
    }
    std::string P() const { return B + "mozembed/Profiles/default/"; }

    TDiretorioTemporario dir;
    std::string B;
    componentes::TAplicacaoVirtual app;
    componentes::TFormPrincipalVirtual form;
    componentes::TClienteHttpCurl cliente;
    TBarraGravada barra;
    componentes::TComponentesPrincipal c;
    TfrmPrincipal frm;
};

const std::string kCaminhoDb = "/download/tef/profile/cert8.db";
const std::string kCaminhoOv = "/download/tef/profile/cert_override.txt";

class Atualizacao : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // A transfer given up mid-answer must not kill the test process.
        ::signal(SIGPIPE, SIG_IGN);
        // A test CA with a good server certificate, one naming only
        // "otherhost", and a second CA nobody trusts with a server
        // certificate of its own.
        certificados_ = std::make_unique<TDiretorioTemporario>();
        GeraCertificados(*certificados_);
    }
    static void TearDownTestSuite() { certificados_.reset(); }

    static std::string Cert(const std::string& nome) { return *certificados_ / nome; }

    // Starts the web system serving dir_/downloads with the given extra
    // options and server certificate, and points the production address at
    // its HTTPS port.
    std::unique_ptr<TWebsistema> Inicia(const std::vector<std::string>& extras, const std::string& certificado,
                                        const std::string& host = "127.0.0.1") {
        std::vector<std::string> args{"--porta",  "0",          "--porta-https", "0",
                                      "--cert",   Cert(certificado + ".pem"),   "--chave",
                                      Cert(certificado + ".key"), "--downloads", Downloads(),
                                      "--log",    Log()};
        args.insert(args.end(), extras.begin(), extras.end());
        auto ws = std::make_unique<TWebsistema>(TEF_WEBSISTEMA_EXE, args);
        producao_.Define(("https://" + host + ":" + ws->PortaHttps()).c_str());
        return ws;
    }
    std::string Downloads() const { return dir_ / "downloads"; }
    std::string Log() const { return dir_ / "websistema.log"; }
    // Requests the web system saw for a path, from its log (it writes each
    // line before it answers).
    int Pedidos(const std::string& caminho) const {
        if (!Existe(Log())) return 0;
        const std::string log = LeBytes(Log()), procura = "\"caminho\":\"" + caminho + "\"";
        int n = 0;
        for (auto i = log.find(procura); i != std::string::npos; i = log.find(procura, i + 1)) ++n;
        return n;
    }
    void Serve(const std::string& nome, const std::optional<std::string>& conteudo) {
        CriaDir(Downloads());
        const std::string arquivo = Downloads() + "/" + nome;
        if (conteudo) GravaBytes(arquivo, *conteudo);
        else RemoveArvore(arquivo);
    }
    void ConfiaNaCaDeTeste(bool confia) { ca_.Define(confia ? Cert("ca.pem").c_str() : nullptr); }

    // Runs the upkeep on another thread, so a transfer that never ends fails
    // the test instead of hanging it: after 10 s the server is killed, which
    // resets its connections.
    static bool AtualizaComLimite(TGerenteReal& g, TWebsistema& ws) {
        auto f = std::async(std::launch::async, [&g] { g.frm.AtualizaCertificados(); });
        const bool terminou = f.wait_for(10s) == std::future_status::ready;
        if (!terminou) ws.Para();
        f.get();
        return terminou;
    }

    static inline std::unique_ptr<TDiretorioTemporario> certificados_;
    TDiretorioTemporario dir_;
    TVariavelAmbiente producao_{"TEF_PRODUCAO", nullptr};
    TVariavelAmbiente ca_{"TEF_CA_BUNDLE", nullptr};
};

std::string Le(const std::string& arquivo) { return Existe(arquivo) ? LeBytes(arquivo) : "(absent)"; }

// ---- tests --------------------------------------------------------------------

TEST_F(Atualizacao, ArquivosDoPerfilSoMudamComUmaCopiaBoaEDiferente) {
    const std::string db = Binario();
    const std::string ov(3000, '\t');  // a cut sends half of it: something is written
    const std::string ovNovo = "127.0.0.1:443\tOID.2.16.840.1.101.3.4.2.1\tAB:CD\tU\t\n" + ov;
    const std::string velhoDb = "velho db", velhoOv = "velho override";
    using S = std::optional<std::string>;
    const S nada;
    struct Caso {
        const char* nome;
        std::vector<std::string> opcoes;  // extra tef-websistema options
        std::string certificado;          // the server's
        bool confiaNaCa;                  // TEF_CA_BUNDLE names the test CA
        std::string host;                 // of the production address
        S servidoDb, servidoOv;           // what the server has
        S atualDb, atualOv;               // the profile's files before
        S depoisDb, depoisOv;             // and after
        int pedidosDb, pedidosOv;         // requests the server saw
    };
    const std::vector<Caso> casos = {
        {"good copies of other sizes", {}, "bom", true, "127.0.0.1", db, ovNovo, velhoDb, velhoOv, db, ovNovo, 1, 1},
        {"by host name", {}, "bom", true, "localhost", db, ovNovo, velhoDb, velhoOv, db, ovNovo, 1, 1},
        {"no current files", {}, "bom", true, "127.0.0.1", db, ovNovo, nada, nada, db, ovNovo, 1, 1},
        {"same size discarded", {}, "bom", true, "127.0.0.1", S("NOVO  DB"), ovNovo, velhoDb, velhoOv, velhoDb, ovNovo,
         1, 1},
        {"empty copies discarded", {}, "bom", true, "127.0.0.1", S(""), S(""), velhoDb, velhoOv, velhoDb, velhoOv, 1,
         1},
        {"not found", {}, "bom", true, "127.0.0.1", nada, ovNovo, velhoDb, velhoOv, velhoDb, ovNovo, 1, 1},
        {"neither found", {}, "bom", true, "127.0.0.1", nada, nada, velhoDb, velhoOv, velhoDb, velhoOv, 1, 1},
        {"redirect", {"--redireciona", "cert8.db"}, "bom", true, "127.0.0.1", db, ovNovo, velhoDb, velhoOv, velhoDb,
         ovNovo, 1, 1},
        {"cut off", {"--corta", "cert8.db"}, "bom", true, "127.0.0.1", db, ovNovo, velhoDb, velhoOv, velhoDb, ovNovo, 1,
         1},
        {"override cut off", {"--corta", "cert_override.txt"}, "bom", true, "127.0.0.1", db, ovNovo, velhoDb, velhoOv,
         db, velhoOv, 1, 1},
        {"silent server", {"--lento", "cert8.db"}, "bom", true, "127.0.0.1", db, ovNovo, velhoDb, velhoOv, velhoDb,
         ovNovo, 1, 1},
        {"test CA not trusted", {}, "bom", false, "127.0.0.1", db, ovNovo, velhoDb, velhoOv, velhoDb, velhoOv, 0, 0},
        {"server certificate of another CA", {}, "deca2", true, "127.0.0.1", db, ovNovo, velhoDb, velhoOv, velhoDb,
         velhoOv, 0, 0},
        {"certificate for another host", {}, "outro", true, "127.0.0.1", db, ovNovo, velhoDb, velhoOv, velhoDb, velhoOv,
         0, 0},
        {"empty current files, nothing arrives", {}, "bom", false, "127.0.0.1", db, ovNovo, S(""), S(""), nada, nada, 0,
         0},
        {"empty current files, not found", {}, "bom", true, "127.0.0.1", nada, nada, S(""), S(""), nada, nada, 1, 1},
        {"empty current file, good copy", {}, "bom", true, "127.0.0.1", nada, ovNovo, S(""), S(""), nada, ovNovo, 1, 1},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        RemoveArvore(Log());
        Serve("cert8.db", c.servidoDb);
        Serve("cert_override.txt", c.servidoOv);
        auto ws = Inicia(c.opcoes, c.certificado, c.host);
        ConfiaNaCaDeTeste(c.confiaNaCa);

        TGerenteReal g(Curtas());
        CriaDir(g.P());
        if (c.atualDb) GravaBytes(g.P() + "cert8.db", *c.atualDb);
        if (c.atualOv) GravaBytes(g.P() + "cert_override.txt", *c.atualOv);

        EXPECT_TRUE(AtualizaComLimite(g, *ws)) << "still downloading after 10 s";
        EXPECT_TRUE(Le(g.P() + "cert8.db") == c.depoisDb.value_or("(absent)"))
            << Le(g.P() + "cert8.db").size() << " bytes";
        EXPECT_EQ(Le(g.P() + "cert_override.txt"), c.depoisOv.value_or("(absent)"));
        EXPECT_FALSE(Existe(g.P() + "cert8.db_new"));
        EXPECT_FALSE(Existe(g.P() + "cert_override.txt_new"));
        ws.reset();  // the log is complete once the server is gone
        EXPECT_EQ(Pedidos(kCaminhoDb), c.pedidosDb);
        EXPECT_EQ(Pedidos(kCaminhoOv), c.pedidosOv) << "the second download runs whatever became of the first";
        EXPECT_EQ(Pedidos("/download/redirecionado/cert8.db"), 0) << "redirects are not followed";
    }
}

TEST_F(Atualizacao, BarraDeProgressoChegaAoTamanhoDoArquivo) {
    // A good cert8.db, then a cert_override.txt cut off half-way.
    const std::string ov(5000, '#');
    Serve("cert8.db", Binario());
    Serve("cert_override.txt", ov);
    auto ws = Inicia({"--corta", "cert_override.txt"}, "bom");
    ConfiaNaCaDeTeste(true);
    TGerenteReal g(Curtas());
    CriaDir(g.P());

    ASSERT_TRUE(AtualizaComLimite(g, *ws));
    ASSERT_TRUE(Le(g.P() + "cert8.db") == Binario());
    const int tamanho = static_cast<int>(Binario().size()), tamanhoOv = static_cast<int>(ov.size());
    ASSERT_EQ(g.barra.maximos, (std::vector<int>{tamanho, tamanhoOv}));
    const auto& e = g.barra.estados;
    ASSERT_FALSE(e.empty());
    EXPECT_EQ(e.front().posicao, 0);
    // The cert8.db part: up to the second SetMax.
    std::size_t fimDb = 1;
    while (fimDb < e.size() && e[fimDb].max == tamanho) ++fimDb;
    ASSERT_LT(fimDb + 1, e.size());
    std::set<int> passos;
    for (std::size_t i = 1; i < fimDb; ++i) {
        EXPECT_LE(e[i - 1].posicao, e[i].posicao) << "step " << i;
        if (e[i].posicao > 0 && e[i].posicao < tamanho) passos.insert(e[i].posicao);
    }
    EXPECT_GE(passos.size(), 2u) << "the bar moves while the data arrives, not only at the end";
    EXPECT_EQ(e[fimDb - 1].posicao, tamanho) << "the good download fills the bar";
    EXPECT_EQ(e[fimDb + 1].posicao, 0) << "the next transfer starts from the beginning";
    // A transfer that breaks still ends with a full bar, not a stuck one.
    EXPECT_EQ(g.form.JvXPProgressBar1.Max(), tamanhoOv);
    EXPECT_EQ(g.form.JvXPProgressBar1.Position(), tamanhoOv);
}

}  // namespace
