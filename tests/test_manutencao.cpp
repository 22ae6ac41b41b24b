// Upkeep of the browser runtime and its profile: the runtime's registration,
// running the registration program, the disk cache and the certificate files.
#include "Gerente.h"
#include "Registro.h"
#include "Servidor.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using componentes::TAplicacaoVirtual;
using componentes::TClienteHttpVirtual;

namespace {

#ifndef _WIN32
std::string Real(const std::string& caminho) {
    char buf[PATH_MAX];
    return ::realpath(caminho.c_str(), buf) ? buf : "";
}
#endif

// ---- the runtime's registration ------------------------------------------------------------------

const std::string kGre = "SOFTWARE\\mozilla.org\\GRE";

TValorRegistro Sz(const std::string& texto) { return {REG_SZ, texto + '\0'}; }

struct Gre : ::testing::Test {
    TDiretorioTemporario outro;
    std::string store = outro / "tef.reg";
    TVariavelAmbiente registro{"TEF_REGISTRO", store};
    TGerenteVirtual g;
    int escritas = 0;

    void SetUp() override { TArmazemRegistro::AntesDeRenomear = [this](const std::string&) { ++escritas; }; }
    void TearDown() override { TArmazemRegistro::AntesDeRenomear = nullptr; }

    std::string Casa() const { return g.B + "mozembed"; }
    void Versao(const std::string& versao, const std::optional<TValorRegistro>& casa) {
        TArmazemRegistro a(store);
        a.CriaChave(kGre + "\\" + versao);
        if (casa) a.GravaValor(kGre + "\\" + versao, "GreHome", casa->tipo, casa->dados);
    }
    bool TemVersao(const std::string& versao) const { return TArmazemRegistro(store).ChaveExiste(kGre + "\\" + versao); }
    std::optional<TValorRegistro> CasaDe(const std::string& versao) const {
        return TArmazemRegistro(store).LeValor(kGre + "\\" + versao, "GreHome");
    }
    // Runs the repair and counts only its own writes.
    bool Verifica() {
        escritas = 0;
        return g.frm.VerificaRegistroGre();
    }
};

TEST_F(Gre, SemChaveOuSemARegistroDaVersaoPedeRegistro) {
    EXPECT_TRUE(Verifica()) << "no store file";
    EXPECT_FALSE(Existe(store)) << "nothing is written";

    GravaBytes(store, "isto nao e um registro\n");
    EXPECT_TRUE(Verifica()) << "a broken store counts as a key that cannot be opened";
    EXPECT_EQ(LeBytes(store), "isto nao e um registro\n");
    ApagaArquivo(store);

    TArmazemRegistro(store).CriaChave(kGre);
    EXPECT_TRUE(Verifica()) << "the key without sub-keys";

    Versao("1.8.1.3", Sz("/opt/xulrunner"));
    Versao("1.9.1.70", Sz("/opt/outro"));
    EXPECT_TRUE(Verifica()) << "only other versions";
    EXPECT_EQ(escritas, 0);
    EXPECT_TRUE(TemVersao("1.8.1.3"));
    EXPECT_TRUE(TemVersao("1.9.1.70"));
}

TEST_F(Gre, Versao1917ApontaParaEstaInstalacao) {
    struct Caso {
        const char* nome;
        std::optional<TValorRegistro> casa;
        bool reescreve;
    };
    const std::vector<Caso> casos = {
        {"outra instalacao", Sz("/outra/loja/mozembed"), true},
        {"ja correta", Sz(Casa()), false},
        {"sem GreHome", std::nullopt, true},
        {"GreHome vazio", Sz(""), true},
        {"com barra final", Sz(Casa() + "/"), true},
        {"em maiusculas", Sz(MaiusculasAnsi(Casa())), true},
        {"texto expansivel igual", TValorRegistro{REG_EXPAND_SZ, Casa() + '\0'}, false},
        {"binario vazio le como vazio", TValorRegistro{REG_BINARY, ""}, true},
        {"texto com lixo depois do NUL", TValorRegistro{REG_SZ, Casa() + std::string("\0lixo", 5)}, false},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        ApagaArquivo(store);
        Versao("1.9.1.7", c.casa);
        TArmazemRegistro(store).GravaValor(kGre + "\\1.9.1.7", "Outro", REG_SZ, Sz("fica").dados);
#ifndef _WIN32
        struct stat antes{};
        ASSERT_EQ(::stat(store.c_str(), &antes), 0);
#endif
        EXPECT_FALSE(Verifica());
        if (c.reescreve) {
            EXPECT_EQ(escritas, 1);
            const auto v = CasaDe("1.9.1.7");
            ASSERT_TRUE(v.has_value());
            EXPECT_EQ(v->tipo, REG_SZ);
            EXPECT_EQ(v->dados, Casa() + '\0');
        } else {
            EXPECT_EQ(escritas, 0) << "the same path is left alone";
#ifndef _WIN32
            struct stat depois{};
            ASSERT_EQ(::stat(store.c_str(), &depois), 0);
            EXPECT_EQ(depois.st_ino, antes.st_ino) << "the store was not replaced";
#endif
            EXPECT_EQ(CasaDe("1.9.1.7")->dados, c.casa->dados);
        }
        const auto outroValor = TArmazemRegistro(store).LeValor(kGre + "\\1.9.1.7", "Outro");
        ASSERT_TRUE(outroValor.has_value());
        EXPECT_EQ(outroValor->dados, Sz("fica").dados) << "the runtime's own values are not touched";
    }
}

TEST_F(Gre, SobrasDeOutrasVersoesComMozembedSaoApagadas) {
    Versao("1.8.0.4", Sz("/velha/loja/mozembed"));
    TArmazemRegistro(store).CriaChave(kGre + "\\1.8.0.4\\Extensions\\x");
    Versao("1.9.2.0", Sz(Casa()));
    Versao("1.9.1.6", Sz("/x/mozembed-antigo/lib"));
    Versao("1.9.1.7", Sz("/outra/mozembed"));
    Versao("2.0", Sz("/opt/xulrunner"));
    Versao("1.9.0.1", std::nullopt);
    Versao("3.0", Sz("/x/MOZEMBED"));
    Versao("1.9.1.5", Sz("C:\\TEF\\mozembed"));
    Versao("1.7", Sz("mozembed"));

    EXPECT_FALSE(Verifica());
    for (const char* apagada : {"1.8.0.4", "1.9.2.0", "1.9.1.6"}) EXPECT_FALSE(TemVersao(apagada)) << apagada;
    EXPECT_FALSE(TArmazemRegistro(store).ChaveExiste(kGre + "\\1.8.0.4\\Extensions")) << "with its sub-keys";
    for (const char* mantida : {"1.9.1.7", "2.0", "1.9.0.1", "3.0", "1.9.1.5", "1.7"})
        EXPECT_TRUE(TemVersao(mantida)) << mantida;
    EXPECT_EQ(CasaDe("1.9.1.7")->dados, Casa() + '\0');
    EXPECT_EQ(CasaDe("2.0")->dados, Sz("/opt/xulrunner").dados);
}

TEST_F(Gre, NomesDeChaveSemDiferencaDeCaixa) {
    TArmazemRegistro a(store);
    a.CriaChave("Software\\Mozilla.org\\gre\\1.9.1.7");
    EXPECT_FALSE(Verifica());
    EXPECT_EQ(CasaDe("1.9.1.7")->dados, Casa() + '\0');
}

TEST_F(Gre, GreHomeQueNaoETextoInterrompe) {
    const std::vector<std::string> versoes = {"1.9.1.7", "1.8.0.4"};
    for (const auto& versao : versoes) {
        SCOPED_TRACE(versao);
        ApagaArquivo(store);
        Versao(versao, TValorRegistro{REG_DWORD, std::string("\x01\0\0\0", 4)});
        try {
            Verifica();
            ADD_FAILURE() << "no error";
        } catch (const ERegistryException& e) {
            EXPECT_EQ(e.Message(), "Invalid data type for 'GreHome'");
        }
        EXPECT_EQ(escritas, 0);
        EXPECT_TRUE(TemVersao(versao));
    }
}

// ---- running the registration program --------------------------------------------------------------

struct Execucao : ::testing::Test {
    TDiretorioTemporario dir;
    std::string B = dir.Caminho();
#ifndef _WIN32
    // A program that records how it was started and where: a shell script.
    std::string Programa(const std::string& relativo, mode_t modo = 0755) {
        const std::string programa = B + relativo;
        CriaDir(programa.substr(0, programa.rfind('/')));
        GravaBytes(programa, "#!/bin/sh\n"
                             "echo \"$0 $@\" > '" + B + "saida.txt'\n"
                             "pwd -P >> '" + B + "saida.txt'\n"
                             "echo ru\xC3\xAD" "do; echo ru\xC3\xAD" "do >&2\n"
                             "exit 3\n");
        ::chmod(programa.c_str(), modo);
        return programa;
    }
#endif
};

#ifndef _WIN32
TEST_F(Execucao, RodaNoDiretorioDoProgramaEEspera) {
    struct Caso {
        std::string relativo, parametros, linha;
    };
    const std::vector<Caso> casos = {
        {"mozembed/xulrunner", "--register-global", "--register-global"},
        {"dir com brancos/prog", "-a  -b", "-a -b"},
        {"mozembed/xulrunner", "", ""},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.relativo + " " + c.parametros);
        ApagaArquivo(B + "saida.txt");
        const std::string programa = Programa(c.relativo);
        ::testing::internal::CaptureStderr();
        EXPECT_TRUE(ExecutaEEspera(programa, c.parametros, 0)) << "the exit code 3 is not looked at";
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "the program's output goes nowhere";
        // The child has ended and been collected: none is left to wait for.
        errno = 0;
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
        EXPECT_EQ(errno, ECHILD);
        const TLinhas saida = CarregaLinhas(B + "saida.txt");
        ASSERT_EQ(saida.size(), 2u);
        EXPECT_EQ(saida[0], programa + " " + c.linha);
        EXPECT_EQ(saida[1], Real(programa.substr(0, programa.rfind('/'))));
    }
}
#endif

