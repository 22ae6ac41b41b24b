// The window's life on the virtual layer: startup (FormCreate), the return to
// the tray, closing, cancelling and the small window handlers.
#include "Gerente.h"
#include "Registro.h"
#include "Servidor.h"

#include <array>
#include <gtest/gtest.h>

#include <algorithm>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#ifndef _WIN32
#include <elf.h>
#endif

using componentes::TAplicacaoVirtual;
using componentes::TDialogoParametroVirtual;
using componentes::TFormPrincipalVirtual;
using componentes::TipoMensagem;

namespace {

const std::string kAguardando = "TEF, Aguardando Aplicativo Comercial....";
const std::string kChave = "\\Software\\ORVEX\\TEF";

void GravaConfiguracao(const std::string& store) {
    TRegistry r(store);
    r.OpenKey(kChave, true);
    r.WriteString("Url", "http://loja.exemplo/");
    r.WriteInteger("Lojcodigo", 42);
    r.WriteString("Usulogin", Decifra("ana"));
    r.WriteString("Ususenha", Decifra("s3nha"));
}

#ifndef _WIN32
// A minimal 64-bit ELF file that carries the build's version section.
std::string ElfComVersao(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    const std::string nomes("\0.shstrtab\0.tef_versao\0", 23);
    const std::size_t offNomes = sizeof(Elf64_Ehdr), offVersao = 88, offSecoes = 104;
    Elf64_Ehdr h{};
    std::memcpy(h.e_ident, ELFMAG, SELFMAG);
    h.e_ident[EI_CLASS] = ELFCLASS64;
    h.e_ident[EI_DATA] = ELFDATA2LSB;
    h.e_ident[EI_VERSION] = EV_CURRENT;
    h.e_type = ET_EXEC;
    h.e_machine = EM_X86_64;
    h.e_version = EV_CURRENT;
    h.e_ehsize = sizeof(Elf64_Ehdr);
    h.e_shentsize = sizeof(Elf64_Shdr);
    h.e_shoff = offSecoes;
    h.e_shnum = 3;
    h.e_shstrndx = 1;
    Elf64_Shdr s[3]{};
    s[1].sh_name = 1;
    s[1].sh_type = SHT_STRTAB;
    s[1].sh_offset = offNomes;
    s[1].sh_size = nomes.size();
    s[2].sh_name = 11;
    s[2].sh_type = SHT_PROGBITS;
    s[2].sh_offset = offVersao;
    s[2].sh_size = 16;
    const std::uint32_t v[4] = {a, b, c, d};
    std::string arquivo(offSecoes + sizeof s, '\0');
    std::memcpy(arquivo.data(), &h, sizeof h);
    std::memcpy(arquivo.data() + offNomes, nomes.data(), nomes.size());
    std::memcpy(arquivo.data() + offVersao, v, sizeof v);
    std::memcpy(arquivo.data() + offSecoes, s, sizeof s);
    return arquivo;
}
#endif

// ---- startup -----------------------------------------------------------------------------------

// A manager built from nothing, so that FormCreate does all of its own work.
struct Inicio : ::testing::Test {
    TDiretorioTemporario dir, outro;
    std::string B = dir.Caminho();
    std::string store = outro / "tef.reg";
    TVariavelAmbiente registro{"TEF_REGISTRO", store};
    TVariavelAmbiente producao{"TEF_PRODUCAO", std::nullopt};
    std::unique_ptr<TAplicacaoVirtual> app;
    std::unique_ptr<TFormPrincipalVirtual> form;
    std::unique_ptr<TfrmPrincipal> frm;

