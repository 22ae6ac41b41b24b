// Responses, the exchange-file writer, the trace and the error log.
#include "Gerente.h"
#include "UsuarioComum.h"

#include <clocale>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

std::string Bytes(const TLinhas& linhas) { return TextoLinhas(linhas); }

struct Respostas : ::testing::Test {
    TGerenteVirtual g;
    void SetUp() override {
        std::setlocale(LC_TIME, "C");
        g.frm.FIdentificacao = "123";
        g.frm.FDocumento = "4567";
        g.frm.FValorTexto = "1000";
        g.frm.FTefComercial = true;
    }
};

// ---- RespondeVenda ------------------------------------------------------------------

struct CasoResposta {
    const char* nome;
    TLinhas pagina;
    TLinhas arquivo;
};

TEST_F(Respostas, RespondeVendaSubstituicoesELinhasEmBranco) {
    // The virtual clock starts at 5 March 09:07:02.
    const std::vector<CasoResposta> casos = {
        {"venda aprovada",
         {"000-000 = CRT", "001-000 = #001#", "002-000 = #002#", "003-000 = 999", "   ", "", "022-000 = #016#",
          "\t", "999-999 = 0"},
         {"000-000 = CRT", "001-000 = 123", "002-000 = 4567", "003-000 = 1000", "022-000 = 0503090702",
          "999-999 = 0"}},
        {"uma linha guarda o proprio valor", {"003-000 = 5"}, {"003-000 = 5"}},
        {"sem CRT na primeira linha", {"000-000 = ADM", "003-000 = 5"}, {"000-000 = ADM", "003-000 = 5"}},
        {"CRT em qualquer lugar da primeira", {"xxCRTxx", "a", "003-000 = 5"}, {"xxCRTxx", "a", "003-000 = 1000"}},
        {"a primeira que contem 003-000 e a trocada",
         {"000-000 = CRT", "030-000 = ver 003-000 abaixo", "003-000 = 5"},
         {"000-000 = CRT", "003-000 = 1000", "003-000 = 5"}},
        {"sem linha 003-000 nada e acrescentado", {"000-000 = CRT", "001-000 = 1"}, {"000-000 = CRT", "001-000 = 1"}},
        {"varios #016# com o mesmo texto", {"a #016# #016#", "b#016#"}, {"a 0503090702 0503090702", "b0503090702"}},
        {"quebra de linha dentro de uma linha", {"a\rb", "c\nd"}, {"a", "b", "c", "d"}},
        {"linhas nao sao aparadas", {"  x  "}, {"  x  "}},
        {"tudo em branco", {" ", "", "\x01"}, {}},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        TLinhas linhas = c.pagina;
        g.form.tmOculta->SetEnabled(false);
        g.frm.RespondeVenda(linhas);
        EXPECT_EQ(g.Resp("intpos.001"), Bytes(c.arquivo));
        EXPECT_TRUE(g.form.tmOculta->Enabled());
    }
}

TEST_F(Respostas, TextoInseridoNo001EProcessadoPelosPassosSeguintes) {
    g.frm.FIdentificacao = "#002#-#016#";
    TLinhas linhas{"001-000 = #001#"};
    g.frm.RespondeVenda(linhas);
    EXPECT_EQ(g.Resp("intpos.001"), Bytes({"001-000 = 4567-0503090702"}));
    // But the document's own text is not searched again for "#002#".
    g.frm.FIdentificacao = "1";
    g.frm.FDocumento = "#002#";
    linhas = {"#002#"};
    g.frm.RespondeVenda(linhas);
    EXPECT_EQ(g.Resp("intpos.001"), Bytes({"#002#"}));
}

// ---- CancelaTef --------------------------------------------------------------------------

