// What differs on Windows, tested there (under Wine here): names found
// whatever their letter case, a request another program still holds open,
// replacing a file that a reader holds open, the system's registry with its
// value types and error texts, CR LF and Windows-1252 bytes, the printer
// port's name, the named mutex and the version resource.
#include "Gerente.h"
#include "Registro.h"
#include "UsuarioComum.h"

#include <gtest/gtest.h>
// Neither min/max macros nor the rarely used parts of the headers.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>

using componentes::TDialogoParametroVirtual;

namespace {

// Linux paths reach Windows programs under Wine through drive Z:.
std::string CaminhoWindows(const std::string& caminho) {
    return !caminho.empty() && caminho[0] == '/' ? "Z:" + caminho : caminho;
}

const std::u16string kVendaAprovada = u"000-000 = CRT\u00A7001-000 = #001#\u00A7003-000 = 0\u00A7009-000 = 0\u00A7999-999 = 0";

// A handle held open by "another program", with the sharing it allows.
struct TAberto {
    HANDLE h;
    TAberto(const std::string& caminho, DWORD acesso, DWORD partilha, DWORD disposicao = OPEN_EXISTING)
        : h(CreateFileA(caminho.c_str(), acesso, partilha, nullptr, disposicao, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~TAberto() { Fecha(); }
    void Fecha() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        h = INVALID_HANDLE_VALUE;
    }
    std::string LeTudo() {
        std::string r;
        char buf[4096];
        DWORD n = 0;
        while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) r.append(buf, n);
        return r;
    }
};

int Conta(const std::string& texto, const std::string& parte) {
    int n = 0;
    for (auto p = texto.find(parte); p != std::string::npos; p = texto.find(parte, p + 1)) ++n;
    return n;
}

struct Windows : ::testing::Test {
    TGerenteVirtual g;
    void SetUp() override {
        g.frm.FUrl = "http://loja.exemplo/";
        g.Inicia();
    }
    std::string Log() const { return Existe(g.B + "LogErro.txt") ? LeBytes(g.B + "LogErro.txt") : ""; }
};

// ---- names --------------------------------------------------------------------------------

TEST_F(Windows, NomesSemDiferencaDeCaixa) {
    for (const char* nome : {"INTPOS.001", "IntPos.001", "pdv3.001"}) {
        SCOPED_TRACE(nome);
        g.Pedido({"000-000 = ATV", std::string("001-000 = ") + nome}, nome);
        g.app.Avanca(1000);
        EXPECT_FALSE(Existe(g.B + "req/" + nome));
        EXPECT_NE(g.Resp("intpos.sts").find(nome), std::string::npos);
    }
    // The marker is found in any letter case, and stays one file: no second
    // name is made beside it where names ignore case.
    g.frm.GaranteAtivo();
    for (const char* nome : {"Ativo.001", "ativo.001", "ATIVO.001"})
        EXPECT_EQ(g.Resp(nome).substr(0, 15), "000-000 = TEF\r\n") << nome;
    TLinhas resp;
    ListaArquivos(g.B + "resp/", resp, false);
    EXPECT_EQ(std::count_if(resp.begin(), resp.end(),
                            [](const std::string& c) { return MaiusculasAnsi(c).find("ATIVO.001") != std::string::npos; }),
              1);
    g.frm.FormClose();
    EXPECT_FALSE(ArquivoExiste(g.B + "resp/ativo.001"));
}

// ---- a request still held by the commercial application ------------------------------------

TEST_F(Windows, PedidoAindaAbertoPorOutroProgramaELidoDepoisSemPerda) {
    g.Pedido({"000-000 = ATV", "001-000 = 31"});
    {
        // The commercial application is still writing it and lets nobody in.
        TAberto escritor(g.B + "req/intpos.001", GENERIC_WRITE, 0);
        ASSERT_NE(escritor.h, INVALID_HANDLE_VALUE);
        g.app.Avanca(5000);
        EXPECT_TRUE(Existe(g.B + "req/intpos.001")) << "kept for a later tick";
        EXPECT_FALSE(g.TemResp("intpos.sts"));
        EXPECT_EQ(Conta(Log(), "Cannot open file"), 1) << "reported once: " << Log();
    }
    g.app.Avanca(1500);
    EXPECT_FALSE(Existe(g.B + "req/intpos.001"));
    EXPECT_EQ(g.Resp("intpos.sts"), TextoLinhas({"000-000 = ATV", "001-000 = 31", "999-999 = 0"}));
}

// ---- replacing a file a reader holds open ---------------------------------------------------

TEST_F(Windows, SubstituicaoComUmLeitorAbertoNadaParcialNadaPerdido) {
    // Whatever the reader allows, it reads the old answer whole, and the new
    // one is there once it can be: at once where the system replaces a file
    // in use (Windows 10 and later, when the reader shares deletion), after
    // the reader closes otherwise (kept and written by a later tick).
    g.app.Avanca(2000);
    for (const DWORD partilha : {DWORD{FILE_SHARE_READ}, DWORD{FILE_SHARE_READ | FILE_SHARE_DELETE},
                                 DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE}}) {
        SCOPED_TRACE("reader sharing " + std::to_string(partilha));
        const std::string velho(100000, 'v');
        GravaBytes(g.B + "resp/intpos.001", velho);
        TAberto leitor(g.B + "resp/intpos.001", GENERIC_READ, partilha);
        ASSERT_NE(leitor.h, INVALID_HANDLE_VALUE);
        g.frm.FTefComercial = true;
        g.frm.FIdentificacao = std::to_string(partilha);
        g.frm.FValorTexto = "1000";
        TLinhas pagina{"000-000 = CRT", "001-000 = #001#", "003-000 = 0", "009-000 = 0", "999-999 = 0"};
        g.app.ExecutaHandler("tmCmdsTimer", [&] { g.frm.RespondeVenda(pagina); });
        EXPECT_EQ(leitor.LeTudo(), velho) << "the reader keeps the old answer, whole";
        g.app.Avanca(1000);
        leitor.Fecha();
        g.app.Avanca(600);
        EXPECT_TRUE(g.frm.FPendentes.empty());
        EXPECT_EQ(g.Resp("intpos.001"), TextoLinhas({"000-000 = CRT", "001-000 = " + std::to_string(partilha),
                                                     "003-000 = 1000", "009-000 = 0", "999-999 = 0"}));
        TLinhas sobras;
        ListaArquivos(g.B + "temp/", sobras, false);
        ListaArquivos(g.B + "resp/", sobras, false);
        EXPECT_TRUE(std::none_of(sobras.begin(), sobras.end(),
                                 [](const std::string& c) { return c.find("ArqTemp") != std::string::npos; }))
            << "no staging copy left";
        g.app.Avanca(1500);  // hidden again
    }
}

