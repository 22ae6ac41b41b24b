// The runtime's registration program (mozembed/xulrunner), run as a child
// from an installation made here, with a private registry store.
#include "Ambiente.h"
#include "Registro.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using Relogio = std::chrono::steady_clock;

const std::string kChave = "SOFTWARE\\mozilla.org\\GRE\\1.9.1.7";
const std::string kUso = "Uso: xulrunner --register-global";

std::string Real(const std::string& caminho) {
    char buf[PATH_MAX];
    if (::realpath(caminho.c_str(), buf) == nullptr) throw std::runtime_error("realpath " + caminho);
    return buf;
}

struct TResultado {
    bool terminou = false;  // exited by itself (no signal, no time-out)
    int codigo = -1;
    std::string saida, erro;
};

// Runs `programa` (resolved from `diretorio`, as a shell would) with argv[0]
// spelled the same way and TEF_REGISTRO naming `store`; at most 10 s.
TResultado Executa(const std::string& diretorio, const std::string& programa, const std::vector<std::string>& args,
                   const std::string& store) {
    std::vector<std::string> todos{programa};
    todos.insert(todos.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : todos) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> ambiente{"TEF_REGISTRO=" + store};
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "TEF_REGISTRO=", 13) != 0) ambiente.emplace_back(*e);
    std::vector<char*> envp;
    for (auto& e : ambiente) envp.push_back(e.data());
    envp.push_back(nullptr);

    int saida[2], erro[2];
    if (::pipe2(saida, O_CLOEXEC) != 0 || ::pipe2(erro, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        ::dup2(saida[1], STDOUT_FILENO);
        ::dup2(erro[1], STDERR_FILENO);
        if (::chdir(diretorio.c_str()) != 0) ::_exit(126);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(saida[1]);
    ::close(erro[1]);

    TResultado r;
    pollfd fds[2] = {{saida[0], POLLIN, 0}, {erro[0], POLLIN, 0}};
    std::string* destinos[2] = {&r.saida, &r.erro};
    const auto limite = Relogio::now() + 10s;
    bool expirou = false;
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        const auto resta = std::chrono::duration_cast<std::chrono::milliseconds>(limite - Relogio::now());
        if (resta.count() <= 0 || ::poll(fds, 2, static_cast<int>(resta.count())) == 0) {
            expirou = true;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[4096];
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                destinos[i]->append(buf, static_cast<std::size_t>(n));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;  // poll skips negative descriptors
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0) ::close(f.fd);
    if (expirou) ::kill(pid, SIGKILL);
    int estado = 0;
    ::waitpid(pid, &estado, 0);
    r.terminou = !expirou && WIFEXITED(estado);
    if (WIFEXITED(estado)) r.codigo = WEXITSTATUS(estado);
    return r;
}

// An installation <T>/inst/mozembed/xulrunner (a copy of the built program or
// a link to it) and a store file <T>/tef.reg that does not exist yet.
struct Xulrunner : ::testing::Test {
    TDiretorioTemporario dir;
    // Physical, so a relative invocation (resolved through getcwd) names the
    // same directory as an absolute one.
    const std::string T = Real(dir.Caminho()) + "/";
    const std::string casa = T + "inst/mozembed";
    const std::string programa = casa + "/xulrunner";
    const std::string store = T + "tef.reg";

    void Instala(bool comoLink) {
        RemoveArvore(T + "inst");
        CriaDir(casa);
        namespace fs = std::filesystem;
        if (comoLink)
            fs::create_symlink(TEF_XULRUNNER_EXE, programa);
        else
            fs::copy_file(TEF_XULRUNNER_EXE, programa);
    }
    void SetUp() override { Instala(false); }

    // GreHome as stored: its type, and its text.
    std::optional<std::pair<std::uint32_t, std::string>> CasaRegistrada() {
        TRegistry reg(store);
        if (!reg.OpenKeyReadOnly(kChave)) return std::nullopt;
        const auto tipo = reg.GetDataType("GreHome");
        return std::make_pair(tipo, reg.ReadString("GreHome"));
    }
};

TEST_F(Xulrunner, SemOArgumentoDeRegistroMostraOUsoENaoTocaNoStore) {
    // Help and version on standard output, status 0; anything else refused
    // with the usage on standard error, status 2; the store untouched.
    const std::vector<std::pair<std::vector<std::string>, std::string>> respostas = {
        {{"--help"}, kUso + "\n"},
        {{"-h"}, kUso + "\n"},
        {{"--version"}, "xulrunner " TEF_VERSAO_PROJETO "\n"},
    };
    for (const auto& [args, inicio] : respostas) {
        SCOPED_TRACE(args[0]);
        RemoveArvore(store);
        const auto r = Executa(T, programa, args, store);
        EXPECT_TRUE(r.terminou);
        EXPECT_EQ(r.codigo, 0);
        EXPECT_EQ(r.saida.rfind(inicio, 0), 0u) << r.saida;
        EXPECT_EQ(r.erro, "");
        EXPECT_FALSE(Existe(store));
    }
    const std::vector<std::vector<std::string>> argumentos = {
        {},
        {"--HELP"},
        {""},
        {"--REGISTER-GLOBAL"},
        {"-register-global"},
        {"register-global"},
        {"--register-global="},
        {"--register-global", "--register-global"},
        {"--register-global", "x"},
        {"x", "--register-global"},
    };
    const std::string existente = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvex]\r\n\"a\"=\"b\"\r\n\r\n";
    for (const auto& args : argumentos) {
        for (const bool haStore : {false, true}) {
            std::string nome = "args:";
            for (const auto& a : args) nome += " [" + a + "]";
            SCOPED_TRACE(nome + (haStore ? ", existing store" : ", no store"));
            RemoveArvore(store);
            if (haStore) GravaBytes(store, existente);
            const auto r = Executa(T, programa, args, store);
            EXPECT_TRUE(r.terminou);
            EXPECT_EQ(r.codigo, 2);
            EXPECT_EQ(r.erro.rfind("xulrunner: ", 0), 0u) << r.erro;
            EXPECT_NE(r.erro.find("\n" + kUso + " | --help | --version\n"), std::string::npos) << r.erro;
            EXPECT_EQ(r.saida, "");
            if (haStore) EXPECT_EQ(LeBytes(store), existente);
            else EXPECT_FALSE(Existe(store));
        }
    }
}

