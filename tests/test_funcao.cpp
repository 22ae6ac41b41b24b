#include "Ambiente.h"
#include "Mensagens.h"
#include "untFuncao.h"

#include <algorithm>
#include <clocale>
#include <gtest/gtest.h>
#include <limits>
#include <memory>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace {

TLinhas Ordenado(TLinhas l) {
    std::sort(l.begin(), l.end());
    return l;
}

// ---- lists of lines --------------------------------------------------------------

struct CasoDivisao {
    std::string texto;
    TLinhas linhas;
};

TEST(ListaDeLinhas, DivideEmCrLfCrSozinhoLfSozinhoENulTermina) {
    const std::vector<CasoDivisao> casos = {
        {"", {}},
        {"a", {"a"}},
        {"a\r\n", {"a"}},
        {"a\r\nb", {"a", "b"}},
        {"a\rb\nc\r\nd", {"a", "b", "c", "d"}},
        {"a\n\rb", {"a", "", "b"}},  // LF then a lone CR: two breaks
        {"\r\n", {""}},
        {"\r\n\r\n", {"", ""}},
        {"a\r\r\nb", {"a", "", "b"}},
        {std::string("ab\0cd\r\nef", 9), {"ab"}},
        {std::string("\0abc", 4), {}},
        {"fim sem quebra", {"fim sem quebra"}},
    };
    for (const auto& c : casos) EXPECT_EQ(DivideLinhas(c.texto), c.linhas) << "text: " << c.texto;
}

TEST(ListaDeLinhas, SalvaCadaLinhaComCrLfSemBomEListaVaziaDaArquivoVazio) {
    TDiretorioTemporario d;
    SalvaLinhas(d / "a.txt", {"000-000 = CRT", "001-000 = ", "999-999 = 0"});
    EXPECT_EQ(LeBytes(d / "a.txt"), "000-000 = CRT\r\n001-000 = \r\n999-999 = 0\r\n");
    SalvaLinhas(d / "vazio.txt", {});
    EXPECT_EQ(LeBytes(d / "vazio.txt"), "");
    SalvaLinhas(d / "ansi.txt", {"a\xE7\xF5"});
    EXPECT_EQ(LeBytes(d / "ansi.txt"), "a\xE7\xF5\r\n");
    // Saving over a longer file truncates it.
    SalvaLinhas(d / "a.txt", {"x"}, true);
    EXPECT_EQ(LeBytes(d / "a.txt"), "x\r\n");
}

TEST(ListaDeLinhas, CarregaRespeitaAsRegrasDeDivisao) {
    TDiretorioTemporario d;
    GravaBytes(d / "r.001", std::string("000-000 = CRT\n001-000 = 7\r003-000 = 10\0lixo", 42));
    EXPECT_EQ(CarregaLinhas(d / "r.001"), (TLinhas{"000-000 = CRT", "001-000 = 7", "003-000 = 10"}));
}

TEST(ListaDeLinhas, ErrosDeAberturaECriacaoTrazemOCaminhoEOMotivo) {
    TDiretorioTemporario d;
    try {
        CarregaLinhas(d / "nao-existe.001");
        FAIL() << "no error";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(), "Cannot open file \"" + d / "nao-existe.001" + "\". " + TextoArquivoInexistente());
    }
    try {
        CarregaLinhas(d.Caminho());
        FAIL() << "a directory was read as a file";
    } catch (const EFOpenError& e) {
        EXPECT_NE(e.Message().find("Cannot open file"), std::string::npos);
    }
    try {
        SalvaLinhas(d / "falta/arq.txt", {"a"});
        FAIL() << "no error";
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message(), "Cannot create file \"" + d / "falta/arq.txt" + "\". " + TextoDiretorioInexistente());
    }
}

#ifndef _WIN32
TEST(ListaDeLinhas, DiscoCheioEErroDeEscrita) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    EXPECT_THROW(SalvaLinhas("/dev/full", {"uma linha"}), EWriteError);
}
#endif

// ---- directory listings ------------------------------------------------------------