TEST_F(Respostas, CancelamentoDeVendaEDeAdministracao) {
    g.frm.CancelaTef();
    EXPECT_EQ(g.Resp("intpos.001"),
              "000-000 = CRT\r\n001-000 = 123\r\n002-000 = 4567\r\n003-000 = 1000\r\n011-000 = 0\r\n"
              "028-000 = 0\r\n030-000 = TEF Marel Raruveda foi cancelado\r\n999-999 = 0\r\n");
    g.frm.FModoAdm = true;
    g.frm.CancelaTef();
    EXPECT_EQ(g.Resp("intpos.001"),
              "000-000 = ADM\r\n001-000 = 123\r\n011-000 = 0\r\n028-000 = 0\r\n"
              "030-000 = TEF Marel Raruveda foi cancelado\r\n999-999 = 0\r\n");
    EXPECT_EQ(g.form.panEsconde.Caption(), "TEF, Aguardando Aplicativo Comercial....");
    EXPECT_TRUE(g.form.panEsconde.Visible());
    EXPECT_TRUE(g.form.tmOculta->Enabled());
}

TEST_F(Respostas, CancelamentoSemTefComercialNaoEscreveMasEsconde) {
    g.frm.FTefComercial = false;
    g.form.panEsconde.SetVisible(false);
    g.frm.CancelaTef();
    EXPECT_FALSE(g.TemResp("intpos.001"));
    EXPECT_TRUE(g.form.panEsconde.Visible());
    EXPECT_TRUE(g.form.tmOculta->Enabled());
}

TEST_F(Respostas, CancelamentoComCamposVaziosTerminaNoBranco) {
    g.frm.FIdentificacao = g.frm.FDocumento = g.frm.FValorTexto = "";
    g.frm.CancelaTef();
    const TLinhas l = CarregaLinhas(g.B + "resp/intpos.001");
    EXPECT_EQ(l[1], "001-000 = ");
    EXPECT_EQ(l[2], "002-000 = ");
    EXPECT_EQ(l[3], "003-000 = ");
}

