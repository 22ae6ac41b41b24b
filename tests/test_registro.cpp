#include "Ambiente.h"
#include "Registro.h"
#include "UsuarioComum.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>
#ifndef _WIN32
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using namespace std::string_literals;

class Registro : public ::testing::Test {
protected:
    void TearDown() override { TArmazemRegistro::AntesDeRenomear = nullptr; }

    // The exact message of the ERegistryException fn raises ("" if none).
    template <class F>
    static std::string Erro(F&& fn) {
        try {
            fn();
        } catch (const ERegistryException& e) {
            // The fixed message, then the cause where there is one.
            return e.Causa.empty() ? std::string(e.what()) : std::string(e.what()) + "\r\n" + e.Causa;
        }
        return "";
    }

    TDiretorioTemporario dir;
    const std::string store = dir / "tef.reg";
};

// A file in the form this store writes, so a rewrite must reproduce it.
const std::string kCanonico =
    "REGEDIT4\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Software]\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\ORVEX]\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\ORVEX\\TEF]\r\n"
    "@=\"padr\xe3o\"\r\n"
    "\"Url\"=\"https://example/\"\r\n"
    "\"Aspas \\\"e\\\" \\\\barra\"=\"C:\\\\TEF\\\\\\\"x\\\"\"\r\n"
    "\"Lojcodigo\"=dword:0000002a\r\n"
    "\"Expand\"=hex(2):25,50,41,54,48,25,00\r\n"
    "\"Bin\"=hex:01,02\r\n"
    "\"Vazio\"=hex:\r\n"
    "\"Multi\"=hex(7):61,00,00,00\r\n"
    "\"Qword\"=hex(b):01,00,00,00,00,00,00,80\r\n"
    "\"Controle\"=hex(1):41,09,42,0d,0a,00\r\n"
    "\"SemNul\"=hex(1):41,42\r\n"
    "\"Curto\"=hex(4):01,02\r\n"
    "\"Nenhum\"=hex(0):\r\n"
    "\"Grande\"=hex(ffff0000):ff\r\n"
    "\"A\xe7\xe3o\"=\"\x80\xff\xe9\"\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\mozilla.org]\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\mozilla.org\\GRE]\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\mozilla.org\\GRE\\1.9.1.7]\r\n"
    "\"GreHome\"=\"/opt/tef/mozembed\"\r\n"
    "\r\n";

TEST_F(Registro, EveryFormReadsAndSurvivesARewriteByteForByte) {
    GravaBytes(store, kCanonico);
    TRegistry reg(store);
    ASSERT_TRUE(reg.OpenKey("Software\\ORVEX\\TEF", false));
    reg.WriteString("Novo", "x");

    std::string esperado = kCanonico;
    const std::string ultimo = "\"A\xe7\xe3o\"=\"\x80\xff\xe9\"\r\n";
    esperado.insert(esperado.find(ultimo) + ultimo.size(), "\"Novo\"=\"x\"\r\n");
    EXPECT_EQ(LeBytes(store), esperado);

    const struct {
        std::string nome;
        std::uint32_t tipo;
        std::string dados;
    } casos[] = {
        {"", REG_SZ, "padr\xe3o\0"s},
        {"Url", REG_SZ, "https://example/\0"s},
        {"Aspas \"e\" \\barra", REG_SZ, "C:\\TEF\\\"x\"\0"s},
        {"Lojcodigo", REG_DWORD, "\x2a\0\0\0"s},
        {"Expand", REG_EXPAND_SZ, "%PATH%\0"s},
        {"Bin", REG_BINARY, "\x01\x02"},
        {"Vazio", REG_BINARY, ""},
        {"Multi", REG_MULTI_SZ, "a\0\0\0"s},
        {"Qword", 0xb, "\x01\0\0\0\0\0\0\x80"s},
        {"Controle", REG_SZ, "A\tB\r\n\0"s},
        {"SemNul", REG_SZ, "AB"},
        {"Curto", REG_DWORD, "\x01\x02"},
        {"Nenhum", REG_NONE, ""},
        {"Grande", 0xffff0000, "\xff"},
        {"A\xe7\xe3o", REG_SZ, "\x80\xff\xe9\0"s},
    };
    TArmazemRegistro armazem(store);
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        auto v = armazem.LeValor("SOFTWARE\\orvex\\tef", c.nome);
        ASSERT_TRUE(v.has_value());
        EXPECT_EQ(v->tipo, c.tipo);
        EXPECT_EQ(v->dados, c.dados);
    }
    EXPECT_EQ(armazem.LeValor("Software\\mozilla.org\\GRE\\1.9.1.7", "GreHome")->dados, "/opt/tef/mozembed\0"s);
}