// ---- the system's registry ----------------------------------------------------------------

// A key of its own, so that running the tests on a till never touches its
// configuration.
const std::string kChave = "\\Software\\ORVEX\\TEF-teste";

struct Registro : ::testing::Test {
    TVariavelAmbiente semArquivo{"TEF_REGISTRO", std::nullopt};
    void SetUp() override { TArmazemNativo().ApagaChave(kChave); }
    void TearDown() override { TArmazemNativo().ApagaChave(kChave); }
    static std::string Erro(const std::function<void()>& f) {
        try {
            f();
        } catch (const ERegistryException& e) {
            return e.Message();
        }
        return "";
    }
};

TEST_F(Registro, OPadraoEORegistroDoSistema) {
    EXPECT_EQ(TRegistry().Armazem().Descricao(), "HKEY_LOCAL_MACHINE");
    TVariavelAmbiente arquivo("TEF_REGISTRO", "C:/tef.reg");
    EXPECT_EQ(TRegistry().Armazem().Descricao(), "C:/tef.reg") << "a store file when one is named";
}

TEST_F(Registro, TiposDeValorEOsTextosDeErro) {
    TRegistry reg;
    EXPECT_FALSE(reg.KeyExists(kChave));
    EXPECT_FALSE(reg.OpenKey(kChave, false)) << "a missing key";
    ASSERT_TRUE(reg.OpenKey(kChave, true));
    EXPECT_TRUE(reg.KeyExists(kChave));
    reg.WriteString("Url", "http://loja.exemplo/");
    reg.WriteExpandString("Caminho", "%TEMP%\\x");
    reg.WriteInteger("Lojcodigo", -1);
    reg.WriteBinaryData("Bin", std::string("\x01\x02", 2));

    EXPECT_EQ(reg.GetDataType("Url"), REG_SZ);
    EXPECT_EQ(reg.GetDataSize("Url"), 21) << "with its NUL";
    EXPECT_EQ(reg.ReadString("Url"), "http://loja.exemplo/");
    EXPECT_EQ(reg.GetDataType("Caminho"), REG_EXPAND_SZ);
    EXPECT_EQ(reg.ReadString("Caminho"), "%TEMP%\\x") << "read unexpanded";
    EXPECT_EQ(reg.GetDataType("Lojcodigo"), REG_DWORD);
    EXPECT_EQ(reg.ReadInteger("Lojcodigo"), -1);
    EXPECT_EQ(reg.ReadBinaryData("Bin"), std::string("\x01\x02", 2));

    // The reading rules, with the same texts as the store file's.
    EXPECT_EQ(reg.ReadString("Ausente"), "") << "a missing string value";
    EXPECT_EQ(Erro([&] { reg.ReadInteger("Ausente"); }), "Failed to get data for 'Ausente'");
    EXPECT_EQ(Erro([&] { reg.ReadString("Lojcodigo"); }), "Invalid data type for 'Lojcodigo'");
    EXPECT_EQ(Erro([&] { reg.ReadInteger("Url"); }), "Failed to get data for 'Url'") << "more than four bytes";
    reg.WriteString("Curta", "123");  // four bytes with its NUL
    EXPECT_EQ(Erro([&] { reg.ReadInteger("Curta"); }), "Invalid data type for 'Curta'");
    reg.WriteString("Vazia", "");
    EXPECT_EQ(reg.ReadString("Vazia"), "");

    // Names ignore letter case; sub-keys and removal.
    EXPECT_EQ(reg.ReadString("URL"), "http://loja.exemplo/");
    ASSERT_TRUE(reg.OpenKey(kChave + "\\Filha\\Neta", true));
    reg.CloseKey();
    ASSERT_TRUE(reg.OpenKey(kChave, false));
    EXPECT_EQ(reg.GetKeyNames(), std::vector<std::string>{"Filha"});
    EXPECT_TRUE(reg.DeleteKey(kChave + "\\Filha"));
    EXPECT_FALSE(reg.KeyExists(kChave + "\\Filha\\Neta"));
}