TEST_F(Respostas, CncSempreConfirmadoECadaCasoRespondido) {
    // Clients that cancel by NSU wait for the CNC's acknowledgement as for
    // any other request, and then for its own answer.
    enum class Caso { TelaAberta, SemVenda, VendaAprovada, VendaRecusada, OperadorCancela };
    struct Linha {
        const char* nome;
        Caso caso;
        TLinhas resposta;  // intpos.001 after the CNC
    };
    const std::u16string aprovada =
        u"000-000 = CNC\u00A7001-000 = #001#\u00A7009-000 = 0\u00A7012-000 = 91\u00A7030-000 = Cancelamento aprovado\u00A7"
        u"999-999 = 0";
    const std::vector<Linha> casos = {
        {"a screen open: its transaction cancelled with the CNC's fields", Caso::TelaAberta,
         {"000-000 = CRT", "001-000 = 88", "002-000 = 9", "003-000 = 250", "011-000 = 0", "028-000 = 0",
          "030-000 = TEF Marel Raruveda foi cancelado", "999-999 = 0"}},
        {"no sale named", Caso::SemVenda,
         {"000-000 = CNC", "001-000 = 88", "009-000 = 5", "030-000 = " + textos::CncSemVenda, "999-999 = 0"}},
        {"the web system cancels the sale", Caso::VendaAprovada,
         {"000-000 = CNC", "001-000 = 88", "009-000 = 0", "012-000 = 91", "030-000 = Cancelamento aprovado",
          "999-999 = 0"}},
        {"the web system refuses (the page's own 000-000 and 001-000 are not trusted)", Caso::VendaRecusada,
         {"000-000 = CNC", "001-000 = 88", "009-000 = 5", "030-000 = Venda ja cancelada", "999-999 = 0"}},
        {"the operator gives up the cancellation", Caso::OperadorCancela,
         {"000-000 = CNC", "001-000 = 88", "009-000 = 5", "030-000 = " + textos::TefCancelado, "999-999 = 0"}},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        TGerenteVirtual h;
        std::vector<TFimTransacao> fins;
        h.frm.Observador.Transacao = [&](const TFimTransacao& f) { fins.push_back(f); };
        h.frm.FUrl = "http://web.exemplo/";
        h.Inicia();
        if (c.caso == Caso::TelaAberta) {
            h.Pedido({"000-000 = CRT", "001-000 = 87", "003-000 = 100"});
            for (int t = 0; t < 3000 && !h.frm.FTelaAberta; t += 10) h.app.Avanca(10);
            ApagaArquivo(h.B + "resp/intpos.sts");
        }
        TLinhas cnc = {"000-000 = CNC", "001-000 = 88", "002-000 = 9", "003-000 = 250"};
        if (c.caso != Caso::SemVenda && c.caso != Caso::TelaAberta)
            cnc.insert(cnc.end(), {"010-000 = CIELO", "012-000 = 77", "022-000 = 10122026", "023-000 = 101500",
                                   "027-000 = 1770"});
        h.Pedido(cnc);
        for (int t = 0; t < 3000 && !h.TemResp("intpos.sts"); t += 10) h.app.Avanca(10);
        EXPECT_EQ(h.Resp("intpos.sts"), Bytes({"000-000 = CNC", "001-000 = 88", "999-999 = 0"}));
        if (c.caso == Caso::VendaAprovada || c.caso == Caso::VendaRecusada || c.caso == Caso::OperadorCancela) {
            for (int t = 0; t < 3000 && !h.frm.FTelaAberta; t += 10) h.app.Avanca(10);
            ASSERT_FALSE(h.form.GeckoBrowser1.Enderecos.empty());
            const std::string endereco = Utf16ParaUtf8(h.form.GeckoBrowser1.Enderecos.back());
            EXPECT_NE(endereco.find("modtef.php?tela=Adm&"), std::string::npos) << endereco;
            EXPECT_NE(endereco.find("&imprime=ecf&operacao=cancelamento&rede=CIELO&nsu=77&data=10122026&hora=101500"
                                    "&controle=1770&identificacao=88"),
                      std::string::npos)
                << endereco;
            h.form.GeckoBrowser1.Canal =
                c.caso == Caso::VendaAprovada   ? aprovada
                : c.caso == Caso::VendaRecusada ? u"000-000 = CRT\u00A7001-000 = 5\u00A7009-000 = 5\u00A7"
                                                  u"030-000 = Venda ja cancelada\u00A7999-999 = 0"
                                                : u"COMMAND_TEF\u00A7close";
            h.app.Avanca(600);
        } else {
            h.app.Avanca(500);
        }
        ASSERT_TRUE(h.TemResp("intpos.001"));
        EXPECT_EQ(CarregaLinhas(h.B + "resp/intpos.001"), c.resposta);
        ASSERT_FALSE(fins.empty());
        EXPECT_EQ(fins.back().comando, c.caso == Caso::TelaAberta ? "CRT" : "CNC");
    }
}

// ---- GravaResposta and GravaAtivo ----------------------------------------------------------------

TEST_F(Respostas, AtivoTemOsBytesExatosENaoETracejado) {
    CriaDir(g.B + "debug");
    g.frm.GravaAtivo();  // 5 March 09:07:02
    EXPECT_EQ(g.Resp("Ativo.001"), "000-000 = TEF\r\n016-000 = 0503090702\r\n999-999 = 0\r\n");
    EXPECT_FALSE(Existe(g.B + "debug/Debug.txt"));
    g.frm.GravaResposta("ativo.001", {"x"});
    EXPECT_TRUE(Existe(g.B + "debug/Debug.txt")) << "another letter case is traced";
}

TEST_F(Respostas, GravaRespostaListaVaziaValorVazioESubstituicao) {
    g.frm.GravaResposta("intpos.001", {});
    EXPECT_EQ(g.Resp("intpos.001"), "");
    g.frm.GravaResposta("intpos.001", {"001-000 = "});
    EXPECT_EQ(g.Resp("intpos.001"), "001-000 = \r\n");
    // Two writes in the same millisecond share the staging name; both land.
    g.frm.GravaResposta("intpos.sts", {"a"});
    g.frm.GravaResposta("intpos.001", {"b"});
    EXPECT_EQ(g.Resp("intpos.sts"), "a\r\n");
    EXPECT_EQ(g.Resp("intpos.001"), "b\r\n");
    TLinhas temp;
    ListaArquivos(g.B + "temp/", temp, false);
    EXPECT_TRUE(temp.empty()) << "no staging file is left behind";
}