TEST(Listagem, ListaArquivosSoDoDiretorioOuRecursivoComSubdiretoriosPrimeiro) {
    TDiretorioTemporario d;
    CriaDir(d / "sub/fundo");
    GravaBytes(d / "a.001", "");
    GravaBytes(d / ".escondido", "");
    GravaBytes(d / "sub/b.txt", "");
    GravaBytes(d / "sub/fundo/c", "");
#ifndef _WIN32
    // A "." directory is hidden only on POSIX; FIFOs exist only there.
    CriaDir(d / ".oculto");
    GravaBytes(d / ".oculto/d", "");
    ASSERT_EQ(mkfifo((d / "fila").c_str(), 0600), 0);
#endif

    TLinhas raso;
    ListaArquivos(d.Caminho(), raso, false);
    EXPECT_EQ(Ordenado(raso), Ordenado({d / ".escondido", d / "a.001"}));

    TLinhas fundo;
    std::string semBarra = d.Caminho();
    semBarra.pop_back();
    ListaArquivos(semBarra, fundo, true);
    ASSERT_EQ(fundo.size(), 4u);
    // Depth first: what the sub-directories hold comes before the own files.
    EXPECT_EQ(fundo[0], d / "sub/fundo/c");
    EXPECT_EQ(fundo[1], d / "sub/b.txt");
    EXPECT_EQ(Ordenado({fundo[2], fundo[3]}), Ordenado({d / ".escondido", d / "a.001"}));

    // The list is only appended to.
    TLinhas acumulada{"antes"};
    ListaArquivos(d / "sub", acumulada, false);
    EXPECT_EQ(acumulada, (TLinhas{"antes", d / "sub/b.txt"}));
}

TEST(Listagem, DiretorioInexistenteNaoListaNadaNemFalha) {
    TLinhas l;
    EXPECT_NO_THROW(ListaArquivos("/nao/existe/mesmo", l, true));
    EXPECT_TRUE(l.empty());
    EXPECT_TRUE(ListaSubdiretorios("/nao/existe/mesmo").empty());
    EXPECT_THROW(ListaArquivosMascara("/nao/existe/mesmo", "*.*"), EInOutError);
    try {
        ListaArquivosMascara("/nao/existe/mesmo", "*.*");
    } catch (const EInOutError& e) {
#ifdef _WIN32
        // ERROR_PATH_NOT_FOUND, which has no words of its own.
        EXPECT_EQ(e.Message(), "I/O error 3");
#else
        EXPECT_EQ(e.Message(), "File not found");
#endif
    }
}

TEST(Listagem, MascarasSemDiferencaDeCaixaRepetemNomesCasadosDuasVezes) {
    TDiretorioTemporario d;
    GravaBytes(d / "A.TXT", "");
    GravaBytes(d / "b.txt", "");
    GravaBytes(d / "c.dat", "");
    GravaBytes(d / "semponto", "");
    EXPECT_EQ(Ordenado(ListaArquivosMascara(d.Caminho(), "*.txt")), (TLinhas{"A.TXT", "b.txt"}));
    EXPECT_EQ(Ordenado(ListaArquivosMascara(d.Caminho(), "*.*")), (TLinhas{"A.TXT", "b.txt", "c.dat", "semponto"}));
    EXPECT_EQ(Ordenado(ListaArquivosMascara(d.Caminho(), "*.txt;b*")), (TLinhas{"A.TXT", "b.txt", "b.txt"}));
}

#ifndef _WIN32
TEST(Listagem, SocketsEDispositivosNaoSaoListados) {
    TDiretorioTemporario d;
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un end{};
    end.sun_family = AF_UNIX;
    const std::string caminho = d / "sock";
    ASSERT_LT(caminho.size(), sizeof end.sun_path);
    std::copy(caminho.begin(), caminho.end(), end.sun_path);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&end), sizeof end), 0);
    GravaBytes(d / "normal", "");
    EXPECT_EQ(ListaArquivosMascara(d.Caminho(), "*.*"), (TLinhas{"normal"}));
    close(s);
}
#endif

TEST(Listagem, JuntaCaminho) {
    EXPECT_EQ(JuntaCaminho("/tef/", "req"), "/tef/req");
    EXPECT_EQ(JuntaCaminho("/tef", "req"), "/tef/req");
}

// ---- texts ----------------------------------------------------------------------

// ---- putting a file in place -----------------------------------------------------------------