TEST_F(Execucao, ProgramaQueNaoPodeComecarDaFalso) {
#ifdef _WIN32
    GravaBytes(B + "sem_execucao", "echo x\r\n");  // text, not a program
#else
    Programa("sem_execucao", 0644);
#endif
    const std::vector<std::string> programas = {B + "nao_existe", B + "dir/nao/existe/prog", B + "sem_execucao", B};
    for (const auto& p : programas) {
        EXPECT_FALSE(ExecutaEEspera(p, "--register-global", 0)) << p;
        EXPECT_FALSE(Existe(B + "saida.txt")) << p;
    }
}

TEST(LinhaDeComando, ProgramaEntreAspasUmBrancoEParametros) {
    const std::vector<std::tuple<std::string, std::string, std::string>> casos = {
        {"/opt/tef/mozembed/xulrunner", "--register-global", "\"/opt/tef/mozembed/xulrunner\" --register-global"},
        {"/opt/minha loja/mozembed/xulrunner", "-a -b", "\"/opt/minha loja/mozembed/xulrunner\" -a -b"},
        {"/x", "", "\"/x\" "},
    };
    for (const auto& [programa, parametros, linha] : casos) EXPECT_EQ(LinhaDeComando(programa, parametros), linha);
}

// ---- deleting directory trees and the cache -------------------------------------------------------