TEST_F(Registro, ToleratesLfCommentsContinuationsAndImpliedParents) {
    GravaBytes(store,
               "REGEDIT4\n"
               "; written by hand\n"
               "\n"
               "[HKEY_LOCAL_MACHINE\\Software\\ORVEX\\TEF]\n"
               "\"Lojcodigo\" = dword:2a\n"
               "\"Bin\"=HEX:01,\\\n"
               "     02\n"
               "  \"Expand\"=hex(2):25,50,41,54,48,\\\n"
               "  25,00\n"
               "\"LOJCODIGO\"=dword:2b\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\mozilla.org\\GRE\\1.9.1.7]\n"
               "\"GreHome\"=\"/opt/tef/mozembed\"");
    TRegistry reg(store);
    EXPECT_TRUE(reg.KeyExists("Software\\mozilla.org\\GRE"));
    ASSERT_TRUE(reg.OpenKey("\\Software\\ORVEX\\TEF", false));
    reg.WriteString("Novo", "x");
    EXPECT_EQ(LeBytes(store),
              "REGEDIT4\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\Software]\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\ORVEX]\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\ORVEX\\TEF]\r\n"
              "\"Lojcodigo\"=dword:0000002b\r\n"  // a repeated name: last data, first spelling
              "\"Bin\"=hex:01,02\r\n"
              "\"Expand\"=hex(2):25,50,41,54,48,25,00\r\n"
              "\"Novo\"=\"x\"\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\mozilla.org]\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\mozilla.org\\GRE]\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\Software\\mozilla.org\\GRE\\1.9.1.7]\r\n"
              "\"GreHome\"=\"/opt/tef/mozembed\"\r\n\r\n");
}

TEST_F(Registro, ValuesWrittenThroughTheApiKeepTypeAndBytes) {
    const struct {
        std::string nome;
        std::uint32_t tipo;
        std::string dados;
    } casos[] = {
        {"", REG_SZ, "padr\xe3o\0"s},
        {"Nome \"com\" \\ e \xc7", REG_SZ, "a\"b\\c\0"s},
        {"CrLf", REG_SZ, "linha1\r\nlinha2\0"s},
        {"NulNoMeio", REG_SZ, "a\0b\0"s},
        {"SemNul", REG_SZ, "abc"},
        {"ZeroBytes", REG_SZ, ""},
        {"Dword", REG_DWORD, "\xff\xff\xff\xff"},
        {"DwordCurto", REG_DWORD, "\x01\x02"},
        {"DwordLongo", REG_DWORD, "\x01\x02\x03\x04\x05"},
        {"Binario", REG_BINARY, "\0\xff\x0a"s},
        {"Multi", REG_MULTI_SZ, "um\0dois\0\0"s},
        {"Estranho", 0xffffffff, "z"},
    };
    TArmazemRegistro armazem(store);
    ASSERT_TRUE(armazem.CriaChave("K"));
    for (const auto& c : casos) armazem.GravaValor("K", c.nome, c.tipo, c.dados);
    armazem.GravaValor("K", "Depois", REG_SZ, "rewrite\0"s);
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        auto v = armazem.LeValor("k", c.nome);
        ASSERT_TRUE(v.has_value());
        EXPECT_EQ(v->tipo, c.tipo);
        EXPECT_EQ(v->dados, c.dados);
    }

    // Plain forms wherever the data allows them, hex(N) otherwise.
    const std::string texto = LeBytes(store);
    for (const char* linha : {"@=\"padr\xe3o\"\r\n", "\"Nome \\\"com\\\" \\\\ e \xc7\"=\"a\\\"b\\\\c\"\r\n",
                              "\"Dword\"=dword:ffffffff\r\n", "\"DwordCurto\"=hex(4):01,02\r\n",
                              "\"CrLf\"=hex(1):6c,69,6e,68,61,31,0d,0a,", "\"ZeroBytes\"=hex(1):\r\n",
                              "\"Estranho\"=hex(ffffffff):7a\r\n"})
        EXPECT_NE(texto.find(linha), std::string::npos) << linha;
}

