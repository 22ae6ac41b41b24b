#include "ComponentesVirtuais.h"

#include <gtest/gtest.h>

using namespace componentes;

namespace {

struct Relogio : ::testing::Test {
    TAplicacaoVirtual app{"/tef/TefOrvex"};
};

TEST_F(Relogio, TimerDisparaACadaIntervaloEnquantoAtivo) {
    auto t = app.CriaTimer("tmA");
    std::vector<std::int64_t> momentos;
    t->SetInterval(500);
    t->SetOnTimer([&] { momentos.push_back(app.AgoraMs()); });
    app.Avanca(1000);
    EXPECT_TRUE(momentos.empty()) << "a timer off at design does not fire";
    t->SetEnabled(true);
    app.Avanca(1600);
    EXPECT_EQ(momentos, (std::vector<std::int64_t>{1500, 2000, 2500}));
}

TEST_F(Relogio, ReativarUmTimerAtivoNaoReiniciaAContagemMasMudarOIntervaloReinicia) {
    auto t = app.CriaTimer("tmOculta");
    std::vector<std::int64_t> momentos;
    t->SetInterval(2000);
    t->SetOnTimer([&] { momentos.push_back(app.AgoraMs()); t->SetEnabled(false); });
    t->SetEnabled(true);
    app.Avanca(1500);
    t->SetEnabled(true);  // already enabled: the count goes on
    app.Avanca(600);
    EXPECT_EQ(momentos, (std::vector<std::int64_t>{2000}));

    t->SetEnabled(true);  // at 2100
    app.Avanca(500);
    t->SetInterval(1000);  // at 2600: restarts, due at 3600
    app.Avanca(2000);
    EXPECT_EQ(momentos, (std::vector<std::int64_t>{2000, 3600}));
}

TEST_F(Relogio, SleepAvancaORelogioSemDespacharEProcessMessagesRodaOsVencidos) {
    auto a = app.CriaTimer("tmA");
    auto b = app.CriaTimer("tmB");
    std::vector<std::string> ordem;
    a->SetInterval(300);
    b->SetInterval(100);
    a->SetOnTimer([&] {
        a->SetEnabled(false);
        ordem.push_back("A@" + std::to_string(app.AgoraMs()));
        app.Sleep(500);
        ordem.push_back("A dormiu");
        app.ProcessMessages();
        ordem.push_back("A fim");
        a->SetEnabled(true);
    });
    b->SetOnTimer([&] { ordem.push_back("B@" + std::to_string(app.AgoraMs())); });
    a->SetEnabled(true);
    b->SetEnabled(true);
    app.Avanca(300);
    // On a tie the older timer goes first; during A's sleep nothing runs, and
    // the overdue B fires once, inside A's message processing.
    EXPECT_EQ(ordem, (std::vector<std::string>{"B@100", "B@200", "A@300", "A dormiu", "B@800", "A fim"}));
    EXPECT_EQ(app.AgoraMs(), 800);
    ordem.clear();
    app.Avanca(300);  // B at 900, 1000, 1100; A again at 1100 (re-enabled at 800), after B
    EXPECT_EQ(ordem, (std::vector<std::string>{"B@900", "B@1000", "A@1100", "A dormiu", "B@1600", "A fim"}));
}

TEST_F(Relogio, CaixaModalFicaAbertaOTempoDoTesteEOsTimersDisparamNelas) {
    auto t = app.CriaTimer("tmShow");
    t->SetInterval(300);
    int disparos = 0;
    t->SetOnTimer([&] { ++disparos; });
    t->SetEnabled(true);
    app.DuracaoMensagem = [](const TAplicacaoVirtual::Mensagem& m) {
        return m.tipo == TipoMensagem::Erro ? 1000 : 0;
    };
    app.MessageBox(TipoMensagem::Erro, "erro");
    EXPECT_EQ(disparos, 3);
    EXPECT_EQ(app.AgoraMs(), 1000);
    app.MessageBox(TipoMensagem::Informacao, "info");
    EXPECT_EQ(app.AgoraMs(), 1000);
    ASSERT_EQ(app.Mensagens.size(), 2u);
    EXPECT_EQ(app.Mensagens[0].texto, "erro");
    EXPECT_EQ(app.Mensagens[1].tipo, TipoMensagem::Informacao);
}

TEST_F(Relogio, OrelogioLocalSegueOTempoVirtual) {
    TAplicacaoVirtual a("/x", "", TDataHora{2026, 12, 31, 23, 59, 59, 900});
    a.Avanca(150);
    const TDataHora t = a.Agora();
    EXPECT_EQ(t.ano, 2027);
    EXPECT_EQ(t.mes, 1);
    EXPECT_EQ(t.dia, 1);
    EXPECT_EQ(t.hora, 0);
    EXPECT_EQ(t.segundo, 0);
    EXPECT_EQ(t.milissegundo, 50);
}

TEST_F(Relogio, ExcecaoDeUmHandlerViraRelatorioDeVariasLinhas) {
    std::vector<std::string> relatorios;
    app.Reporter().SetOnExceptionNotify([&](const componentes::TRelatorioExcecao& r) { relatorios.push_back(r.texto); });
    auto t = app.CriaTimer("tmVerifica");
    t->SetInterval(500);
    t->SetOnTimer([] { throw EFOpenError("Cannot open file \"x\". Permission denied"); });
    t->SetEnabled(true);
    app.Avanca(500);
    ASSERT_EQ(relatorios.size(), 1u);
    const TLinhas linhas = DivideLinhas(relatorios[0]);
    ASSERT_EQ(linhas.size(), 4u);
    EXPECT_EQ(linhas[0], "Exception: EFOpenError");
    EXPECT_EQ(linhas[1], "Message: Cannot open file \"x\". Permission denied");
    EXPECT_EQ(linhas[2], "Handler: tmVerificaTimer");
    EXPECT_EQ(linhas[3], "Time: 2026-03-05 09:07:02.500");
}

TEST_F(Relogio, CausaDeUmaMensagemFixaVaiNoRelatorio) {
    std::string relatorio;
    app.Reporter().SetOnExceptionNotify([&](const componentes::TRelatorioExcecao& r) { relatorio = r.texto; });
    app.ExecutaHandler("btnConfiguraClick", [] {
        throw ERegistryException("Failed to set data for 'Url'", "/etc/orvex/tef.reg.lock: Permission denied");
    });
    const TLinhas linhas = DivideLinhas(relatorio);
    ASSERT_EQ(linhas.size(), 5u);
    EXPECT_EQ(linhas[1], "Message: Failed to set data for 'Url'");
    EXPECT_EQ(linhas[4], "Cause: /etc/orvex/tef.reg.lock: Permission denied");
}

TEST_F(Relogio, FalhaAoRelatarNaoSePerde) {
    // Standard error hears a report only when the notification (the log
    // and the journal) could not take it: once, in UTF-8.
    app.Reporter().SetOnExceptionNotify([](const componentes::TRelatorioExcecao& r) {
        EXPECT_EQ(r.aoOperador, "N\xE3o foi poss\xEDvel abrir o arquivo /x: permiss\xE3o negada.");
    });
    ::testing::internal::CaptureStderr();
    app.ExecutaHandler("SpeedButton1Click", [] { throw EFOpenError("Cannot open file \"/x\". Permission denied", "permiss\xE3o negada"); });
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    app.Reporter().SetOnExceptionNotify([](const componentes::TRelatorioExcecao&) { throw EFCreateError("Cannot create file"); });
    ::testing::internal::CaptureStderr();
    app.ExecutaHandler("SpeedButton1Click", [] { throw Exception("n\xE3o boom"); });
    const std::string saida = ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(app.Reporter().Falhas().size(), 1u);
    EXPECT_NE(app.Reporter().Falhas()[0].find("boom"), std::string::npos);
    EXPECT_NE(app.Reporter().Falhas()[0].find("Cannot create file"), std::string::npos);
    EXPECT_EQ(saida.find("boom"), saida.rfind("boom")) << "once: " << saida;
    EXPECT_NE(saida.find("Message: n\xC3\xA3o boom\n"), std::string::npos) << saida;
}

TEST(ComponentesVirtuais, TrayEBarraDeProgresso) {
    TTrayIconVirtual tray;
    tray.SetActive(true);
    tray.SetActive(true);
    EXPECT_EQ(tray.Ativacoes, 1);
    TBarraProgressoVirtual barra;
    EXPECT_THROW(barra.SetMax(0), Exception);
    EXPECT_EQ(barra.Max(), 100);
    barra.SetPosition(150);
    EXPECT_EQ(barra.Position(), 100);
}

}  // namespace