TEST_F(Registro, ConfiguracaoLidaEGravadaNoRegistro) {
    TGerenteVirtual g;
    g.frm.FChaveRegistro = kChave;
    // No key: the set-up loop, whose dialog saves into the registry.
    g.form.OperadorParametros = [](TDialogoParametroVirtual& d) {
        d.edtEmpresa().SetCaption("42");
        d.edtLogin().SetCaption("caixa");
        d.edtSenha().SetCaption("s\xEAnha&1");
        d.Configurar();
    };
    g.frm.CarregaParametros();
    ASSERT_FALSE(g.app.Mensagens.empty());
    EXPECT_EQ(g.app.Mensagens[0].texto, "O sistema n\xE3o foi parametrizado.");
    EXPECT_EQ(g.frm.FLojCodigo, 42);
    EXPECT_EQ(g.frm.FUsuLogin, "caixa");
    EXPECT_EQ(g.frm.FUsuSenha, "s\xEAnha&1");
    const auto senha = TArmazemNativo().LeValor(kChave, "Ususenha");
    ASSERT_TRUE(senha);
    EXPECT_EQ(senha->tipo, REG_SZ);
    EXPECT_EQ(senha->dados, Decifra("s\xEAnha&1") + '\0') << "in stored form";
    EXPECT_EQ(TArmazemNativo().LeValor(kChave, "Lojcodigo")->tipo, REG_DWORD);

    // Without "Lojcodigo" the load fails, naming the registry and the key.
    TArmazemNativo().ApagaValor(kChave, "Lojcodigo");
    try {
        g.frm.CarregaParametros();
        ADD_FAILURE() << "no error";
    } catch (const ERegistryException& e) {
        EXPECT_EQ(e.Message(), "Failed to get data for 'Lojcodigo'");
        EXPECT_NE(e.Causa.find("HKEY_LOCAL_MACHINE\\Software\\ORVEX\\TEF-teste"), std::string::npos) << e.Causa;
    }
}

