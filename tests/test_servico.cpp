// What a chain's monitoring and provisioning run on an installation: the
// status report, the cleanup after a dead manager, and the configuration
// written from answers given beforehand.
#include "Ambiente.h"
#include "Registro.h"
#include "Servico.h"
#include "untPrincipal.h"

#include "Plataforma.h"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <tuple>
#ifndef _WIN32
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
        for (int i = 0; i < 2000 && !plataforma::InstalacaoEmUso(b).value_or(false); ++i) ::usleep(1000);
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
    struct Caso {
        const char* nome;
        bool rodando, ativo;
        std::optional<std::size_t> pendentes;  // nothing: no status file
        int codigo;
        const char* trecho;
    };
    const std::vector<Caso> casos = {
        {"stopped", false, false, std::nullopt, 2, "nenhum gerenciador"},
        {"stopped, marker left behind", false, true, std::nullopt, 2, "Ativo.001 ficou"},
        {"running, ready", true, true, 0, 0, "TEF OK - em execu\xC3\xA7\xC3\xA3o desde 2026-12-10 08:00:00 (pid 4242)"},
        {"running, two answers waiting", true, true, 2, 1, "2 resposta(s) esperando"},
        {"running without the marker", true, false, 0, 2, "sem resp/Ativo.001"},
        {"running, no status file", true, true, std::nullopt, 3, "n\xC3\xA3o pode ser lido"},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        ApagaArquivo(b + "resp/Ativo.001");
        ApagaArquivo(servico::ArquivoEstado(b));
        if (c.ativo) GravaBytes(b + "resp/Ativo.001", "000-000 = TEF\r\n");
        if (c.pendentes) {
            servico::TEstado e;
            e.pid = 4242;
            e.inicio = "2026-12-10 08:00:00";
            e.pendentes = *c.pendentes;
            e.ultimoErro = "Cannot create file \"/opt/tef/resp/intpos.001\". No space left on device";
            e.ultimoErroEm = "2026-12-10 09:00:00";
            servico::GravaEstado(b, e);
        }
        std::optional<Outro> outro;
        if (c.rodando) outro.emplace(b);
        const auto r = servico::RelatorioDeEstado(b);
        EXPECT_EQ(r.codigo, c.codigo) << r.texto;
        EXPECT_NE(r.texto.find(c.trecho), std::string::npos) << r.texto;
        if (c.pendentes) {
            EXPECT_NE(r.texto.find("(2026-12-10 09:00:00): Cannot create file"), std::string::npos) << r.texto;
            if (c.codigo < 2) {
                EXPECT_NE(r.texto.find("| pendentes=" + std::to_string(*c.pendentes)), std::string::npos);
            }
        }
    }
    const auto r = servico::RelatorioDeEstado(b + "nao-existe/");
    EXPECT_EQ(r.codigo, 3) << r.texto;
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
