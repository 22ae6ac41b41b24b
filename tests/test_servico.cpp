// What a chain's monitoring and provisioning run on an installation: the
// status report, the cleanup after a dead manager, and the configuration
// written from answers given beforehand.
#include "Ambiente.h"
#include "Registro.h"
#include "Servico.h"
#include "untPrincipal.h"

#include "Plataforma.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <sstream>
#include <tuple>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

#ifndef _WIN32
// A manager "runs" on an installation while some process holds its lock:
// here a child that holds it until told to end.
struct Outro {
    explicit Outro(const std::string& b) {
        int p[2];
        if (::pipe(p) != 0) return;
        pid = ::fork();
        if (pid == 0) {
            ::close(p[1]);
            // Its per-user lock inside the test's own directory: nothing is
            // left in /tmp or the session's runtime directory.
            ::setenv("XDG_RUNTIME_DIR", b.c_str(), 1);
            plataforma::TomaInstanciaUnica("TefTeste-" + std::to_string(::getpid()), b);
            char c;
            (void)!::read(p[0], &c, 1);
            ::_exit(0);
        }
        ::close(p[0]);
        fim = p[1];
        // Until the child holds the lock.
        for (int i = 0; i < 2000 && !plataforma::InstalacaoEmUso(b).value_or(plataforma::TUsoInstalacao{}).emUso; ++i)
            ::usleep(1000);
    }
    ~Outro() {
        if (fim >= 0) ::close(fim);
        if (pid > 0) ::waitpid(pid, nullptr, 0);
    }
    pid_t pid = -1;
    int fim = -1;
};

TEST(Estado, CadaSituacaoComOCodigoDaMonitoracao) {
    TDiretorioTemporario d;
    const std::string b = d.Caminho();
    CriaDir(b + "resp");
    CriaDir(b + "temp");
    const std::string erroDoDisco = "Cannot create file \"/opt/tef/resp/intpos.001\". No space left on device";
    struct Caso {
        const char* nome;
        bool rodando, ativo;
        std::optional<std::size_t> pendentes;  // nothing: no status file
        int codigo;
        const char* trecho;
        bool forjado = false;        // the status file names another process
        std::string ultimoErro;      // as a group member may have written it
        std::string recuperacao;     // why a crash would lose a request
        bool respostaNoRegistro = false;  // an answer waits on record (the status file could not say so)
    };
    const std::vector<Caso> casos = {
        {"stopped", false, false, std::nullopt, 2, "nenhum gerenciador", false, "", "", false},
        {"stopped, marker left behind", false, true, std::nullopt, 2, "Ativo.001 ficou", false, "", "", false},
        {"stopped, an answer waiting for the next start", false, false, std::nullopt, 2,
         "1 resposta(s) esperando grava\xC3\xA7\xC3\xA3o, dadas no pr\xC3\xB3ximo", false, "", "", true},
        {"running, ready", true, true, 0, 0, "TEF OK - em execu\xC3\xA7\xC3\xA3o desde 2026-12-10 08:00:00 (pid ", false, "", "", false},
        {"running, two answers waiting", true, true, 2, 1, "2 resposta(s) esperando", false, "", "", false},
        {"running, a full disk: the answer waits on record", true, true, 0, 1, "1 resposta(s) esperando", false, "",
         "", true},
        {"running, crash recovery off", true, true, 0, 1, "sem recupera\xC3\xA7\xC3\xA3o depois de uma queda: temp/ full",
         false, "", "temp/ full", false},
        {"running without the marker", true, false, 0, 2, "sem resp/Ativo.001", false, "", "", false},
        {"running, no status file", true, true, std::nullopt, 3, "n\xC3\xA3o pode ser lido", false, "", "", false},
        {"running, a status file naming another process", true, true, 0, 3, "nomeia o pid 1,", true, "", "", false},
        {"running, a hostile text in the status file", true, true, 0, 0, "): OK pid 1 / pendentes=0 [2J x\xC3\xA9?", false,
         "OK pid 1 | pendentes=0\x1b[2J x\xC3\xA9\xFF", "", false},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        ApagaArquivo(b + "resp/Ativo.001");
        ApagaArquivo(servico::ArquivoEstado(b));
        for (const auto& r : ArquivosDeRegistro(b + "temp/")) ApagaArquivo(r);
        if (c.ativo) GravaBytes(b + "resp/Ativo.001", "000-000 = TEF\r\n");
        if (c.respostaNoRegistro) {
            TTransacao t;
            t.identificacao = "7";
            GravaRegistro(b + "temp/transacao-1-1-1.txt", LinhasDoRegistro(t, "pendente", {"000-000 = CRT"}, "intpos.001"));
        }
        std::optional<Outro> outro;
        if (c.rodando) outro.emplace(b);
        if (c.pendentes) {
            servico::TEstado e;
            e.pid = c.forjado || !outro ? 1 : outro->pid;
            e.inicio = "2026-12-10 08:00:00";
            e.pendentes = *c.pendentes;
            e.ultimoErro = c.ultimoErro.empty() ? erroDoDisco : c.ultimoErro;
            e.ultimoErroEm = "2026-12-10 09:00:00";
            e.recuperacao = c.recuperacao;
            servico::GravaEstado(b, e);
        }
        const auto r = servico::RelatorioDeEstado(b);
        EXPECT_EQ(r.codigo, c.codigo) << r.texto;
        EXPECT_NE(r.texto.find(c.trecho), std::string::npos) << r.texto;
        EXPECT_EQ(r.texto.find_first_of("\r\n\x1b"), std::string::npos) << "one line, no control character";
        EXPECT_LE(std::count(r.texto.begin(), r.texto.end(), '|'), 1) << "performance data comes from the manager only";
        if (c.pendentes && c.codigo < 2 && c.ultimoErro.empty()) {
            EXPECT_NE(r.texto.find("(2026-12-10 09:00:00): Cannot create file"), std::string::npos) << r.texto;
            EXPECT_NE(r.texto.find("| pendentes="), std::string::npos);
        }
        if (c.rodando && c.codigo < 2) {
            EXPECT_NE(r.texto.find("(pid " + std::to_string(outro->pid) + ")"), std::string::npos) << r.texto;
        }
    }
    const auto r = servico::RelatorioDeEstado(b + "nao-existe/");
    EXPECT_EQ(r.codigo, 3) << r.texto;
}