    void Cria(const std::string& exe = "TefOrvex", const std::string& parametro = "") {
        frm.reset();
        form.reset();
        app = std::make_unique<TAplicacaoVirtual>(B + exe, parametro);
        form = std::make_unique<TFormPrincipalVirtual>(*app);
        frm = std::make_unique<TfrmPrincipal>(*app, form->Componentes());
    }
    // What an earlier run left behind.
    void RestosDeOutraExecucao() {
        CriaDir(B + "resp/sub");
        CriaDir(B + "req/sub");
        GravaBytes(B + "resp/Ativo.001", "velho\r\n");
        GravaBytes(B + "resp/intpos.001", "velho\r\n");
        GravaBytes(B + "resp/.oculto", "x");
        GravaBytes(B + "resp/sub/fica.txt", "fica");
        GravaBytes(B + "req/intpos.001", "000-000 = CRT\r\n");
        Envelhece(B + "req/intpos.001", 60);
        GravaBytes(B + "req/sub/fica.001", "fica");
        CriaDir(B + "mozembed/Profiles/default/Cache/d1/d2");
        GravaBytes(B + "mozembed/Profiles/default/Cache/a", "a");
        GravaBytes(B + "mozembed/Profiles/default/Cache/d1/d2/b", "b");
        GravaBytes(B + "mozembed/Profiles/default/cert8.db", "antigo");
    }
};

TEST_F(Inicio, FormCreateCompletoDeixaOGerenteOciosoEConsultando) {
    GravaConfiguracao(store);
    RestosDeOutraExecucao();
    Cria();
    frm->FModoAdm = true;
    ASSERT_EQ(form->Verso1.Caption(), "Vers\xE3o");
    frm->FormCreate();

    EXPECT_EQ(form->PerfilNavegador, B + "mozembed/Profiles/default");
    EXPECT_EQ(frm->FChaveRegistro, "\\Software\\ORVEX\\TEF");
    EXPECT_EQ(form->JvTrayIcon1.Hint(), "[ TEF Rede Fonteva ]");
    EXPECT_FALSE(form->JvTrayIcon1.Active());
    EXPECT_EQ(frm->FUrl, "http://loja.exemplo/");
    EXPECT_EQ(frm->FLojCodigo, 42);
    EXPECT_EQ(frm->FUsuLogin, "ana");
    EXPECT_EQ(frm->FUsuSenha, "s3nha");
    EXPECT_TRUE(app->Mensagens.empty());
    EXPECT_EQ(form->DialogosCriados, 0);

    EXPECT_EQ(frm->FDirResp, B + "resp/");
    EXPECT_EQ(frm->FDirReq, B + "req/");
    EXPECT_EQ(frm->FDirTemp, B + "temp/");
    EXPECT_EQ(frm->FDirDebug, B + "debug/");
    EXPECT_FALSE(Existe(B + "resp/intpos.001"));
    EXPECT_FALSE(Existe(B + "resp/.oculto"));
    EXPECT_FALSE(Existe(B + "req/intpos.001"));
    EXPECT_TRUE(Existe(B + "resp/sub/fica.txt")) << "sub-directories stay";
    EXPECT_TRUE(Existe(B + "req/sub/fica.001"));
    EXPECT_FALSE(Existe(B + "debug")) << "the trace directory is never created";

    // The fake executable is no ELF file: no version.
    EXPECT_EQ(VersaoArquivo(B + "TefOrvex"), "");
    EXPECT_EQ(form->lblVersao.Caption(), "");
    EXPECT_EQ(form->Verso1.Caption(), "");

    EXPECT_FALSE(Existe(B + "mozembed/Profiles/default/Cache"));
    EXPECT_EQ(form->IdHTTP1.Pedidos,
              (std::vector<std::string>{"https://tef.orvexpay.com.br/download/tef/profile/cert8.db",
                                        "https://tef.orvexpay.com.br/download/tef/profile/cert_override.txt"}));
    EXPECT_EQ(LeBytes(B + "mozembed/Profiles/default/cert8.db"), "antigo") << "no server: the file stays";
    EXPECT_FALSE(Existe(B + "mozembed/Profiles/default/cert8.db_new"));

    EXPECT_FALSE(frm->FModoAdm);
    EXPECT_TRUE(form->tmOculta->Enabled());
    EXPECT_EQ(form->tmOculta->Interval(), 2000);
    EXPECT_TRUE(form->tmVerifica->Enabled());
    EXPECT_EQ(form->tmVerifica->Interval(), 500);
    EXPECT_FALSE(form->tmShow->Enabled());
    EXPECT_FALSE(form->tmCmds->Enabled());
    // Virtual clock start: 2026-03-05 09:07:02.
    EXPECT_EQ(LeBytes(B + "resp/Ativo.001"), "000-000 = TEF\r\n016-000 = 0503090702\r\n999-999 = 0\r\n");

    // The message loop shows the window; 2000 ms later it hides to the tray.
    form->Janela.Show();
    app->Avanca(1999);
    EXPECT_TRUE(form->Janela.Visible());
    EXPECT_FALSE(form->JvTrayIcon1.Active());
    app->Avanca(1);
    EXPECT_FALSE(form->Janela.Visible());
    EXPECT_TRUE(form->JvTrayIcon1.Active());
    EXPECT_EQ(form->tmOculta->Interval(), 1000);
}

TEST_F(Inicio, NomesDaConfiguracaoParaOsArquivosDeResp) {
    // Programs written for Windows read "IntPos.Sts" or "INTPOS.001": the
    // configuration names the files; a value that is not a bare file name is
    // reported once and the described name used.
    struct Caso {
        const char* nome;
        std::optional<std::string> confirmacao, resposta, ativo;  // nothing: not in the store
        std::string sts, r001, marcador;                          // the names written
        bool apelido;                                             // "ativo.001" beside the marker
        int relatos;
    };
    const std::vector<Caso> casos = {
        {"none set", {}, {}, {}, "intpos.sts", "intpos.001", "Ativo.001", true, 0},
        {"all three", std::string("IntPos.Sts"), std::string("INTPOS.001"), std::string("ATIVO.001"), "IntPos.Sts",
         "INTPOS.001", "ATIVO.001", false, 0},
        {"empty values", std::string(""), std::string(""), std::string(""), "intpos.sts", "intpos.001", "Ativo.001", true, 0},
        {"a path", std::string("../resp2/x.sts"), std::string("a/b"), std::string("C:ativo"), "intpos.sts", "intpos.001",
         "Ativo.001", true, 3},
        {"too long, a backslash", std::string(65, 'x'), std::string("a\\b"), std::string("ok.001"), "intpos.sts",
         "intpos.001", "ok.001", false, 2},
        {"one name for two files, a Windows device", std::string("IntPos.001"), std::string("INTPOS.001"),
         std::string("nul.txt"), "intpos.sts", "INTPOS.001", "Ativo.001", true, 2},
        {"an answer under the marker's usual name", {}, std::string("ativo.001"), {}, "intpos.sts", "intpos.001",
         "Ativo.001", true, 1},
        {"the marker under the answer's name", {}, {}, std::string("intpos.001"), "intpos.sts", "intpos.001",
         "Ativo.001", true, 1},
        {"the answer under the alias's name, another marker", {}, std::string("ativo.001"), std::string("Marca.001"),
         "intpos.sts", "ativo.001", "Marca.001", false, 0},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        RemoveArvore(B + "resp");
        ApagaArquivo(B + "LogErro.txt");
        ApagaArquivo(store);
        GravaConfiguracao(store);
        {
            TRegistry r(store);
            r.OpenKey(kChave, false);
            if (c.confirmacao) r.WriteString("NomeConfirmacao", *c.confirmacao);
            if (c.resposta) r.WriteString("NomeResposta", *c.resposta);
            if (c.ativo) r.WriteString("NomeAtivo", *c.ativo);
        }
        Cria();
        frm->FormCreate();  // loads the configuration twice
        EXPECT_EQ(frm->FNomeConfirmacao, c.sts);
        EXPECT_EQ(frm->FNomeResposta, c.r001);
        EXPECT_TRUE(Existe(B + "resp/" + c.marcador));
#ifdef _WIN32
        const bool apelido = false;  // names ignore letter case: no second name to make
#else
        const bool apelido = c.apelido;
        EXPECT_EQ(Existe(B + "resp/ativo.001"), apelido);
#endif
        const std::string log = Existe(B + "LogErro.txt") ? LeBytes(B + "LogErro.txt") : "";
        int relatos = 0;
        for (auto p = log.find("is not a bare file name"); p != std::string::npos; p = log.find("is not a bare file name", p + 1))
            ++relatos;
        EXPECT_EQ(relatos, c.relatos) << "once per value, though loaded twice: " << log;

        SalvaLinhas(B + "req/intpos.001", {"000-000 = CRT", "001-000 = 8", "003-000 = 100"});
        app->Avanca(1500);
        form->GeckoBrowser1.Canal = u"000-000 = CRT\u00A7001-000 = #001#\u00A7009-000 = 0\u00A7999-999 = 0";
        app->Avanca(1000);
        EXPECT_EQ(LeBytes(B + "resp/" + c.sts), "000-000 = CRT\r\n001-000 = 8\r\n999-999 = 0\r\n");
        EXPECT_NE(LeBytes(B + "resp/" + c.r001).find("001-000 = 8\r\n"), std::string::npos);
        TLinhas arquivos;
        ListaArquivos(B + "resp/", arquivos, false);
        for (auto& a : arquivos) a = a.substr(a.rfind('/') + 1);
        std::sort(arquivos.begin(), arquivos.end());
        TLinhas esperados = {c.sts, c.r001, c.marcador};
        if (apelido) esperados.push_back("ativo.001");
        std::sort(esperados.begin(), esperados.end());
        EXPECT_EQ(arquivos, esperados) << "nothing under the other names";

        // The close, the watcher, --limpa and --estado: no removal of the
        // marker touches a name another role uses.
        for (const auto& nome : NomesDoMarcador(NomesConfigurados())) {
            EXPECT_NE(MaiusculasAnsi(nome), MaiusculasAnsi(c.r001));
            EXPECT_NE(MaiusculasAnsi(nome), MaiusculasAnsi(c.sts));
        }
        frm->FormClose();
        EXPECT_FALSE(Existe(B + "resp/" + c.marcador));
        EXPECT_NE(LeBytes(B + "resp/" + c.r001).find("001-000 = 8\r\n"), std::string::npos) << "the answer stays unread";
        if (c.r001 != "ativo.001") {  // else one name where names ignore case
            EXPECT_FALSE(Existe(B + "resp/Ativo.001"));
            EXPECT_FALSE(plataforma::Consulta(B + "resp/ativo.001", false));
        }
    }
}

TEST_F(Inicio, FormCreateCriaRespEReqQuandoFaltam) {
    GravaConfiguracao(store);
    Cria();
    ASSERT_FALSE(Existe(B + "resp"));
    frm->FormCreate();
    EXPECT_TRUE(DiretorioExiste(B + "resp"));
    EXPECT_TRUE(DiretorioExiste(B + "req"));
    EXPECT_FALSE(Existe(B + "debug"));
    EXPECT_TRUE(Existe(B + "resp/Ativo.001"));
    EXPECT_FALSE(Existe(B + "mozembed")) << "the profile is made one level at a time, below an existing runtime";
}

// In homologation mode the information box appears at each configuration
// load; what the controller has done by then shows the order of the steps.
TEST_F(Inicio, FormCreateEmHomologacaoCarregaDuasVezesNaOrdem) {
    RestosDeOutraExecucao();
#ifdef _WIN32
    // The version is a program's version resource there; a file without
    // one shows none.
    GravaBytes(B + "TEFORVEXHOMOLOGA.EXE", "MZ");
    const std::string versao;
#else
    GravaBytes(B + "TEFORVEXHOMOLOGA.EXE", ElfComVersao(2, 5, 0, 17));
    const std::string versao = "2.5.0.17";
#endif
    Cria("TEFORVEXHOMOLOGA.EXE");
    struct Momento {
        std::string dirResp, dica, versao;
        bool cache, ativo, oculta;
        std::size_t pedidos;
    };
    std::vector<Momento> vistos;
    app->DuracaoMensagem = [&](const TAplicacaoVirtual::Mensagem&) {
        vistos.push_back({frm->FDirResp, form->JvTrayIcon1.Hint(), form->lblVersao.Caption(),
                          Existe(B + "mozembed/Profiles/default/Cache"), Existe(B + "resp/Ativo.001"),
                          form->tmOculta->Enabled(), form->IdHTTP1.Pedidos.size()});
        return 0;
    };
    frm->FormCreate();

    ASSERT_EQ(app->Mensagens.size(), 2u) << "CarregaParametros runs twice";
    for (const auto& m : app->Mensagens) {
        EXPECT_EQ(m.tipo, TipoMensagem::Informacao);
        EXPECT_EQ(m.texto, textos::Homologacao);
    }
    ASSERT_EQ(vistos.size(), 2u);
    // First load: after the tray hint, before the directories.
    EXPECT_EQ(vistos[0].dica, "[ TEF Rede Fonteva ]");
    EXPECT_EQ(vistos[0].dirResp, "");
    EXPECT_EQ(vistos[0].versao, "");
    EXPECT_TRUE(vistos[0].cache);
    EXPECT_TRUE(vistos[0].ativo) << "the old marker is still there";
    EXPECT_EQ(vistos[0].pedidos, 0u);
    // Second load: after version, cache and certificates, before the timers
    // and the marker.
    EXPECT_EQ(vistos[1].dirResp, B + "resp/");
    EXPECT_EQ(vistos[1].versao, versao);
    EXPECT_FALSE(vistos[1].cache);
    EXPECT_EQ(vistos[1].pedidos, 2u);
    EXPECT_FALSE(vistos[1].oculta);
    EXPECT_FALSE(vistos[1].ativo);

    EXPECT_EQ(VersaoArquivo(B + "TEFORVEXHOMOLOGA.EXE"), versao);
    EXPECT_EQ(form->lblVersao.Caption(), versao);
    EXPECT_EQ(form->Verso1.Caption(), versao);
    EXPECT_EQ(frm->FUrl, servidor::BaseProducao() + "/homol/");
    EXPECT_FALSE(form->Administrao1.Enabled());
    EXPECT_FALSE(form->ParmetrosdoSistema1.Enabled());
    EXPECT_TRUE(form->lblHomologa.Visible());
    EXPECT_TRUE(Existe(B + "resp/Ativo.001"));
}

TEST_F(Inicio, ChaveConfigNoPrimeiroArgumentoAbreODialogo) {
    const std::vector<std::pair<std::string, bool>> casos = {
        {"/CONFIG", true}, {"/config", true}, {"/Config", true}, {"/CONFIGx", false},
        {"/CONFIG ", false}, {"CONFIG", false}, {"", false}, {"-config", false},
    };
    GravaConfiguracao(store);
    for (const auto& [parametro, abre] : casos) {
        SCOPED_TRACE("'" + parametro + "'");
        Cria("TefOrvex", parametro);
        std::string chaveNoDialogo, dicaNoDialogo = "nao aberto";
        form->OperadorParametros = [&](TDialogoParametroVirtual&) {
            chaveNoDialogo = frm->FChaveRegistro;
            dicaNoDialogo = form->JvTrayIcon1.Hint();
        };
        frm->FormCreate();
        EXPECT_EQ(form->DialogosCriados, abre ? 1 : 0);
        if (abre) {
            EXPECT_EQ(chaveNoDialogo, kChave) << "the key path is set before the dialog";
            EXPECT_EQ(dicaNoDialogo, "") << "the dialog comes before the tray hint";
        }
        EXPECT_EQ(frm->FLojCodigo, 42);
        EXPECT_TRUE(form->tmVerifica->Enabled());
    }
}

// ---- the return to the tray ------------------------------------------------------------------

struct Oculta : ::testing::Test {
    TGerenteVirtual g;
    void SetUp() override {
        g.form.Janela.Show();
        g.form.tmOculta->SetEnabled(true);  // as startup does: 2000 ms
        g.form.tmCmds->SetEnabled(true);
        g.frm.FModoAdm = true;
        g.frm.FTelaAberta = true;
        g.form.panEsconde.SetVisible(false);
    }
    // "file://" and the path; a drive letter needs the third "/".
    std::string PaginaLocal() const {
        return (g.B[0] == '/' ? "file://" : "file:///") + g.B + "html/index.html";
    }
    std::string Recusa() const { return "Cannot navigate to " + PaginaLocal(); }
};

TEST_F(Oculta, EsconderFazOsOitoPassos) {
    g.app.Avanca(1999);
    EXPECT_TRUE(g.form.Janela.Visible());
    g.app.Avanca(1);
    EXPECT_FALSE(g.form.tmOculta->Enabled());
    EXPECT_EQ(g.form.tmOculta->Interval(), 1000);
    EXPECT_FALSE(g.form.tmCmds->Enabled());
    EXPECT_EQ(g.form.panEsconde.Caption(), kAguardando);
    EXPECT_EQ(g.form.panEsconde.Caption().size(), 40u);
    EXPECT_TRUE(g.form.panEsconde.Visible());
    ASSERT_EQ(g.form.GeckoBrowser1.Enderecos.size(), 1u);
    EXPECT_EQ(Utf16ParaUtf8(g.form.GeckoBrowser1.Enderecos[0]), PaginaLocal());
    EXPECT_FALSE(g.frm.FModoAdm);
    EXPECT_FALSE(g.frm.FTelaAberta);
    EXPECT_FALSE(g.form.Janela.Visible());
    EXPECT_TRUE(g.form.JvTrayIcon1.Active());
    EXPECT_EQ(g.form.JvTrayIcon1.Ativacoes, 1);
    EXPECT_FALSE(Existe(g.B + "LogErro.txt"));

    // Later hides come 1000 ms after the timer is started again.
    g.form.Janela.Show();
    g.form.JvTrayIcon1.SetActive(false);
    g.form.tmOculta->SetEnabled(true);
    g.app.Avanca(999);
    EXPECT_TRUE(g.form.Janela.Visible());
    g.app.Avanca(1);
    EXPECT_FALSE(g.form.Janela.Visible());
    EXPECT_EQ(g.form.JvTrayIcon1.Ativacoes, 2);
}

TEST_F(Oculta, PaginaRecusadaRegistraCadaTentativaETentaDeNovo) {
    g.form.GeckoBrowser1.RecusaEnderecos = true;
    std::vector<std::int64_t> sonos;
    g.app.AoDormir = [&](int ms) { sonos.push_back(ms); };

    g.app.Avanca(2000);
    EXPECT_EQ(g.form.panEsconde.Caption(), "Erro: " + Recusa());
    EXPECT_TRUE(g.form.panEsconde.Visible());
    EXPECT_EQ(LeBytes(g.B + "LogErro.txt"), Recusa() + "\r\n") << "the message alone, without \"Erro: \"";
    EXPECT_EQ(sonos, (std::vector<std::int64_t>{500}));
    EXPECT_EQ(g.app.AgoraMs(), 2500);
    EXPECT_TRUE(g.form.tmOculta->Enabled());
    EXPECT_EQ(g.form.tmOculta->Interval(), 1000) << "the error came after step 2";
    EXPECT_FALSE(g.form.tmCmds->Enabled()) << "step 3 ran";
    EXPECT_TRUE(g.form.Janela.Visible());
    EXPECT_FALSE(g.form.JvTrayIcon1.Active());
    EXPECT_TRUE(g.frm.FTelaAberta) << "step 6 did not run";
    EXPECT_TRUE(g.frm.FModoAdm);

    // The next attempt comes one interval after the timer was started again.
    g.app.Avanca(999);
    EXPECT_EQ(CarregaLinhas(g.B + "LogErro.txt").size(), 1u);
    g.app.Avanca(1);
    EXPECT_EQ(LeBytes(g.B + "LogErro.txt"), Recusa() + "\r\n" + Recusa() + "\r\n");
    EXPECT_TRUE(g.form.Janela.Visible());

    g.form.GeckoBrowser1.RecusaEnderecos = false;
    g.app.Avanca(1500);  // attempt at 5000
    EXPECT_FALSE(g.form.Janela.Visible());
    EXPECT_TRUE(g.form.JvTrayIcon1.Active());
    EXPECT_EQ(g.form.panEsconde.Caption(), kAguardando);
    EXPECT_EQ(CarregaLinhas(g.B + "LogErro.txt").size(), 2u);
    std::vector<std::int64_t> tentativas;
    for (const auto& [nome, quando] : g.app.Historico)
        if (nome == "tmOcultaTimer") tentativas.push_back(quando);
    EXPECT_EQ(tentativas, (std::vector<std::int64_t>{2000, 3500, 5000}));
}

// The error path pumps messages before logging: a request tick due at the
// same moment runs there, before the log line and the 500 ms sleep.
TEST_F(Oculta, NoCaminhoDeErroOutroTimerRodaAntesDoLog) {
    g.form.GeckoBrowser1.RecusaEnderecos = true;
    g.Inicia();
    g.app.Avanca(1600);
    g.Pedido({"000-000 = ATV", "001-000 = 7"});
    std::vector<std::pair<bool, bool>> sonos;  // (LogErro.txt exists, intpos.sts exists)
    g.app.AoDormir = [&](int) { sonos.emplace_back(Existe(g.B + "LogErro.txt"), g.TemResp("intpos.sts")); };
    g.app.Avanca(400);
    EXPECT_EQ(sonos, (std::vector<std::pair<bool, bool>>{{false, false}, {true, true}}))
        << "the request tick sleeps first, then the hide logs and sleeps";
    ASSERT_GE(g.app.Historico.size(), 2u);
    const auto n = g.app.Historico.size();
    EXPECT_EQ(g.app.Historico[n - 2], std::make_pair(std::string("tmOcultaTimer"), std::int64_t{2000}));
    EXPECT_EQ(g.app.Historico[n - 1], std::make_pair(std::string("tmVerificaTimer"), std::int64_t{2000}));
    EXPECT_EQ(g.Resp("intpos.sts"), "000-000 = ATV\r\n001-000 = 7\r\n999-999 = 0\r\n");
}

TEST_F(Oculta, LogDeErroQueNaoGravaDeixaOTimerParadoEVaiAoReporter) {
    CriaDir(g.B + "LogErro.txt");  // a directory where the log must go
    g.form.GeckoBrowser1.RecusaEnderecos = true;
    int sonos = 0;
    g.app.AoDormir = [&](int) { ++sonos; };
    g.app.Avanca(2000);
    EXPECT_EQ(g.form.panEsconde.Caption(), "Erro: " + Recusa());
    EXPECT_EQ(sonos, 0) << "no sleep after the failed log";
    EXPECT_FALSE(g.form.tmOculta->Enabled());
    EXPECT_TRUE(g.form.Janela.Visible());
    const auto& falhas = g.app.Reporter().Falhas();
    ASSERT_EQ(falhas.size(), 1u);
    EXPECT_NE(falhas[0].find("Exception: EFCreateError\r\n"), std::string::npos) << falhas[0];
    EXPECT_NE(falhas[0].find("Message: Cannot create file \"" + g.B + "LogErro.txt\"."), std::string::npos);
    EXPECT_NE(falhas[0].find("Handler: tmOcultaTimer\r\n"), std::string::npos);
    // Nothing starts the hide again by itself.
    g.app.Avanca(10000);
    int tentativas = 0;
    for (const auto& h : g.app.Historico) tentativas += h.first == "tmOcultaTimer";
    EXPECT_EQ(tentativas, 1);
    EXPECT_TRUE(g.form.Janela.Visible());
}

// A window that refuses to hide, throwing what the test chooses.
struct JanelaPresa : componentes::TJanelaVirtual {
    std::function<void()> falha;
    void Hide() override {
        if (falha) falha();
        TJanelaVirtual::Hide();
    }
};

struct OcultaJanelaPresa : ::testing::Test {
    TDiretorioTemporario dir;
    std::string B = dir.Caminho();
    TAplicacaoVirtual app{B + "TefOrvex"};
    TFormPrincipalVirtual form{app};
    JanelaPresa janela;
    TfrmPrincipal frm{app, Componentes()};