// A tree with files and directories at every level, hidden ones, links and a
// FIFO (the last two on POSIX); returns the number of entries in it (without
// "." and "..").
int ArvoreFunda(const std::string& raiz, const std::string& fora) {
    CriaDir(fora + "sub");
    GravaBytes(fora + "guardado.txt", "fica");
    GravaBytes(fora + "sub/y", "fica");
    CriaDir(raiz + "vazio");
    CriaDir(raiz + "d1/.h");
    CriaDir(raiz + "d1/d2/d3");
    CriaDir(raiz + ".dirOculto");
    GravaBytes(raiz + "a.txt", "a");
    GravaBytes(raiz + ".oculto", "o");
    GravaBytes(raiz + "d1/b", "b");
    GravaBytes(raiz + "d1/.h/c", "c");
    GravaBytes(raiz + "d1/d2/d3/e", "e");
    GravaBytes(raiz + "d1/d2/d3/.f", "f");
    GravaBytes(raiz + ".dirOculto/x", "x");
#ifdef _WIN32
    // raiz: 5 entries; d1: 3; d1/.h: 1; d2: 1; d3: 2; .dirOculto: 1
    return 13;
#else
    EXPECT_EQ(::symlink(fora.c_str(), (raiz + "link").c_str()), 0);
    EXPECT_EQ(::symlink((fora + "guardado.txt").c_str(), (raiz + "linkArq").c_str()), 0);
    EXPECT_EQ(::symlink((fora + "nao_existe").c_str(), (raiz + "quebrado").c_str()), 0);
    EXPECT_EQ(::mkfifo((raiz + "fifo").c_str(), 0600), 0);
    // raiz: 9 entries; d1: 3; d1/.h: 1; d2: 1; d3: 2; .dirOculto: 1
    return 17;
#endif
}