TEST(Estado, MensagensParaOSistemaWebQueNaoSaemEAprovacoesADesfazer) {
    // The confirmations wait in the outbox: a warning past 10 minutes,
    // critical past an hour; an approval the operator must undo by hand, a
    // warning for a day.
    TDiretorioTemporario d;
    const std::string b = d.Caminho();
    CriaDir(b + "resp");
    CriaDir(b + "temp");
    GravaBytes(b + "resp/Ativo.001", "000-000 = TEF\r\n");
    Outro gerente(b);
    servico::TEstado e;
    e.pid = gerente.pid;
    e.inicio = "2026-12-10 08:00:00";
    servico::GravaEstado(b, e);
    struct Caso {
        const char* nome;
        int idadeMensagemS;  // -1: none
        int idadeDesfazerS;  // -1: none
        int codigo;
        const char* trecho;
    };
    const std::vector<Caso> casos = {
        {"a message just written", 5, -1, 0, "1 mensagem(ns) para o sistema web esperando entrega"},
        {"the oldest 15 minutes old", 15 * 60, -1, 1, "a mais antiga h\xC3\xA1 15 min"},
        {"the oldest 2 hours old", 2 * 3600, -1, 2, "TEF CRITICAL - "},
        {"an approval to undo, an hour ago", -1, 3600, 1, "a desfazer \xC3\xA0 m\xC3\xA3o no sistema web: A venda 9"},
        {"one of two days ago", -1, 2 * 24 * 3600, 0, "TEF OK - "},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        RemoveArvore(b + "temp/confirmacoes");
        for (const auto& a : AprovacoesADesfazer(b + "temp/")) ApagaArquivo(a);
        if (c.idadeMensagemS >= 0) {
            GravaMensagem(b + "temp/confirmacoes/", {{"000-000", "CNF"}, {"001-000", "7"}});
            Envelhece(MensagensDaSaida(b + "temp/confirmacoes/").front(), c.idadeMensagemS);
        }
        if (c.idadeDesfazerS >= 0) {
            GravaBytes(b + "temp/desfazer-1-2.txt", "A venda 9 de R$ 1,00 foi aprovada\r\n");
            Envelhece(b + "temp/desfazer-1-2.txt", c.idadeDesfazerS);
        }
        const auto r = servico::RelatorioDeEstado(b);
        EXPECT_EQ(r.codigo, c.codigo) << r.texto;
        EXPECT_NE(r.texto.find(c.trecho), std::string::npos) << r.texto;
    }
}

