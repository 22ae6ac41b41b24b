// Request intake and dispatch on the virtual layer, with real files.
#include "Gerente.h"

#include <gtest/gtest.h>

using componentes::TipoMensagem;

namespace {

const std::string CRLF = "\r\n";

std::string Bytes(const TLinhas& linhas) { return TextoLinhas(linhas); }

struct Intake : ::testing::Test {
    TGerenteVirtual g;
    void SetUp() override { g.Inicia(); }
    // One tick of the request poll: 500 ms interval.
    void Tick() { g.app.Avanca(500); }
};

// ---- acknowledgements per command ---------------------------------------------

struct CasoAck {
    const char* nome;
    TLinhas pedido;
    TLinhas ack;  // empty: no "intpos.sts" at all
};

TEST_F(Intake, AcknowledgementPorComando) {
    const std::vector<CasoAck> casos = {
        {"CRT", {"000-000 = CRT", "001-000 = 12", "003-000 = 1000", "012-000 = X", "999-999 = 0"},
         {"000-000 = CRT", "001-000 = 12", "999-999 = 0"}},
        {"ADM", {"000-000 = ADM", "001-000 = 13", "012-000 = X", "999-999 = 0"},
         {"000-000 = ADM", "001-000 = 13", "999-999 = 0"}},
        {"CNF com 012 sem a linha", {"000-000 = CNF", "001-000 = 14", "012-000 = 5555"},
         {"000-000 = CNF", "001-000 = 14", "999-999 = 0"}},
        {"outro com 012", {"000-000 = ATV", "001-000 = 15", "012-000 = 5555"},
         {"000-000 = ATV", "001-000 = 15", "012-000 = 5555", "999-999 = 0"}},
        {"outro sem 012", {"000-000 = ATV", "001-000 = 16"}, {"000-000 = ATV", "001-000 = 16", "999-999 = 0"}},
        {"CRT com branco no fim", {"000-000 = CRT ", "001-000 = 17", "012-000 = a"},
         {"000-000 = CRT ", "001-000 = 17", "012-000 = a", "999-999 = 0"}},
        {"sem comando", {"001-000 = 18"}, {"000-000 = ", "001-000 = 18", "999-999 = 0"}},
        {"crt minusculo", {"000-000 = crt", "001-000 = 19"}, {"000-000 = crt", "001-000 = 19", "999-999 = 0"}},
        {"CNC", {"000-000 = CNC", "001-000 = 20"}, {"000-000 = CNC", "001-000 = 20", "999-999 = 0"}},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        ApagaArquivo(g.B + "resp/intpos.sts");
        g.frm.FModoAdm = false;
        g.Pedido(c.pedido);
        Tick();
        EXPECT_FALSE(Existe(g.B + "req/intpos.001")) << "the request is deleted";
        if (c.ack.empty()) {
            EXPECT_FALSE(g.TemResp("intpos.sts"));
        } else {
            EXPECT_EQ(g.Resp("intpos.sts"), Bytes(c.ack));
        }
    }
}

TEST_F(Intake, CamposDoPedidoComRegrasDeChave) {
    g.Pedido({"000-000 = CRT", "001-000 = 1", "001-000 = 2 ", "002-000 = 4711", "003-000 =   1000  ",
              "007-000 = 123.456.789-00", "012-000 = 012-000 = x", "99", "004-000 = ignorado", "999-999 = 0"});
    Tick();
    EXPECT_EQ(g.frm.FComando, "CRT");
    EXPECT_EQ(g.frm.FIdentificacao, "2 ") << "a later line wins, trailing blanks stay";
    EXPECT_EQ(g.frm.FDocumento, "4711");
    EXPECT_EQ(g.frm.FNumCupom, "4711");
    EXPECT_EQ(g.frm.FValorTexto, "1000");
    EXPECT_EQ(g.frm.FValor, 100000);
    EXPECT_EQ(g.frm.FCpf, "123.456.789-00");
    EXPECT_EQ(g.frm.FCampo012, "x") << "every occurrence of the key and \" = \" goes";
}

TEST_F(Intake, PedidoSem002DeixaDocumentoECupomVazios) {
    g.frm.FDocumento = "velho";
    g.frm.FNumCupom = "velho";
    g.Pedido({"000-000 = ATV", "001-000 = 1"});
    Tick();
    EXPECT_EQ(g.frm.FDocumento, "");
    EXPECT_EQ(g.frm.FNumCupom, "");
}

// ---- the amount rule, end to end ------------------------------------------------------

struct CasoValor {
    const char* linha003;  // nullptr: no 003-000 line
    std::string valorTexto;
    TCurrency valor;
    bool abre;
};

TEST_F(Intake, TabelaDeValores) {
    const std::vector<CasoValor> casos = {
        {"003-000 = 1000", "1000", 100000, true},
        {"003-000 =    1000   ", "1000", 100000, true},
        {"003-000 = 150", "150", 15000, true},
        {"003-000 = 50", "50", 5000, true},
        {"003-000 = 5", "5", 5000, true},
        {"003-000 = 0", "0", 0, false},
        {"003-000 = 000", "000", 0, false},
        {"003-000 = ", "", 0, false},
        {nullptr, "", 0, false},
        {"003-000 = 10,00", "10,00", 0, false},
        {"003-000 = 10.00", "10.00", 0, false},
        {"003-000 = -100", "-100", -10000, false},
        {"003-000 = abc", "abc", 0, false},
        {"003-000=1000", "003-000=1000", 0, false},
        {"003-000 = 123456789012345678901234567890", "123456789012345678901234567890", 0, false},
    };
    int recusas = 0;
    for (const auto& c : casos) {
        SCOPED_TRACE(c.linha003 ? c.linha003 : "(no 003-000)");
        g.form.tmShow->SetEnabled(false);
        g.frm.FAberta.reset();  // the previous sale has ended
        TLinhas pedido{"000-000 = CRT", "001-000 = 9"};
        if (c.linha003) pedido.push_back(c.linha003);
        pedido.push_back("999-999 = 0");
        g.Pedido(pedido);
        Tick();
        EXPECT_EQ(g.frm.FValorTexto, c.valorTexto);
        EXPECT_EQ(g.frm.FValor, c.valor);
        EXPECT_EQ(g.form.tmShow->Enabled(), c.abre);
        if (!c.abre) {
            ++recusas;
            ASSERT_EQ(static_cast<int>(g.app.Mensagens.size()), recusas);
            EXPECT_EQ(g.app.Mensagens.back().texto, textos::ValorZerado);
            EXPECT_EQ(g.Resp("intpos.001"),
                      Bytes({"000-000 = CRT", "001-000 = 9", "002-000 = ", "003-000 = " + c.valorTexto,
                             "011-000 = 0", "028-000 = 0", "030-000 = TEF Marel Raruveda foi cancelado",
                             "999-999 = 0"}));
            ApagaArquivo(g.B + "resp/intpos.001");
        } else {
            EXPECT_EQ(g.frm.FTela, "Venda");
            EXPECT_FALSE(g.TemResp("intpos.001"));
        }
    }
}

TEST_F(Intake, MensagemDeValorZeradoEmBytesWindows1252) {
    EXPECT_EQ(textos::ValorZerado, std::string("O Aplicado Comercial passou o valor da venda zerado.") + '\r' +
                                       "O TEF ser\xE1 cancelado.");
}

// ---- which files are requests -------------------------------------------------------------

TEST_F(Intake, SelecaoDosArquivosDePedido) {
    struct Caso {
        std::string nome;
        bool pedido;
    };
    const std::vector<Caso> casos = {
        {"intpos.001", true},     {"INTPOS.001", true}, {"intpos.001.bak", true}, {"x.0010", true},
        {"intpos.002", false},    {"intpos001", false}, {"intpos.sts", false},    {".001", true},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        ApagaArquivo(g.B + "resp/intpos.sts");
        g.Pedido({"000-000 = ATV", "001-000 = 1"}, c.nome);
        Tick();
        EXPECT_EQ(Existe(g.B + "req/" + c.nome), !c.pedido);
        EXPECT_EQ(g.TemResp("intpos.sts"), c.pedido);
        ApagaArquivo(g.B + "req/" + c.nome);
    }
}

TEST(IntakeDiretorio, DiretorioDoExecutavelCom001FazTodoArquivoServir) {
    TGerenteVirtual g("loja.001/");
    g.Inicia();
    g.Pedido({"000-000 = ATV", "001-000 = 1"}, "qualquer.txt");
    g.app.Avanca(500);
    EXPECT_FALSE(Existe(g.B + "req/qualquer.txt"));
    EXPECT_TRUE(g.TemResp("intpos.sts"));
}

TEST_F(Intake, UmPedidoPorTick) {
    g.Pedido({"000-000 = ATV", "001-000 = 1"}, "a.001");
    g.Pedido({"000-000 = ATV", "001-000 = 2"}, "b.001");
    Tick();
    const bool restaA = Existe(g.B + "req/a.001"), restaB = Existe(g.B + "req/b.001");
    EXPECT_NE(restaA, restaB) << "exactly one is handled in the first tick";
    // The tick slept 500 ms; the next one comes a full interval after its end.
    EXPECT_EQ(g.app.AgoraMs(), 1000);
    g.app.Avanca(499);
    EXPECT_TRUE(Existe(g.B + (restaA ? "req/a.001" : "req/b.001")));
    g.app.Avanca(1);
    EXPECT_FALSE(Existe(g.B + "req/a.001"));
    EXPECT_FALSE(Existe(g.B + "req/b.001"));
}

// The browser engine starts with the first request, not at the start. That
// request is read at the next tick, the interval being its wait, while the
// engine's start goes on in the loop; a request changed meanwhile waits again.
TEST_F(Intake, PrimeiroPedidoIniciaOMotorELidoNoTickSeguinte) {
    g.form.GeckoBrowser1.ComMotor = true;
    std::vector<int> sonos;
    g.app.AoDormir = [&](int ms) { sonos.push_back(ms); };
    g.Pedido({"000-000 = ATV", "001-000 = 1"});
    Tick();
    EXPECT_EQ(g.form.GeckoBrowser1.Preparos, 1);
    EXPECT_TRUE(Existe(g.B + "req/intpos.001")) << "not read in the tick that found it";
    EXPECT_FALSE(g.TemResp("intpos.sts"));
    EXPECT_TRUE(sonos.empty()) << "the engine's start must not be held up by a sleep";
    Tick();
    EXPECT_EQ(g.app.AgoraMs(), 1000);
    EXPECT_EQ(g.Resp("intpos.sts"), Bytes({"000-000 = ATV", "001-000 = 1", "999-999 = 0"}));
    EXPECT_TRUE(sonos.empty()) << "it waited a whole interval already";

    // Once started, the wait is inside the tick again.
    ApagaArquivo(g.B + "resp/intpos.sts");
    g.Pedido({"000-000 = ATV", "001-000 = 2"});
    Tick();
    EXPECT_EQ(sonos, std::vector<int>{500});
    EXPECT_EQ(g.Resp("intpos.sts"), Bytes({"000-000 = ATV", "001-000 = 2", "999-999 = 0"}));
}

TEST_F(Intake, PedidoQueMudaEnquantoOMotorIniciaEsperaDeNovo) {
    g.form.GeckoBrowser1.ComMotor = true;
    std::vector<int> sonos;
    g.app.AoDormir = [&](int ms) { sonos.push_back(ms); };
    g.Pedido({"000-000 = ATV"});
    Tick();
    // The commercial application was still writing it.
    g.Pedido({"000-000 = ATV", "001-000 = 7"});
    Tick();
    EXPECT_EQ(sonos, std::vector<int>{500});
    EXPECT_EQ(g.Resp("intpos.sts"), Bytes({"000-000 = ATV", "001-000 = 7", "999-999 = 0"}));
}

TEST_F(Intake, SubdiretoriosDeReqNaoSaoLidos) {
    CriaDir(g.B + "req/sub");
    GravaBytes(g.B + "req/sub/intpos.001", "000-000 = ATV\r\n");
    Tick();
    EXPECT_TRUE(Existe(g.B + "req/sub/intpos.001"));
    EXPECT_FALSE(g.TemResp("intpos.sts"));
}

// ---- flags and screens --------------------------------------------------------------------------

TEST_F(Intake, PedidoComTelaAbertaCancelaOAnteriorEAbreASuaPropria) {
    // A retry or a second program at the till: the earlier request is
    // answered as cancelled with its own data, and the new one gets a page
    // loaded with its own data.
    struct Caso {
        const char* primeiro;
        const char* segundo;
    };
    for (const Caso& c : {Caso{"ADM", "ADM"}, Caso{"CRT", "CRT"}, Caso{"CRT", "ADM"}, Caso{"ADM", "CRT"}}) {
        SCOPED_TRACE(std::string(c.primeiro) + " then " + c.segundo);
        TGerenteVirtual h;
        h.Inicia();
        h.Pedido({std::string("000-000 = ") + c.primeiro, "001-000 = 1", "002-000 = 10", "003-000 = 500"});
        h.app.Avanca(1500);
        ASSERT_TRUE(h.frm.FTelaAberta) << "the first page is loaded";
        h.Pedido({std::string("000-000 = ") + c.segundo, "001-000 = 2", "002-000 = 20", "003-000 = 700"});
        h.app.Avanca(1500);
        const bool admAntes = std::string(c.primeiro) == "ADM";
        EXPECT_EQ(h.Resp("intpos.001"),
                  Bytes(admAntes ? TLinhas{"000-000 = ADM", "001-000 = 1", "011-000 = 0", "028-000 = 0",
                                           "030-000 = TEF Marel Raruveda foi cancelado", "999-999 = 0"}
                                 : TLinhas{"000-000 = CRT", "001-000 = 1", "002-000 = 10", "003-000 = 500",
                                           "011-000 = 0", "028-000 = 0", "030-000 = TEF Marel Raruveda foi cancelado",
                                           "999-999 = 0"}));
        EXPECT_EQ(h.Resp("intpos.sts"), Bytes({std::string("000-000 = ") + c.segundo, "001-000 = 2", "999-999 = 0"}));
        EXPECT_EQ(h.frm.FTela, std::string(c.segundo) == "ADM" ? "Adm" : "Venda");
        EXPECT_TRUE(h.frm.FTefComercial);
        EXPECT_EQ(h.frm.FModoAdm, std::string(c.segundo) == "ADM");
        ASSERT_TRUE(h.frm.FAberta);
        EXPECT_EQ(h.frm.FAberta->identificacao, "2");
        ASSERT_TRUE(h.frm.FTransacaoTela);
        EXPECT_EQ(h.frm.FTransacaoTela->valorTexto, "700");
        const std::string ultimo = Utf16ParaUtf8(h.form.GeckoBrowser1.Enderecos.back());
        EXPECT_NE(ultimo.find("num_cupom=20&cpf=&valor=700&"), std::string::npos) << "loaded anew: " << ultimo;
    }
}

TEST_F(Intake, NovaVendaDoMenuLimpaETemAberturaSemMensagem) {
    g.Pedido({"000-000 = CRT", "001-000 = 1", "002-000 = 10", "003-000 = 500"});
    Tick();
    g.form.tmShow->SetEnabled(false);
    g.form.SpeedButton1.SetVisible(false);
    // While the request waits for its answer the menu's screens wait too.
    g.frm.Restaurar1Click();
    ASSERT_EQ(g.app.Mensagens.size(), 1u);
    EXPECT_EQ(g.app.Mensagens[0].texto, textos::PedidoEmAndamento);
    EXPECT_FALSE(g.form.tmShow->Enabled());
    g.app.Mensagens.clear();
    g.frm.FAberta.reset();  // the sale has been answered
    g.frm.Restaurar1Click();
    EXPECT_FALSE(g.frm.FTefComercial);
    EXPECT_EQ(g.frm.FValorTexto, "");
    EXPECT_EQ(g.frm.FIdentificacao, "");
    EXPECT_EQ(g.frm.FValor, 0);
    EXPECT_TRUE(g.form.tmShow->Enabled());
    EXPECT_TRUE(g.form.tmCmds->Enabled());
    EXPECT_EQ(g.frm.FTela, "Venda");
    EXPECT_TRUE(g.app.Mensagens.empty());
    EXPECT_FALSE(g.TemResp("intpos.001"));
    EXPECT_TRUE(g.form.SpeedButton1.Visible());
}

TEST_F(Intake, AdministracaoDoMenuNaoLimpaATransacao) {
    g.Pedido({"000-000 = CRT", "001-000 = 1", "002-000 = 10", "003-000 = 500", "007-000 = 99"});
    Tick();
    g.frm.FAberta.reset();  // the sale has been answered
    g.frm.Administrao1Click();
    EXPECT_FALSE(g.frm.FTefComercial);
    EXPECT_TRUE(g.frm.FModoAdm);
    EXPECT_EQ(g.frm.FTela, "Adm");
    EXPECT_EQ(g.frm.FNumCupom, "10");
    EXPECT_EQ(g.frm.FCpf, "99");
    EXPECT_EQ(g.frm.FValorTexto, "500");
}

TEST_F(Intake, LimpaTransacaoPreservaTelaEFlags) {
    g.frm.FComando = "CRT";
    g.frm.FIdentificacao = "1";
    g.frm.FDocumento = g.frm.FNumCupom = "2";
    g.frm.FValorTexto = "300";
    g.frm.FValor = 30000;
    g.frm.FCampo012 = "x";
    g.frm.FCpf = "y";
    g.frm.FTela = "Adm";
    g.frm.FModoAdm = g.frm.FTelaAberta = g.frm.FTefComercial = true;
    g.form.panEsconde.SetVisible(false);
    g.frm.LimpaTransacao();
    for (const auto* s : {&g.frm.FComando, &g.frm.FIdentificacao, &g.frm.FDocumento, &g.frm.FValorTexto,
                          &g.frm.FCampo012, &g.frm.FNumCupom, &g.frm.FCpf})
        EXPECT_EQ(*s, "");
    EXPECT_EQ(g.frm.FValor, 0);
    EXPECT_EQ(g.frm.FTela, "Adm");
    EXPECT_TRUE(g.frm.FModoAdm && g.frm.FTelaAberta && g.frm.FTefComercial);
    EXPECT_EQ(g.form.panEsconde.Caption(), "TEF, Aguardando Aplicativo Comercial....");
    EXPECT_FALSE(g.form.panEsconde.Visible()) << "visibility does not change";
}

// ---- a zero-amount sale: the message box interleaves with the other timers -----------

TEST_F(Intake, VendaZeradaStsPrimeiroCaixaComTimersDepoisCancelamento) {
    std::vector<std::string> duranteACaixa;
    int tmOcultaDisparos = 0;
    g.form.tmOculta->SetOnTimer([&] { ++tmOcultaDisparos; g.form.tmOculta->SetEnabled(false); });
    g.form.tmOculta->SetEnabled(true);  // startup's first hide, 2000 ms
    g.app.DuracaoMensagem = [&](const componentes::TAplicacaoVirtual::Mensagem&) {
        // When the box opens the acknowledgement is already there, the
        // cancellation not yet.
        duranteACaixa.push_back(g.TemResp("intpos.sts") ? "sts" : "sem sts");
        duranteACaixa.push_back(g.TemResp("intpos.001") ? "001" : "sem 001");
        // A second request arrives while the box is open.
        g.Pedido({"000-000 = ATV", "001-000 = 77"}, "outro.001");
        return 3000;
    };
    g.Pedido({"000-000 = CRT", "001-000 = 5", "003-000 = 0"});
    const std::size_t antes = g.app.Historico.size();
    Tick();  // tick at 500, sleeps to 1000, box open 1000..4000
    EXPECT_EQ(duranteACaixa, (std::vector<std::string>{"sts", "sem 001"}));
    EXPECT_EQ(tmOcultaDisparos, 0) << "the request disarmed the start's hide; the cancellation arms its own";
    // tmVerifica is stopped while its own tick shows the box.
    for (std::size_t i = antes + 1; i < g.app.Historico.size(); ++i)
        EXPECT_NE(g.app.Historico[i].first, "tmVerificaTimer") << "at " << g.app.Historico[i].second;
    EXPECT_TRUE(Existe(g.B + "req/outro.001"));
    EXPECT_EQ(g.Resp("intpos.001").substr(0, 30), "000-000 = CRT\r\n001-000 = 5\r\n00");
    EXPECT_TRUE(g.form.tmOculta->Enabled()) << "the cancellation starts the hide";
    // Polling resumes a full interval after the tick.
    g.app.Avanca(500);
    EXPECT_FALSE(Existe(g.B + "req/outro.001"));
}

// ---- failures inside a tick --------------------------------------------------------------------

TEST_F(Intake, PedidoQueSomeDuranteAEsperaVaiParaOLogEOPollingContinua) {
    g.app.AoDormir = [&](int) { ApagaArquivo(g.B + "req/intpos.001"); };
    g.Pedido({"000-000 = CRT", "001-000 = 1", "003-000 = 100"});
    g.frm.FIdentificacao = "anterior";
    Tick();
    EXPECT_EQ(g.frm.FIdentificacao, "anterior") << "the fields keep their values";
    const TLinhas log = CarregaLinhas(g.B + "LogErro.txt");
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0], "Exception: EFOpenError");
    EXPECT_EQ(log[1], "Message: Cannot open file \"" + g.B + "req/intpos.001\". " + TextoArquivoInexistente());
    EXPECT_EQ(log[2], "Handler: tmVerificaTimer");
    EXPECT_TRUE(g.form.tmVerifica->Enabled()) << "a failed tick must not stop the polling";

    g.app.AoDormir = nullptr;
    g.Pedido({"000-000 = ATV", "001-000 = 2"});
    Tick();
    EXPECT_EQ(g.Resp("intpos.sts"), Bytes({"000-000 = ATV", "001-000 = 2", "999-999 = 0"}));
}

TEST_F(Intake, AckQueFalhaNaoAbreATelaENaoParaOPolling) {
    CriaDir(g.B + "resp/intpos.sts");  // a directory where the file must go
    g.Pedido({"000-000 = CRT", "001-000 = 1", "003-000 = 100"});
    Tick();
    EXPECT_FALSE(Existe(g.B + "req/intpos.001")) << "already deleted and parsed";
    EXPECT_EQ(g.frm.FIdentificacao, "1");
    EXPECT_FALSE(g.form.tmShow->Enabled()) << "the follow-up does not run";
    EXPECT_TRUE(g.form.tmVerifica->Enabled());
    const std::string log = LeBytes(g.B + "LogErro.txt");
    EXPECT_NE(log.find("Cannot create file \"" + g.B + "resp/intpos.sts\""), std::string::npos) << log;
}

}  // namespace