    componentes::TComponentesPrincipal Componentes() {
        auto c = form.Componentes();
        c.Janela = &janela;
        return c;
    }
    void SetUp() override {
        frm.PreparaDiretorios();
        janela.Show();
        form.tmOculta->SetEnabled(true);
        frm.FModoAdm = frm.FTelaAberta = true;
    }
};

TEST_F(OcultaJanelaPresa, FalhaNoPasso7DeixaOsPassosAnterioresESemIcone) {
    janela.falha = [] { throw Exception("janela presa"); };
    app.Avanca(2000);
    EXPECT_TRUE(janela.Visible());
    EXPECT_FALSE(form.JvTrayIcon1.Active()) << "the icon comes only after the window is hidden";
    EXPECT_FALSE(frm.FTelaAberta) << "steps 1 to 6 ran";
    EXPECT_FALSE(frm.FModoAdm);
    EXPECT_EQ(form.GeckoBrowser1.Enderecos.size(), 1u);
    EXPECT_EQ(form.panEsconde.Caption(), "Erro: janela presa");
    EXPECT_EQ(LeBytes(B + "LogErro.txt"), "janela presa\r\n");
    EXPECT_TRUE(form.tmOculta->Enabled());

    janela.falha = nullptr;
    app.Avanca(1500);  // retry at 3500
    EXPECT_FALSE(janela.Visible());
    EXPECT_TRUE(form.JvTrayIcon1.Active());
}

TEST_F(OcultaJanelaPresa, ErroQueNaoEDaClasseGeralVaiDiretoAoReporter) {
    janela.falha = [] { throw std::logic_error("falha de outra classe"); };
    int sonos = 0;
    app.AoDormir = [&](int) { ++sonos; };
    app.Avanca(2000);
    EXPECT_EQ(form.panEsconde.Caption(), kAguardando) << "step 4 ran, the error path did not";
    EXPECT_EQ(sonos, 0);
    EXPECT_FALSE(form.tmOculta->Enabled()) << "nothing starts the hide again";
    const std::string log = LeBytes(B + "LogErro.txt");
    EXPECT_NE(log.find("Message: falha de outra classe\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Handler: tmOcultaTimer\r\n"), std::string::npos) << log;
    EXPECT_TRUE(janela.Visible());
}

// ---- closing, cancelling, panels ---------------------------------------------------------------

struct Janela : ::testing::Test {
    TGerenteVirtual g;
    void SetUp() override {
        // The form runs its close handler inside the reporter, as the real one does.
        g.form.Janela.OnClose = [this] { g.app.ExecutaHandler("FormClose", g.form.Eventos.FormClose); };
    }
};

TEST_F(Janela, FecharSistemaFechaAJanelaEApagaOMarcador) {
    g.frm.GravaAtivo();
    GravaBytes(g.B + "resp/intpos.001", "resposta\r\n");
    ASSERT_TRUE(g.TemResp("Ativo.001"));
    g.form.Janela.Show();
    g.app.ExecutaHandler("FecharSistema1Click", g.form.Eventos.FecharSistema1Click);
    EXPECT_TRUE(g.form.Janela.fechada);
    EXPECT_FALSE(g.form.Janela.Visible());
    EXPECT_FALSE(g.TemResp("Ativo.001"));
    EXPECT_TRUE(g.TemResp("intpos.001")) << "only the marker goes";
    EXPECT_FALSE(Existe(g.B + "LogErro.txt"));
}

TEST_F(Janela, FormCloseSemMarcadorOuComMarcadorDiretorio) {
    g.form.Eventos.FormClose();
    EXPECT_FALSE(g.TemResp("Ativo.001"));
    CriaDir(g.B + "resp/Ativo.001");
    g.form.Eventos.FormClose();
    EXPECT_TRUE(DiretorioExiste(g.B + "resp/Ativo.001")) << "a directory is no marker";
}

TEST_F(Janela, FormCloseAntesDosDiretoriosNaoApagaNadaRelativo) {
    // Startup ended early: no resp/ known. Nothing in the working directory
    // may be taken for the marker.
    TDiretorioTemporario trabalho;
    GravaBytes(trabalho / "Ativo.001", "de outro programa");
    const auto antigo = std::filesystem::current_path();
    std::filesystem::current_path(trabalho.Caminho());
    g.frm.FDirResp.clear();
    g.frm.FormClose();
    const bool ficou = Existe(trabalho / "Ativo.001");
    std::filesystem::current_path(antigo);
    EXPECT_TRUE(ficou);
}

TEST_F(Janela, CancelarNoInicioSemTransacaoNaoGravaENaoAdiaOPrimeiroEsconder) {
    g.form.Janela.Show();
    g.form.tmOculta->SetEnabled(true);  // startup: 2000 ms
    g.app.Avanca(1500);
    g.app.ExecutaHandler("SpeedButton1Click", g.form.Eventos.SpeedButton1Click);
    EXPECT_FALSE(g.TemResp("intpos.001"));
    EXPECT_EQ(g.form.panEsconde.Caption(), kAguardando);
    EXPECT_TRUE(g.form.panEsconde.Visible());
    g.app.Avanca(499);
    EXPECT_TRUE(g.form.Janela.Visible());
    g.app.Avanca(1);
    EXPECT_FALSE(g.form.Janela.Visible()) << "the cancel did not restart the count";
}

TEST_F(Janela, CancelarDuranteVendaRespondeCancelamentoEEscondeEmUmSegundo) {
    g.form.tmOculta->SetInterval(1000);  // as after the first hide at startup
    g.Inicia();
    g.Pedido({"000-000 = CRT", "001-000 = 31", "002-000 = 9", "003-000 = 250"});
    g.app.Avanca(500);  // tick at 500, sleeps to 1000, opens the screen
    g.app.Avanca(300);  // shows the window
    ASSERT_TRUE(g.form.Janela.Visible());
    g.app.ExecutaHandler("SpeedButton1Click", g.form.Eventos.SpeedButton1Click);
    EXPECT_EQ(g.Resp("intpos.001"), TextoLinhas({"000-000 = CRT", "001-000 = 31", "002-000 = 9", "003-000 = 250",
                                                 "011-000 = 0", "028-000 = 0",
                                                 "030-000 = TEF Marel Raruveda foi cancelado", "999-999 = 0"}));
    g.app.Avanca(999);
    EXPECT_TRUE(g.form.Janela.Visible());
    g.app.Avanca(1);
    EXPECT_FALSE(g.form.Janela.Visible());
}

TEST_F(Janela, Panel1ResizeAjustaPanel2EProcessaMensagens) {
    const std::vector<std::array<int, 4>> casos = {
        {772, 448, 766, 442}, {1024, 700, 1018, 694}, {6, 6, 0, 0}, {800, 448, 794, 442}};
    int vezes = 0;
    Espiao espiao(g.app, [&] { ++vezes; });
    for (const auto& [l, a, l2, a2] : casos) {
        g.form.Panel1.SetSize(l, a);
        g.form.Eventos.Panel1Resize();
        EXPECT_EQ(g.form.Panel2.Width(), l2) << l << "x" << a;
        EXPECT_EQ(g.form.Panel2.Height(), a2) << l << "x" << a;
    }
    EXPECT_EQ(vezes, static_cast<int>(casos.size()));
}

TEST_F(Janela, FormShowLimpaOFundoEProcessaMensagens) {
    int vezes = 0;
    Espiao espiao(g.app, [&] { ++vezes; });
    ASSERT_FALSE(g.form.Janela.fundoTransparente);
    g.form.Eventos.FormShow();
    EXPECT_TRUE(g.form.Janela.fundoTransparente);
    EXPECT_EQ(vezes, 1);
}

TEST_F(Janela, ParametrosDoSistemaAbreODialogoECarrega) {
    TDiretorioTemporario outro;
    TVariavelAmbiente registro("TEF_REGISTRO", outro / "tef.reg");
    GravaConfiguracao(outro / "tef.reg");
    g.frm.FChaveRegistro = kChave;
    g.app.ExecutaHandler("ParmetrosdoSistema1Click", g.form.Eventos.ParmetrosdoSistema1Click);
    EXPECT_EQ(g.form.DialogosCriados, 1);
    EXPECT_EQ(g.form.DialogosAbertos, 0);
    EXPECT_EQ(g.frm.FLojCodigo, 42);
    EXPECT_EQ(g.frm.FUrl, "http://loja.exemplo/");
}

}  // namespace