TEST_F(Registro, StoreRefusesWhatTheFileCannotHold) {
    TArmazemRegistro armazem(store);
    EXPECT_EQ(Erro([&] { armazem.GravaValor("Falta", "x", REG_SZ, "y\0"s); }), store + ": key 'Falta' does not exist");
    armazem.CriaChave("K");
    EXPECT_EQ(Erro([&] { armazem.GravaValor("K", "a\nb", REG_SZ, "y\0"s); }), store + ": invalid value name 'a\nb'");
    EXPECT_EQ(Erro([&] { armazem.ApagaChave("\\"); }), store + ": the root key cannot be removed");
    EXPECT_FALSE(armazem.LeValor("K", "a\nb").has_value());
}

TEST_F(Registro, NamesAreCaseInsensitiveAndKeepTheirFirstSpelling) {
    TRegistry reg(store);
    ASSERT_TRUE(reg.OpenKey("Software\\Orvex\\Configura\xe7\xe3o", true));
    EXPECT_TRUE(reg.KeyExists("\\SOFTWARE\\ORVEX\\CONFIGURA\xc7\xc3O"));
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\ORVEX\\Nova", true));
    ASSERT_TRUE(reg.OpenKey("\\software\\orvex", false));
    EXPECT_EQ(reg.GetKeyNames(), (std::vector<std::string>{"Configura\xe7\xe3o", "Nova"}));

    ASSERT_TRUE(reg.OpenKey("Nova", false));
    reg.WriteString("Url", "a");
    reg.WriteString("URL", "b");
    reg.WriteString("A\xe7\xe3o", "1");
    reg.WriteString("A\xc7\xc3O", "2");
    EXPECT_EQ(reg.ReadString("url"), "b");
    EXPECT_EQ(reg.ReadString("a\xe7\xe3o"), "2");

    const std::string texto = LeBytes(store);
    EXPECT_NE(texto.find("[HKEY_LOCAL_MACHINE\\Software\\Orvex\\Nova]\r\n\"Url\"=\"b\"\r\n\"A\xe7\xe3o\"=\"2\"\r\n\r\n"),
              std::string::npos)
        << texto;
    EXPECT_EQ(texto.find("URL"), std::string::npos);
}

TEST_F(Registro, ReadingRules) {
    const std::string inval = "Invalid data type for 'Lojcodigo'";
    const std::string falha = "Failed to get data for 'Lojcodigo'";
    const struct {
        const char* caso;
        std::optional<TValorRegistro> valor;
        std::string texto, erroTexto;
        std::int32_t inteiro;
        std::string erroInteiro;
    } casos[] = {
        {"absent", std::nullopt, "", "", 0, falha},
        {"empty text", TValorRegistro{REG_SZ, ""}, "", "", 0, inval},
        {"empty binary", TValorRegistro{REG_BINARY, ""}, "", "", 0, inval},
        {"text of 4 bytes", TValorRegistro{REG_SZ, "123\0"s}, "123", "", 0, inval},
        {"text of 5 bytes", TValorRegistro{REG_SZ, "1234\0"s}, "1234", "", 0, falha},
        {"expand not expanded", TValorRegistro{REG_EXPAND_SZ, "%PATH%\0"s}, "%PATH%", "", 0, falha},
        {"NUL ends the text", TValorRegistro{REG_SZ, "ab\0cd\0"s}, "ab", "", 0, falha},
        {"text without NUL", TValorRegistro{REG_SZ, "abc"}, "abc", "", 0, inval},
        {"dword all ones", TValorRegistro{REG_DWORD, "\xff\xff\xff\xff"}, "", inval, -1, ""},
        {"dword 42", TValorRegistro{REG_DWORD, "\x2a\0\0\0"s}, "", inval, 42, ""},
        {"dword sign bit", TValorRegistro{REG_DWORD, "\0\0\0\x80"s}, "", inval, INT32_MIN, ""},
        {"dword of 2 bytes", TValorRegistro{REG_DWORD, "\x01\x02"}, "", inval, 0x0201, ""},
        {"dword of 5 bytes", TValorRegistro{REG_DWORD, "\x01\0\0\0\0"s}, "", inval, 0, falha},
        {"binary", TValorRegistro{REG_BINARY, "\x01"}, "", inval, 0, inval},
        {"multi", TValorRegistro{REG_MULTI_SZ, "a\0\0"s}, "", inval, 0, inval},
    };
    TArmazemRegistro armazem(store);
    TRegistry reg(store);
    ASSERT_TRUE(reg.OpenKey("Software\\ORVEX\\TEF", true));
    for (const auto& c : casos) {
        SCOPED_TRACE(c.caso);
        armazem.ApagaValor("Software\\ORVEX\\TEF", "Lojcodigo");
        if (c.valor) armazem.GravaValor("Software\\ORVEX\\TEF", "Lojcodigo", c.valor->tipo, c.valor->dados);

        EXPECT_EQ(reg.ValueExists("LOJCODIGO"), c.valor.has_value());
        EXPECT_EQ(Erro([&] { EXPECT_EQ(reg.ReadString("Lojcodigo"), c.texto); }), c.erroTexto);
        EXPECT_EQ(Erro([&] { EXPECT_EQ(reg.ReadInteger("Lojcodigo"), c.inteiro); }), c.erroInteiro);
    }
}

