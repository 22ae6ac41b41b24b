// tef-comercial: the request bytes, the hand-over into req/, and the whole
// exchange with the test playing the manager's side on a directory pair.
#include "Ambiente.h"
#include "Comercial.h"
#include "untFuncao.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace comercial;
namespace fs = std::filesystem;

namespace {

// Bounds the wait for the child's reactions; generous, never a pacing delay.
constexpr auto kPrazo = std::chrono::seconds(20);

const TLinhas kCancelamento = {"000-000 = CRT", "001-000 = 42", "011-000 = 0", "028-000 = 0",
                               "030-000 = TEF Marel Raruveda foi cancelado", "999-999 = 0"};

std::string Bytes(const TLinhas& linhas) { return TextoLinhas(linhas); }

// The executable as a child process, its output collected through pipes.
class TProcesso {
public:
    explicit TProcesso(const std::vector<std::string>& args, const std::string& cwd = "",
                       const std::string& locale = "C.UTF-8", const std::string& tmpdir = "") {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "LC_", 3) != 0 && std::strncmp(*e, "LANG", 4) != 0 &&
                std::strncmp(*e, "TMPDIR=", 7) != 0)
                env.emplace_back(*e);
        env.push_back("LC_ALL=" + locale);
        if (!tmpdir.empty()) env.push_back("TMPDIR=" + tmpdir);
        std::vector<char*> argv{const_cast<char*>(TEF_COMERCIAL_EXE)}, envp;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        for (auto& e : env) envp.push_back(e.data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        int o[2], e[2];
        if (pipe2(o, O_CLOEXEC) != 0 || pipe2(e, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        pid = fork();
        if (pid == 0) {
            dup2(o[1], 1);
            dup2(e[1], 2);
            if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        close(o[1]);
        close(e[1]);
        fds_[0] = o[0];
        fds_[1] = e[0];
    }
    ~TProcesso() {
        for (int fd : fds_)
            if (fd >= 0) close(fd);
        if (pid > 0 && !colhido_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    bool Terminou() const { return fds_[0] < 0 && fds_[1] < 0; }

    // Collects output; returns after something happens or ms pass. extraFd
    // (an inotify descriptor) also ends the wait.
    void Bombeia(int ms, int extraFd = -1) {
        pollfd p[3];
        int n = 0;
        for (int fd : fds_)
            if (fd >= 0) p[n++] = {fd, POLLIN, 0};
        if (extraFd >= 0) p[n++] = {extraFd, POLLIN, 0};
        if (n == 0 || poll(p, static_cast<nfds_t>(n), ms) <= 0) return;
        for (int i = 0; i < 2; ++i) {
            if (fds_[i] < 0) continue;
            pollfd q{fds_[i], POLLIN, 0};
            if (poll(&q, 1, 0) <= 0) continue;
            char buf[4096];
            const ssize_t r = read(fds_[i], buf, sizeof buf);
            if (r > 0) {
                (i == 0 ? out : err).append(buf, static_cast<std::size_t>(r));
            } else if (r == 0 || errno != EINTR) {
                close(fds_[i]);
                fds_[i] = -1;
            }
        }
    }

    bool AguardaErro(const std::string& trecho) {
        const auto fim = std::chrono::steady_clock::now() + kPrazo;
        while (err.find(trecho) == std::string::npos) {
            if (Terminou() || std::chrono::steady_clock::now() > fim) return false;
            Bombeia(100);
        }
        return true;
    }

    // Exit code; minus the signal number when killed by one.
    int Espera() {
        const auto fim = std::chrono::steady_clock::now() + kPrazo;
        while (!Terminou()) {
            if (std::chrono::steady_clock::now() > fim) {
                ADD_FAILURE() << "tef-comercial did not finish; stderr: " << err;
                return -999;
            }
            Bombeia(100);
        }
        int st = 0;
        waitpid(pid, &st, 0);
        colhido_ = true;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
    }

    pid_t pid = -1;
    std::string out, err;

private:
    int fds_[2] = {-1, -1};
    bool colhido_ = false;
};

// Waits, driven by inotify, until the file is there (or the child ended).
bool AguardaArquivo(TProcesso& p, const std::string& caminho) {
    const int in = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    inotify_add_watch(in, fs::path(caminho).parent_path().c_str(), IN_CREATE | IN_MOVED_TO);
    const auto fim = std::chrono::steady_clock::now() + kPrazo;
    bool achou = false;
    while (!(achou = Existe(caminho)) && !p.Terminou() && std::chrono::steady_clock::now() < fim) {
        p.Bombeia(200, in);
        char buf[4096];
        while (read(in, buf, sizeof buf) > 0) {
        }
    }
    close(in);
    return achou || Existe(caminho);
}

// The manager's side: it renames complete files into resp/.
void GravaResp(const TDiretorioTemporario& d, const std::string& nome, const std::string& bytes) {
    GravaBytes(d / "resp/.gerenciador.tmp", bytes);
    fs::rename(d / "resp/.gerenciador.tmp", d / ("resp/" + nome));
}

// Takes the request as the manager does (read, delete) and returns its lines.
TLinhas RecolhePedido(TProcesso& p, const TDiretorioTemporario& d) {
    if (!AguardaArquivo(p, d / "req/intpos.001")) {
        ADD_FAILURE() << "no request appeared; stderr: " << p.err;
        return {};
    }
    const TLinhas pedido = DivideLinhas(LeBytes(d / "req/intpos.001"));
    fs::remove(d / "req/intpos.001");
    return pedido;
}

std::string StsDe(const TLinhas& pedido) {
    return Bytes({"000-000 = " + ValorCampo(pedido, "000-000").value_or(""),
                  "001-000 = " + ValorCampo(pedido, "001-000").value_or(""), "999-999 = 0"});
}

void CriaPar(const TDiretorioTemporario& d, bool ativo = true) {
    CriaDir(d / "req");
    CriaDir(d / "resp");
    if (ativo) GravaBytes(d / "resp/Ativo.001", Bytes({"000-000 = TEF", "016-000 = 0101120000", "999-999 = 0"}));
}

std::vector<std::string> Com(std::vector<std::string> args, const TDiretorioTemporario& d) {
    args.push_back("--dir");
    args.push_back(d.Caminho());
    return args;
}

}  // namespace

// ---- the request ------------------------------------------------------------

TEST(ComercialPedido, BytesDeCadaForma) {
    struct Caso {
        std::vector<std::string> args;
        std::string bytes;
    };
    const Caso casos[] = {
        // Options typed out of order still give 000, 001, 002, 003, 007.
        {{"crt", "--cpf", "123", "--valor", "1000", "--id", "7", "--documento", "55"},
         "000-000 = CRT\r\n001-000 = 7\r\n002-000 = 55\r\n003-000 = 1000\r\n007-000 = 123\r\n999-999 = 0\r\n"},
        {{"crt", "--valor", "0"}, "000-000 = CRT\r\n001-000 = 900\r\n003-000 = 0\r\n999-999 = 0\r\n"},
        {{"adm", "--id", "9"}, "000-000 = ADM\r\n001-000 = 9\r\n999-999 = 0\r\n"},
        {{"cnc", "--valor", "500", "--documento", "8", "--id", "3"},
         "000-000 = CNC\r\n001-000 = 3\r\n002-000 = 8\r\n003-000 = 500\r\n999-999 = 0\r\n"},
        // An empty value leaves the line ending in the blank.
        {{"cnf", "--id", "4", "--campo012", ""}, "000-000 = CNF\r\n001-000 = 4\r\n012-000 = \r\n999-999 = 0\r\n"},
        {{"enviar", "XYZ", "--campo", "050-000=b", "--id", "1", "--campo=012-000=a=c"},
         "000-000 = XYZ\r\n001-000 = 1\r\n050-000 = b\r\n012-000 = a=c\r\n999-999 = 0\r\n"},
    };
    for (const auto& c : casos) {
        const TPedido p = MontaPedido(LeArgumentos(c.args), true, "900");
        EXPECT_EQ(p.bytes, c.bytes) << c.args[0];
        EXPECT_EQ(p.comando, DivideLinhas(c.bytes)[0].substr(10));
        EXPECT_EQ(p.identificacao, DivideLinhas(c.bytes)[1].substr(10));
    }
}

TEST(ComercialPedido, ConversaoWindows1252) {
    struct Caso {
        std::string entrada;
        bool utf8;
        std::string esperado;
    };
    const Caso casos[] = {
        {"Jo\xC3\xA3o \xE2\x82\xAC 5", true, "Jo\xE3o \x80 5"},
        {"\xC3\x87" "a\xC3\xA7\xC3\xA3o", true, "\xC7" "a\xE7\xE3o"},
        {"Jo\xE3o", false, "Jo\xE3o"},  // not a UTF-8 locale: bytes go as they are
    };
    for (const auto& c : casos) {
        TOpcoes o = LeArgumentos({"crt", "--valor", "1", "--id", "1"});
        o.cpf = c.entrada;
        EXPECT_EQ(ValorCampo(DivideLinhas(MontaPedido(o, c.utf8, "").bytes), "007-000"), c.esperado);
    }
    // Greek omega and an emoji have no Windows-1252 form; a lone lead byte is not UTF-8.
    for (const std::string ruim : {"\xCE\xA9", "x\xF0\x9F\x98\x80", "a\xC3"})
        EXPECT_THROW(Utf8ParaAnsi(ruim, "--cpf"), EUsoIncorreto) << ruim;
    EXPECT_EQ(AnsiParaUtf8("\xE7\x80\x81"), "\xC3\xA7\xE2\x82\xAC\xEF\xBF\xBD");
}

TEST(ComercialPedido, UsoIncorreto) {
    const std::vector<std::vector<std::string>> casos = {
        {},
        {"venda"},
        {"crt"},
        {"crt", "--valor", "10,00"},
        {"crt", "--valor", ""},
        {"crt", "--valor"},
        {"crt", "--valor", "1", "--id", "abc"},
        {"crt", "--valor", "1", "--espera-sts", "0"},
        {"crt", "--valor", "1", "--espera-resp", "logo"},
        {"adm", "--cpf", "1"},
        {"adm", "extra"},
        {"adm", "-x"},
        {"adm", "--bruto=sim"},
        {"adm", "--nome", "sub/intpos.001"},
        {"cnc", "--cpf", "1"},
        {"enviar"},
        {"enviar", "X", "--campo", "12-000=a"},
        {"enviar", "X", "--campo", "012-000"},
        {"enviar", "X", "--campo", "001-000=1"},
        {"enviar", "X", "--campo", "012-000=a\nb"},
        {"cnf", "--campo012", "a\rb"},
        {"demo", "--manter"},
    };
    for (const auto& args : casos) {
        EXPECT_THROW(MontaPedido(LeArgumentos(args), true, "1"), EUsoIncorreto)
            << (args.empty() ? "(none)" : args.back());
    }
    TOpcoes o = LeArgumentos({"cnf"});
    o.campo012 = std::string("a\0b", 3);
    EXPECT_THROW(MontaPedido(o, false, "1"), EUsoIncorreto);
}

TEST(ComercialPedido, EntregaPorRenomeacaoSemNomeDe001) {
    TDiretorioTemporario d;
    CriaPar(d);
    GravaBytes(d / "resp/intpos.sts", "velho");
    GravaBytes(d / "resp/intpos.001", "velho");
    const int in = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(in, (d / "req").c_str(), IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO), 0);

    const std::string bytes = Bytes({"000-000 = ADM", "001-000 = 1", "999-999 = 0"});
    EXPECT_EQ(EnviaPedido(d.Caminho(), "intpos.001", bytes), (TLinhas{"intpos.sts", "intpos.001"}));

    // Every name written to is free of ".001"; intpos.001 only arrives by rename.
    bool chegouPorRenomeacao = false;
    alignas(inotify_event) char buf[8192];
    for (ssize_t n; (n = read(in, buf, sizeof buf)) > 0;) {
        for (char* p = buf; p < buf + n;) {
            const auto* ev = reinterpret_cast<const inotify_event*>(p);
            const std::string nome = ev->len ? ev->name : "";
            if (ev->mask & IN_MOVED_TO)
                chegouPorRenomeacao |= nome == "intpos.001";
            else
                EXPECT_EQ(nome.find(".001"), std::string::npos) << "written as " << nome;
            p += sizeof(inotify_event) + ev->len;
        }
    }
    close(in);
    EXPECT_TRUE(chegouPorRenomeacao);
    EXPECT_EQ(LeBytes(d / "req/intpos.001"), bytes);
    EXPECT_EQ(std::distance(fs::directory_iterator(d / "req"), fs::directory_iterator()), 1);
    EXPECT_FALSE(Existe(d / "resp/intpos.sts"));
    EXPECT_FALSE(Existe(d / "resp/intpos.001"));
}

TEST(ComercialPedido, RecusaQuandoHaPedidoEsperando) {
    TDiretorioTemporario d;
    CriaPar(d);
    GravaBytes(d / "req/intpos.001", "pendente");
    GravaBytes(d / "resp/intpos.sts", "dele");
    EXPECT_THROW(EnviaPedido(d.Caminho(), "intpos.001", "novo"), EPedidoPendente);
    EXPECT_EQ(LeBytes(d / "req/intpos.001"), "pendente");
    EXPECT_EQ(LeBytes(d / "resp/intpos.sts"), "dele");  // may belong to the pending request
    EXPECT_EQ(std::distance(fs::directory_iterator(d / "req"), fs::directory_iterator()), 1);
}

// ---- reading the answers ----------------------------------------------------

TEST(ComercialRespostas, ConfirmacaoDoPedido) {
    const TPedido pedido{"", "CNF", "42"};
    EXPECT_TRUE(StsDoPedido({"000-000 = CNF", "001-000 = 42", "999-999 = 0"}, pedido));
    EXPECT_TRUE(StsDoPedido({"000-000 = CNF ", "001-000 =  42", "999-999 = 0"}, pedido));
    EXPECT_FALSE(StsDoPedido({"000-000 = CNF", "001-000 = 41"}, pedido));
    EXPECT_FALSE(StsDoPedido({"000-000 = CRT", "001-000 = 42"}, pedido));
    EXPECT_FALSE(StsDoPedido({"000-000 = CNF"}, pedido));
    // A raw request without 001-000 is acknowledged with an empty one.
    EXPECT_TRUE(StsDoPedido({"000-000 = XYZ", "001-000 = "}, TPedido{"", "XYZ", ""}));
}

TEST(ComercialRespostas, ClassificacaoEResumo) {
    struct Caso {
        TLinhas linhas;
        TipoResposta tipo;
        std::string resumo;
    };
    const Caso casos[] = {
        {kCancelamento, TipoResposta::Cancelamento, "Resposta: TEF cancelado"},
        // left open by a manager that ended: not completed, exit 4 as a cancellation
        {{"000-000 = CRT", "001-000 = 1", "011-000 = 0", "030-000 = " + TextoTefInterrompido},
         TipoResposta::Cancelamento, "Resposta: " + TextoTefInterrompido},
        {{"000-000 = CRT", "009-000 = 0"}, TipoResposta::Aprovada, "Resposta: venda aprovada"},
        {{"000-000 = ADM", "009-000 = 0"}, TipoResposta::Aprovada, "Resposta: operação administrativa concluída"},
        {{"000-000 = CRT", "009-000 = 5", "030-000 = Cart\xE3o recusado"}, TipoResposta::NaoAprovada,
         "Resposta: transação não aprovada (009-000 = 5) - \"Cartão recusado\""},
        {{"000-000 = CRT", "030-000 = TEF Marel Raruveda"}, TipoResposta::SemStatus,
         "Resposta: resposta recebida, sem 009-000 - \"TEF Marel Raruveda\""},
    };
    for (const auto& c : casos) {
        EXPECT_EQ(ClassificaResposta(c.linhas), c.tipo) << c.resumo;
        EXPECT_EQ(ResumoResposta(c.linhas, true), c.resumo);
    }
}

// ---- the executable against a directory pair --------------------------------

TEST(ComercialTroca, CodigosDeSaidaComGerenciadorSimulado) {
    const TLinhas aprovada = {"000-000 = CRT", "001-000 = 42", "009-000 = 0", "030-000 = Transa\xE7\xE3o aprovada",
                              "999-999 = 0"};
    struct Caso {
        const char* nome;
        std::vector<std::string> args;
        bool sts;
        TLinhas resposta;  // empty: the manager writes no intpos.001
        int codigo;
        std::string saida;
        bool diretorioAtual = false;
    };
    const Caso casos[] = {
        {"cnf", {"cnf", "--id", "42", "--campo012", "abc"}, true, {}, 3, "pedido confirmado"},
        {"outro", {"enviar", "XYZ", "--id", "42"}, true, {}, 3, "pedido confirmado"},
        {"aprovada", {"crt", "--valor", "1000", "--id", "42"}, true, aprovada, 0,
         "Resposta: venda aprovada - \"Transação aprovada\""},
        {"bruto", {"crt", "--valor", "1000", "--id", "42", "--bruto"}, true, aprovada, 0,
         "030-000 = Transa\xE7\xE3o aprovada\r\n"},
        {"cancelada", {"crt", "--valor", "1000", "--id", "42"}, true, kCancelamento, 4, "Resposta: TEF cancelado"},
        {"adm", {"adm", "--id", "42"}, true, {"000-000 = ADM", "009-000 = 0"}, 0, "operação administrativa"},
        {"cnc", {"cnc", "--id", "42", "--campo012", "77"}, true, {"000-000 = CNC", "001-000 = 42", "009-000 = 0"}, 0,
         "Resposta: "},
        {"diretorio_atual", {"cnf", "--id", "42"}, true, {}, 3, "pedido confirmado", true},
        {"manter", {"crt", "--valor", "1", "--id", "42", "--manter"}, true, kCancelamento, 4, "TEF cancelado"},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        TDiretorioTemporario d;
        CriaPar(d);
        TProcesso p(c.diretorioAtual ? c.args : Com(c.args, d), c.diretorioAtual ? d.Caminho() : "");
        const TLinhas pedido = RecolhePedido(p, d);
        EXPECT_EQ(ValorCampo(pedido, "001-000"), "42");
        const std::string sts = StsDe(pedido);
        if (c.sts) GravaResp(d, "intpos.sts", sts);
        if (!c.resposta.empty()) GravaResp(d, "intpos.001", Bytes(c.resposta));
        EXPECT_EQ(p.Espera(), c.codigo) << p.err;
        EXPECT_NE(p.out.find(c.saida), std::string::npos) << p.out;
        EXPECT_EQ(p.out.find("intpos.sts ===") != std::string::npos, c.sts) << p.out;
        // What was read is consumed (kept with --manter), and nothing is left in req/.
        const bool manter = c.args.back() == "--manter";
        EXPECT_EQ(Existe(d / "resp/intpos.sts"), manter);
        EXPECT_EQ(Existe(d / "resp/intpos.001"), manter);
        if (manter) {
            EXPECT_EQ(LeBytes(d / "resp/intpos.sts"), sts);
        }
        EXPECT_TRUE(fs::is_empty(d / "req"));
    }
}

TEST(ComercialTroca, ConfirmacaoDeOutroPedidoEIgnorada) {
    const std::vector<std::pair<const char*, TLinhas>> casos = {
        {"outra_identificacao", {"000-000 = CNF", "001-000 = 41", "999-999 = 0"}},
        {"outro_comando", {"000-000 = CRT", "001-000 = 42", "999-999 = 0"}},
    };
    for (const auto& [nome, alheio] : casos) {
        SCOPED_TRACE(nome);
        TDiretorioTemporario d;
        CriaPar(d);
        TProcesso p(Com({"cnf", "--id", "42", "--espera-sts", "sem-limite"}, d));
        const TLinhas pedido = RecolhePedido(p, d);
        GravaResp(d, "intpos.sts", Bytes(alheio));
        ASSERT_TRUE(p.AguardaErro("ignorado")) << p.err;
        EXPECT_FALSE(p.Terminou());
        GravaResp(d, "intpos.sts", StsDe(pedido));
        EXPECT_EQ(p.Espera(), 3) << p.err;
        EXPECT_NE(p.out.find("intpos.sts ====\n000-000 = CNF\n001-000 = 42\n"), std::string::npos) << p.out;
        EXPECT_FALSE(Existe(d / "resp/intpos.sts"));
    }
}

TEST(ComercialTroca, RespostaDeOutroPedidoFicaParaOSeuDono) {
    // The manager answers an earlier request as cancelled when this one
    // arrives while its screen is open: that answer is not this request's.
    TDiretorioTemporario d;
    CriaPar(d);
    TProcesso p(Com({"crt", "--valor", "5000", "--id", "42"}, d));
    const TLinhas pedido = RecolhePedido(p, d);
    const TLinhas deOutro = {"000-000 = CRT", "001-000 = 41", "003-000 = 1000", "011-000 = 0", "028-000 = 0",
                             "030-000 = TEF Marel Raruveda foi cancelado", "999-999 = 0"};
    GravaResp(d, "intpos.001", Bytes(deOutro));
    GravaResp(d, "intpos.sts", StsDe(pedido));
    ASSERT_TRUE(p.AguardaErro("intpos.001 ignorado")) << p.err;
    EXPECT_FALSE(p.Terminou());
    EXPECT_EQ(LeBytes(d / "resp/intpos.001"), Bytes(deOutro)) << "left for its owner";
    GravaResp(d, "intpos.001", Bytes({"000-000 = CRT", "001-000 = 42", "003-000 = 5000", "009-000 = 0", "999-999 = 0"}));
    EXPECT_EQ(p.Espera(), 0) << p.err;
    EXPECT_NE(p.out.find("003-000 = 5000"), std::string::npos) << p.out;
}

TEST(ComercialTroca, TemposEsgotadosRespostasAntigasEAviso) {
    enum Gerenciador { Parado, Recolhe, RecolheEConfirma };
    struct Caso {
        const char* nome;
        std::vector<std::string> args;
        bool ativo, antigas;
        Gerenciador gerenciador;
        int codigo;
        const char* erro;
    };
    const Caso casos[] = {
        {"sem_gerenciador", {"crt", "--valor", "1", "--id", "42", "--espera-sts", "0.2"}, false, false, Parado, 5,
         "continua em"},
        {"ativo_sem_sts", {"crt", "--valor", "1", "--id", "42", "--espera-sts", "0,2"}, true, false, Parado, 5,
         "continua em"},
        // Leftovers that match the new request must not pass for its answers.
        {"antigas", {"crt", "--valor", "1", "--id", "42", "--espera-sts", "0.2"}, true, true, Parado, 5,
         "sobrou de uma troca anterior"},
        {"sem_resposta", {"crt", "--valor", "1", "--id", "42", "--espera-resp", "0.2"}, true, false,
         RecolheEConfirma, 6, "nenhum resp/intpos.001"},
        {"cnc_sem_confirmacao", {"cnc", "--id", "42", "--espera-sts", "0.2"}, true, false, Recolhe, 5,
         "nenhum resp/intpos.sts"},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        TDiretorioTemporario d;
        CriaPar(d, c.ativo);
        if (c.antigas) {
            GravaBytes(d / "resp/intpos.sts", Bytes({"000-000 = CRT", "001-000 = 42", "999-999 = 0"}));
            GravaBytes(d / "resp/intpos.001", Bytes({"000-000 = CRT", "001-000 = 42", "009-000 = 0"}));
        }
        TProcesso p(Com(c.args, d));
        if (c.gerenciador != Parado) {
            const TLinhas pedido = RecolhePedido(p, d);
            if (c.gerenciador == RecolheEConfirma) GravaResp(d, "intpos.sts", StsDe(pedido));
        }
        EXPECT_EQ(p.Espera(), c.codigo) << p.err;
        EXPECT_NE(p.err.find(c.erro), std::string::npos) << p.err;
        EXPECT_EQ(p.err.find("Ativo.001 não existe") != std::string::npos, !c.ativo) << p.err;
        // A request nobody took stays for the manager; the tool never withdraws it.
        EXPECT_EQ(Existe(d / "req/intpos.001"), c.gerenciador == Parado);
        EXPECT_FALSE(Existe(d / "resp/intpos.001"));
    }
}

TEST(ComercialTroca, ArquivoEnviadoByteAByte) {
    TDiretorioTemporario d;
    CriaPar(d);
    const std::string bruto = "000-000 = XYZ\n001-000 = 5\r\n012-000 = \x81\xE9\r\n\r\n7";
    GravaBytes(d / "pedido.txt", bruto);
    TProcesso p(Com({"arquivo", d / "pedido.txt"}, d));
    ASSERT_TRUE(AguardaArquivo(p, d / "req/intpos.001")) << p.err;
    EXPECT_EQ(LeBytes(d / "req/intpos.001"), bruto);
    fs::remove(d / "req/intpos.001");
    GravaResp(d, "intpos.sts", Bytes({"000-000 = XYZ", "001-000 = 5", "012-000 = \x81\xE9", "999-999 = 0"}));
    EXPECT_EQ(p.Espera(), 3) << p.err;
}

TEST(ComercialTroca, ValoresNaCodificacaoDoLocale) {
    const std::vector<std::tuple<std::string, std::string, std::string>> casos = {
        {"C.UTF-8", "Jo\xC3\xA3o\xE2\x82\xAC", "Jo\xE3o\x80"},
        {"C", "Jo\xE3o", "Jo\xE3o"},
    };
    for (const auto& [locale, cpf, gravado] : casos) {
        SCOPED_TRACE(locale);
        TDiretorioTemporario d;
        CriaPar(d);
        TProcesso p(Com({"crt", "--valor", "1", "--cpf", cpf, "--espera-sts", "0.2"}, d), "", locale);
        EXPECT_EQ(p.Espera(), 5) << p.err;
        EXPECT_EQ(ValorCampo(DivideLinhas(LeBytes(d / "req/intpos.001")), "007-000"), gravado);
    }
}

TEST(ComercialTroca, InterrupcaoDeixaOsArquivos) {
    TDiretorioTemporario d;
    CriaPar(d);
    TProcesso p(Com({"crt", "--valor", "1", "--espera-sts", "sem-limite"}, d));
    ASSERT_TRUE(AguardaArquivo(p, d / "req/intpos.001")) << p.err;
    kill(p.pid, SIGINT);
    EXPECT_EQ(p.Espera(), 130) << p.err;
    EXPECT_TRUE(Existe(d / "req/intpos.001"));
}

TEST(ComercialTroca, UsoIncorretoAjudaEPedidoPendente) {
    TDiretorioTemporario d;
    CriaPar(d);
    const std::vector<std::vector<std::string>> ruins = {
        {"crt", "--valor", "abc"}, {"enviar", "X", "--campo", "12-000=a"}, {"cnf", "--campo012", "x\xF0\x9F\x98\x80"}};
    for (const auto& args : ruins) {
        TProcesso p(Com(args, d));
        EXPECT_EQ(p.Espera(), 2) << args.back();
        EXPECT_EQ(p.err.rfind("tef-comercial: ", 0), 0u) << p.err;
        EXPECT_NE(p.err.find("\nUso: tef-comercial "), std::string::npos) << p.err;
        EXPECT_EQ(p.out, "");
    }
    EXPECT_TRUE(fs::is_empty(d / "req"));

    // Help and version: standard output, status 0, the usage line first.
    for (const char* opcao : {"--help", "-h"}) {
        TProcesso ajuda({opcao});
        EXPECT_EQ(ajuda.Espera(), 0);
        EXPECT_EQ(ajuda.out.rfind("Uso: tef-comercial crt ", 0), 0u) << ajuda.out;
        for (const char* t : {"crt", "cnc", "--espera-resp", "--version", "130", "TEF Marel Raruveda foi cancelado", "Exemplos"})
            EXPECT_NE(ajuda.out.find(t), std::string::npos) << t;
    }
    TProcesso versao({"--version"});
    EXPECT_EQ(versao.Espera(), 0);
    EXPECT_EQ(versao.out, "tef-comercial " TEF_VERSAO_PROJETO "\n");

    GravaBytes(d / "req/intpos.001", "pendente");
    TProcesso pendente(Com({"adm"}, d));
    EXPECT_EQ(pendente.Espera(), 1);
    EXPECT_NE(pendente.err.find("ainda está esperando"), std::string::npos) << pendente.err;
    EXPECT_EQ(LeBytes(d / "req/intpos.001"), "pendente");
}

TEST(ComercialDemo, MostraATrocaEArrumaODiretorio) {
    TDiretorioTemporario d;
    TProcesso p({"demo"}, "", "C.UTF-8", d.Caminho());
    EXPECT_EQ(p.Espera(), 0) << p.err;
    for (const char* t : {"SIMULADO", "000-000 = CRT", "intpos.sts ===", "Resposta: venda aprovada"})
        EXPECT_NE(p.out.find(t), std::string::npos) << t;
    EXPECT_TRUE(fs::is_empty(d.Caminho()));  // its temporary pair is gone

    CriaPar(d);  // with Ativo.001: a manager seems to be there
    TProcesso ocupado({"demo", "--dir", d.Caminho()});
    EXPECT_EQ(ocupado.Espera(), 1);
    EXPECT_TRUE(fs::is_empty(d / "req"));
}
