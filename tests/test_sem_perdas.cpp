// What a real till needs of the controller: no request lost to a pending
// hide, no answer lost to a failing disk, no request held up by another, the
// marker always there, and errors the operator can see.
#include "Gerente.h"
#include "Registro.h"
#include "UsuarioComum.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>

#ifndef _WIN32
#include <cstring>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using componentes::TipoMensagem;

namespace {

const std::u16string kVendaAprovada = u"000-000 = CRT\u00A7001-000 = #001#\u00A7003-000 = 0\u00A7009-000 = 0\u00A7999-999 = 0";
const TLinhas kCancelada101 = {"000-000 = CRT", "001-000 = 101", "002-000 = 7", "003-000 = 1000", "011-000 = 0",
                               "028-000 = 0", "030-000 = TEF Marel Raruveda foi cancelado", "999-999 = 0"};
const TLinhas kInterrompida101 = {"000-000 = CRT", "001-000 = 101", "002-000 = 7", "003-000 = 1000", "011-000 = 0",
                                  "028-000 = 0", "030-000 = " + textos::TefInterrompido, "999-999 = 0"};
const std::u16string kAdmConcluida = u"000-000 = ADM\u00A7001-000 = #001#\u00A7009-000 = 0\u00A7999-999 = 0";

// A field of resp/intpos.001 of an installation ("" when absent).
std::string CampoResp(const std::string& b, const std::string& id) {
    if (!Existe(b + "resp/intpos.001")) return "";
    for (const auto& l : DivideLinhas(LeBytes(b + "resp/intpos.001")))
        if (l.rfind(id + " = ", 0) == 0) return l.substr(id.size() + 3);
    return "";
}

std::string Join(const std::vector<std::string>& linhas) {
    std::string r;
    for (const auto& l : linhas) r += l + "\n";
    return r;
}

// A manager as FormCreate leaves it: the start's hide armed, polling on.
struct Gerente : ::testing::Test {
    TGerenteVirtual g;
    void SetUp() override {
        g.frm.FUrl = "http://loja.exemplo/";
        g.frm.FLojCodigo = 1;
        g.form.tmOculta->SetEnabled(true);
        g.Inicia();
    }
    int Paginas(const std::string& tela) const {
        int n = 0;
        for (const auto& e : g.form.GeckoBrowser1.Enderecos)
            if (Utf16ParaUtf8(e).find("modtef.php?tela=" + tela + "&") != std::string::npos) ++n;
        return n;
    }
    // Advances in small steps until the condition holds; false after the bound.
    bool AvancaAte(const std::function<bool()>& condicao, int limiteMs = 10000) {
        for (int t = 0; t < limiteMs; t += 10) {
            if (condicao()) return true;
            g.app.Avanca(10);
        }
        return condicao();
    }
    std::string Log() const { return Log(g); }
    static std::string Log(const TGerenteVirtual& h) {
        return Existe(h.B + "LogErro.txt") ? LeBytes(h.B + "LogErro.txt") : "";
    }
    static std::string campo(const TGerenteVirtual& h, const std::string& id) {
        if (!h.TemResp("intpos.001")) return "";
        for (const auto& l : DivideLinhas(h.Resp("intpos.001")))
            if (l.rfind(id + " = ", 0) == 0) return l.substr(id.size() + 3);
        return "";
    }
    static int Conta(const std::string& texto, const std::string& parte) {
        int n = 0;
        for (auto p = texto.find(parte); p != std::string::npos; p = texto.find(parte, p + 1)) ++n;
        return n;
    }
};

// ---- a screen asked for while the hide is armed -------------------------------------------

enum class Fim { Aprovada, AdmConcluida, Cancelada };

struct CasoHide {
    const char* nome;
    Fim primeiro;        // how the first transaction ends
    const char* segundo;  // "CRT" or "ADM"
};

TEST_F(Gerente, TelaPedidaComOEsconderArmadoEAtendida) {
    // The start: a sale sent as soon as "Ativo.001" appears, at each moment
    // of the first two seconds.
    for (int quando : {0, 300, 600, 1000, 1400}) {
        SCOPED_TRACE("request at " + std::to_string(quando) + " ms");
        TGerenteVirtual h;
        h.frm.FUrl = "http://loja.exemplo/";
        h.form.tmOculta->SetEnabled(true);
        h.Inicia();
        h.app.Avanca(quando);
        h.Pedido({"000-000 = CRT", "001-000 = 1", "003-000 = 1000"});
        for (int t = 0; t < 3000 && h.form.GeckoBrowser1.Enderecos.empty(); t += 10) h.app.Avanca(10);
        ASSERT_FALSE(h.form.GeckoBrowser1.Enderecos.empty()) << "no page";
        h.app.Avanca(2500);  // well past the start's hide
        EXPECT_TRUE(h.form.Janela.Visible());
        EXPECT_TRUE(h.form.tmCmds->Enabled()) << "the channel is still polled";
        h.form.GeckoBrowser1.Canal = kVendaAprovada;
        h.app.Avanca(500);
        ASSERT_TRUE(h.TemResp("intpos.001"));
        EXPECT_NE(h.Resp("intpos.001").find("001-000 = 1\r\n"), std::string::npos);
        h.app.Avanca(1000);
        EXPECT_FALSE(h.form.Janela.Visible()) << "the hide comes after the answer";
        EXPECT_TRUE(h.form.JvTrayIcon1.Active());
    }
}

TEST_F(Gerente, SegundaTelaLogoDepoisDoFimDaPrimeira) {
    const std::vector<CasoHide> casos = {
        {"two cards paying one sale", Fim::Aprovada, "CRT"},
        {"an administration right after a sale", Fim::Aprovada, "ADM"},
        {"an administration right after another", Fim::AdmConcluida, "ADM"},
        {"a sale right after an administration", Fim::AdmConcluida, "CRT"},
        {"a sale right after a cancellation", Fim::Cancelada, "CRT"},
    };
    for (const auto& c : casos) {
        for (int atraso = 0; atraso < 1000; atraso += 100) {
            SCOPED_TRACE(std::string(c.nome) + ", second request " + std::to_string(atraso) + " ms after");
            TGerenteVirtual h;
            h.frm.FUrl = "http://loja.exemplo/";
            h.Inicia();
            const bool adm = c.primeiro == Fim::AdmConcluida;
            h.Pedido(adm ? TLinhas{"000-000 = ADM", "001-000 = 1"}
                         : TLinhas{"000-000 = CRT", "001-000 = 1", "003-000 = 1000"});
            for (int t = 0; t < 3000 && h.form.GeckoBrowser1.Enderecos.empty(); t += 10) h.app.Avanca(10);
            ASSERT_EQ(h.form.GeckoBrowser1.Enderecos.size(), 1u);
            if (c.primeiro == Fim::Cancelada) {
                h.app.ExecutaHandler("SpeedButton1Click", h.form.Eventos.SpeedButton1Click);
            } else {
                h.form.GeckoBrowser1.Canal = adm ? kAdmConcluida : kVendaAprovada;
                for (int t = 0; t < 1000 && !h.TemResp("intpos.001"); t += 10) h.app.Avanca(10);
            }
            ASSERT_TRUE(h.TemResp("intpos.001"));
            ASSERT_TRUE(h.form.tmOculta->Enabled()) << "the hide is armed";
            ApagaArquivo(h.B + "resp/intpos.001");
            ApagaArquivo(h.B + "resp/intpos.sts");

            h.app.Avanca(atraso);
            const bool segundoAdm = std::string(c.segundo) == "ADM";
            h.Pedido(segundoAdm ? TLinhas{"000-000 = ADM", "001-000 = 2"}
                                : TLinhas{"000-000 = CRT", "001-000 = 2", "003-000 = 500"});
            const std::string tela = segundoAdm ? "Adm" : "Venda";
            const auto paginas = [&] {
                int n = 0;
                for (const auto& e : h.form.GeckoBrowser1.Enderecos)
                    if (Utf16ParaUtf8(e).find("tela=" + tela + "&") != std::string::npos) ++n;
                return n;
            };
            const int antes = paginas();
            for (int t = 0; t < 4000 && paginas() == antes; t += 10) h.app.Avanca(10);
            ASSERT_EQ(paginas(), antes + 1) << "the second screen's page was loaded";
            h.app.Avanca(1500);
            ASSERT_TRUE(h.form.tmCmds->Enabled()) << "its channel is polled";
            EXPECT_TRUE(h.form.Janela.Visible());
            h.form.GeckoBrowser1.Canal = segundoAdm ? kAdmConcluida : kVendaAprovada;
            for (int t = 0; t < 1000 && !h.TemResp("intpos.001"); t += 10) h.app.Avanca(10);
            ASSERT_TRUE(h.TemResp("intpos.001")) << "the second transaction is answered";
            EXPECT_NE(h.Resp("intpos.001").find("001-000 = 2\r\n"), std::string::npos);
            EXPECT_EQ(h.Resp("intpos.001").substr(0, 13), segundoAdm ? "000-000 = ADM" : "000-000 = CRT");
            h.app.Avanca(1100);
            EXPECT_FALSE(h.form.Janela.Visible());
            EXPECT_FALSE(h.frm.FModoAdm);
        }
    }
}

TEST_F(Gerente, VendaZeradaLogoDepoisDeUmaAdministracaoECanceladaComoVenda) {
    // An administration's mode left over by the pending hide must not shape
    // the next sale's cancellation.
    g.Pedido({"000-000 = ADM", "001-000 = 1"});
    ASSERT_TRUE(AvancaAte([&] { return Paginas("Adm") == 1; }));
    g.form.GeckoBrowser1.Canal = kAdmConcluida;
    ASSERT_TRUE(AvancaAte([&] { return g.TemResp("intpos.001"); }));
    ApagaArquivo(g.B + "resp/intpos.001");
    g.Pedido({"000-000 = CRT", "001-000 = 2", "003-000 = 0"});
    ASSERT_TRUE(AvancaAte([&] { return g.TemResp("intpos.001"); }, 1000));
    EXPECT_EQ(g.Resp("intpos.001").substr(0, 13), "000-000 = CRT");
}

// ---- answers that cannot be written ----------------------------------------------------------

TEST_F(Gerente, RespostaQueNaoGravaEGuardadaEGravadaDepoisNaOrdem) {
    g.app.Avanca(2000);  // idle in the tray
    CriaDir(g.B + "resp/intpos.001");  // the answer's name is taken: every write fails
    g.Pedido({"000-000 = CRT", "001-000 = 7", "002-000 = 99", "003-000 = 1000"});
    ASSERT_TRUE(AvancaAte([&] { return Paginas("Venda") == 1; }));
    g.app.Avanca(500);
    g.form.GeckoBrowser1.Canal = kVendaAprovada;
    g.app.Avanca(600);
    EXPECT_EQ(Conta(Log(), "Cannot create file \"" + g.B + "resp/intpos.001\""), 1) << Log();
    ASSERT_EQ(g.app.Mensagens.size(), 1u) << "the operator is told";
    EXPECT_NE(g.app.Mensagens[0].texto.find("resp/intpos.001"), std::string::npos);
    EXPECT_TRUE(g.form.Janela.Visible()) << "no hide before the answer is out";
    EXPECT_FALSE(g.form.tmOculta->Enabled());
    TLinhas temp;
    ListaArquivos(g.B + "temp/", temp, false);
    EXPECT_EQ(temp, TLinhas(ArquivosDeRegistro(g.B + "temp/"))) << "one record";
    EXPECT_EQ(temp.size(), 1u)
        << "no staging file left; the record of the sale stays until its answer is out";

    // Ticks go on trying, silently; a new request waits behind the answer.
    g.Pedido({"000-000 = ATV", "001-000 = 8"}, "atv.001");
    g.app.Avanca(5000);
    EXPECT_TRUE(Existe(g.B + "req/atv.001"));
    EXPECT_EQ(Conta(Log(), "Exception:"), 1);
    EXPECT_EQ(g.app.Mensagens.size(), 1u);

    RemoveArvore(g.B + "resp/intpos.001");
    ASSERT_TRUE(AvancaAte([&] { return g.TemResp("intpos.001"); }, 1000));
    EXPECT_EQ(g.Resp("intpos.001"),
              TextoLinhas({"000-000 = CRT", "001-000 = 7", "003-000 = 1000", "009-000 = 0", "999-999 = 0"}));
    EXPECT_NE(Log().find("written after all"), std::string::npos);
    ASSERT_TRUE(AvancaAte([&] { return !g.form.Janela.Visible(); }, 1500)) << "then the window hides";
    ASSERT_TRUE(AvancaAte([&] { return !Existe(g.B + "req/atv.001"); }, 2000));
    EXPECT_NE(g.Resp("intpos.sts").find("001-000 = 8"), std::string::npos) << "and the waiting request is served";
}

TEST_F(Gerente, ConfirmacaoQueNaoGravaAbreATelaSoDepoisDeGravada) {
    CriaDir(g.B + "resp/intpos.sts");
    g.Pedido({"000-000 = CRT", "001-000 = 3", "003-000 = 1000"});
    g.app.Avanca(3000);
    EXPECT_FALSE(Existe(g.B + "req/intpos.001")) << "the request was read";
    EXPECT_EQ(Paginas("Venda"), 0) << "no screen before its acknowledgement";
    ASSERT_EQ(g.app.Mensagens.size(), 1u);
    RemoveArvore(g.B + "resp/intpos.sts");
    ASSERT_TRUE(AvancaAte([&] { return Paginas("Venda") == 1; }, 2000));
    EXPECT_EQ(g.Resp("intpos.sts"), TextoLinhas({"000-000 = CRT", "001-000 = 3", "999-999 = 0"}));
}

TEST_F(Gerente, ConfirmacaoQueEsperaNaoDeixaAJanelaParadaNaFrente) {
    // Right after a sale its window still shows, waiting to hide, when the
    // next sale's acknowledgement cannot be written: the window goes to the
    // tray instead of showing the old page, the operator hears once why the
    // sale waits, and the screen opens once the acknowledgement is out.
    g.Pedido({"000-000 = CRT", "001-000 = 1", "003-000 = 1000"});
    ASSERT_TRUE(AvancaAte([&] { return Paginas("Venda") == 1; }));
    g.app.Avanca(500);
    g.form.GeckoBrowser1.Canal = kVendaAprovada;
    ASSERT_TRUE(AvancaAte([&] { return g.TemResp("intpos.001"); }));
    ApagaArquivo(g.B + "resp/intpos.sts");
    CriaDir(g.B + "resp/intpos.sts");  // the acknowledgement cannot be written
    g.Pedido({"000-000 = CRT", "001-000 = 2", "003-000 = 2500"});
    ASSERT_TRUE(AvancaAte([&] { return !Existe(g.B + "req/intpos.001"); }));
    ASSERT_TRUE(AvancaAte([&] { return !g.form.Janela.Visible(); }, 2000)) << "no window in front of the operator";
    EXPECT_FALSE(g.form.tmCmds->Enabled()) << "the old page is not read";
    g.app.Avanca(3000);
    EXPECT_EQ(Paginas("Venda"), 1) << "no screen before the acknowledgement";
    ASSERT_EQ(g.app.Mensagens.size(), 1u) << "told once";
    EXPECT_EQ(g.app.Mensagens[0].texto.rfind(textos::TransacaoAguarda + "\r", 0), 0u) << g.app.Mensagens[0].texto;
    RemoveArvore(g.B + "resp/intpos.sts");
    ASSERT_TRUE(AvancaAte([&] { return Paginas("Venda") == 2; }, 2000));
    EXPECT_TRUE(g.form.Janela.Visible());
    EXPECT_NE(Utf16ParaUtf8(g.form.GeckoBrowser1.Enderecos.back()).find("&valor=2500&"), std::string::npos);
    EXPECT_EQ(g.Resp("intpos.sts"), TextoLinhas({"000-000 = CRT", "001-000 = 2", "999-999 = 0"}));
}

// ---- a request that arrives while an earlier screen is open ----------------------------------

// Sale A (101, R$ 10,00) has its screen open when sale B (102, R$ 50,00)
// arrives: A is answered as cancelled at once, B gets a page of its own, and
// nothing A's page still hands over is ever written as B's answer.
TEST_F(Gerente, PedidoNovoNaoLevaOResultadoDaTelaAnterior) {
    enum class Quando { AntesDeCarregar, ComAPaginaMostrada, NoMesmoTickDoResultado, ResultadoAntesDoPedido };
    const std::vector<std::pair<const char*, Quando>> casos = {
        {"B before A's page has loaded", Quando::AntesDeCarregar},
        {"B while A's page is shown, A's page approves after", Quando::ComAPaginaMostrada},
        {"B in the tick that reads A's result, delivered after", Quando::NoMesmoTickDoResultado},
        {"A's result delivered just before B is read", Quando::ResultadoAntesDoPedido},
    };
    const std::u16string aprovadaA = u"000-000 = CRT\u00A7001-000 = #001#\u00A7003-000 = 1000\u00A7009-000 = 0\u00A7"
                                     u"012-000 = 4242\u00A7027-000 = 99\u00A7030-000 = pagina A\u00A7999-999 = 0";
    const std::u16string aprovadaB = u"000-000 = CRT\u00A7001-000 = #001#\u00A7003-000 = 5000\u00A7009-000 = 0\u00A7030-000 = pagina B\u00A7999-999 = 0";
    for (const auto& [nome, quando] : casos) {
        SCOPED_TRACE(nome);
        TGerenteVirtual h;
        auto& nav = h.form.GeckoBrowser1;
        std::vector<std::string> jornal;
        h.frm.Observador.Erro = [&](const std::string& t) { jornal.push_back(t); };
        const auto AvancaAte = [&h](const std::function<bool()>& condicao, int limiteMs = 10000) {
            for (int t = 0; t < limiteMs && !condicao(); t += 10) h.app.Avanca(10);
            return condicao();
        };
        h.Inicia();
        // One run with a confirmation address, one without.
        if (quando == Quando::ComAPaginaMostrada) h.frm.FUrlConfirmacao = "https://web.exemplo/confirmacao.php";
        if (quando == Quando::AntesDeCarregar) nav.NavegacaoPendente = true;
        h.Pedido({"000-000 = CRT", "001-000 = 101", "002-000 = 1", "003-000 = 1000"});
        const auto paginas = [&](const std::string& valor) {
            int n = 0;
            for (const auto& e : nav.Enderecos)
                if (Utf16ParaUtf8(e).find("&valor=" + valor + "&") != std::string::npos) ++n;
            return n;
        };
        ASSERT_TRUE(AvancaAte([&] { return paginas("1000") == 1; }));
        h.app.Avanca(100);
        if (quando == Quando::ComAPaginaMostrada) nav.NavegacaoPendente = true;  // B's page will be slow
        if (quando == Quando::NoMesmoTickDoResultado || quando == Quando::ResultadoAntesDoPedido) {
            nav.LeiturasAdiadas = true;
            nav.Canal = aprovadaA;                                                  // the operator approves A
            ASSERT_TRUE(AvancaAte([&] { return nav.Canal->empty(); }, 1000));  // a tick has read it
            if (quando == Quando::ResultadoAntesDoPedido) nav.EntregaLeituras();
        }
        h.Pedido({"000-000 = CRT", "001-000 = 102", "002-000 = 2", "003-000 = 5000"});
        ASSERT_TRUE(AvancaAte([&] { return !Existe(h.B + "req/intpos.001"); }));
        if (quando == Quando::ResultadoAntesDoPedido) {
            EXPECT_EQ(campo(h, "001-000"), "101");
            EXPECT_EQ(campo(h, "030-000"), "pagina A") << "A answered by its own page";
        } else {
            EXPECT_EQ(h.Resp("intpos.001"),
                      TextoLinhas({"000-000 = CRT", "001-000 = 101", "002-000 = 1", "003-000 = 1000", "011-000 = 0",
                                   "028-000 = 0", "030-000 = TEF Marel Raruveda foi cancelado", "999-999 = 0"}))
                << "A is released at once with its own cancellation";
        }
        EXPECT_EQ(h.Resp("intpos.sts"), TextoLinhas({"000-000 = CRT", "001-000 = 102", "999-999 = 0"}));
        const std::string antes = h.Resp("intpos.001");
        if (quando == Quando::ComAPaginaMostrada) {
            nav.Canal = aprovadaA;  // A's page, still shown, approves
            h.app.Avanca(1000);
        }
        if (quando == Quando::NoMesmoTickDoResultado) nav.EntregaLeituras();
        nav.LeiturasAdiadas = false;
        ASSERT_TRUE(AvancaAte([&] { return paginas("5000") == 1; })) << "B's page, with B's data";
        EXPECT_EQ(h.Resp("intpos.001"), antes) << "A's page never answers B";
        const bool descartado = quando == Quando::ComAPaginaMostrada || quando == Quando::NoMesmoTickDoResultado;
        EXPECT_EQ(Conta(Log(h), "Result of the page of an earlier screen"), descartado ? 1 : 0) << Log(h);
        EXPECT_EQ(Conta(Log(h), "pagina A"), descartado ? 1 : 0) << "the dropped result is kept in the log";
        EXPECT_EQ(jornal.size(), descartado ? 1u : 0u);
        for (const auto& j : jornal) EXPECT_EQ(j.find("pagina A"), std::string::npos) << "a receipt's lines stay at the till";
        // A paid at the web system and cancelled for its commercial
        // application: undone there, or the operator told at once.
        if (quando == Quando::ComAPaginaMostrada) {
            const auto mensagens = MensagensDaSaida(h.B + "temp/confirmacoes/");
            ASSERT_EQ(mensagens.size(), 1u);
            EXPECT_EQ(LeMensagem(mensagens[0]),
                      (componentes::TCampos{{"000-000", "NCN"}, {"001-000", "101"}, {"002-000", "1"},
                                            {"003-000", "1000"}, {"010-000", ""}, {"012-000", "4242"},
                                            {"027-000", "99"}, {"motivo", textos::MotivoTelaSubstituida}}));
        }
        if (quando == Quando::NoMesmoTickDoResultado) {
            h.app.Avanca(100);
            ASSERT_FALSE(h.app.Mensagens.empty());
            EXPECT_EQ(h.app.Mensagens.back().texto.rfind("A venda 101 de R$ 10,00 foi aprovada pelo sistema web (NSU 4242)", 0),
                      0u)
                << h.app.Mensagens.back().texto;
            EXPECT_EQ(AprovacoesADesfazer(h.B + "temp/").size(), 1u) << "the status report says so for a day";
        }
        if (!descartado) {
            EXPECT_TRUE(MensagensDaSaida(h.B + "temp/confirmacoes/").empty());
            EXPECT_TRUE(AprovacoesADesfazer(h.B + "temp/").empty());
        }

        nav.ConcluiNavegacao();
        nav.NavegacaoPendente = false;
        h.app.Avanca(100);
        nav.Canal = aprovadaB;
        ASSERT_TRUE(AvancaAte([&] { return campo(h, "001-000") == "102"; }, 2000));
        EXPECT_EQ(campo(h, "003-000"), "5000");
        EXPECT_EQ(campo(h, "030-000"), "pagina B");
        EXPECT_EQ(paginas("1000"), 1) << "A's page was never loaded again";
        ASSERT_TRUE(AvancaAte([&] { return !h.form.Janela.Visible(); }, 3000)) << "back to the tray after B's answer";
    }
}

TEST_F(Gerente, PedidoNovoComOCancelamentoDoAnteriorSemPoderGravarNaoSePerde) {
    // The earlier request's cancellation cannot be written yet (a full
    // disk): the new request is still taken, acknowledged after it, and gets
    // its screen once both are out.
    g.Pedido({"000-000 = CRT", "001-000 = 101", "002-000 = 7", "003-000 = 1000"});
    ASSERT_TRUE(AvancaAte([&] { return Paginas("Venda") == 1; }));
    CriaDir(g.B + "resp/intpos.001");
    g.Pedido({"000-000 = CRT", "001-000 = 102", "003-000 = 5000"});
    ASSERT_TRUE(AvancaAte([&] { return !Existe(g.B + "req/intpos.001"); }));
    g.app.Avanca(2000);
    EXPECT_EQ(g.frm.FPendentes.size(), 2u) << "the cancellation, then the acknowledgement";
    RemoveArvore(g.B + "resp/intpos.001");
    ASSERT_TRUE(AvancaAte([&] { return Paginas("Venda") == 2; }, 3000));
    EXPECT_EQ(g.Resp("intpos.001"), TextoLinhas(kCancelada101));
    EXPECT_EQ(g.Resp("intpos.sts"), TextoLinhas({"000-000 = CRT", "001-000 = 102", "999-999 = 0"}));
    EXPECT_NE(Utf16ParaUtf8(g.form.GeckoBrowser1.Enderecos.back()).find("&valor=5000&"), std::string::npos);
}

#ifndef _WIN32
// temp/ and resp/ are open to the whole group "tef". Whatever a member plants
// under a staging name is never written through nor put in place; the answer
// goes out under another name and the planting is reported once.
TEST_F(Gerente, NomesDeTrabalhoOcupadosNaoSaoSeguidos) {
    enum class Plantio { LigacaoParaVitima, LigacaoQuebrada, Fifo, Diretorio };
    const std::vector<std::pair<const char*, Plantio>> plantios = {
        {"a link to a victim file", Plantio::LigacaoParaVitima},
        {"a dangling link", Plantio::LigacaoQuebrada},
        {"a FIFO", Plantio::Fifo},
        {"a directory", Plantio::Diretorio},
    };
    for (const bool outroSistema : {false, true}) {
        for (const auto& [nomePlantio, plantio] : plantios) {
            SCOPED_TRACE(std::string(nomePlantio) + (outroSistema ? ", resp/ on another file system" : ""));
            TGerenteVirtual h;
            struct Desmonta {
                std::string d;
                ~Desmonta() {
                    if (!d.empty()) ::umount2(d.c_str(), MNT_DETACH);
                }
            } desmonta;
            if (outroSistema) {
                if (::mount("tmpfs", (h.B + "resp").c_str(), "tmpfs", 0, "size=1m") != 0)
                    GTEST_SKIP() << "cannot mount a tmpfs as resp/ here (" << std::strerror(errno) << ")";
                desmonta.d = h.B + "resp";
            }
            CriaDir(h.B + "temp");
            GravaBytes(h.B + "vitima", "segredo de outro usuario\r\n");
            ASSERT_EQ(::chmod((h.B + "vitima").c_str(), 0600), 0);
            // The names the next write takes (the virtual clock stands still).
            const TDataHora t = h.app.Agora();
            const std::string nome = "ArqTemp_" + std::to_string(t.hora) + "_" + std::to_string(t.minuto) + "_" +
                                     std::to_string(t.segundo) + "_" + std::to_string(t.milissegundo) + ".tef";
            // Across file systems the staging copy in temp/ is followed by a
            // hidden copy beside the answer: that is where the plant waits.
            const std::vector<std::string> plantados = {outroSistema ? h.B + "resp/." + nome : h.B + "temp/" + nome};
            for (const auto& c : plantados) {
                switch (plantio) {
                case Plantio::LigacaoParaVitima:
                    ASSERT_EQ(::symlink((h.B + "vitima").c_str(), c.c_str()), 0);
                    break;
                case Plantio::LigacaoQuebrada:
                    ASSERT_EQ(::symlink((h.B + "criado_pela_ligacao").c_str(), c.c_str()), 0);
                    break;
                case Plantio::Fifo:
                    ASSERT_EQ(::mkfifo(c.c_str(), 0666), 0);
                    break;
                case Plantio::Diretorio:
                    CriaDir(c);
                    break;
                }
            }
            const TLinhas resposta = {"000-000 = CRT", "001-000 = 7", "009-000 = 0", "999-999 = 0"};
            h.frm.GravaResposta("intpos.001", resposta);
            h.frm.GravaResposta("intpos.001", resposta);  // the same millisecond, the same names

            EXPECT_EQ(LeBytes(h.B + "vitima"), "segredo de outro usuario\r\n") << "the victim is untouched";
            EXPECT_FALSE(Existe(h.B + "criado_pela_ligacao")) << "nothing created through a dangling link";
            const auto r = plataforma::Consulta(h.B + "resp/intpos.001", false);
            ASSERT_TRUE(r);
            EXPECT_EQ(r->tipo, plataforma::TTipoEntrada::Regular) << "the answer is a file of ours, not what was planted";
            EXPECT_EQ(h.Resp("intpos.001"), TextoLinhas(resposta));
            for (const auto& c : plantados) {
                EXPECT_TRUE(plataforma::Consulta(c, false)) << c << " is left alone";
                EXPECT_EQ(Conta(Log(h), c), 1) << "reported once: " << Log(h);
            }
            for (const std::string dir : {"temp/", "resp/"}) {
                const auto entradas = plataforma::ListaDiretorio(h.B + dir);
                ASSERT_TRUE(entradas);
                for (const auto& e : *entradas)
                    EXPECT_TRUE(e.nome == "intpos.001" ||
                                std::find(plantados.begin(), plantados.end(), h.B + dir + e.nome) != plantados.end())
                        << "left behind: " << dir << e.nome;
            }
        }
    }
}

TEST(ArquivoDeTrabalho, TrocadoAntesDeIrParaOLugarNaoViraAResposta) {
    // Written, then renamed away by someone else and replaced by a link (or
    // a file of theirs): what lies under the name now must not be renamed in.
    TDiretorioTemporario d;
    GravaBytes(d / "intpos.001", "velho\r\n");
    GravaBytes(d / "vitima", "v");
    for (const bool ligacao : {true, false}) {
        SCOPED_TRACE(ligacao ? "a link" : "another file");
        TArquivoDeTrabalho t(d.Caminho(), "ArqTemp_1_2_3_4.tef");
        t.Escreve("novo\r\n");
        ASSERT_EQ(::rename(t.Caminho().c_str(), (d / "levado").c_str()), 0);
        if (ligacao) {
            ASSERT_EQ(::symlink((d / "vitima").c_str(), t.Caminho().c_str()), 0);
        } else {
            GravaBytes(t.Caminho(), "000-000 = CRT\r\n009-000 = 0\r\n");
        }
        try {
            t.PoeNoLugar(d / "intpos.001");
            ADD_FAILURE() << "put in place";
        } catch (const EFCreateError& e) {
            EXPECT_EQ(e.Message().rfind("Cannot create file \"" + d / "intpos.001" + "\". ", 0), 0u) << e.Message();
        }
        EXPECT_EQ(LeBytes(d / "intpos.001"), "velho\r\n");
        EXPECT_EQ(LeBytes(d / "vitima"), "v");
        ApagaArquivo(t.Caminho());
        ApagaArquivo(d / "levado");
    }
}

TEST(ArquivoDeTrabalho, TravaNaoSegueLigacao) {
    // The store's lock sits in /etc/orvex, open to the group.
    TDiretorioTemporario d;
    ASSERT_EQ(::symlink((d / "criado_pela_ligacao").c_str(), (d / "tef.reg.lock").c_str()), 0);
    plataforma::TTrava trava;
    EXPECT_NE(trava.Toma(d / "tef.reg.lock"), 0);
    EXPECT_FALSE(Existe(d / "criado_pela_ligacao"));
}

TEST(ArquivoDeTrabalho, TravaPresaPorOutroNaoEsperaParaSempre) {
    // Any member of the group can open the store's lock and hold it.
    TDiretorioTemporario d;
    plataforma::TTrava outro, nossa, leitura;
    ASSERT_EQ(outro.Toma(d / "tef.reg.lock"), 0);
    EXPECT_EQ(nossa.Toma(d / "tef.reg.lock", 50), plataforma::ErroTravaOcupada());
    EXPECT_EQ(leitura.TomaCompartilhada(d / "tef.reg.lock", 50), plataforma::ErroTravaOcupada());
}

TEST_F(Gerente, TracoNaoESeguidoPorLigacao) {
    CriaDir(g.B + "debug");
    GravaBytes(g.B + "vitima", "v");
    ASSERT_EQ(::symlink((g.B + "vitima").c_str(), (g.B + "debug/Debug.txt").c_str()), 0);
    g.frm.GravaResposta("intpos.sts", {"000-000 = ATV", "001-000 = 1", "999-999 = 0"});
    EXPECT_EQ(LeBytes(g.B + "vitima"), "v") << "neither read nor written through the link";
    EXPECT_EQ(plataforma::Consulta(g.B + "debug/Debug.txt", false)->tipo, plataforma::TTipoEntrada::Regular);
    EXPECT_NE(LeBytes(g.B + "debug/Debug.txt").find("001-000 = 1\r\n"), std::string::npos);
}

TEST_F(Gerente, RespostaEmOutroSistemaDeArquivos) {
    // resp/ on a tmpfs of its own: a rename from temp/ cannot cross into it.
    const std::string resp = g.B + "resp";
    if (::mount("tmpfs", resp.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs as resp/ here (" << std::strerror(errno) << ")";
    struct Desmonta {
        std::string d;
        ~Desmonta() { ::umount2(d.c_str(), MNT_DETACH); }
    } desmonta{resp};
    g.frm.GaranteAtivo();
    g.Pedido({"000-000 = ATV", "001-000 = 5"});
    g.app.Avanca(1000);
    EXPECT_EQ(g.Resp("intpos.sts"), TextoLinhas({"000-000 = ATV", "001-000 = 5", "999-999 = 0"}));
    EXPECT_EQ(g.Resp("ativo.001").substr(0, 15), "000-000 = TEF\r\n");
    TLinhas sobras;
    ListaArquivos(g.B + "temp/", sobras, false);
    ListaArquivos(resp, sobras, false);
    std::sort(sobras.begin(), sobras.end());
    EXPECT_EQ(sobras, (TLinhas{resp + "/Ativo.001", resp + "/ativo.001", resp + "/intpos.sts"}))
        << "no staging copy left on either side";
}
#endif

TEST(Reinicio, SobrasDeUmaEscritaInterrompidaSomemNoInicio) {
    TDiretorioTemporario d;
    CriaDir(d / "temp");
    CriaDir(d / "resp");
    GravaBytes(d / "temp/ArqTemp_9_7_2_0.tef", "000-000 = CR");  // killed while writing
    GravaBytes(d / "temp/outro.txt", "not ours");
    GravaBytes(d / "resp/.ArqTemp_9_7_2_1.tef", "000-000 = CRT\r\n");  // the hidden copy of a rename across file systems
    componentes::TAplicacaoVirtual app(d / "TefOrvex");
    componentes::TFormPrincipalVirtual form(app);
    TfrmPrincipal frm(app, form.Componentes());
    frm.PreparaDiretorios();
    EXPECT_FALSE(Existe(d / "temp/ArqTemp_9_7_2_0.tef"));
    EXPECT_FALSE(Existe(d / "resp/.ArqTemp_9_7_2_1.tef"));
    EXPECT_TRUE(Existe(d / "temp/outro.txt"));
}

// ---- the marker ---------------------------------------------------------------------------------

TEST_F(Gerente, MarcadorComNomeMinusculoRefeitoQuandoSomeENaoDepoisDeFechar) {
    g.frm.GaranteAtivo();
    const std::string original = g.Resp("Ativo.001");
    EXPECT_EQ(g.Resp("ativo.001"), original) << "found by a Windows client's lower-case name";
    g.app.Avanca(5000);
    ApagaArquivo(g.B + "resp/Ativo.001");
    ApagaArquivo(g.B + "resp/ativo.001");
    g.app.Avanca(500);
    EXPECT_EQ(g.Resp("Ativo.001"), original) << "rewritten, still with the start's moment";
    EXPECT_EQ(g.Resp("ativo.001"), original);

#ifndef _WIN32
    // A rewrite replaces both names at once: they are one file (on Windows
    // they are one name).
    struct stat a{}, b{};
    ASSERT_EQ(::stat((g.B + "resp/Ativo.001").c_str(), &a), 0);
    ASSERT_EQ(::stat((g.B + "resp/ativo.001").c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
#endif

    g.frm.FormClose();
    EXPECT_FALSE(Existe(g.B + "resp/Ativo.001"));
    EXPECT_FALSE(Existe(g.B + "resp/ativo.001"));
    g.app.Avanca(1000);
    EXPECT_FALSE(Existe(g.B + "resp/Ativo.001")) << "never written again once closing started";
}

TEST_F(Gerente, MarcadorQueNaoGravaNoInicioAvisaUmaVezEGravaDepois) {
    CriaDir(g.B + "resp/Ativo.001");
    g.frm.GaranteAtivo();
    g.app.Avanca(3000);
    EXPECT_EQ(Conta(Log(), "Exception:"), 1);
    ASSERT_EQ(g.app.Mensagens.size(), 1u);
    EXPECT_NE(g.app.Mensagens[0].texto.find("resp/Ativo.001"), std::string::npos);
    RemoveArvore(g.B + "resp/Ativo.001");
    g.app.Avanca(500);
    EXPECT_EQ(g.Resp("Ativo.001").substr(0, 15), "000-000 = TEF\r\n");
}

// ---- requests that cannot be taken ------------------------------------------------------------

#ifndef _WIN32
// Links and FIFOs in req/, and requests the manager may not read or delete,
// set up with POSIX links and permissions.
TEST_F(Gerente, LinkFifoNaoSaoLidosNemSeguidosEORestoSegue) {
    CriaDir(g.B + "debug");
    GravaBytes(g.B + "segredo.txt", "000-000 = ADM\r\n001-000 = segredo\r\n");
    ASSERT_EQ(::symlink((g.B + "segredo.txt").c_str(), (g.B + "req/y.001").c_str()), 0);
    ASSERT_EQ(::mkfifo((g.B + "req/z.001").c_str(), 0600), 0);
    g.Pedido({"000-000 = ATV", "001-000 = 9"}, "a.001");
    g.app.Avanca(5000);
    EXPECT_EQ(g.Resp("intpos.sts"), TextoLinhas({"000-000 = ATV", "001-000 = 9", "999-999 = 0"}));
    EXPECT_TRUE(Existe(g.B + "req/y.001"));
    EXPECT_TRUE(Existe(g.B + "req/z.001"));
    EXPECT_EQ(Conta(Log(), "is not a regular file"), 2) << "each reported once: " << Log();
    EXPECT_EQ(LeBytes(g.B + "debug/Debug.txt").find("segredo"), std::string::npos);
    EXPECT_EQ(g.Resp("intpos.sts").find("segredo"), std::string::npos);
}

TEST_F(Gerente, PedidoIlegivelNaoSeguraOsOutrosERelataUmaVez) {
    // As an ordinary user: root reads files whatever their permissions.
    ::chmod(g.dir.Caminho().c_str(), 0777);
    for (const char* d : {"", "req", "resp", "temp"}) {
        CriaDir(g.B + d);
        ::chmod((g.B + d).c_str(), 0777);
    }
    std::string motivo;
    const bool ok = ComoUsuarioComum(
        [&] {
            GravaBytes(g.B + "req/u.001", "000-000 = ATV\r\n001-000 = 1\r\n");
            ::chmod((g.B + "req/u.001").c_str(), 0);
            for (int i = 2; i <= 5; ++i)
                GravaBytes(g.B + "req/p" + std::to_string(i) + ".001",
                           "000-000 = ATV\r\n001-000 = " + std::to_string(i) + "\r\n");
            g.app.Avanca(10000);
            TLinhas restantes;
            ListaArquivos(g.B + "req/", restantes, false);
            EXPECT_EQ(restantes, TLinhas{g.B + "req/u.001"}) << "every readable request was served";
            EXPECT_EQ(Conta(Log(), "Cannot open file \"" + g.B + "req/u.001\""), 1) << Log();

            ::chmod((g.B + "req/u.001").c_str(), 0644);
            g.app.Avanca(1500);
            EXPECT_FALSE(Existe(g.B + "req/u.001")) << "served once readable";
            EXPECT_NE(g.Resp("intpos.sts").find("001-000 = 1\r\n"), std::string::npos);
        },
        motivo);
    EXPECT_TRUE(ok) << motivo;
}

TEST_F(Gerente, PedidoQueNaoSeApagaNaoEAtendidoDuasVezes) {
    ::chmod(g.dir.Caminho().c_str(), 0777);
    for (const char* d : {"", "req", "resp", "temp", "debug"}) {
        CriaDir(g.B + d);
        ::chmod((g.B + d).c_str(), 0777);
    }
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown((g.B + "req").c_str(), 65534, 65534), 0);
    }
    std::string motivo;
    const bool ok = ComoUsuarioComum(
        [&] {
            GravaBytes(g.B + "req/intpos.001", "000-000 = ATV\r\n001-000 = 4\r\n");
            ::chmod((g.B + "req").c_str(), 0555);
            g.app.Avanca(5000);
            EXPECT_FALSE(g.TemResp("intpos.sts")) << "not acted on while it stays";
            EXPECT_EQ(Conta(Log(), "Cannot delete file"), 1) << Log();
            // Read, so traced: once, while it stays.
            const std::string traco = LeBytes(g.B + "debug/Debug.txt");
            EXPECT_EQ(Conta(traco, "Tipo: Req\r\nNome do Arquivo: " + g.B + "req/intpos.001\r\n"), 1) << traco;
            ::chmod((g.B + "req").c_str(), 0777);
            g.app.Avanca(1500);
            EXPECT_FALSE(Existe(g.B + "req/intpos.001"));
            EXPECT_EQ(g.Resp("intpos.sts"), TextoLinhas({"000-000 = ATV", "001-000 = 4", "999-999 = 0"}));
        },
        motivo);
    EXPECT_TRUE(ok) << motivo;
}
#endif

// ---- errors the operator sees -----------------------------------------------------------------

struct FalhaImpressora : componentes::IImpressora {
    void ImprimeLinhas(const TLinhas&) override { throw EInOutError(2, "File not found"); }
};

TEST_F(Gerente, ErroDeUmaAcaoDoOperadorApareceNumaCaixaSemEmpilhar) {
    g.app.DuracaoMensagem = [&](const componentes::TAplicacaoVirtual::Mensagem&) {
        // The same error again while the box is open does not stack a box.
        g.app.ExecutaHandler("Restaurar1Click", [] { throw Exception("Falhou"); });
        return 1000;
    };
    g.app.ExecutaHandler("Restaurar1Click", [] { throw Exception("Falhou"); });
    g.app.Avanca(2000);
    ASSERT_EQ(g.app.Mensagens.size(), 1u);
    EXPECT_EQ(g.app.Mensagens[0].tipo, TipoMensagem::Erro);
    EXPECT_EQ(g.app.Mensagens[0].texto, "Falhou");
    EXPECT_EQ(Conta(Log(), "Message: Falhou"), 2) << "both go to the log";

    // A tick's error is for the log only; a printout that failed is the operator's.
    g.app.DuracaoMensagem = nullptr;
    g.app.ExecutaHandler("tmVerificaTimer", [] { throw Exception("Do log"); });
    FalhaImpressora impressora;
    g.frm.C.Impressora = &impressora;
    g.frm.FTefComercial = false;
    g.app.ExecutaHandler("tmCmdsTimer", [&] { g.frm.ProcessaCanal(u"CUPOM\u00A7linha"); });
    g.app.Avanca(100);
    ASSERT_EQ(g.app.Mensagens.size(), 2u);
    const std::string& impressao = g.app.Mensagens[1].texto;
    EXPECT_EQ(impressao.rfind("O comprovante n\xE3o p\xF4" "de ser impresso em " + DispositivoImpressora() + ". ", 0), 0u)
        << impressao;
    EXPECT_NE(impressao.find("(File not found)"), std::string::npos) << impressao;
}

// ---- a stop, a crash or a power loss in the middle of a sale -----------------------------------


// The state of the one record of an open transaction in b's temp/ ("" when
// there is none).
std::string EstadoDoRegistro(const std::string& b) {
    const auto arquivos = ArquivosDeRegistro(b + "temp/");
    EXPECT_LE(arquivos.size(), 1u) << "one record at most";
    if (arquivos.empty()) return "";
    const auto r = LeRegistro(arquivos.back());
    return r ? r->estado : "(not a record)";
}

TEST_F(Gerente, CancelarDepoisDoResultadoNaoDesfazAAprovacao) {
    // The page approved; "Cancelar TEF" or the page's "close" within the
    // second before the window hides must not tell the commercial
    // application that the payment was not made.
    for (const bool botao : {true, false}) {
        SCOPED_TRACE(botao ? "Cancelar TEF" : "the page's close");
        ApagaArquivo(g.B + "resp/intpos.001");
        g.Pedido({"000-000 = CRT", "001-000 = " + std::string(botao ? "1" : "2"), "003-000 = 1000"});
        ASSERT_TRUE(AvancaAte([&] { return g.frm.FTelaAberta && g.form.Janela.Visible(); }));
        g.app.Avanca(500);
        g.form.GeckoBrowser1.Canal = kVendaAprovada;
        ASSERT_TRUE(AvancaAte([&] { return g.TemResp("intpos.001"); }, 1000));
        const std::string aprovada = g.Resp("intpos.001");
        if (botao) g.app.ExecutaHandler("SpeedButton1Click", g.form.Eventos.SpeedButton1Click);
        else g.form.GeckoBrowser1.Canal = u"COMMAND_TEF\u00A7close";
        g.app.Avanca(2000);
        EXPECT_EQ(g.Resp("intpos.001"), aprovada);
        EXPECT_FALSE(g.form.Janela.Visible());
    }
    EXPECT_EQ(Conta(Log(), "after its page's result: not written"), 2) << Log();
}

TEST_F(Gerente, RespostaQueNaoPodeSerGravadaEEntregueNoProximoInicio) {
    // An approval still waiting to be written when the process ends: the next
    // start gives that approval, not a cancellation of a payment that was made.
    CriaDir(g.B + "resp/intpos.001");
    g.Pedido({"000-000 = CRT", "001-000 = 101", "002-000 = 7", "003-000 = 1000"});
    ASSERT_TRUE(AvancaAte([&] { return Paginas("Venda") == 1; }));
    g.app.Avanca(500);
    g.form.GeckoBrowser1.Canal = kVendaAprovada;
    g.app.Avanca(1000);
    ASSERT_EQ(g.frm.FPendentes.size(), 1u);
    EXPECT_EQ(EstadoDoRegistro(g.B), "pendente");
    RemoveArvore(g.B + "resp/intpos.001");  // ... and the process ends here
    TNovaExecucao depois(g.B);
    depois.Prepara();
    EXPECT_EQ(depois.Resp("intpos.001"),
              TextoLinhas({"000-000 = CRT", "001-000 = 101", "003-000 = 1000", "009-000 = 0", "999-999 = 0"}));
}

TEST(FimNoMeioDaVenda, RespostaLidaDepoisDoReinicioNaoSePerde) {
    // The answer is written and the manager restarts before the commercial
    // application read it: the start keeps it.
    TDiretorioTemporario d;
    TLinhas resposta;
    {
        TNovaExecucao antes(d.Caminho());
        antes.Prepara();
        antes.frm.FUrl = "http://loja.exemplo/";
        antes.form.tmVerifica->SetEnabled(true);
        SalvaLinhas(d / "req/intpos.001", {"000-000 = CRT", "001-000 = 9", "003-000 = 100"});
        antes.app.Avanca(1500);
        antes.app.Avanca(500);
        antes.form.GeckoBrowser1.Canal = kVendaAprovada;
        antes.app.Avanca(1000);
        ASSERT_TRUE(antes.TemResp("intpos.001"));
    }
    const std::string aprovada = LeBytes(d / "resp/intpos.001");
    TNovaExecucao depois(d.Caminho());
    depois.Prepara();
    EXPECT_EQ(depois.Resp("intpos.001"), aprovada);
    EXPECT_FALSE(depois.TemResp("intpos.sts"));
}

TEST(FimNoMeioDaVenda, ParadaLeOCanalUmaUltimaVezAntesDeResponder) {
    // A stop may come after the page approved and before the channel's next
    // read: that approval is the answer. Without a result, a page of the web
    // system that was there may have taken the payment.
    enum class Pagina { Aprovou, SemResultado, NaoCarregou, NaoResponde, OperadorCancelou, WebAprovou, WebNenhum };
    struct Caso {
        const char* nome;
        Pagina pagina;
        const char* campo030;  // of the answer written at the stop
        const char* desfecho;
    };
    const std::vector<Caso> casos = {
        {"the page approved after the last read", Pagina::Aprovou, nullptr, "aprovada"},
        {"the page loaded, no result", Pagina::SemResultado, "TEF interrompido", "interrompida por parada"},
        {"the page never loaded", Pagina::NaoCarregou, "TEF Marel Raruveda foi cancelado", "cancelada por parada"},
        {"the page does not answer the read", Pagina::NaoResponde, "TEF interrompido", "interrompida por parada"},
        // With the web system's confirmation address it is asked, as after a
        // crash; its page may still be deciding, so "nothing" is no answer.
        {"no result in the channel, the web system's page approved", Pagina::WebAprovou, nullptr,
         "por parada: aprovada (dito pelo sistema web)"},
        {"no result in the channel nor at the web system", Pagina::WebNenhum, "TEF interrompido",
         "interrompida por parada"},
        {"the operator cancelled in the page", Pagina::OperadorCancelou, "TEF Marel Raruveda foi cancelado",
         "cancelada pelo operador"},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        TGerenteVirtual h;
        std::vector<TFimTransacao> fins;
        h.frm.Observador.Transacao = [&](const TFimTransacao& f) { fins.push_back(f); };
        h.frm.FUrl = "http://loja.exemplo/";
        if (c.pagina == Pagina::WebAprovou || c.pagina == Pagina::WebNenhum) {
            h.frm.FUrlConfirmacao = "https://web.exemplo/confirmacao.php";
            h.form.Postador.RespostaImediata = [&c](const componentes::TPostadorVirtual::Envio& e) {
                EXPECT_EQ(componentes::TPostadorVirtual::Campo(e, "000-000"), "CNS");
                return c.pagina == Pagina::WebNenhum
                           ? componentes::RespostaHttp(200, "", {{"x-tef-resultado", "nenhum"}})
                           : componentes::RespostaHttp(200, "000-000 = CRT\xC2\xA7" "001-000 = #001#\xC2\xA7" "009-000 = 0\xC2\xA7" "999-999 = 0",
                                                       {{"x-tef-resultado", "encontrado"}});
            };
        }
        h.Inicia();
        h.form.GeckoBrowser1.NavegacaoPendente = c.pagina == Pagina::NaoCarregou;
        h.Pedido({"000-000 = CRT", "001-000 = 101", "002-000 = 7", "003-000 = 1000"});
        for (int t = 0; t < 3000 && !h.frm.FTelaAberta; t += 10) h.app.Avanca(10);
        ASSERT_TRUE(h.frm.FTelaAberta);
        h.app.Avanca(100);
        if (c.pagina == Pagina::Aprovou) h.form.GeckoBrowser1.Canal = kVendaAprovada;
        if (c.pagina == Pagina::OperadorCancelou) h.form.GeckoBrowser1.Canal = u"COMMAND_TEF\u00A7close";
        h.form.GeckoBrowser1.LeiturasAdiadas = c.pagina == Pagina::NaoResponde;
        h.frm.FormClose();
        const TLinhas resposta = DivideLinhas(h.Resp("intpos.001"));
        ASSERT_FALSE(resposta.empty());
        EXPECT_EQ(resposta[1], "001-000 = 101");
        if (c.campo030) {
            EXPECT_EQ(Gerente::campo(h, "030-000").rfind(c.campo030, 0), 0u) << h.Resp("intpos.001");
        } else {
            EXPECT_EQ(Gerente::campo(h, "009-000"), "0") << h.Resp("intpos.001");
        }
        ASSERT_EQ(fins.size(), 1u);
        EXPECT_EQ(fins[0].desfecho.rfind(c.desfecho, 0), 0u) << fins[0].desfecho;
        h.form.GeckoBrowser1.EntregaLeituras();  // a late reply changes nothing
        EXPECT_EQ(DivideLinhas(h.Resp("intpos.001")), resposta);
    }
}

TEST_F(Gerente, ParadaNoMeioDaVendaRespondeAntesDeTerminar) {
    // SIGTERM (a package upgrade restarting the service) while the page is
    // open: the request is answered at once, before the marker goes, and the
    // answer is still there after the next start for a reader that was slow.
    enum class Leitor { NaoLeu, LeuEApagou, OutraRespostaNoLugar };
    for (const Leitor leitor : {Leitor::NaoLeu, Leitor::LeuEApagou, Leitor::OutraRespostaNoLugar}) {
        SCOPED_TRACE(static_cast<int>(leitor));
        TGerenteVirtual h;
        std::vector<TFimTransacao> fins;
        h.frm.Observador.Transacao = [&](const TFimTransacao& f) { fins.push_back(f); };
        h.Inicia();
        h.frm.GaranteAtivo();
        h.Pedido({"000-000 = CRT", "001-000 = 101", "002-000 = 7", "003-000 = 1000"});
        for (int t = 0; t < 3000 && !h.frm.FTelaAberta; t += 10) h.app.Avanca(10);
        ASSERT_TRUE(h.frm.FTelaAberta);
        ASSERT_EQ(EstadoDoRegistro(h.B), "aberta") << "the acknowledged request is on record";
        bool ativoNaResposta = false;
        h.frm.Observador.Parando = [&] { ativoNaResposta = Existe(h.B + "resp/Ativo.001"); };
        h.frm.FormClose();
        EXPECT_EQ(h.Resp("intpos.001"), TextoLinhas(kInterrompida101));
        EXPECT_TRUE(ativoNaResposta) << "the marker stays until the answer is out";
        EXPECT_FALSE(Existe(h.B + "resp/Ativo.001"));
        ASSERT_EQ(fins.size(), 1u);
        EXPECT_EQ(fins[0].identificacao, "101");
        EXPECT_EQ(fins[0].desfecho.rfind("interrompida por parada", 0), 0u);

        if (leitor == Leitor::LeuEApagou) ApagaArquivo(h.B + "resp/intpos.001");
        if (leitor == Leitor::OutraRespostaNoLugar) GravaBytes(h.B + "resp/intpos.001", "000-000 = ATV\r\n");
        TNovaExecucao depois(h.B);
        depois.Prepara();
        if (leitor == Leitor::NaoLeu) {
            EXPECT_EQ(depois.Resp("intpos.001"), TextoLinhas(kInterrompida101)) << "kept for its reader";
        } else {
            EXPECT_FALSE(depois.TemResp("intpos.001")) << "nothing answered twice, nothing stale kept";
        }
        EXPECT_FALSE(depois.TemResp("intpos.sts"));
        // Nothing left to answer: the record stays only while its answer does.
        if (leitor == Leitor::NaoLeu) {
            EXPECT_EQ(EstadoDoRegistro(h.B).rfind("respondida ", 0), 0u);
        } else {
            EXPECT_EQ(EstadoDoRegistro(h.B), "");
        }
    }
}

TEST(FimNoMeioDaVenda, PedidoConfirmadoERespondidoNoProximoInicio) {
    // The process ends with a request acknowledged and unanswered (kill -9,
    // a crash, a power cut): the next start answers it as not completed.
    for (const bool adm : {false, true}) {
        SCOPED_TRACE(adm ? "ADM" : "CRT");
        TDiretorioTemporario d;
        {
            TNovaExecucao antes(d.Caminho());
            antes.Prepara();
            antes.frm.FUrl = "http://loja.exemplo/";
            antes.form.tmVerifica->SetEnabled(true);
            SalvaLinhas(d / "req/intpos.001",
                        adm ? TLinhas{"000-000 = ADM", "001-000 = 55"}
                            : TLinhas{"000-000 = CRT", "001-000 = 55", "002-000 = 3", "003-000 = 990"});
            antes.app.Avanca(1500);
            ASSERT_TRUE(antes.TemResp("intpos.sts"));
            // ... and it ends here, without closing.
        }
        TNovaExecucao depois(d.Caminho());
        std::vector<TFimTransacao> fins;
        depois.frm.Observador.Transacao = [&](const TFimTransacao& f) { fins.push_back(f); };
        depois.Prepara();
        const TLinhas esperado =
            adm ? TLinhas{"000-000 = ADM", "001-000 = 55", "011-000 = 0", "028-000 = 0",
                          "030-000 = " + textos::TefInterrompido, "999-999 = 0"}
                : TLinhas{"000-000 = CRT", "001-000 = 55", "002-000 = 3", "003-000 = 990", "011-000 = 0", "028-000 = 0",
                          "030-000 = " + textos::TefInterrompido, "999-999 = 0"};
        EXPECT_EQ(depois.Resp("intpos.001"), TextoLinhas(esperado));
        EXPECT_FALSE(depois.TemResp("intpos.sts"));
        EXPECT_EQ(EstadoDoRegistro(d.Caminho()).rfind("respondida ", 0), 0u);
        ASSERT_EQ(fins.size(), 1u);
        EXPECT_EQ(fins[0].desfecho.rfind("interrompida", 0), 0u) << fins[0].desfecho;
        // A third start has nothing left to answer.
        ApagaArquivo(d / "resp/intpos.001");
        TNovaExecucao terceira(d.Caminho());
        terceira.Prepara();
        EXPECT_FALSE(terceira.TemResp("intpos.001"));
    }
}

TEST(FimNoMeioDaVenda, RegistrosPlantadosOuEstragadosSaoDitosComoSao) {
    // What lies in temp/ under a record's name and is no record: the start
    // says what it did with it, and only removes what it can.
    TDiretorioTemporario d;
    CriaDir(d / "temp/transacao-2-1-1.txt");
    GravaBytes(d / "temp/transacao-3-1-1.txt", std::string(2 << 20, 'x'));
    GravaBytes(d / "temp/transacao-aberta.txt", "lixo\r\n");
    TNovaExecucao depois(d.Caminho());
    depois.Prepara();
    EXPECT_FALSE(depois.TemResp("intpos.001"));
    const std::string log = LeBytes(d / "LogErro.txt");
    EXPECT_NE(log.find("transacao-2-1-1.txt\" is not a record of an open transaction"), std::string::npos) << log;
    EXPECT_NE(log.find("left in place: it is a directory"), std::string::npos) << log;
    EXPECT_NE(log.find("transacao-3-1-1.txt\" is not a record of an open transaction (larger than 1024 KiB): removed"),
              std::string::npos) << log;
    EXPECT_FALSE(Existe(d / "temp/transacao-3-1-1.txt"));
    EXPECT_FALSE(Existe(d / "temp/transacao-aberta.txt"));
    EXPECT_TRUE(Existe(d / "temp/transacao-2-1-1.txt"));
}

TEST(FimNoMeioDaVenda, UmRegistroPorPedidoAberto) {
    // resp/ takes no answer: A's cancellation waits when B replaces A, and
    // then the process ends. Each request's own record gives its answer.
    TGerenteVirtual h;
    h.frm.FUrl = "http://loja.exemplo/";
    h.Inicia();
    CriaDir(h.B + "resp/intpos.001");
    h.Pedido({"000-000 = CRT", "001-000 = 201", "002-000 = 1", "003-000 = 100"});
    for (int t = 0; t < 3000 && !h.frm.FTelaAberta; t += 10) h.app.Avanca(10);
    ASSERT_TRUE(h.frm.FTelaAberta);
    h.Pedido({"000-000 = CRT", "001-000 = 202", "002-000 = 2", "003-000 = 200"});
    h.app.Avanca(1500);
    ASSERT_EQ(ArquivosDeRegistro(h.B + "temp/").size(), 2u);
    // ... and the process ends here.
    RemoveArvore(h.B + "resp/intpos.001");
    CriaDir(h.B + "debug");
    TNovaExecucao depois(h.B);
    std::vector<TFimTransacao> fins;
    depois.frm.Observador.Transacao = [&](const TFimTransacao& f) { fins.push_back(f); };
    depois.Prepara();
    ASSERT_EQ(fins.size(), 2u);
    EXPECT_EQ(fins[0].identificacao, "201");
    EXPECT_EQ(fins[0].desfecho, "respondida depois de o gerenciador terminar") << "its cancellation, as it waited";
    EXPECT_EQ(fins[1].identificacao, "202");
    EXPECT_EQ(fins[1].desfecho.rfind("interrompida", 0), 0u);
    const std::string traco = LeBytes(h.B + "debug/Debug.txt");
    EXPECT_NE(traco.find("001-000 = 201\r\n002-000 = 1\r\n003-000 = 100\r\n011-000 = 0\r\n028-000 = 0\r\n"
                         "030-000 = TEF Marel Raruveda foi cancelado"),
              std::string::npos)
        << traco;
    EXPECT_NE(depois.Resp("intpos.001").find("001-000 = 202\r\n"), std::string::npos) << "the last answer written";
}

TEST(FimNoMeioDaVenda, QuedaLogoDepoisDeGravarARespostaNaoRespondeDuasVezes) {
    // The process ends between the answer's rename and the next write of
    // its record: the next start sees the approval in place and answers
    // nothing over it.
    TDiretorioTemporario foto;
    TGerenteVirtual h;
    h.frm.FUrl = "http://loja.exemplo/";
    h.Inicia();
    h.frm.AposPorNoLugar = [&](const std::string& nome) {
        if (nome != "intpos.001") return;
        namespace fs = std::filesystem;
        for (const char* sub : {"req", "resp", "temp"})
            fs::copy(h.B + sub, foto / sub, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    };
    h.Pedido({"000-000 = CRT", "001-000 = 101", "002-000 = 7", "003-000 = 1000"});
    for (int t = 0; t < 3000 && !h.frm.FTelaAberta; t += 10) h.app.Avanca(10);
    h.form.GeckoBrowser1.Canal = kVendaAprovada;
    h.app.Avanca(600);
    ASSERT_TRUE(Existe(foto / "resp/intpos.001"));
    const std::string aprovada = LeBytes(foto / "resp/intpos.001");
    TNovaExecucao depois(foto.Caminho());
    std::vector<TFimTransacao> fins;
    depois.frm.Observador.Transacao = [&](const TFimTransacao& f) { fins.push_back(f); };
    depois.Prepara();
    EXPECT_EQ(depois.Resp("intpos.001"), aprovada) << "the approval stays for its reader";
    EXPECT_TRUE(fins.empty()) << "nothing answered a second time";
    EXPECT_EQ(EstadoDoRegistro(foto.Caminho()).rfind("respondida ", 0), 0u);
}

#ifndef _WIN32
TEST(FimNoMeioDaVenda, DiscoCheioNaoPerdeAAprovacaoQueEspera) {
    // The disk fills up while the page is shown: the approval cannot be
    // written, nor anything new made. Its record was made at full size with
    // the acknowledgement, so it takes the approval in place, and the next
    // start gives it.
    TDiretorioTemporario d;
    const std::string b = d / "inst/";
    CriaDir(b);
    if (::mount("tmpfs", b.c_str(), "tmpfs", 0, "size=512k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno) << ")";
    struct Desmonta {
        std::string d;
        ~Desmonta() { ::umount2(d.c_str(), MNT_DETACH); }
    } desmonta{b};
    const auto enche = [&] {
        if (std::FILE* f = std::fopen((b + "enche").c_str(), "ab")) {
            const std::string bloco(4096, 'x');
            while (std::fwrite(bloco.data(), 1, bloco.size(), f) == bloco.size() && std::fflush(f) == 0) {
            }
            std::fclose(f);
        }
    };
    {
        TNovaExecucao antes(b);
        antes.Prepara();
        antes.frm.FUrl = "http://loja.exemplo/";
        antes.form.tmVerifica->SetEnabled(true);
        SalvaLinhas(b + "req/intpos.001", {"000-000 = CRT", "001-000 = 101", "002-000 = 7", "003-000 = 1000"});
        for (int t = 0; t < 3000 && !antes.frm.FTelaAberta; t += 10) antes.app.Avanca(10);
        ASSERT_TRUE(antes.frm.FTelaAberta);
        enche();
        antes.form.GeckoBrowser1.Canal = kVendaAprovada;
        antes.app.Avanca(1000);
        ASSERT_FALSE(antes.TemResp("intpos.001")) << "the disk is full";
        EXPECT_EQ(EstadoDoRegistro(b), "pendente");
        antes.frm.FormClose();  // a stop: nothing can be written
    }
    ApagaArquivo(b + "enche");
    TNovaExecucao depois(b);
    depois.Prepara();
    EXPECT_EQ(depois.Resp("intpos.001"),
              TextoLinhas({"000-000 = CRT", "001-000 = 101", "003-000 = 1000", "009-000 = 0", "999-999 = 0"}));

    // Room for an acknowledgement, not for a record: the sale goes on, and
    // whoever watches the till hears that a crash would now lose it.
    std::vector<std::string> recuperacao;
    depois.frm.Observador.Recuperacao = [&](const std::string& m) { recuperacao.push_back(m); };
    depois.frm.FUrl = "http://loja.exemplo/";
    depois.form.tmVerifica->SetEnabled(true);
    GravaBytes(b + "folga", std::string(20 * 1024, 'x'));
    enche();
    ApagaArquivo(b + "folga");
    SalvaLinhas(b + "req/intpos.001", {"000-000 = CRT", "001-000 = 102", "003-000 = 100"});
    depois.app.Avanca(1500);
    EXPECT_TRUE(depois.TemResp("intpos.sts")) << "acknowledged all the same";
    ASSERT_EQ(recuperacao.size(), 1u);
    EXPECT_NE(recuperacao[0].find("the record of request 102 cannot be made in " + b + "temp/"), std::string::npos)
        << recuperacao[0];
}
#endif

// ---- closing the loop with the web system -----------------------------------------------------

TEST_F(Gerente, AprovacaoDepoisDoCancelarTefEDesfeita) {
    // "Cancelar TEF" told the commercial application the sale was not made;
    // the page, still up for an instant, approves: that approval is undone.
    g.frm.FUrlConfirmacao = "https://web.exemplo/confirmacao.php";
    g.Pedido({"000-000 = CRT", "001-000 = 101", "002-000 = 7", "003-000 = 1000"});
    ASSERT_TRUE(AvancaAte([&] { return g.frm.FTelaAberta && g.form.Janela.Visible(); }));
    g.form.GeckoBrowser1.LeiturasAdiadas = true;
    g.form.GeckoBrowser1.Canal = u"000-000 = CRT\u00A7001-000 = #001#\u00A7009-000 = 0\u00A7012-000 = 777\u00A7999-999 = 0";
    ASSERT_TRUE(AvancaAte([&] { return g.form.GeckoBrowser1.Canal->empty(); }, 1000));
    g.app.ExecutaHandler("SpeedButton1Click", g.form.Eventos.SpeedButton1Click);
    ASSERT_TRUE(AvancaAte([&] { return g.TemResp("intpos.001"); }, 1000));
    g.form.GeckoBrowser1.EntregaLeituras();
    g.form.GeckoBrowser1.LeiturasAdiadas = false;
    g.app.Avanca(2000);
    EXPECT_EQ(g.Resp("intpos.001"), TextoLinhas(kCancelada101));
    const auto mensagens = MensagensDaSaida(g.B + "temp/confirmacoes/");
    ASSERT_EQ(mensagens.size(), 1u);
    EXPECT_EQ(LeMensagem(mensagens[0])[0].second, "NCN");
    EXPECT_EQ(LeMensagem(mensagens[0])[5].second, "777");
}

TEST_F(Gerente, ConfirmacoesVaoAoSistemaWebPelaCaixaDeSaida) {
    auto& web = g.form.Postador;
    const std::string saida = g.B + "temp/confirmacoes/";
    std::vector<std::string> jornal;
    g.frm.Observador.Jornal = [&](int, const std::string& t) { jornal.push_back(t); };
    // Without the address nothing goes anywhere, as before.
    g.Pedido({"000-000 = CNF", "001-000 = 30", "012-000 = 54"});
    ASSERT_TRUE(AvancaAte([&] { return g.TemResp("intpos.sts"); }));
    EXPECT_FALSE(Existe(saida));

    g.frm.FUrlConfirmacao = "https://web.exemplo/confirmacao.php";
    g.frm.FLojCodigo = 3;
    g.frm.FUsuLogin = "caixa";
    g.frm.FUsuSenha = "s3nha";
    bool guardadaAntes = false;
    g.frm.AposPorNoLugar = [&](const std::string& nome) {
        if (nome == "intpos.sts") guardadaAntes = MensagensDaSaida(saida).size() == 1;
    };
    ApagaArquivo(g.B + "resp/intpos.sts");
    g.Pedido({"000-000 = CNF", "001-000 = 31", "002-000 = 7", "010-000 = CIELO", "012-000 = 55", "027-000 = 1234"});
    ASSERT_TRUE(AvancaAte([&] { return g.TemResp("intpos.sts"); }));
    EXPECT_TRUE(guardadaAntes) << "on disk before its acknowledgement";
    g.frm.AposPorNoLugar = nullptr;
    ASSERT_TRUE(AvancaAte([&] { return web.Envios.size() == 1; }, 1000));
    EXPECT_EQ(web.Envios[0].endereco, "https://web.exemplo/confirmacao.php");
    EXPECT_EQ(web.Envios[0].campos,
              (componentes::TCampos{{"000-000", "CNF"}, {"001-000", "31"}, {"002-000", "7"}, {"003-000", ""},
                                    {"010-000", "CIELO"}, {"012-000", "55"}, {"027-000", "1234"},
                                    {"lojcodigo_logado", "3"}, {"usulogin_logado", "caixa"}, {"ususenha_logado", "s3nha"}}));
    // The web system is down: kept, retried later; requests go on meanwhile.
    componentes::TRespostaHttp fora;
    fora.erro = "Connection refused";
    ASSERT_TRUE(web.Responde(fora));
    EXPECT_EQ(MensagensDaSaida(saida).size(), 1u);
    g.Pedido({"000-000 = NCN", "001-000 = 32", "012-000 = 56"});
    ASSERT_TRUE(AvancaAte([&] { return g.Resp("intpos.sts").find("001-000 = 32") != std::string::npos; }));
    EXPECT_EQ(MensagensDaSaida(saida).size(), 2u);
    g.app.Avanca(3000);
    EXPECT_EQ(web.Envios.size(), 1u) << "no retry before its back-off";
    ASSERT_TRUE(AvancaAte([&] { return web.Envios.size() == 2; }, 3000));
    EXPECT_EQ(componentes::TPostadorVirtual::Campo(web.Envios[1], "001-000"), "31") << "the oldest first";
    ASSERT_TRUE(web.Responde(componentes::RespostaHttp(500)));
    ASSERT_TRUE(AvancaAte([&] { return web.Envios.size() == 3; }, 11000)) << "the next retry, later";
    ASSERT_TRUE(web.Responde(componentes::RespostaHttp(200)));
    ASSERT_EQ(web.Envios.size(), 4u) << "the next message at once";
    EXPECT_EQ(componentes::TPostadorVirtual::Campo(web.Envios[3], "001-000"), "32");
    ASSERT_TRUE(web.Responde(componentes::RespostaHttp(204)));
    EXPECT_TRUE(MensagensDaSaida(saida).empty());
    EXPECT_EQ(Conta(Join(jornal), ") entregue ao sistema web"), 2) << Join(jornal);
    EXPECT_EQ(Conta(Join(jornal), "n\xE3o entregue ao sistema web"), 2) << Join(jornal);

    // What the last run left in the outbox goes at the next one.
    GravaMensagem(saida, {{"000-000", "NCN"}, {"001-000", "33"}});
    TNovaExecucao depois(g.B);
    depois.Prepara();
    depois.frm.FUrlConfirmacao = "https://web.exemplo/confirmacao.php";
    depois.form.tmVerifica->SetEnabled(true);
    depois.app.Avanca(600);
    ASSERT_EQ(depois.form.Postador.Envios.size(), 1u);
    EXPECT_EQ(componentes::TPostadorVirtual::Campo(depois.form.Postador.Envios[0], "001-000"), "33");
}

TEST(CaixaDeSaida, DesfazimentoQueOSistemaWebNaoFezVaiAoOperador) {
    // The manager's own undo is taken (2xx), but the web system says the
    // approval is still standing: a person must undo it.
    const struct {
        const char* estado;  // X-TEF-Estado of the answer; "" none
        bool avisa;
    } casos[] = {{"desfeita", false}, {"", false}, {"confirmada", true}, {"recusada", true}};
    for (const auto& c : casos) {
        SCOPED_TRACE(c.estado);
        TDiretorioTemporario d;
        TNovaExecucao e(d.Caminho());
        GravaMensagem(d.Caminho() + "temp/confirmacoes/", {{"000-000", "NCN"}, {"001-000", "77"}, {"003-000", "1250"},
                                                           {"012-000", "4242"}, {"motivo", "tela substituida"}});
        e.frm.FUrlConfirmacao = "https://web.exemplo/confirmacao.php";
        e.Prepara();
        e.form.tmVerifica->SetEnabled(true);
        e.app.Avanca(600);
        ASSERT_EQ(e.form.Postador.Envios.size(), 1u);
        std::vector<std::pair<std::string, std::string>> cabecalhos;
        if (c.estado[0]) cabecalhos.emplace_back("x-tef-estado", c.estado);
        ASSERT_TRUE(e.form.Postador.Responde(componentes::RespostaHttp(200, "nada feito", cabecalhos)));
        e.app.Avanca(100);
        EXPECT_TRUE(MensagensDaSaida(d.Caminho() + "temp/confirmacoes/").empty()) << "delivered either way";
        EXPECT_EQ(AprovacoesADesfazer(d.Caminho() + "temp/").size(), c.avisa ? 1u : 0u);
        ASSERT_EQ(e.app.Mensagens.size(), c.avisa ? 1u : 0u);
        if (c.avisa) {
            EXPECT_NE(e.app.Mensagens[0].texto.find("A venda 77 de R$ 12,50 foi aprovada pelo sistema web (NSU 4242)"),
                      std::string::npos)
                << e.app.Mensagens[0].texto;
        }
    }
}

TEST(FimNoMeioDaVenda, ProximoInicioPerguntaAoSistemaWebOQueAPaginaDeu) {
    // The process ended with the request acknowledged and unanswered: the web
    // system says what its page gave, when it can.
    enum class Web { Aprovou, Desfeita, Nenhum, ForaDoAr, SemCabecalho };
    struct Caso {
        const char* nome;
        Web web;
        const char* campo009;  // of the answer; nullptr: none
        const char* campo030;
        const char* desfecho;
    };
    const std::vector<Caso> casos = {
        {"the page approved", Web::Aprovou, "0", "Aprovada", "aprovada (dito pelo sistema web"},
        {"approved, and undone since", Web::Desfeita, nullptr, "TEF Marel Raruveda foi cancelado", "cancelada: o sistema web"},
        {"no result at the web system", Web::Nenhum, nullptr, "TEF Marel Raruveda foi cancelado", "cancelada: o sistema web"},
        {"the web system cannot be reached", Web::ForaDoAr, nullptr, "TEF interrompido", "interrompida"},
        {"an answer that is not the web system's", Web::SemCabecalho, nullptr, "TEF interrompido", "interrompida"},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        TDiretorioTemporario d;
        std::string endereco;
        {
            TNovaExecucao antes(d.Caminho());
            antes.Prepara();
            antes.frm.FUrl = "http://loja.exemplo/";
            antes.frm.FUrlConfirmacao = "https://web.exemplo/confirmacao.php";
            antes.form.tmVerifica->SetEnabled(true);
            SalvaLinhas(d / "req/intpos.001", {"000-000 = CRT", "001-000 = 55", "002-000 = 3", "003-000 = 990"});
            antes.app.Avanca(1500);
            ASSERT_TRUE(antes.TemResp("intpos.sts"));
            ASSERT_FALSE(antes.form.GeckoBrowser1.Enderecos.empty());
            endereco = Utf16ParaUtf8(antes.form.GeckoBrowser1.Enderecos.back());
        }  // ... and it ends here, without closing
        TNovaExecucao depois(d.Caminho());
        depois.frm.FUrlConfirmacao = "https://web.exemplo/confirmacao.php";
        depois.frm.FLojCodigo = 3;
        std::vector<TFimTransacao> fins;
        depois.frm.Observador.Transacao = [&](const TFimTransacao& f) { fins.push_back(f); };
        depois.form.Postador.RespostaImediata = [&](const componentes::TPostadorVirtual::Envio&) {
            switch (c.web) {
            case Web::Aprovou:
            case Web::Desfeita:
                return componentes::RespostaHttp(
                    200, "000-000 = CRT\xC2\xA7" "001-000 = #001#\xC2\xA7" "003-000 = 0\xC2\xA7" "009-000 = 0\xC2\xA7"
                         "030-000 = Aprovada\xC2\xA7" "999-999 = 0",
                    {{"x-tef-resultado", "encontrado"}, {"x-tef-estado", c.web == Web::Desfeita ? "desfeita" : "aprovada"}});
            case Web::Nenhum:
                return componentes::RespostaHttp(200, "", {{"x-tef-resultado", "nenhum"}});
            case Web::SemCabecalho:
                return componentes::RespostaHttp(200, "<html>nenhum</html>");
            case Web::ForaDoAr:
                break;
            }
            componentes::TRespostaHttp r;
            r.erro = "Connection timed out";
            return r;
        };
        depois.Prepara();
        ASSERT_EQ(depois.form.Postador.Envios.size(), 1u);
        const auto& envio = depois.form.Postador.Envios[0];
        EXPECT_TRUE(envio.bloqueante);
        EXPECT_LE(envio.limiteMs, 10000) << "a few seconds at most";
        for (const auto& [campo, valor] : std::vector<std::pair<std::string, std::string>>{
                 {"000-000", "CNS"}, {"001-000", "55"}, {"002-000", "3"}, {"003-000", "990"}, {"lojcodigo_logado", "3"}})
            EXPECT_EQ(componentes::TPostadorVirtual::Campo(envio, campo), valor) << campo;
        // The request's own name, as its page's address had it: another
        // request with the same 001-000 is never taken for it.
        const std::string nome = componentes::TPostadorVirtual::Campo(envio, "pedido");
        EXPECT_EQ(nome.rfind("transacao-", 0), 0u) << nome;
        EXPECT_NE(endereco.find("&pedido=" + nome), std::string::npos) << endereco;
        EXPECT_EQ(CampoResp(d.Caminho(), "001-000"), "55");
        EXPECT_EQ(CampoResp(d.Caminho(), "009-000"), c.campo009 ? c.campo009 : "");
        EXPECT_EQ(CampoResp(d.Caminho(), "030-000").rfind(c.campo030, 0), 0u) << depois.Resp("intpos.001");
        if (c.web == Web::Aprovou) {
            EXPECT_EQ(CampoResp(d.Caminho(), "003-000"), "990") << "the request's own amount";
        }
        ASSERT_EQ(fins.size(), 1u);
        EXPECT_EQ(fins[0].desfecho.rfind(c.desfecho, 0), 0u) << fins[0].desfecho;
    }
}

TEST(Textos, OQueOGerenteEscreveNo030CabeEm40CaracteresAscii) {
    for (const std::string& t : textos::TextosDoCampo030) {
        EXPECT_LE(t.size(), 40u) << t;
        EXPECT_TRUE(std::all_of(t.begin(), t.end(), [](char c) { return c >= 0x20 && c <= 0x7E; })) << t;
    }
}

TEST_F(Gerente, ConfirmacaoPendenteNaParadaETambemRespondida) {
    // The acknowledgement could not be written yet when the stop comes:
    // written at the close, it opens its transaction, which is answered too.
    CriaDir(g.B + "resp/intpos.sts");  // a directory where the acknowledgement goes
    g.Pedido({"000-000 = CRT", "001-000 = 101", "002-000 = 7", "003-000 = 1000"});
    g.app.Avanca(1500);
    ASSERT_FALSE(Existe(g.B + "req/intpos.001"));
    EXPECT_EQ(Paginas("Venda"), 0);
    RemoveArvore(g.B + "resp/intpos.sts");
    g.frm.FormClose();
    EXPECT_EQ(g.Resp("intpos.sts"), TextoLinhas({"000-000 = CRT", "001-000 = 101", "999-999 = 0"}));
    EXPECT_EQ(g.Resp("intpos.001"), TextoLinhas(kCancelada101));
    EXPECT_EQ(Paginas("Venda"), 0) << "no screen opens while closing";
}

TEST_F(Gerente, OServicoOuveCadaTransacaoEOsSinaisDeVida) {
    int prontos = 0, vivos = 0;
    std::vector<TFimTransacao> fins;
    std::vector<std::size_t> pendentes;
    g.frm.Observador.Pronto = [&] { ++prontos; };
    g.frm.Observador.Vivo = [&] { ++vivos; };
    g.frm.Observador.Transacao = [&](const TFimTransacao& f) { fins.push_back(f); };
    g.frm.Observador.Pendentes = [&](std::size_t n) { pendentes.push_back(n); };
    g.frm.GaranteAtivo();
    g.app.Avanca(2000);
    EXPECT_EQ(prontos, 1) << "ready once, when Ativo.001 is there";
    EXPECT_GE(vivos, 3) << "every tick of the poll";

    const auto venda = [&](const std::string& id, const std::u16string* pagina, bool botao) {
        g.Pedido({"000-000 = CRT", "001-000 = " + id, "003-000 = 1000"});
        ASSERT_TRUE(AvancaAte([&] { return g.frm.FTelaAberta; }));
        g.app.Avanca(1000);
        if (pagina) g.form.GeckoBrowser1.Canal = *pagina;
        if (botao) g.app.ExecutaHandler("SpeedButton1Click", g.form.Eventos.SpeedButton1Click);
        ASSERT_TRUE(AvancaAte([&] { return !g.form.Janela.Visible() && !g.frm.FTelaAberta; }));
    };
    const std::u16string recusada = u"000-000 = CRT\u00A7001-000 = #001#\u00A7009-000 = 5\u00A7999-999 = 0";
    venda("1", &kVendaAprovada, false);
    venda("2", &recusada, false);
    venda("3", nullptr, true);
    g.Pedido({"000-000 = CRT", "001-000 = 4", "003-000 = 0"});  // a zero amount
    g.app.Avanca(2000);
    g.Pedido({"000-000 = CRT", "001-000 = 5", "003-000 = 500"});
    ASSERT_TRUE(AvancaAte([&] { return g.frm.FTelaAberta; }));
    g.Pedido({"000-000 = CRT", "001-000 = 6", "003-000 = 600"});  // arrives while 5's page is open
    ASSERT_TRUE(AvancaAte([&] { return g.frm.FAberta && g.frm.FAberta->identificacao == "6"; }));
    g.Pedido({"000-000 = CNC", "001-000 = 7"});
    g.app.Avanca(3000);

    std::vector<std::pair<std::string, std::string>> vistos;
    for (const auto& f : fins) vistos.emplace_back(f.identificacao, f.desfecho);
    EXPECT_EQ(vistos, (std::vector<std::pair<std::string, std::string>>{
                          {"1", "aprovada"},
                          {"2", "recusada"},
                          {"3", "cancelada pelo operador"},
                          {"4", "recusada: valor zerado"},
                          {"5", "cancelada: substitu\xED" "da pelo pedido 6"},
                          {"6", "cancelada pelo pedido CNC 7"},
                      }));
    ASSERT_FALSE(fins.empty());
    EXPECT_EQ(fins[0].comando, "CRT");
    EXPECT_EQ(fins[0].valorTexto, "1000");
    EXPECT_GE(fins[0].duracaoMs, 1000) << "from the acknowledgement to the answer";
    EXPECT_TRUE(pendentes.empty()) << "nothing waited to be written";
}

// ---- a start that cannot complete -------------------------------------------------------------

#ifndef _WIN32
TEST(InicioQueFalha, ArmazemOuInstalacaoQueOUsuarioNaoPodeUsarDizQuemPodeOQue) {
    // The package's store is 0640 root:tef: an operator outside the group
    // must learn which file, why, and what to ask for; an installation the
    // user cannot write ends the start with status 4, naming the path, the
    // user and the reason.
    if (::geteuid() != 0) GTEST_SKIP() << "the files must belong to another user than the one who runs the body";
    struct Caso {
        const char* nome;
        unsigned modoArmazem, modoResp, modoInstalacao;  // 0755: req/, resp/ and temp/ missing too
        int saida;
        std::vector<std::string> esperados;
    };
    const std::vector<Caso> casos = {
        {"store 0640 root:root", 0640, 0777, 0777, saida::ArmazemIlegivel,
         {": permiss\xE3o negada (Permission denied).", "(dono root, grupo root, modo 0640)",
          "sudo chgrp tef ", "sudo chmod 640 ", "sudo adduser nobody tef"}},
        {"resp/ not writable", 0644, 0755, 0777, saida::InstalacaoIncompleta,
         {"O diret\xF3rio ", "resp/ n\xE3o pode ser gravado pelo usu\xE1rio nobody: permiss\xE3o negada (Permission denied).",
          "sudo chgrp tef ", "sudo chmod 2770 ", "sudo adduser nobody tef"}},
        {"the installation not writable, req/ missing", 0644, 0755, 0755, saida::InstalacaoIncompleta,
         {"req/ n\xE3o pode ser criado pelo usu\xE1rio nobody: permiss\xE3o negada (Permission denied).",
          "Crie-o para o grupo tef: sudo install -d -g tef -m 2770 ", "sudo adduser nobody tef"}},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        TGerenteVirtual h;
        const std::string store = h.B + "tef.reg";
        GravaBytes(store, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\ORVEX\\TEF]\r\n\"Lojcodigo\"=dword:00000001\r\n");
        ASSERT_EQ(::chmod(store.c_str(), c.modoArmazem), 0);
        for (const char* d : {"", "req", "temp"}) ::chmod((h.B + d).c_str(), 0777);
        CriaDir(h.B + "temp");
        ::chmod((h.B + "temp").c_str(), 0777);
        ::chmod((h.B + "resp").c_str(), c.modoResp);
        ::chmod(h.dir.Caminho().c_str(), c.modoInstalacao);
        if (c.modoInstalacao == 0755)
            for (const char* d : {"req", "resp", "temp"}) RemoveArvore(h.B + d);
        TVariavelAmbiente registro("TEF_REGISTRO", store.c_str());
        TVariavelAmbiente producao("TEF_PRODUCAO", "http://127.0.0.1:9");
        std::string motivo;
        const bool ok = ComoUsuarioComum(
            [&] {
                std::vector<std::string> erros;
                h.frm.Observador.Erro = [&](const std::string& t) { erros.push_back(t); };
                h.frm.FSemOperador = true;
                EXPECT_FALSE(h.frm.Inicia());
                EXPECT_EQ(h.frm.FSaidaInicio, c.saida);
                ASSERT_EQ(erros.size(), 1u) << "the journal hears the cause once";
                EXPECT_EQ(erros[0].rfind(textos::InicioFalhou + "\r", 0), 0u) << erros[0];
                for (const auto& e : c.esperados) EXPECT_NE(erros[0].find(e), std::string::npos) << e << " in " << erros[0];
                EXPECT_EQ(erros[0].find("adduser nobody root"), std::string::npos) << erros[0];
                EXPECT_FALSE(Existe(h.B + "resp/Ativo.001"));
            },
            motivo);
        EXPECT_TRUE(ok) << motivo;
    }
}
#endif

TEST(InicioQueFalha, DizPorQueETerminaComOCodigoDaCausa) {
    // On the desktop a box says why; without an operator nothing waits for a
    // click: the log (and the journal) say why and the exit status tells
    // systemd which cause it was. The operator and the journal read
    // Portuguese (which value, what to do); the log keeps the report.
    struct Caso {
        const char* nome;
        std::optional<std::string> store;  // the store file's bytes; nothing: no file
        std::function<void(const std::string& b)> prepara;
        std::string tecnico;               // in the log's report
        std::vector<std::string> palavras; // in the box and the journal
        int saida;
        bool caixaNoDesktop;               // else the set-up dialog: not a failure there
    };
    const std::string chave = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\ORVEX\\TEF]\r\n";
    const std::string valida = chave + "\"Url\"=\"http://x/\"\r\n\"Lojcodigo\"=dword:00000001\r\n\r\n";
    const std::vector<Caso> casos = {
        {"broken store", std::string("isto nao e um registro\r\n"), nullptr, ":1: missing REGEDIT4 header",
         {"tem um erro na linha 1: falta o cabe\xE7" "alho REGEDIT4", "Corrija essa linha", "/CONFIG"},
         saida::ArmazemIlegivel, true},
        {"key without Lojcodigo", chave + "\"Url\"=\"http://x/\"\r\n\r\n", nullptr, "Failed to get data for 'Lojcodigo'",
         {"O valor Lojcodigo (o c\xF3" "digo da loja) falta na configura\xE7\xE3o", "Grave a configura\xE7\xE3o de novo com ",
          "TefOrvex /CONFIG"},
         saida::ParametrosInvalidos, true},
        {"Lojcodigo written as text", chave + "\"Lojcodigo\"=\"123\"\r\n\r\n", nullptr,
         "Invalid data type for 'Lojcodigo'", {"tem o tipo errado: deve ser um n\xFAmero (dword)"}, saida::ParametrosInvalidos,
         true},
        {"no store yet", std::nullopt, nullptr, textos::NaoParametrizado,
         {textos::NaoParametrizado, "Grave a configura\xE7\xE3o com "}, saida::NaoParametrizado, false},
        {"a store without the key", std::string("REGEDIT4\r\n\r\n"), nullptr, textos::NaoParametrizado,
         {textos::NaoParametrizado}, saida::NaoParametrizado, false},
        {"req/ is a file", valida, [](const std::string& b) { RemoveArvore(b + "req"), GravaBytes(b + "req", "x"); },
         "req/ n\xE3o pode ser criado pelo usu\xE1rio ",
         {"req/ n\xE3o pode ser criado pelo usu\xE1rio " + plataforma::NomeDoUsuario() +
          ": o nome est\xE1 ocupado por algo que n\xE3o \xE9 um diret\xF3rio."},
         saida::InstalacaoIncompleta, true},
        {"the marker's name taken by a directory", valida, [](const std::string& b) { CriaDir(b + "resp/Ativo.001"); },
         "resp/Ativo.001 n\xE3o pode ser gravado pelo usu\xE1rio ", {"O arquivo ", "resp/Ativo.001 n\xE3o pode ser gravado"},
         saida::InstalacaoIncompleta, true},
    };
    for (const auto& c : casos) {
        for (const bool semOperador : {false, true}) {
            if (!semOperador && !c.caixaNoDesktop) continue;
            SCOPED_TRACE(std::string(c.nome) + (semOperador ? ", without an operator" : ", on the desktop"));
            TGerenteVirtual h;
            const std::string store = h.B + "tef.reg";
            if (c.store) GravaBytes(store, *c.store);
            if (c.prepara) c.prepara(h.B);
            TVariavelAmbiente registro("TEF_REGISTRO", store.c_str());
            TVariavelAmbiente producao("TEF_PRODUCAO", "http://127.0.0.1:9");
            h.frm.FSemOperador = semOperador;
            std::vector<std::string> erros;
            h.frm.Observador.Erro = [&](const std::string& t) { erros.push_back(t); };
            EXPECT_FALSE(h.frm.Inicia());
            EXPECT_EQ(h.frm.FSaidaInicio, c.saida);
            const std::string log = LeBytes(h.B + "LogErro.txt");
            EXPECT_NE(log.find("Handler: FormCreate"), std::string::npos);
            EXPECT_NE(log.find(c.tecnico), std::string::npos) << "the report keeps its message: " << log;
            EXPECT_FALSE(Existe(h.B + "resp/Ativo.001") && plataforma::Consulta(h.B + "resp/Ativo.001")->tipo ==
                                                               plataforma::TTipoEntrada::Regular);
            EXPECT_FALSE(h.form.tmVerifica->Enabled());
            EXPECT_EQ(h.form.DialogosCriados, 0) << "no set-up dialog nobody would fill in";
            // One event, one line for the journal (standard error): the
            // operator's words, which the log keeps too.
            ASSERT_EQ(erros.size(), 1u);
            const std::string& jornal = erros[0];
            EXPECT_EQ(jornal.rfind(textos::InicioFalhou + "\r", 0), 0u) << jornal;
            EXPECT_NE(log.find(jornal), std::string::npos) << log;
            for (const auto& p : c.palavras) EXPECT_NE(jornal.find(p), std::string::npos) << p << " in " << jornal;
            for (const char* ingles : {"Failed to", "Invalid data", "missing REGEDIT4", "Registry store"})
                EXPECT_EQ(jornal.find(ingles), std::string::npos) << jornal;
            if (c.saida != saida::InstalacaoIncompleta) {
                EXPECT_NE(jornal.find(store), std::string::npos) << "the file is named: " << jornal;
            }
            if (semOperador) {
                EXPECT_TRUE(h.app.Mensagens.empty()) << "no box: " << h.app.Mensagens.front().texto;
            } else {
                ASSERT_EQ(h.app.Mensagens.size(), 1u);
                EXPECT_EQ(h.app.Mensagens[0].texto, jornal) << "the box says what the journal says";
            }
        }
    }
}

}  // namespace