TEST_F(Registro, WritersStoreTheirTypesAndNoOpenKeyIsHandled) {
    TRegistry reg(store);
    EXPECT_EQ(reg.ReadString("Url"), "");
    EXPECT_EQ(Erro([&] { reg.ReadInteger("Porta"); }), "Failed to get data for 'Porta'");
    EXPECT_EQ(Erro([&] { reg.WriteString("Url", "x"); }).rfind("Failed to set data for 'Url'\r\n", 0), 0u);
    try {
        reg.WriteString("Url", "x");
    } catch (const ERegistryException& e) {
        EXPECT_STREQ(e.what(), "Failed to set data for 'Url'") << "the message is the fixed text alone";
        EXPECT_FALSE(e.Causa.empty());
    }
    EXPECT_FALSE(reg.ValueExists("Url"));
    EXPECT_TRUE(reg.GetKeyNames().empty());

    ASSERT_TRUE(reg.OpenKey("K", true));
    reg.WriteString("Url", "https://x/");
    reg.WriteInteger("Porta", -2);
    reg.WriteExpandString("Dir", "%HOME%");
    reg.WriteBinaryData("Chave", "\0\x01"s);
    TArmazemRegistro armazem(store);
    const struct {
        const char* nome;
        std::uint32_t tipo;
        std::string dados;
    } esperados[] = {{"Url", REG_SZ, "https://x/\0"s},
                     {"Porta", REG_DWORD, "\xfe\xff\xff\xff"},
                     {"Dir", REG_EXPAND_SZ, "%HOME%\0"s},
                     {"Chave", REG_BINARY, "\0\x01"s}};
    for (const auto& e : esperados) {
        SCOPED_TRACE(e.nome);
        EXPECT_EQ(reg.GetDataType(e.nome), e.tipo);
        EXPECT_EQ(reg.GetDataSize(e.nome), static_cast<int>(e.dados.size()));
        EXPECT_EQ(armazem.LeValor("K", e.nome)->dados, e.dados);
    }
    EXPECT_EQ(reg.ReadInteger("Porta"), -2);
    EXPECT_EQ(reg.ReadBinaryData("Chave"), "\0\x01"s);
    EXPECT_EQ(Erro([&] { reg.ReadBinaryData("Url"); }), "Invalid data type for 'Url'");
    EXPECT_EQ(reg.GetDataSize("Nada"), -1);
    EXPECT_TRUE(reg.DeleteValue("url"));
    EXPECT_FALSE(reg.DeleteValue("url"));
    EXPECT_FALSE(reg.ValueExists("Url"));
}