#ifndef _WIN32
// A temporary directory and one on another file system (/dev/shm is a tmpfs
// on Linux); the test is skipped when there is none.
struct SegundoSistemaDeArquivos : ::testing::Test {
    TDiretorioTemporario d;
    std::string outro;
    void SetUp() override {
        struct stat a{}, b{};
        if (stat(d.Caminho().c_str(), &a) != 0 || stat("/dev/shm", &b) != 0 || a.st_dev == b.st_dev)
            GTEST_SKIP() << "no second file system (/dev/shm) here";
        char modelo[] = "/dev/shm/tef-teste-XXXXXX";
        if (!mkdtemp(modelo)) GTEST_SKIP() << "cannot write into /dev/shm";
        outro = std::string(modelo) + "/";
    }
    void TearDown() override {
        if (!outro.empty()) RemoveArvore(outro);
    }
};

// A staging copy with the content, put in place of the target.
void PoeNoLugar(const std::string& diretorio, const std::string& nome, const std::string& conteudo,
                const std::string& destino) {
    TArquivoDeTrabalho t(diretorio, nome);
    t.Escreve(conteudo);
    t.PoeNoLugar(destino);
}

TEST_F(SegundoSistemaDeArquivos, PoeNoLugarMesmoOuOutroSistemaDeArquivosSemCopiaParcialNemSobra) {
    for (const std::string& destinoDir : {d.Caminho(), outro}) {
        SCOPED_TRACE(destinoDir);
        GravaBytes(destinoDir + "intpos.001", "velho\r\n");
        PoeNoLugar(d.Caminho(), "novo.tef", "novo\r\n", destinoDir + "intpos.001");
        EXPECT_EQ(LeBytes(destinoDir + "intpos.001"), "novo\r\n");
        EXPECT_FALSE(Existe(d / "novo.tef"));
        EXPECT_FALSE(Existe(destinoDir + ".novo.tef")) << "the hidden copy was renamed";
    }
    // A target that cannot be replaced: the error names it, nothing stays.
    CriaDir(outro + "ocupado");
    try {
        PoeNoLugar(d.Caminho(), "x.tef", "x\r\n", outro + "ocupado");
        ADD_FAILURE() << "no error";
    } catch (const EFCreateError& e) {
        EXPECT_EQ(e.Message().rfind("Cannot create file \"" + outro + "ocupado\". ", 0), 0u) << e.Message();
    }
    EXPECT_FALSE(Existe(d / "x.tef"));
    EXPECT_FALSE(Existe(outro + ".x.tef"));
}