void ConfereFora(const std::string& fora) {
    EXPECT_EQ(LeBytes(fora + "guardado.txt"), "fica") << "a link is never followed";
    EXPECT_EQ(LeBytes(fora + "sub/y"), "fica");
}

TEST(ApagaDiretorio, ArvoreFundaSemSeguirLigacoes) {
    TDiretorioTemporario dir;
    const std::string raiz = dir / "arvore/", fora = dir / "fora/";
    const int entradas = ArvoreFunda(raiz, fora);
    int chamadas = 0;
    ApagaDiretorio(raiz, [&] { ++chamadas; });
    EXPECT_FALSE(Existe(raiz));
    EXPECT_EQ(chamadas, entradas) << "once after every entry, at every level";
    ConfereFora(fora);
}

TEST(ApagaDiretorio, CaminhoSemBarraEDiretorioAusente) {
    TDiretorioTemporario dir;
    CriaDir(dir / "a/b");
    GravaBytes(dir / "a/b/c", "c");
    ApagaDiretorio(dir / "a");
    EXPECT_FALSE(Existe(dir / "a"));
    int chamadas = 0;
    ApagaDiretorio(dir / "nao_existe", [&] { ++chamadas; });
    EXPECT_EQ(chamadas, 0);
    GravaBytes(dir / "arquivo", "x");
    ApagaDiretorio(dir / "arquivo");
    EXPECT_EQ(LeBytes(dir / "arquivo"), "x") << "a file is not a directory to delete";
}

struct Cache : ::testing::Test {
    TGerenteVirtual g;
    std::string Dir() const { return g.B + "mozembed/Profiles/default/Cache/"; }
};

TEST_F(Cache, LimpaCacheApagaTudoEProcessaMensagensACadaEntrada) {
    const int entradas = ArvoreFunda(Dir(), g.B + "fora/");
    GravaBytes(g.B + "mozembed/Profiles/default/cert8.db", "db");
    int mensagens = 0;
    Espiao espiao(g.app, [&] { ++mensagens; });
    g.frm.LimpaCache();
    EXPECT_FALSE(Existe(Dir()));
    EXPECT_EQ(mensagens, entradas);
    EXPECT_EQ(LeBytes(g.B + "mozembed/Profiles/default/cert8.db"), "db") << "only the cache goes";
    ConfereFora(g.B + "fora/");
}

TEST_F(Cache, SemCacheOuCacheQueNaoEDiretorio) {
    EXPECT_NO_THROW(g.frm.LimpaCache());
    CriaDir(g.B + "mozembed/Profiles/default");
    GravaBytes(g.B + "mozembed/Profiles/default/Cache", "arquivo");
    g.frm.LimpaCache();
    EXPECT_EQ(LeBytes(g.B + "mozembed/Profiles/default/Cache"), "arquivo");
}

#ifndef _WIN32
TEST_F(Cache, LigacaoNoLugarDoCacheNaoESeguida) {
    // The profile is open to the group: a member's link must not make the
    // manager empty some other directory.
    CriaDir(g.B + "mozembed/Profiles/default");
    CriaDir(g.B + "alheio/sub");
    GravaBytes(g.B + "alheio/guardado.txt", "fica");
    GravaBytes(g.B + "alheio/sub/y", "fica");
    ASSERT_EQ(::symlink((g.B + "alheio").c_str(), (g.B + "mozembed/Profiles/default/Cache").c_str()), 0);
    g.frm.LimpaCache();
    EXPECT_FALSE(plataforma::Consulta(g.B + "mozembed/Profiles/default/Cache", false)) << "the link itself goes";
    EXPECT_EQ(LeBytes(g.B + "alheio/guardado.txt"), "fica");
    EXPECT_EQ(LeBytes(g.B + "alheio/sub/y"), "fica");
}
#endif