TEST_F(Registro, OpenKeyGetKeyNamesAndDeleteKey) {
    TRegistry reg(store);
    EXPECT_FALSE(reg.OpenKey("A\\B", false));
    EXPECT_FALSE(Existe(store)) << "looking a key up must not create the store";

    ASSERT_TRUE(reg.OpenKey("A\\B\\C", true));
    EXPECT_EQ(reg.CurrentPath(), "A\\B\\C");
    ASSERT_TRUE(reg.OpenKey("D", true));
    EXPECT_EQ(reg.CurrentPath(), "A\\B\\C\\D");
    reg.WriteString("Valor", "1");
    EXPECT_FALSE(reg.OpenKey("Nada", false));
    EXPECT_EQ(reg.CurrentPath(), "A\\B\\C\\D") << "a failed open keeps the open key";
    EXPECT_TRUE(reg.KeyExists("\\A\\B"));
    EXPECT_FALSE(reg.KeyExists("A\\B")) << "relative to the open key";

    // A new key goes right after its parent's sub-tree, not at the end.
    ASSERT_TRUE(reg.OpenKey("\\Z", true));
    ASSERT_TRUE(reg.OpenKey("\\A\\Bx", true));
    ASSERT_TRUE(reg.OpenKey("\\A\\Y", true));
    ASSERT_TRUE(reg.OpenKey("\\A", false));
    EXPECT_EQ(reg.GetKeyNames(), (std::vector<std::string>{"B", "Bx", "Y"}));
    EXPECT_EQ(LeBytes(store),
              "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n\r\n[HKEY_LOCAL_MACHINE\\A\\B]\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\A\\B\\C]\r\n\r\n[HKEY_LOCAL_MACHINE\\A\\B\\C\\D]\r\n\"Valor\"=\"1\"\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\A\\Bx]\r\n\r\n[HKEY_LOCAL_MACHINE\\A\\Y]\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\Z]\r\n\r\n");

    EXPECT_FALSE(reg.DeleteKey(""));
    EXPECT_TRUE(reg.KeyExists("\\A")) << "an empty name does not delete the open key";
    EXPECT_TRUE(reg.DeleteKey("b"));
    EXPECT_FALSE(reg.DeleteKey("B"));
    EXPECT_EQ(reg.GetKeyNames(), (std::vector<std::string>{"Bx", "Y"})) << "a name sharing the prefix stays";
    EXPECT_FALSE(reg.KeyExists("\\A\\B\\C\\D"));
    ASSERT_TRUE(reg.OpenKey("\\A\\B\\C\\D", true));
    EXPECT_FALSE(reg.ValueExists("Valor")) << "values went with the deleted key";

    reg.CloseKey();
    EXPECT_EQ(reg.CurrentPath(), "");
    EXPECT_TRUE(reg.DeleteKey("A"));
    EXPECT_EQ(LeBytes(store), "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Z]\r\n\r\n");
}

TEST_F(Registro, ReadOnlyKeysAndKeysDeletedMeanwhileRefuseWrites) {
    TRegistry reg(store), outro(store);
    ASSERT_TRUE(reg.OpenKey("K", true));
    reg.WriteString("Url", "a");
    ASSERT_TRUE(outro.OpenKeyReadOnly("\\K"));
    EXPECT_EQ(outro.ReadString("Url"), "a");
    EXPECT_EQ(Erro([&] { outro.WriteString("Url", "b"); }).rfind("Failed to set data for 'Url'\r\n", 0), 0u);

    ASSERT_TRUE(outro.OpenKey("\\K", false));
    EXPECT_TRUE(outro.DeleteKey("\\K"));
    EXPECT_EQ(Erro([&] { reg.WriteInteger("Porta", 1); }),
              "Failed to set data for 'Porta'\r\n" + store + ": key 'K' does not exist");
    EXPECT_FALSE(reg.KeyExists("\\K")) << "a failed write must not bring the key back";
}

TEST_F(Registro, BrokenFileNamesFileAndLineAndIsNeverRewritten) {
    const std::string k = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n";
    const struct {
        std::string texto;
        int linha;
        std::string problema;
    } casos[] = {
        {"REGEDIT5\r\n", 1, "missing REGEDIT4 header"},
        {"REGEDIT4\r\n\r\n\"a\"=\"b\"\r\n", 3, "value line outside any key"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K\n", 2, "key line without closing ']'"},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\K]\n", 2, "key outside HKEY_LOCAL_MACHINE"},
        {"REGEDIT4\n[-HKEY_LOCAL_MACHINE\\K]\n", 2, "key removal lines are not supported"},
        {k + "\"a\"=\"b\n", 3, "unterminated quoted text"},
        {k + "\"a\"=\"b\" c\n", 3, "unexpected text after the value"},
        {k + "\"a\\q\"=\"b\"\n", 3, "invalid escape sequence '\\q'"},
        {k + "\"a\"=dword:123456789\n", 3, "invalid dword '123456789'"},
        {k + "\"a\"=hex:01,\\\n  02,zz\n", 3, "invalid hex byte 'zz'"},
        {k + "\"a\"=hex:01,\\\n  02\n\"b\"=-\n", 5, "value removal lines are not supported"},
        {k + "\"a\"=hex(zz):00\n", 3, "invalid hex(type) form"},
        {k + "\"a\" \"b\"\n", 3, "'=' expected after the value name"},
        {k + "a=b\n", 3, "line not understood"},
        {k + "\"a\"=str:x\n", 3, "unknown value data 'str:x'"},
        {k + "; c\r\n\r\n\"a\"=hex:1,,2\r\n", 5, "invalid hex byte ''"},
        {k + "REGEDIT4\n", 3, "repeated REGEDIT4 header"},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.texto);
        const std::string mensagem = store + ":" + std::to_string(c.linha) + ": " + c.problema;
        GravaBytes(store, "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\r\n");
        TRegistry reg(store);
        ASSERT_TRUE(reg.OpenKey("K", false));
        GravaBytes(store, c.texto);

        TArmazemRegistro armazem(store);
        EXPECT_EQ(Erro([&] { reg.ReadString("a"); }), mensagem);
        EXPECT_EQ(Erro([&] { reg.KeyExists("K"); }), mensagem);
        EXPECT_EQ(Erro([&] { reg.OpenKey("Nova", true); }), mensagem);
        EXPECT_EQ(Erro([&] { armazem.ApagaChave("K"); }), mensagem);
        EXPECT_EQ(Erro([&] { reg.WriteString("Url", "x"); }), "Failed to set data for 'Url'\r\n" + mensagem);
        EXPECT_EQ(LeBytes(store), c.texto);
    }
}