TEST_F(Registro, RegistroDoNavegadorPeloProgramaDeRegistro) {
    const std::string gre = "\\SOFTWARE\\mozilla.org\\GRE\\1.9.1.7";
    TArmazemNativo().ApagaChave(gre);
    TDiretorioTemporario d;
    CriaDir(d / "mozembed");
    const std::string programa = d / "mozembed/xulrunner.exe";
    ASSERT_TRUE(CopyFileA(CaminhoWindows(TEF_XULRUNNER_EXE).c_str(), programa.c_str(), FALSE));
    EXPECT_TRUE(VerificaRegistroGre(d.Caminho())) << "not registered yet";
    ASSERT_TRUE(ExecutaEEspera(programa, "--register-global", 0));
    const auto casa = TArmazemNativo().LeValor(gre, "GreHome");
    ASSERT_TRUE(casa);
    EXPECT_EQ(casa->dados, d / "mozembed" + '\0');
    EXPECT_FALSE(VerificaRegistroGre(d.Caminho())) << "registered";
    TArmazemNativo().ApagaChave(gre);
    EXPECT_FALSE(ExecutaEEspera(d / "mozembed/nao-existe.exe", "", 0));
}

// ---- bytes --------------------------------------------------------------------------------

TEST_F(Windows, LinhasComCrLfEBytesWindows1252SemTraducao) {
    g.frm.GravaResposta("intpos.sts", {"000-000 = CRT", "030-000 = Transa\xE7\xE3o", "999-999 = 0"});
    EXPECT_EQ(g.Resp("intpos.sts"), "000-000 = CRT\r\n030-000 = Transa\xE7\xE3o\r\n999-999 = 0\r\n");
    GravaBytes(g.B + "x.txt", std::string("a\nb\rc\r\nd\x1A" "e", 11));  // Ctrl+Z is only a byte
    EXPECT_EQ(CarregaLinhas(g.B + "x.txt"), (TLinhas{"a", "b", "c", "d\x1A" "e"}));
    TVariavelAmbiente lpt("TEF_LPT1", (g.B + "impressora.txt").c_str());
    ImprimeLinhas(DispositivoImpressora(), {"CONCLU\xCD" "DA", ""});
    EXPECT_EQ(LeBytes(g.B + "impressora.txt"), "CONCLU\xCD" "DA\r\n\r\n");
}

// ---- the process ----------------------------------------------------------------------------

TEST(Processo, PortaDaImpressoraMutexNomeadoEVersao) {
    TVariavelAmbiente lpt("TEF_LPT1", std::nullopt);
    EXPECT_EQ(DispositivoImpressora(), "LPT1");
    TDiretorioTemporario d;
    EXPECT_TRUE(plataforma::TomaInstanciaUnica("Tef Marel teste", d.Caminho()));
    EXPECT_FALSE(plataforma::TomaInstanciaUnica("Tef Marel teste", d.Caminho())) << "the named mutex exists";
    TDiretorioTemporario outra;
    EXPECT_FALSE(plataforma::TomaInstanciaUnica("Tef Marel teste", outra.Caminho())) << "same title";
    EXPECT_EQ(VersaoArquivo(CaminhoWindows(TEF_COMERCIAL_EXE)), TEF_VERSAO_PROJETO);
    EXPECT_EQ(VersaoArquivo(d / "nada.exe"), "");
    EXPECT_EQ(CaminhoDoExecutavel(nullptr).find('\\'), std::string::npos) << "\"/\" separates, as everywhere";
}

}  // namespace