TEST_F(Respostas, NomeDoArquivoDeTrabalho) {
    componentes::TAplicacaoVirtual app(g.B + "TefOrvex", "", TDataHora{2026, 3, 5, 9, 5, 3, 42});
    componentes::TFormPrincipalVirtual form(app);
    TfrmPrincipal frm(app, form.Componentes());
    frm.PreparaDiretorios();
    GravaBytes(g.B + "temp", "temp/ is a file here");  // the staging copy cannot be made
    try {
        frm.GravaResposta("intpos.sts", {"x"});
        FAIL() << "no error";
    } catch (const EFCreateError& e) {
        // The message names the file the commercial application waits for;
        // the staging copy that failed is the cause.
        EXPECT_EQ(e.Message().rfind("Cannot create file \"" + g.B + "resp/intpos.sts\". ", 0), 0u) << e.Message();
        EXPECT_EQ(e.Causa.rfind("Cannot create file \"" + g.B + "temp/ArqTemp_9_5_3_42.tef\". ", 0), 0u) << e.Causa;
    }
    EXPECT_FALSE(g.TemResp("intpos.sts"));
}

TEST_F(Respostas, ArquivoDeTrabalhoVelhoEApagadoAntes) {
    CriaDir(g.B + "temp");
    GravaBytes(g.B + "temp/ArqTemp_9_7_2_0.tef", "conteudo velho e comprido que nao pode sobrar\r\n");
    g.frm.GravaResposta("intpos.sts", {"novo"});
    EXPECT_EQ(g.Resp("intpos.sts"), "novo\r\n");
}

#ifndef _WIN32
// A reader's open file on Windows is a sharing matter, tested on its own.
TEST_F(Respostas, SubstituicaoAtomicaQuemJaAbriuLeOArquivoVelhoInteiro) {
    g.frm.GravaResposta("intpos.001", {"velho 1", "velho 2"});
    const int fd = ::open((g.B + "resp/intpos.001").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    struct stat antes{};
    ASSERT_EQ(::stat((g.B + "resp/intpos.001").c_str(), &antes), 0);
    g.frm.GravaResposta("intpos.001", {"novo"});
    char buf[64] = {};
    const ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0), "velho 1\r\nvelho 2\r\n");
    struct stat depois{};
    ASSERT_EQ(::stat((g.B + "resp/intpos.001").c_str(), &depois), 0);
    EXPECT_NE(antes.st_ino, depois.st_ino) << "replaced by rename, not rewritten in place";
    EXPECT_EQ(g.Resp("intpos.001"), "novo\r\n");
}
#endif

TEST_F(Respostas, FalhaAoPorNoLugarLevantaErroComODestinoESemTraco) {
    CriaDir(g.B + "debug");
    CriaDir(g.B + "resp/intpos.001");
    try {
        g.frm.GravaResposta("intpos.001", {"x"});
        FAIL() << "a failed write was reported as success";
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message().rfind("Cannot create file \"" + g.B + "resp/intpos.001\". ", 0), 0u) << e.Message();
    }
    EXPECT_FALSE(Existe(g.B + "debug/Debug.txt")) << "no trace entry for a write that did not happen";
    TLinhas temp;
    ListaArquivos(g.B + "temp/", temp, false);
    EXPECT_TRUE(temp.empty());
    // The caller does not start the hide either.
    g.form.tmOculta->SetEnabled(false);
    EXPECT_THROW(g.frm.CancelaTef(), EFCreateError);
    EXPECT_FALSE(g.form.tmOculta->Enabled());
}