TEST_F(Registro, MissingOrEmptyFileIsAnEmptyRegistry) {
    TRegistry reg(store);
    EXPECT_FALSE(reg.KeyExists("K"));
    GravaBytes(store, " \r\n; nothing yet\r\n");
    EXPECT_FALSE(reg.KeyExists("K"));
    ASSERT_TRUE(reg.OpenKey("K", true));
    EXPECT_EQ(LeBytes(store), "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\r\n");
}

TEST_F(Registro, UnreadableStoreIsAnErrorNamingTheFile) {
#ifndef _WIN32
    // Root reads files whatever their permissions: as an ordinary user.
    const std::string outro = dir / "fechado.reg";
    GravaBytes(outro, "REGEDIT4\r\n");
    chmod(outro.c_str(), 0);
    chmod(dir.Caminho().c_str(), 0755);
    std::string motivo;
    EXPECT_TRUE(ComoUsuarioComum(
        [&] {
            TRegistry fechado(outro);
            EXPECT_EQ(Erro([&] { fechado.KeyExists("K"); }), outro + ": " + std::strerror(EACCES));
        },
        motivo))
        << motivo;
#endif
}

#ifndef _WIN32
TEST_F(Registro, OnlyARegularFileIsReadOrWrittenAndNothingHangs) {
    // Root writes the store when a till is provisioned: whatever a member of
    // the group planted in its place is neither followed nor read.
    const std::string alvo = dir / "environment";
    const std::string conteudo = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\r\n";
    struct Caso {
        const char* nome;
        std::function<void()> planta;
        std::string erro;
    };
    const std::vector<Caso> casos = {
        {"a directory", [&] { CriaDir(store); }, "a directory, not a regular file"},
        {"a link to another file", [&] { ASSERT_EQ(symlink(alvo.c_str(), store.c_str()), 0); },
         "a symbolic link, not a regular file"},
        {"a link to /dev/zero", [&] { ASSERT_EQ(symlink("/dev/zero", store.c_str()), 0); }, "a symbolic link"},
        {"a FIFO", [&] { ASSERT_EQ(mkfifo(store.c_str(), 0600), 0); }, "a FIFO, socket or device, not a regular file"},
        {"a file of 2 MiB", [&] { GravaBytes(store, std::string(2 << 20, ';')); }, "larger than 1024 KiB"},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        RemoveArvore(store);
        GravaBytes(alvo, conteudo);
        c.planta();
        TRegistry reg(store);
        EXPECT_EQ(Erro([&] { reg.KeyExists("K"); }).rfind(store + ": " + c.erro, 0), 0u)
            << Erro([&] { reg.KeyExists("K"); });
        EXPECT_NE(Erro([&] { reg.OpenKey("Novo", true); }).find(c.erro), std::string::npos);
        EXPECT_EQ(LeBytes(alvo), conteudo) << "the target is untouched";
        EXPECT_FALSE(Existe(alvo + ".lock"));
        EXPECT_FALSE(Existe(alvo + ".tmp"));
    }
}