// ---- file sizes and replacing a file ------------------------------------------------------------------

TEST(TamanhoArquivo, SoArquivosComunsVisiveis) {
    TDiretorioTemporario dir;
    GravaBytes(dir / "cinco", "12345");
    GravaBytes(dir / "zero", "");
    GravaBytes(dir / ".oculto", "123");
    CriaDir(dir / ".d");
    GravaBytes(dir / ".d/quatro", "1234");
    CriaDir(dir / "pasta");
    std::vector<std::pair<std::string, std::int32_t>> casos = {
        {"cinco", 5}, {"zero", 0}, {"nao_existe", -1}, {"pasta", -1}, {".d/quatro", 4}, {"", -1},
    };
#ifndef _WIN32
    // A "." name is hidden only on POSIX; FIFOs exist only there.
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    casos.insert(casos.end(), {{".oculto", -1}, {"fifo", -1}});
#endif
    for (const auto& [nome, tamanho] : casos) EXPECT_EQ(TamanhoArquivo(dir / nome), tamanho) << nome;
}

TEST(SubstituiArquivo, Regras) {
    struct Caso {
        const char* nome;
        std::optional<std::string> novo, alvo;
        std::string nomeAlvo;
        std::optional<std::string> depois;  // the target afterwards; nothing: gone
    };
    const std::vector<Caso> casos = {
        {"alvo ausente", "abc", std::nullopt, "alvo", "abc"},
        {"tamanho diferente", "abc", "xy", "alvo", "abc"},
        {"mesmo tamanho fica mesmo com conteudo diferente", "abc", "xyz", "alvo", "xyz"},
        {"novo vazio nao serve", "", "xy", "alvo", "xy"},
        {"sem novo", std::nullopt, "xy", "alvo", "xy"},
        {"alvo de 0 bytes sem novo e apagado", std::nullopt, "", "alvo", std::nullopt},
        {"os dois vazios", "", "", "alvo", std::nullopt},
        {"alvo de 0 bytes trocado", "abc", "", "alvo", "abc"},
#ifndef _WIN32
        // Hidden is the name here (POSIX), so the copy renamed to it is hidden
        // as well and has no size either: a hidden current file never stays.
        {"alvo oculto com copia", "abc", "xyz", ".alvo", std::nullopt},
        {"alvo oculto sem novo e apagado", std::nullopt, "xyz", ".alvo", std::nullopt},
#endif
        {"nada", std::nullopt, std::nullopt, "alvo", std::nullopt},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        TDiretorioTemporario dir;
        const std::string novo = dir / "alvo_new", alvo = dir / c.nomeAlvo;
        if (c.novo) GravaBytes(novo, *c.novo);
        if (c.alvo) GravaBytes(alvo, *c.alvo);
        SubstituiArquivo(novo, alvo);
        EXPECT_FALSE(Existe(novo));
        if (c.depois)
            EXPECT_EQ(Existe(alvo) ? LeBytes(alvo) : "(ausente)", *c.depois);
        else
            EXPECT_FALSE(Existe(alvo));
    }
}

TEST(SubstituiArquivo, AlvoQueNaoPodeSerTrocadoFicaEACopiaSome) {
    TDiretorioTemporario dir;
    CriaDir(dir / "alvo/dentro");
    GravaBytes(dir / "alvo_new", "abc");
    SubstituiArquivo(dir / "alvo_new", dir / "alvo");
    EXPECT_TRUE(DiretorioExiste(dir / "alvo/dentro"));
    EXPECT_FALSE(Existe(dir / "alvo_new"));
}

// ---- certificate files ---------------------------------------------------------------------------------

const std::string kBase = "https://tef.orvexpay.com.br/download/tef/profile/";