TEST_F(SegundoSistemaDeArquivos, PoeNoLugarLeitorQueJaAbriuVeOArquivoVelhoInteiroEmOutroSistemaDeArquivos) {
    const std::string velho(100000, 'v');
    GravaBytes(outro + "intpos.001", velho);
    const int fd = open((outro + "intpos.001").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    PoeNoLugar(d.Caminho(), "n.tef", std::string(50, 'n'), outro + "intpos.001");
    std::string lido(200000, '\0');
    const ssize_t n = read(fd, lido.data(), lido.size());
    close(fd);
    EXPECT_EQ(std::string(lido.data(), static_cast<std::size_t>(n)), velho);
    EXPECT_EQ(LeBytes(outro + "intpos.001"), std::string(50, 'n'));
}
#endif

TEST(Apelido, OutroNomeParaOMesmoArquivo) {
    TDiretorioTemporario d;
    GravaBytes(d / "Ativo.001", "um\r\n");
    CriaApelido(d / "Ativo.001", d / "ativo.001");
    EXPECT_EQ(LeBytes(d / "ativo.001"), "um\r\n");
    // Replacing the file changes what both names show, at once.
    {
        TArquivoDeTrabalho t(d.Caminho(), "t");
        t.Escreve("dois\r\n");
        t.PoeNoLugar(d / "Ativo.001");
    }
    EXPECT_EQ(LeBytes(d / "ativo.001"), "dois\r\n");
#ifndef _WIN32
    // A stale name (a plain file, or a link to nothing) is replaced. Where
    // names ignore case there is no second name to go stale.
    ApagaArquivo(d / "ativo.001");
    GravaBytes(d / "ativo.001", "velho\r\n");
    CriaApelido(d / "Ativo.001", d / "ativo.001");
    EXPECT_EQ(LeBytes(d / "ativo.001"), "dois\r\n");
#endif
    // Without the file nothing is made.
    ApagaArquivo(d / "Ativo.001");
    ApagaArquivo(d / "ativo.001");
    CriaApelido(d / "Ativo.001", d / "ativo.001");
    EXPECT_FALSE(Existe(d / "ativo.001"));
    TLinhas sobras;
    ListaArquivos(d.Caminho(), sobras, false);
    EXPECT_TRUE(sobras.empty()) << "no hidden leftovers, e.g. " << (sobras.empty() ? "" : sobras[0]);
}

TEST(Textos, DivideNoSeparador) {
    const std::vector<std::tuple<std::string, std::string, TLinhas>> casos = {
        {"COMMAND_TEF\xA7" "close", "\xA7", {"COMMAND_TEF", "close"}},
        {"A\xA7\xA7" "B", "\xA7", {"A", "", "B"}},
        {"A\xA7" "B\xA7", "\xA7", {"A", "B"}},
        {"\xA7" "A", "\xA7", {"", "A"}},
        {"", "\xA7", {}},
        {"sem", "\xA7", {"sem"}},
        {"\xA7", "\xA7", {""}},
        {"a::b::", "::", {"a", "b"}},
        {"aXb", "x", {"aXb"}},
    };
    for (const auto& [texto, sep, itens] : casos) EXPECT_EQ(Divide(texto, sep), itens) << texto;
}

TEST(Textos, SubstituiTodosNaoReprocessaOTextoInserido) {
    EXPECT_EQ(SubstituiTodos("003-000 = 003-000 = 5", "003-000 = ", ""), "5");
    EXPECT_EQ(SubstituiTodos("#001##001#", "#001#", "#001#x"), "#001#x#001#x");
    EXPECT_EQ(SubstituiTodos("aaa", "aa", "b"), "ba");
    EXPECT_EQ(SubstituiTodos("abc", "", "x"), "abc");
}

TEST(Textos, AparaCaracteresDeControleEBrancos) {
    EXPECT_EQ(Apara(" \t\x01 1000 \x1F\r"), "1000");
    EXPECT_EQ(Apara("   "), "");
    EXPECT_EQ(Apara("a b"), "a b");
    EXPECT_EQ(Apara("\xA0x\xA0"), "\xA0x\xA0");  // 0xA0 is above 32
}

TEST(Textos, MaiusculasEMinusculasWindows1252) {
    EXPECT_EQ(MaiusculasAnsi("tefOrvexHomologa.exe \xE7\xE3\xF5\xFF\x9A\xDF\xF7\xB5"),
              "TEFORVEXHOMOLOGA.EXE \xC7\xC3\xD5\x9F\x8A\xDF\xF7\xB5");
    EXPECT_EQ(MinusculasAnsi(" CLOSE \xC7\xD7"), " close \xE7\xD7");
}

// ---- time ----------------------------------------------------------------------

TEST(Tempo, DataHoraCompactaComDoisDigitosCada) {
    EXPECT_EQ(DataHoraCompacta(TDataHora{2026, 3, 5, 9, 7, 2, 42}), "0503090702");
    EXPECT_EQ(DataHoraCompacta(TDataHora{2026, 12, 31, 23, 59, 59, 999}), "3112235959");
}

TEST(Tempo, DataHoraRegionalOmiteAHoraAMeiaNoite) {
    std::setlocale(LC_TIME, "C");
    EXPECT_EQ(DataHoraRegional(TDataHora{2026, 3, 5, 9, 7, 2, 0}), "03/05/26 09:07:02");
    EXPECT_EQ(DataHoraRegional(TDataHora{2026, 3, 5, 0, 0, 0, 500}), "03/05/26");
    EXPECT_EQ(DataHoraRegional(TDataHora{2026, 3, 5, 0, 0, 1, 0}), "03/05/26 00:00:01");
}

// ---- amounts ---------------------------------------------------------------------

struct CasoValor {
    std::string t;
    TCurrency esperado;  // ten-thousandths
};

TEST(Valores, RegraDoCampo003) {
    const std::vector<CasoValor> casos = {
        {"1000", 100000}, {"150", 15000}, {"50", 5000},   {"5", 5000},      {"0", 0},
        {"000", 0},       {"", 0},        {"10,00", 0},   {"10.00", 0},     {"-100", -10000},
        {"abc", 0},       {"+100", 10000}, {"-5", 0},     {"1E5", 1000000000}, {"12e", 0},
        {"1 00", 0},      {"007", 700},   {"9999999999999999", 999999999999999900},
    };
    for (const auto& c : casos) EXPECT_EQ(ValorDoTexto(c.t), c.esperado) << "t = " << c.t;
}

TEST(Valores, ConversaoArredondaEmpatesParaOPar) {
    const std::vector<std::pair<std::string, TCurrency>> casos = {
        {"0,00005", 0},      {"0,00015", 2},     {"0,00025", 2},      {"0,000250001", 3},
        {"-0,00015", -2},    {"1,23456", 12346}, {"0,00004999", 0},   {"2,5E-4", 2},
        {"1,5e-3", 15},      {"0", 0},           {",5", 5000},        {"5,", 50000},
        {"0000000000000000000000001", 10000},    {"1,0000000000000000000000001", 10000},
        {"922337203685477,5807", std::numeric_limits<TCurrency>::max()},
        {"-922337203685477,5808", std::numeric_limits<TCurrency>::min()},
    };
    for (const auto& [texto, esperado] : casos) {
        const auto v = TextoParaCurrency(texto);
        ASSERT_TRUE(v.has_value()) << texto;
        EXPECT_EQ(*v, esperado) << texto;
    }
}

TEST(Valores, ForaDaFaixaOuInvalidoNaoTemValorENuncaEPositivo) {
    for (const char* texto : {"922337203685477,5808", "1E400", "99999999999999999999999", "1E99999999999",
                              ",", "", "+", "-", "1,2,3", "1e", "1e+", " 1", "1,5x"}) {
        EXPECT_FALSE(TextoParaCurrency(texto).has_value()) << texto;
    }
    EXPECT_EQ(TextoParaCurrency("0E99999999"), TCurrency{0});
    EXPECT_EQ(TextoParaCurrency("1E-99999999"), TCurrency{0});
    // More than 17 digits of cents: out of range, so the sale counts as zero.
    EXPECT_EQ(ValorDoTexto("123456789012345678901234"), 0);
    EXPECT_EQ(ValorDoTexto("-92233720368547758080000"), 0);
}

}  // namespace