TEST_F(Xulrunner, RegistraODiretorioDeOndeFoiChamado) {
    struct Caso {
        std::string diretorio;  // working directory of the call
        std::string programa;   // as typed there
    };
    const std::vector<Caso> casos = {
        {T, programa},
        {"/", programa},
        {T + "inst", "mozembed/xulrunner"},
        {T + "inst", "./mozembed/xulrunner"},
        {T + "inst/mozembed", "./xulrunner"},
        {T + "inst/mozembed/", "././xulrunner"},
        {T, "inst/./mozembed//xulrunner"},
        {T, "./inst/mozembed/./xulrunner"},
    };
    for (const bool comoLink : {false, true}) {
        Instala(comoLink);
        for (const auto& c : casos) {
            SCOPED_TRACE(std::string(comoLink ? "link" : "copy") + ": " + c.programa + " from " + c.diretorio);
            RemoveArvore(store);
            const auto r = Executa(c.diretorio, c.programa, {"--register-global"}, store);
            EXPECT_TRUE(r.terminou);
            EXPECT_EQ(r.codigo, 0) << r.erro;
            EXPECT_EQ(r.erro, "");
            const auto registrada = CasaRegistrada();
            ASSERT_TRUE(registrada.has_value()) << "the key was not created";
            EXPECT_EQ(registrada->first, REG_SZ);
            // Where it was installed, never where the link points.
            EXPECT_EQ(registrada->second, casa);
        }
    }
}