struct Certificados : ::testing::Test {
    TVariavelAmbiente producao{"TEF_PRODUCAO", std::nullopt};
    TGerenteVirtual g;
    std::string P() const { return g.B + "mozembed/Profiles/default/"; }
    TClienteHttpVirtual& Http() { return g.form.IdHTTP1; }
    std::string Le(const std::string& nome) const {
        return Existe(P() + nome) ? LeBytes(P() + nome) : "(ausente)";
    }
    void Atuais(const std::optional<std::string>& db, const std::optional<std::string>& ov) {
        CriaDir(P());
        ApagaArquivo(P() + "cert8.db");
        ApagaArquivo(P() + "cert_override.txt");
        if (db) GravaBytes(P() + "cert8.db", *db);
        if (ov) GravaBytes(P() + "cert_override.txt", *ov);
    }
};

TEST_F(Certificados, TabelaDeDownloads) {
    using R = TClienteHttpVirtual::Resposta;
    struct Caso {
        const char* nome;
        std::optional<std::string> db, ov;          // current files
        std::optional<R> respDb, respOv;             // nothing: no answer (connection refused)
        std::string dbDepois, ovDepois;
    };
    const std::vector<Caso> casos = {
        {"copias boas de outro tamanho", "velho", "v", R{true, "novo-db-123"}, R{true, "novo ov"}, "novo-db-123",
         "novo ov"},
        {"mesmo tamanho descartado", "AAAA", std::nullopt, R{true, "BBBB"}, R{true, "ov"}, "AAAA", "ov"},
        {"nao encontrado", "velho", "v", R{false, "<html>404</html>"}, R{true, "novo ov"}, "velho", "novo ov"},
        {"transferencia cortada", "velho", "v", R{true, "0123456789", 4}, std::nullopt, "velho", "v"},
        {"override cortado", "velho", "v", R{true, "db"}, R{true, "0123456789", 3}, "db", "v"},
        {"sucesso sem corpo", "velho", "v", R{true, ""}, R{true, ""}, "velho", "v"},
        {"sem servidor", "velho", "", std::nullopt, std::nullopt, "velho", "(ausente)"},
        {"sem arquivos atuais nem servidor", std::nullopt, std::nullopt, std::nullopt, std::nullopt, "(ausente)",
         "(ausente)"},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        Atuais(c.db, c.ov);
        Http().Respostas.clear();
        Http().Pedidos.clear();
        if (c.respDb) Http().Respostas[kBase + "cert8.db"] = *c.respDb;
        if (c.respOv) Http().Respostas[kBase + "cert_override.txt"] = *c.respOv;
        g.frm.AtualizaCertificados();
        EXPECT_EQ(Http().Pedidos, (std::vector<std::string>{kBase + "cert8.db", kBase + "cert_override.txt"}));
        EXPECT_EQ(Le("cert8.db"), c.dbDepois);
        EXPECT_EQ(Le("cert_override.txt"), c.ovDepois);
        EXPECT_FALSE(Existe(P() + "cert8.db_new"));
        EXPECT_FALSE(Existe(P() + "cert_override.txt_new"));
    }
}

TEST_F(Certificados, CriaOsDiretoriosDoPerfil) {
    CriaDir(g.B + "mozembed");
    Http().Respostas[kBase + "cert8.db"] = {true, "db"};
    g.frm.AtualizaCertificados();
    EXPECT_TRUE(DiretorioExiste(g.B + "mozembed/Profiles/default"));
    EXPECT_EQ(Le("cert8.db"), "db");
}

TEST_F(Certificados, SemMozembedNadaECriadoEOSegundoDownloadNaoComeca) {
    Http().Respostas[kBase + "cert8.db"] = {true, "db"};
    EXPECT_NO_THROW(g.frm.AtualizaCertificados());
    EXPECT_FALSE(Existe(g.B + "mozembed")) << "directories are created one level at a time";
    EXPECT_TRUE(Http().Pedidos.empty()) << "the first target cannot be created: both downloads are skipped";
}

TEST_F(Certificados, PrimeiroDestinoQueNaoPodeSerCriadoPulaOSegundo) {
    Atuais("velho", "v");
    CriaDir(P() + "cert8.db_new");  // a directory where the download must go
    Http().Respostas[kBase + "cert8.db"] = {true, "novo db"};
    Http().Respostas[kBase + "cert_override.txt"] = {true, "novo ov"};
    EXPECT_NO_THROW(g.frm.AtualizaCertificados());
    EXPECT_TRUE(Http().Pedidos.empty());
    EXPECT_EQ(Le("cert8.db"), "velho");
    EXPECT_EQ(Le("cert_override.txt"), "v") << "the second download did not run";
    EXPECT_FALSE(Existe(P() + "cert_override.txt_new"));
}