namespace {

// ---- the operator's words ------------------------------------------------------------

TEST(Mensagens, ConselhoDeAcessoConformeDonoGrupoEModo) {
    using mensagens::TAcesso;
    struct Caso {
        const char* nome;
        plataforma::TDono dono;
        TAcesso acesso;
        bool diretorio;
        std::string esperado;
    };
    const std::string f = "/etc/orvex/tef.reg", d = "/opt/tef/resp/";
    const std::string sessao = " e entre de novo na sess\xE3o.";
    const std::vector<Caso> casos = {
        {"the group may read: join it", {"root", "tef", 0640}, TAcesso::Leitura, false,
         "Inclua maria no grupo tef (sudo adduser maria tef)" + sessao},
        {"0600: joining cannot help", {"root", "tef", 0600}, TAcesso::Leitura, false,
         "S\xF3 o administrador (root) pode dar a leitura ao grupo tef: sudo chmod 640 " + f +
             "; depois inclua maria no grupo tef (sudo adduser maria tef)" + sessao},
        {"root's group is never the answer", {"root", "root", 0640}, TAcesso::Leitura, false,
         "S\xF3 o administrador (root) pode dar a leitura ao grupo tef: sudo chgrp tef " + f + " && sudo chmod 640 " + f +
             "; depois inclua maria no grupo tef (sudo adduser maria tef)" + sessao},
        {"another user's file", {"joao", "caixa", 0600}, TAcesso::Leitura, false,
         "S\xF3 o dono, joao, ou o root, pode dar a leitura ao grupo caixa: chmod 640 " + f +
             "; depois inclua maria no grupo caixa (sudo adduser maria caixa)" + sessao},
        {"the user's own file", {"maria", "maria", 0200}, TAcesso::Leitura, false,
         "D\xEA a si mesmo a leitura: chmod u+r " + f + "."},
        {"a directory the group may write", {"root", "tef", 02770}, TAcesso::Gravacao, true,
         "Inclua maria no grupo tef (sudo adduser maria tef)" + sessao},
        {"a directory the group may not write", {"root", "tef", 02750}, TAcesso::Gravacao, true,
         "S\xF3 o administrador (root) pode dar a grava\xE7\xE3o ao grupo tef: sudo chmod 2770 " + d +
             "; depois inclua maria no grupo tef (sudo adduser maria tef)" + sessao},
    };
    for (const auto& c : casos) {
        const std::string& alvo = c.diretorio ? d : f;
        EXPECT_EQ(mensagens::ConselhoDeAcesso("maria", c.dono, alvo, c.acesso, c.diretorio), c.esperado) << c.nome;
    }
}

TEST(Mensagens, OperadorLeOTextoTecnicoEmPalavras) {
    auto cheio = std::make_shared<EFCreateError>("Cannot create file \"/opt/tef/resp/intpos.001\". x", "x");
    cheio->Codigo = static_cast<int>(plataforma::ErroSemEspaco());
    auto ja = std::make_shared<EConvertError>("'quarenta' is not a valid integer value");
    ja->ParaOOperador = "pronto";
    const std::vector<std::pair<std::shared_ptr<Exception>, std::string>> casos = {
        {cheio, "N\xE3o foi poss\xEDvel gravar o arquivo /opt/tef/resp/intpos.001: n\xE3o h\xE1 espa\xE7o livre no disco (" +
                    plataforma::TextoDoErro(plataforma::ErroSemEspaco()) + ")."},
        {std::make_shared<EConvertError>("'quarenta' is not a valid integer value"), "\"quarenta\" n\xE3o \xE9 um n\xFAmero inteiro."},
        {ja, "pronto"},
        {std::make_shared<ERegistryException>("Failed to get data for 'Lojcodigo'"),
         "O valor Lojcodigo (o c\xF3" "digo da loja) falta na configura\xE7\xE3o ou n\xE3o \xE9 um n\xFAmero (dword)."},
        {std::make_shared<ERegistryException>("Invalid data type for 'Url'"),
         "O valor Url (o endere\xE7o do sistema web) da configura\xE7\xE3o tem o tipo errado: deve ser um texto."},
        {std::make_shared<ERegistryException>("/etc/orvex/tef.reg:3: invalid dword 'zz'"),
         "O arquivo de configura\xE7\xE3o /etc/orvex/tef.reg tem um erro na linha 3: n\xFAmero dword inv\xE1lido 'zz'."},
        {std::make_shared<ERegistryException>("/etc/orvex/tef.reg: Permission denied"),
         "A configura\xE7\xE3o /etc/orvex/tef.reg n\xE3o pode ser usada: permiss\xE3o negada (Permission denied)."},
        {std::make_shared<ERegistryException>("/etc/orvex/tef.reg: a symbolic link, not a regular file: the configuration "
                                              "store is only read from and written to a regular file"),
         "A configura\xE7\xE3o /etc/orvex/tef.reg n\xE3o pode ser usada: \xE9 uma liga\xE7\xE3o simb\xF3lica, n\xE3o um "
         "arquivo comum: o armaz\xE9m s\xF3 \xE9 lido e gravado num arquivo comum; apague-o e configure de novo."},
        {std::make_shared<Exception>("Um texto qualquer"), ""},
    };
    for (const auto& [e, esperado] : casos) EXPECT_EQ(mensagens::ParaOOperador(*e), esperado) << e->Message();
}

}  // namespace