TEST_F(Xulrunner, MantemOQueJaHaviaNoStore) {
    {
        TArmazemRegistro a(store);
        a.CriaChave("SOFTWARE\\Orvex\\TEF");
        a.GravaValor("SOFTWARE\\Orvex\\TEF", "Loja", REG_DWORD, "\x2A\0\0\0"s);
        a.GravaValor("SOFTWARE\\Orvex\\TEF", "Url", REG_SZ, "https://x/\xE7\0"s);
        // Another spelling of the same keys: case does not matter.
        a.CriaChave("Software\\Mozilla.org\\gre\\1.8.1.3");
        a.GravaValor("Software\\Mozilla.org\\gre\\1.8.1.3", "GreHome", REG_SZ, "/opt/antigo\0"s);
        a.CriaChave("Software\\Mozilla.org\\gre\\1.9.1.7");
        a.GravaValor("Software\\Mozilla.org\\gre\\1.9.1.7", "GreHome", REG_SZ, "/outra/loja/mozembed\0"s);
        a.GravaValor("Software\\Mozilla.org\\gre\\1.9.1.7", "Extra", REG_BINARY, "\x01\x00\xFF"s);
    }
    const auto r = Executa(T, programa, {"--register-global"}, store);
    EXPECT_TRUE(r.terminou);
    ASSERT_EQ(r.codigo, 0) << r.erro;

    TArmazemRegistro a(store);
    struct Valor {
        std::string chave, nome;
        std::uint32_t tipo;
        std::string dados;
    };
    const Valor esperados[] = {
        {"SOFTWARE\\Orvex\\TEF", "Loja", REG_DWORD, "\x2A\0\0\0"s},
        {"SOFTWARE\\Orvex\\TEF", "Url", REG_SZ, "https://x/\xE7\0"s},
        {"SOFTWARE\\mozilla.org\\GRE\\1.8.1.3", "GreHome", REG_SZ, "/opt/antigo\0"s},
        {kChave, "Extra", REG_BINARY, "\x01\x00\xFF"s},
        {kChave, "GreHome", REG_SZ, casa + '\0'},
    };
    for (const auto& v : esperados) {
        SCOPED_TRACE(v.chave + " " + v.nome);
        const auto lido = a.LeValor(v.chave, v.nome);
        ASSERT_TRUE(lido.has_value());
        EXPECT_EQ(lido->tipo, v.tipo);
        EXPECT_EQ(lido->dados, v.dados);
    }
    EXPECT_EQ(a.SubChaves("SOFTWARE\\mozilla.org\\GRE"), (std::vector<std::string>{"1.8.1.3", "1.9.1.7"}))
        << "the existing key is reused, not doubled";
    EXPECT_EQ(a.SubChaves("SOFTWARE"), (std::vector<std::string>{"Orvex", "Mozilla.org"}));
}

TEST_F(Xulrunner, StoreQuebradoFalhaSemReescreverOArquivo) {
    const std::pair<const char*, std::string> casos[] = {
        {"no header", "isto nao e um registro\n"},
        {"bad value", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n\"a\"=sem-aspas\r\n"},
        {"other root", "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE]\r\n"},
        {"UTF-16", "\xFF\xFE\0R\0E\0"s},
    };
    for (const auto& [nome, conteudo] : casos) {
        SCOPED_TRACE(nome);
        GravaBytes(store, conteudo);
        const auto r = Executa(T, programa, {"--register-global"}, store);
        EXPECT_TRUE(r.terminou);
        EXPECT_NE(r.codigo, 0);
        EXPECT_EQ(r.erro.rfind("xulrunner: ", 0), 0u) << r.erro;
        EXPECT_NE(r.erro.find(store), std::string::npos) << "the message names the broken file: " << r.erro;
        EXPECT_TRUE(LeBytes(store) == conteudo);
    }
}

}  // namespace