TEST_F(Certificados, EnderecoDeProducaoDoAmbiente) {
    TVariavelAmbiente outra("TEF_PRODUCAO", "http://127.0.0.1:8443/");
    Atuais("velho", "v");
    g.frm.AtualizaCertificados();
    EXPECT_EQ(Http().Pedidos, (std::vector<std::string>{"http://127.0.0.1:8443/download/tef/profile/cert8.db",
                                                        "http://127.0.0.1:8443/download/tef/profile/cert_override.txt"}));
}

TEST_F(Certificados, BaixaArquivo) {
    CriaDir(P());
    const std::string alvo = P() + "x_new";
    Http().Respostas["http://s/ok"] = {true, "corpo"};
    Http().Respostas["http://s/404"] = {false, "pagina de erro"};
    Http().Respostas["http://s/corta"] = {true, "0123456789", 4};

    GravaBytes(alvo, "conteudo antigo e longo");
    EXPECT_TRUE(g.frm.BaixaArquivo("http://s/ok", alvo));
    EXPECT_EQ(LeBytes(alvo), "corpo");

    EXPECT_FALSE(g.frm.BaixaArquivo("http://s/404", alvo));
    EXPECT_EQ(LeBytes(alvo), "") << "created empty; the error body is not written";

    EXPECT_FALSE(g.frm.BaixaArquivo("http://s/corta", alvo));
    EXPECT_EQ(LeBytes(alvo), "0123");

    EXPECT_FALSE(g.frm.BaixaArquivo("http://s/ninguem", alvo));

#ifndef _WIN32
    // A link planted under the download's name is replaced, never written through.
    GravaBytes(g.B + "vitima", "intocada");
    ApagaArquivo(alvo);
    ASSERT_EQ(::symlink((g.B + "vitima").c_str(), alvo.c_str()), 0);
    EXPECT_TRUE(g.frm.BaixaArquivo("http://s/ok", alvo));
    EXPECT_EQ(LeBytes(g.B + "vitima"), "intocada");
    EXPECT_EQ(plataforma::Consulta(alvo, false)->tipo, plataforma::TTipoEntrada::Regular);
    EXPECT_EQ(LeBytes(alvo), "corpo");
#endif

    const std::string semDir = g.B + "nao/existe/x_new";
    Http().Pedidos.clear();
    try {
        g.frm.BaixaArquivo("http://s/ok", semDir);
        ADD_FAILURE() << "no error";
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message().rfind("Cannot create file \"" + semDir + "\". ", 0), 0u) << e.Message();
    }
    EXPECT_TRUE(Http().Pedidos.empty());
}

TEST_F(Certificados, EventosDeTransferenciaMovemABarra) {
    auto& barra = g.form.JvXPProgressBar1;
    int mensagens = 0;
    Espiao espiao(g.app, [&] { ++mensagens; });

    g.frm.IdHTTP1WorkBegin(100);
    g.frm.IdHTTP1Work(80);
    mensagens = 0;
    g.frm.IdHTTP1WorkBegin(1000);
    EXPECT_EQ(barra.Max(), 1000);
    EXPECT_EQ(barra.Position(), 0) << "a new transfer starts from the beginning";
    g.frm.IdHTTP1Work(250);
    EXPECT_EQ(barra.Position(), 250);
    g.frm.IdHTTP1WorkEnd();
    EXPECT_EQ(barra.Position(), 1000);
    EXPECT_EQ(mensagens, 3) << "each event processes pending messages";

    EXPECT_NO_THROW(g.frm.IdHTTP1WorkBegin(0)) << "an unknown size must not fail the download";
    EXPECT_EQ(mensagens, 4);

    // A download drives the same bar.
    CriaDir(P());
    Http().Respostas["http://s/ok"] = {true, std::string(40, 'z'), 30};
    mensagens = 0;
    EXPECT_FALSE(g.frm.BaixaArquivo("http://s/ok", P() + "y_new"));
    EXPECT_EQ(barra.Max(), 40);
    EXPECT_EQ(barra.Position(), 40) << "the end sets the position to the maximum";
    EXPECT_EQ(mensagens, 3);
}

}  // namespace