#ifndef _WIN32
namespace {

// argv[0] matters on POSIX only: Windows names the module itself.
TEST(Executavel, CaminhoComoInvocadoAbsolutoSemResolverLinks) {
    TDiretorioTemporario d;
    CriaDir(d / "bin");
    GravaBytes(d / "bin/programa", "#!/bin/sh\n");
    ASSERT_EQ(chmod((d / "bin/programa").c_str(), 0755), 0);
    ASSERT_EQ(symlink((d / "bin/programa").c_str(), (d / "bin/atalho").c_str()), 0);
    char antes[4096];
    ASSERT_NE(getcwd(antes, sizeof antes), nullptr);
    ASSERT_EQ(chdir(d.Caminho().c_str()), 0);
    const char* pathAntes = getenv("PATH");
    const std::string pathGuardado = pathAntes ? pathAntes : "";
    setenv("PATH", ("/nao/existe:" + d / "bin").c_str(), 1);
    const std::vector<std::pair<std::string, std::string>> casos = {
        {"./bin/programa", d / "bin/programa"},
        {"bin//./programa", d / "bin/programa"},
        {d / "bin/atalho", d / "bin/atalho"},   // the link itself, not its target
        {"programa", d / "bin/programa"},       // found through PATH
        {"atalho", d / "bin/atalho"},
    };
    for (const auto& [argv0, esperado] : casos) EXPECT_EQ(CaminhoDoExecutavel(argv0.c_str()), esperado) << argv0;
    setenv("PATH", pathGuardado.c_str(), 1);
    ASSERT_EQ(chdir(antes), 0);
}

}  // namespace
#endif