TEST_F(Registro, AMemberSavesInPlaceOverAnotherUsersStoreInAStickyDirectory) {
    // A sticky directory keeps members from replacing a store root owns;
    // they may still save over it, in place, when the group may write it.
    if (geteuid() != 0) GTEST_SKIP() << "needs a store of another user's: run as root";
    const std::string pasta = dir / "orvex";
    CriaDir(pasta);
    chmod(dir.Caminho().c_str(), 0755);
    const std::string arquivo = pasta + "/tef.reg";
    {
        TRegistry reg(arquivo);
        ASSERT_TRUE(reg.OpenKey("K", true));
        reg.WriteString("Url", "antigo");
    }
    chmod(arquivo.c_str(), 0666);
    chmod((arquivo + ".lock").c_str(), 0666);
    GravaBytes(arquivo + ".tmp", "sobra de uma escrita de outro usu\xE1rio");  // one it may not remove
    chmod(pasta.c_str(), 01777);
    struct stat antes {};
    ASSERT_EQ(stat(arquivo.c_str(), &antes), 0);
    const auto salvaComoMembro = [&](const std::string& url) {
        std::string motivo;
        EXPECT_TRUE(ComoUsuarioComum(
            [&] {
                TRegistry membro(arquivo);
                ASSERT_TRUE(membro.OpenKey("K", false));
                membro.WriteString("Url", url);
            },
            motivo))
            << motivo;
    };
    salvaComoMembro("novo");
    struct stat depois {};
    ASSERT_EQ(stat(arquivo.c_str(), &depois), 0);
    EXPECT_EQ(depois.st_ino, antes.st_ino) << "written in place";
    EXPECT_EQ(depois.st_uid, antes.st_uid) << "still its owner's";
    TRegistry reg(arquivo);
    ASSERT_TRUE(reg.OpenKey("K", false));
    EXPECT_EQ(reg.ReadString("Url"), "novo");
    // A shorter store is padded, never cut: no moment holds half of one.
    salvaComoMembro("n");
    struct stat curto {};
    ASSERT_EQ(stat(arquivo.c_str(), &curto), 0);
    EXPECT_EQ(curto.st_size, depois.st_size);
    EXPECT_EQ(reg.ReadString("Url"), "n");
}
#endif

TEST_F(Registro, UnwritableStoreFailsWithTheCauseAndKeepsTheFile) {
    // A regular file where a directory should be stops root too.
    CriaDir(dir / "sub");
    const std::string noSub = dir / "sub/tef.reg";
    TRegistry reg(noSub);
    ASSERT_TRUE(reg.OpenKey("K", true));
    RemoveArvore(dir / "sub");
    GravaBytes(dir / "sub", "not a directory");
    const std::string erro = Erro([&] { reg.WriteString("Url", "x"); });
    EXPECT_EQ(erro.rfind("Failed to set data for 'Url'\r\n" + noSub, 0), 0u) << erro;
#ifdef _WIN32
    // A file in the way of a path is ERROR_PATH_NOT_FOUND there.
    EXPECT_NE(erro.find(TextoDiretorioInexistente()), std::string::npos) << erro;
#else
    EXPECT_NE(erro.find(std::strerror(ENOTDIR)), std::string::npos) << erro;

    // Root writes into read-only directories: as an ordinary user, in a
    // directory that is not the user's.
    TRegistry outro(store);
    ASSERT_TRUE(outro.OpenKey("K", true));
    const std::string antes = LeBytes(store);
    chmod(store.c_str(), 0644);
    chmod(dir.Caminho().c_str(), 0755);
    std::string motivo;
    EXPECT_TRUE(ComoUsuarioComum(
        [&] {
            const std::string negado = Erro([&] { outro.WriteString("Url", "x"); });
            const std::string fresco = dir / "fresco.reg";
            const std::string semTrava = Erro([&] { TRegistry(fresco).OpenKey("K", true); });
            EXPECT_EQ(semTrava, fresco + ".lock: " + std::strerror(EACCES));
            EXPECT_EQ(negado.rfind("Failed to set data for 'Url'\r\n", 0), 0u) << negado;
            EXPECT_NE(negado.find(std::strerror(EACCES)), std::string::npos) << negado;
        },
        motivo))
        << motivo;
    EXPECT_EQ(LeBytes(store), antes);
#endif
}