TEST_F(Respostas, PreparaDiretoriosLimpaArquivosEGuardaSubdiretorios) {
    GravaBytes(g.B + "resp/Ativo.001", "velho");
    GravaBytes(g.B + "req/intpos.001", "pedido velho");
    Envelhece(g.B + "req/intpos.001", 8);
    // Written while the last run stopped: its client still waits for the
    // acknowledgement, which this run gives.
    GravaBytes(g.B + "req/novo.001", "000-000 = ATV\r\n001-000 = 5\r\n");
    Envelhece(g.B + "req/novo.001", 5);
    CriaDir(g.B + "req/guardado");
    GravaBytes(g.B + "req/guardado/x.001", "fica");
    g.frm.PreparaDiretorios();
    EXPECT_FALSE(Existe(g.B + "resp/Ativo.001"));
    EXPECT_FALSE(Existe(g.B + "req/intpos.001"));
    EXPECT_NE(LeBytes(g.B + "LogErro.txt").find("\"" + g.B + "req/intpos.001\" left by an earlier run"), std::string::npos);
    EXPECT_EQ(LeBytes(g.B + "req/novo.001"), "000-000 = ATV\r\n001-000 = 5\r\n") << "served by this run";
    EXPECT_EQ(LeBytes(g.B + "req/guardado/x.001"), "fica");
    EXPECT_EQ(g.frm.FDirTemp, g.B + "temp/");
    EXPECT_EQ(g.frm.FDirDebug, g.B + "debug/");
    EXPECT_FALSE(Existe(g.B + "temp")) << "temp is created when first needed";
    EXPECT_FALSE(Existe(g.B + "debug")) << "debug is never created by the manager";
}

// ---- the trace ----------------------------------------------------------------------------------

TEST_F(Respostas, SemDiretorioDebugNadaETracejado) {
    g.frm.GravaResposta("intpos.sts", {"a"});
    EXPECT_FALSE(Existe(g.B + "debug"));
}

TEST_F(Respostas, EntradaDoTraco) {
    CriaDir(g.B + "debug");
    g.Inicia();
    g.Pedido({"000-000 = ATV", "001-000 = 3"});
    g.app.Avanca(500);  // read at 09:07:03.000 (after the 500 ms wait)
    const TLinhas traco = CarregaLinhas(g.B + "debug/Debug.txt");
    const TLinhas esperado = {
        std::string(56, '-'),
        "Tipo: Req",
        "Nome do Arquivo: " + g.B + "req/intpos.001",
        "Data: 03/05/26 09:07:03",
        "",
        "000-000 = ATV",
        "001-000 = 3",
        std::string(56, '-'),
        "Tipo: Resp",
        "Nome do Arquivo: " + g.B + "resp/intpos.sts",
        "Data: 03/05/26 09:07:03",
        "",
        "000-000 = ATV",
        "001-000 = 3",
        "999-999 = 0",
    };
    EXPECT_EQ(traco, esperado);
    EXPECT_EQ(LeBytes(g.B + "debug/Debug.txt"), TextoLinhas(esperado));
}

TEST_F(Respostas, TracoDeArquivoVazioTerminaNaLinhaVaziaEQuebrasAntigasViramCrLf) {
    CriaDir(g.B + "debug");
    GravaBytes(g.B + "debug/Debug.txt", "antiga 1\nantiga 2\rantiga 3");
    g.frm.GravaResposta("intpos.001", {});
    const std::string bytes = LeBytes(g.B + "debug/Debug.txt");
    EXPECT_EQ(bytes.substr(0, 30), "antiga 1\r\nantiga 2\r\nantiga 3\r\n");
    const TLinhas l = DivideLinhas(bytes);
    ASSERT_EQ(l.size(), 8u);
    EXPECT_EQ(l[3], std::string(56, '-'));
    EXPECT_EQ(l.back(), "");
    EXPECT_EQ(bytes.substr(bytes.size() - 5), "2\r\n\r\n") << "the date line, then the empty line";
}

TEST_F(Respostas, TracoQueFalhaNaoAtrapalhaATroca) {
    CriaDir(g.B + "debug");
    CriaDir(g.B + "debug/Debug.txt");  // cannot be read nor written
    EXPECT_NO_THROW(g.frm.GravaResposta("intpos.sts", {"a"}));
    EXPECT_EQ(g.Resp("intpos.sts"), "a\r\n");
}