TEST(Instancia, NinguemDeForaSeguraAInstalacao) {
    // Any user can lock a directory anybody may open; the manager's lock is
    // a file of its own group's.
    TDiretorioTemporario d;
    TVariavelAmbiente runtime("XDG_RUNTIME_DIR", d.Caminho().c_str());
    const std::string b = d / "inst/";
    CriaDir(b);
    const int diretorio = ::open(b.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(::flock(diretorio, LOCK_EX), 0);
    {
        Outro gerente(b);
        const auto uso = plataforma::InstalacaoEmUso(b);
        ASSERT_TRUE(uso.has_value());
        EXPECT_TRUE(uso->emUso) << "a manager starts beside somebody's lock on the directory";
        EXPECT_EQ(uso->pid, gerente.pid) << "the process holding it, without taking it";
        struct stat st{};
        ASSERT_EQ(::stat((b + "temp/.gerente.lock").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0660u) << "only the manager's user and group open it";
        const auto segundo = plataforma::TomaInstanciaUnica("TefTeste-outro", b);
        EXPECT_EQ(segundo.estado, plataforma::TInstancia::Estado::OutroGerente);
    }
    ::close(diretorio);
    EXPECT_FALSE(plataforma::InstalacaoEmUso(b)->emUso);
    // Without a runtime directory the per-user lock lives in a directory of
    // the user's alone, with no blank in its name.
    TVariavelAmbiente semRuntime("XDG_RUNTIME_DIR", nullptr);
    TVariavelAmbiente tmp("TMPDIR", d.Caminho().c_str());
    const std::string privado = plataforma::DiretorioPrivado();
    EXPECT_EQ(privado, d / "tef-orvex-" + std::to_string(::geteuid()));
    struct stat st{};
    ASSERT_EQ(::stat(privado.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ::chmod(privado.c_str(), 0755);
    EXPECT_EQ(plataforma::DiretorioPrivado(), "") << "one open to others is not used";
}

TEST(Limpa, SoQuandoNenhumGerenteRoda) {
    TDiretorioTemporario d;
    const std::string b = d.Caminho();
    CriaDir(b + "resp");
    GravaBytes(b + "resp/Ativo.001", "000-000 = TEF\r\n");
    ASSERT_EQ(::symlink("Ativo.001", (b + "resp/ativo.001").c_str()), 0);
    GravaBytes(b + "resp/intpos.001", "resposta\r\n");
    std::string mensagem;
    {
        Outro outro(b);
        EXPECT_EQ(servico::Limpa(b, mensagem), 0);
        EXPECT_TRUE(Existe(b + "resp/Ativo.001")) << "a running manager's marker is its own";
        EXPECT_NE(mensagem.find("nada foi apagado"), std::string::npos);
    }
    mensagem.clear();
    EXPECT_EQ(servico::Limpa(b, mensagem), 0) << mensagem;
    EXPECT_FALSE(plataforma::Consulta(b + "resp/Ativo.001", false));
    EXPECT_FALSE(plataforma::Consulta(b + "resp/ativo.001", false));
    EXPECT_EQ(LeBytes(b + "resp/intpos.001"), "resposta\r\n") << "answers stay for their readers";
    EXPECT_EQ(servico::Limpa(b, mensagem), 0) << "nothing to remove is no failure";
    // A store that cannot be read gives the usual names, one of which a
    // configuration may have given the answer: only a marker goes.
    TVariavelAmbiente registro("TEF_REGISTRO", (b + "resp").c_str());
    GravaBytes(b + "resp/ativo.001", "000-000 = CRT\r\n001-000 = 9\r\n009-000 = 0\r\n");
    GravaBytes(b + "resp/Ativo.001", "000-000 = TEF\r\n016-000 = 0101000000\r\n999-999 = 0\r\n");
    EXPECT_EQ(servico::Limpa(b, mensagem), 0) << mensagem;
    EXPECT_FALSE(Existe(b + "resp/Ativo.001"));
    EXPECT_EQ(LeBytes(b + "resp/ativo.001").substr(0, 15), "000-000 = CRT\r\n") << "an approval is never taken for a marker";
}
#endif

TEST(LinhaDeComando, SoOQueEConhecidoCadaCoisaSozinha) {
    using M = servico::TModo;
    const std::string desconhecida = "op\xC3\xA7\xC3\xA3o desconhecida: ";
    const std::vector<std::tuple<std::vector<std::string>, M, std::string>> casos = {
        {{}, M::Gerente, ""}, {{"/cOnFiG"}, M::Gerente, ""}, {{"--servico"}, M::Servico, ""},
        {{"--estado"}, M::Estado, ""}, {{"--limpa"}, M::Limpa, ""}, {{"--configura"}, M::Configura, ""},
        {{"-h"}, M::Ajuda, ""}, {{"--servico", "--help"}, M::Ajuda, ""}, {{"--version"}, M::Versao, ""},
        {{"-V"}, M::Erro, desconhecida + "-V"}, {{"--versao"}, M::Erro, desconhecida + "--versao"},
        {{"/CONFIGX"}, M::Erro, desconhecida + "/CONFIGX"}, {{"-platform", "offscreen"}, M::Erro, desconhecida + "-platform"},
        {{"--help", "-V"}, M::Erro, "-V"}, {{"x", "/CONFIG"}, M::Erro, "argumento a mais: x"},
        {{"--servico", "--estado"}, M::Erro, "n\xC3\xA3o v\xC3\xA3o juntas"},
    };
    for (const auto& [args, modo, erro] : casos) {
        const auto r = servico::LeArgumentos(args);
        EXPECT_EQ(r.modo, modo) << (args.empty() ? "" : args[0]) << ": " << r.erro;
        EXPECT_NE(r.erro.find(erro), std::string::npos) << r.erro;
    }
}

TEST(Configura, GravaOArmazemNaFormaGuardadaOuRecusaSemGravarNada) {
    TDiretorioTemporario d;
    const std::string store = d / "tef.reg";
    TVariavelAmbiente registro("TEF_REGISTRO", store.c_str());
    TVariavelAmbiente producao("TEF_PRODUCAO", "https://tef.exemplo.com.br");
    struct Caso {
        const char* nome;
        std::string entrada;
        int codigo;
        const char* url;  // nullptr: nothing written
        const char* login;
        const char* senha;
        std::int32_t loja;
    };
    const std::vector<Caso> casos = {
        {"all four", "https://loja.exemplo/homol/\n42\nana\ns\xC3\xAAnha&1\n", 0, "https://loja.exemplo/homol/", "ana",
         "s\xEAnha&1", 42},
        {"CR LF lines, an empty address", "\r\n$2A\r\nana\r\n\r\n", 0, "https://tef.exemplo.com.br/", "ana", "", 42},
        {"a store code that is no number", "http://x/\n4 2\nana\nsenha\n", saida::ParametrosInvalidos, nullptr, "", "", 0},
        {"a line missing", "http://x/\n42\nana\n", saida::Uso, nullptr, "", "", 0},
        {"a character without Windows-1252 form", "http://x/\n42\nana\n\xE2\x82\xAC\xE2\x9C\x93\n",
         saida::ParametrosInvalidos, nullptr, "", "", 0},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        ApagaArquivo(store);
        std::istringstream entrada(c.entrada);
        std::string mensagem;
        EXPECT_EQ(servico::Configura(entrada, mensagem), c.codigo) << mensagem;
        if (!c.url) {
            EXPECT_FALSE(Existe(store)) << "nothing written";
            EXPECT_FALSE(mensagem.empty());
            continue;
        }
        TRegistry reg(store);
        ASSERT_TRUE(reg.OpenKey(textos::ChaveRegistro, false));
        EXPECT_EQ(reg.ReadString("Url"), c.url);
        EXPECT_EQ(reg.ReadInteger("Lojcodigo"), c.loja);
        EXPECT_EQ(reg.ReadString("Usulogin"), Decifra(c.login)) << "stored form";
        EXPECT_EQ(Cifra(reg.ReadString("Ususenha")), c.senha);
    }
}

}  // namespace