#ifndef _WIN32
// File modes and the umask: POSIX only (on Windows the directory's access
// list is inherited).
TEST_F(Registro, PermissionsAndDirectoryOfTheStore) {
    // The store holds credentials: nothing of it is open to others, whatever
    // the umask; an existing store keeps its mode.
    struct Caso {
        mode_t umask;
        mode_t esperado;
    };
    for (const Caso c : {Caso{077, 0600}, Caso{022, 0640}, Caso{0, 0640}}) {
        SCOPED_TRACE("umask " + std::to_string(c.umask));
        const std::string novo = dir / ("orvex" + std::to_string(c.umask) + "/tef.reg");
        const mode_t anterior = umask(c.umask);
        TRegistry reg(novo);
        const bool abriu = reg.OpenKey("K", true);
        umask(anterior);
        ASSERT_TRUE(abriu);
        struct stat st {};
        ASSERT_EQ(stat(novo.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.esperado);
        ASSERT_EQ(stat((novo + ".lock").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07, 0u) << "the lock is not open to others";
    }
    const std::string novo = dir / "orvex18/tef.reg";
    TRegistry reg(novo);
    ASSERT_TRUE(reg.OpenKey("K", true));
    for (mode_t modo : {0600, 0644, 0660}) {
        chmod(novo.c_str(), modo);
        // The temporary copy is not open to others while it is written.
        TArmazemRegistro::AntesDeRenomear = [](const std::string& temporario) {
            struct stat t {};
            ASSERT_EQ(stat(temporario.c_str(), &t), 0);
            EXPECT_EQ(t.st_mode & 07777 & ~0664u, 0u);
        };
        reg.WriteString("Url", "x");
        TArmazemRegistro::AntesDeRenomear = nullptr;
        struct stat st {};
        ASSERT_EQ(stat(novo.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, modo) << "kept";
    }
}
#endif

TEST_F(Registro, DefaultPathComesFromTheEnvironment) {
    TVariavelAmbiente registro("TEF_REGISTRO", store.c_str());
    EXPECT_EQ(TArmazemRegistro::CaminhoPadrao(), store);
    EXPECT_EQ(TRegistry().Armazem().Descricao(), store);
    registro.Define(nullptr);
    EXPECT_EQ(TArmazemRegistro::CaminhoPadrao(), "/etc/orvex/tef.reg");
}

#ifndef _WIN32
// Other processes through fork: writers that race, and one killed mid-write.
TEST_F(Registro, ConcurrentWritersLoseNothing) {
    constexpr int kProcessos = 8, kVezes = 25;
    TRegistry reg(store);
    ASSERT_TRUE(reg.OpenKey("Conc", true));

    int largada[2];
    ASSERT_EQ(pipe(largada), 0);
    std::vector<pid_t> filhos;
    for (int p = 0; p < kProcessos; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(largada[1]);
            char c;
            ssize_t lido = read(largada[0], &c, 1);  // returns when the parent closes its end
            (void)lido;
            int rc = 0;
            try {
                TRegistry filho(store);
                if (!filho.OpenKey("\\Conc", false)) rc = 2;
                for (int i = 0; i < kVezes && rc == 0; ++i)
                    filho.WriteInteger("P" + std::to_string(p) + "_" + std::to_string(i), p * 1000 + i);
            } catch (...) {
                rc = 1;
            }
            _exit(rc);
        }
        filhos.push_back(pid);
    }
    close(largada[0]);
    close(largada[1]);
    for (pid_t pid : filhos) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    for (int p = 0; p < kProcessos; ++p)
        for (int i = 0; i < kVezes; ++i) {
            const std::string nome = "P" + std::to_string(p) + "_" + std::to_string(i);
            ASSERT_TRUE(reg.ValueExists(nome)) << nome;
            EXPECT_EQ(reg.ReadInteger(nome), p * 1000 + i);
        }
}

TEST_F(Registro, WriterKilledBeforeTheRenameLeavesThePreviousFile) {
    TRegistry reg(store);
    ASSERT_TRUE(reg.OpenKey("K", true));
    reg.WriteString("Antes", "1");
    const std::string antes = LeBytes(store);

    int canal[2];
    ASSERT_EQ(pipe(canal), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(canal[0]);
        TArmazemRegistro::AntesDeRenomear = [&](const std::string& temporario) {
            ssize_t n = write(canal[1], temporario.data(), temporario.size());
            (void)n;
            kill(getpid(), SIGKILL);
        };
        try {
            TRegistry filho(store);
            filho.OpenKey("\\K", false);
            filho.WriteString("Depois", "2");
        } catch (...) {
        }
        _exit(3);
    }
    close(canal[1]);
    std::string temporario;
    char bloco[256];
    for (ssize_t n; (n = read(canal[0], bloco, sizeof bloco)) > 0;) temporario.append(bloco, static_cast<size_t>(n));
    close(canal[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;

    EXPECT_EQ(LeBytes(store), antes);
    ASSERT_EQ(temporario.rfind(dir.Caminho(), 0), 0u) << temporario;
    EXPECT_NE(LeBytes(temporario).find("\"Depois\"=\"2\""), std::string::npos) << "hook ran before the text was complete";

    EXPECT_FALSE(reg.ValueExists("Depois"));
    reg.WriteString("Depois", "3");
    EXPECT_EQ(reg.ReadString("Antes"), "1");
    EXPECT_EQ(reg.ReadString("Depois"), "3");
}
#endif

}  // namespace