TEST_F(Respostas, TracoAMeiaNoiteSoTemAData) {
    componentes::TAplicacaoVirtual app(g.B + "TefOrvex", "", TDataHora{2026, 3, 5, 0, 0, 0, 0});
    componentes::TFormPrincipalVirtual form(app);
    TfrmPrincipal frm(app, form.Componentes());
    frm.PreparaDiretorios();
    CriaDir(g.B + "debug");
    frm.GravaResposta("intpos.sts", {"a"});
    EXPECT_EQ(CarregaLinhas(g.B + "debug/Debug.txt")[3], "Data: 03/05/26");
}

// ---- the error log ----------------------------------------------------------------------------

TEST_F(Respostas, LogDeErroUmTextoPorChamadaComQuebrasProprias) {
    g.frm.GravaLogErro("primeiro");
    g.frm.GravaLogErro("segundo");
    EXPECT_EQ(LeBytes(g.B + "LogErro.txt"), "primeiro\r\nsegundo\r\n");
    g.frm.GravaLogErro("linha a\nlinha b");
    EXPECT_EQ(LeBytes(g.B + "LogErro.txt"), "primeiro\r\nsegundo\r\nlinha a\nlinha b\r\n");
    // Appended, never rewritten: what the log holds stays byte for byte,
    // even what the manager would not have written itself.
    GravaBytes(g.B + "LogErro.txt", LeBytes(g.B + "LogErro.txt") + "de fora\n\0depois do NUL");
    const std::string antes = LeBytes(g.B + "LogErro.txt");
    g.frm.GravaLogErro("x");
    EXPECT_EQ(LeBytes(g.B + "LogErro.txt"), antes + "x\r\n");
}

TEST_F(Respostas, LogDeErroGuardaUmArquivoAnteriorQuandoPassaDoLimite) {
    const std::string log = g.B + "LogErro.txt", anterior = log + ".1";
    GravaBytes(anterior, "o mais antigo\r\n");
    AnexaLogErro(log, "um", 10);
    AnexaLogErro(log, "dois", 10);
    EXPECT_EQ(LeBytes(log), "um\r\ndois\r\n");
    AnexaLogErro(log, "tres", 10);  // 10 bytes reached: the log becomes the previous one
    EXPECT_EQ(LeBytes(anterior), "um\r\ndois\r\n") << "one previous file, the older one replaced";
    EXPECT_EQ(LeBytes(log), "tres\r\n");
    EXPECT_EQ(kLimiteLogErro, 1024 * 1024);
#ifndef _WIN32
    // The package's layout: the directory is root's, only the two files are
    // the group's. The same outcome, by a copy and an emptied log.
    ::chmod(g.dir.Caminho().c_str(), 0755), ::chmod(g.B.c_str(), 0755);
    ::chmod(log.c_str(), 0666), ::chmod(anterior.c_str(), 0666);
    std::string motivo;
    EXPECT_TRUE(ComoUsuarioComum(
        [&] {
            AnexaLogErro(log, "quatro", 10);
            EXPECT_EQ(LeBytes(log), "tres\r\nquatro\r\n");
            AnexaLogErro(log, "cinco", 10);
            EXPECT_EQ(LeBytes(anterior), "tres\r\nquatro\r\n");
            EXPECT_EQ(LeBytes(log), "cinco\r\n");
        },
        motivo))
        << motivo;
#endif
}

TEST_F(Respostas, LogDeErroQueNaoPodeSerEscritoFalhaParaQuemChama) {
    CriaDir(g.B + "LogErro.txt");
    try {
        g.frm.GravaLogErro("x");
        FAIL() << "no error";
    } catch (const EStreamError& e) {
        EXPECT_EQ(e.Message(), "Cannot create file \"" + g.B + "LogErro.txt\". " + TextoEDiretorio());
    }
}

TEST_F(Respostas, RelatorioDoReporterVaiParaOLog) {
    g.app.ExecutaHandler("SpeedButton1Click", [] { throw EInOutError(5, "File access denied"); });
    const TLinhas log = CarregaLinhas(g.B + "LogErro.txt");
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0], "Exception: EInOutError");
    EXPECT_EQ(log[1], "Message: File access denied");
    EXPECT_EQ(log[2], "Handler: SpeedButton1Click");
}

}  // namespace
