// Configuration: cipher, loading (with homologation mode and the set-up loop)
// and the parameters dialog's logic, on the virtual layer with a real store.
#include "Gerente.h"
#include "Registro.h"
#include "Servidor.h"
#include "UsuarioComum.h"

#include <cstdlib>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

using componentes::TDialogoParametroVirtual;
using componentes::TipoMensagem;

namespace {

const std::string kChave = "\\Software\\ORVEX\\TEF";

TEST(Cifra, IdaEVoltaEmTodosOsBytes) {
    std::string todos;
    for (int b = 0; b < 256; ++b) todos += static_cast<char>(b);
    EXPECT_EQ(Cifra(Decifra(todos)), todos);
    EXPECT_EQ(Decifra(Cifra(todos)), todos);
    const std::string guardado = Decifra(todos);
    ASSERT_EQ(guardado.size(), 256u);
    for (int b = 0; b < 256; ++b)
        EXPECT_EQ(static_cast<unsigned char>(guardado[b]), (b + 256 - 13) % 256) << "byte " << b;
    EXPECT_EQ(Cifra(""), "");
    EXPECT_EQ(Decifra("a"), "T");
    EXPECT_EQ(Cifra("\xF9"), std::string("\x06"));
}

TEST(Cifra, DeslocamentoVemDaChaveQuandoEInteiroDe1a255) {
    const std::vector<std::pair<std::string, int>> casos = {
        {"mervo_talunisque", 13}, {"7", 7}, {"255", 255}, {"0", 13}, {"256", 13}, {"-3", 13}, {"$10", 16}, {"", 13},
    };
    for (const auto& [chave, s] : casos) EXPECT_EQ(DeslocamentoCifra(chave), s) << chave;
}

TEST(Inteiros, ConversaoDoCodigoDaLoja) {
    const std::vector<std::pair<std::string, std::optional<std::int32_t>>> casos = {
        {"42", 42},           {" 42", 42},         {"  -42", -42},    {"+7", 7},
        {"$2A", 42},          {"0x2A", 42},        {"0X2a", 42},      {"x2A", 42},
        {"X2A", 42},          {"-$2A", -42},       {"2147483647", 2147483647},
        {"-2147483648", std::numeric_limits<std::int32_t>::min()},
        {"42 ", std::nullopt}, {"", std::nullopt}, {" ", std::nullopt}, {"2147483648", std::nullopt},
        {"-2147483649", std::nullopt}, {"$", std::nullopt}, {"0x", std::nullopt}, {"4 2", std::nullopt},
        {"1e3", std::nullopt}, {"--1", std::nullopt}, {"$FFFFFFFF", std::nullopt}, {"99999999999999", std::nullopt},
    };
    for (const auto& [texto, esperado] : casos) {
        EXPECT_EQ(LeInteiro(texto), esperado) << "'" << texto << "'";
        if (!esperado) {
            try {
                StrToInt(texto);
                ADD_FAILURE() << "no error for '" << texto << "'";
            } catch (const EConvertError& e) {
                EXPECT_EQ(e.Message(), "'" + texto + "' is not a valid integer value");
            }
        }
    }
}

// ---- loading -------------------------------------------------------------------------------

struct Configuracao : ::testing::Test {
    TDiretorioTemporario loja;
    std::string store;
    // Both put back as they were at the end of each test.
    TVariavelAmbiente registro{"TEF_REGISTRO", nullptr};
    TVariavelAmbiente producao{"TEF_PRODUCAO", nullptr};
    std::unique_ptr<TGerenteVirtual> g;

    void SetUp() override {
        store = loja / "tef.reg";
        registro.Define(store.c_str());
        Novo();
    }
    void Novo(const std::string& sub = "") {
        g = std::make_unique<TGerenteVirtual>(sub);
        g->frm.FChaveRegistro = kChave;
    }
    void Grava(const std::string& nome, std::uint32_t tipo, const std::string& dados) {
        TArmazemRegistro a(store);
        a.CriaChave(kChave);
        a.GravaValor(kChave, nome, tipo, dados);
    }
    void Completa(const std::string& url, std::int32_t loja, const std::string& login, const std::string& senha) {
        TRegistry r(store);
        r.OpenKey(kChave, true);
        r.WriteString("Url", url);
        r.WriteInteger("Lojcodigo", loja);
        r.WriteString("Usulogin", Decifra(login));
        r.WriteString("Ususenha", Decifra(senha));
    }
    std::string ErroAoCarregar() {
        try {
            g->frm.CarregaParametros();
        } catch (const ERegistryException& e) {
            return e.Message();
        }
        return "";
    }
};

TEST_F(Configuracao, CarregaOsQuatroValores) {
    Completa("https://loja.exemplo/", 42, "operador", "s&nh\xE1 +%");
    g->frm.CarregaParametros();
    EXPECT_EQ(g->frm.FUrl, "https://loja.exemplo/");
    EXPECT_EQ(g->frm.FLojCodigo, 42);
    EXPECT_EQ(g->frm.FUsuLogin, "operador");
    EXPECT_EQ(g->frm.FUsuSenha, "s&nh\xE1 +%");
    EXPECT_TRUE(g->app.Mensagens.empty());
    EXPECT_TRUE(g->form.Administrao1.Enabled());
    EXPECT_FALSE(g->form.lblHomologa.Visible());
}

TEST_F(Configuracao, RegrasDeLeitura) {
    struct Caso {
        const char* nome;
        std::function<void(Configuracao&)> prepara;
        std::string erro;  // empty: loads
        std::function<void(TfrmPrincipal&)> confere;
    };
    const std::vector<Caso> casos = {
        {"valores ausentes: url vazia e falha no codigo",
         [](Configuracao& c) { TArmazemRegistro(c.store).CriaChave(kChave); },
         "Failed to get data for 'Lojcodigo'", [](TfrmPrincipal& f) { EXPECT_EQ(f.FUrl, ""); }},
        {"login e senha ausentes viram vazios",
         [](Configuracao& c) { c.Grava("Lojcodigo", REG_DWORD, std::string("\x05\0\0\0", 4)); }, "",
         [](TfrmPrincipal& f) {
             EXPECT_EQ(f.FUsuLogin, "");
             EXPECT_EQ(f.FUsuSenha, "");
             EXPECT_EQ(f.FLojCodigo, 5);
         }},
        {"dword com todos os bits le -1",
         [](Configuracao& c) { c.Grava("Lojcodigo", REG_DWORD, std::string("\xFF\xFF\xFF\xFF", 4)); }, "",
         [](TfrmPrincipal& f) { EXPECT_EQ(f.FLojCodigo, -1); }},
        {"codigo como texto de 4 bytes",
         [](Configuracao& c) { c.Grava("Lojcodigo", REG_SZ, std::string("123\0", 4)); },
         "Invalid data type for 'Lojcodigo'", nullptr},
        {"codigo como texto de 5 bytes",
         [](Configuracao& c) { c.Grava("Lojcodigo", REG_SZ, std::string("1234\0", 5)); },
         "Failed to get data for 'Lojcodigo'", nullptr},
        {"url de tipo errado",
         [](Configuracao& c) { c.Grava("Url", REG_BINARY, "\x01"); }, "Invalid data type for 'Url'", nullptr},
        {"url binaria vazia le vazio e segue",
         [](Configuracao& c) {
             c.Grava("Url", REG_BINARY, "");
             c.Grava("Lojcodigo", REG_DWORD, std::string("\x01\0\0\0", 4));
         },
         "", [](TfrmPrincipal& f) { EXPECT_EQ(f.FUrl, ""); }},
        {"REG_EXPAND_SZ sem expandir e NUL termina o texto",
         [](Configuracao& c) {
             c.Grava("Url", REG_EXPAND_SZ, std::string("%HOME%/x\0lixo\0", 14));
             c.Grava("Lojcodigo", REG_DWORD, std::string("\x01\0\0\0", 4));
         },
         "", [](TfrmPrincipal& f) { EXPECT_EQ(f.FUrl, "%HOME%/x"); }},
        {"senha de tipo errado depois do login",
         [](Configuracao& c) {
             c.Grava("Lojcodigo", REG_DWORD, std::string("\x01\0\0\0", 4));
             c.Grava("Usulogin", REG_SZ, Decifra("op") + std::string(1, '\0'));
             c.Grava("Ususenha", REG_DWORD, std::string("\x01\0\0\0", 4));
         },
         "Invalid data type for 'Ususenha'", [](TfrmPrincipal& f) { EXPECT_EQ(f.FUsuLogin, "op"); }},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        ApagaArquivo(store);
        Novo();
        g->frm.FUsuSenha = "antiga";
        c.prepara(*this);
        EXPECT_EQ(ErroAoCarregar(), c.erro);
        if (c.confere) c.confere(g->frm);
        if (!c.erro.empty() && c.erro.find("Ususenha") != std::string::npos) {
            EXPECT_EQ(g->frm.FUsuSenha, "antiga") << "fields after the failing one keep their values";
        }
    }
}

TEST_F(Configuracao, ModoHomologacaoPeloCaminhoEmQualquerCaixa) {
    Completa("https://outra/", 42, "x", "y");
    for (const std::string exe : {"TefOrvexHomologa.exe", "teforvexhomologa.EXE", "TEFORVEXHOMOLOGA.EXE/TefOrvex"}) {
        SCOPED_TRACE(exe);
        Novo();
        CriaDir(g->B + exe.substr(0, exe.rfind('/') == std::string::npos ? 0 : exe.rfind('/')));
        g->app.SetExeName(g->B + exe);
        g->frm.CarregaParametros();
        EXPECT_EQ(g->frm.FUrl, servidor::BaseProducao() + "/homol/");
        EXPECT_EQ(g->frm.FLojCodigo, 1);
        EXPECT_EQ(g->frm.FUsuLogin, "homologa");
        EXPECT_EQ(g->frm.FUsuSenha, "teste123");
        EXPECT_FALSE(g->form.Administrao1.Enabled());
        EXPECT_FALSE(g->form.ParmetrosdoSistema1.Enabled());
        EXPECT_TRUE(g->form.Restaurar1.Enabled());
        EXPECT_TRUE(g->form.lblHomologa.Visible());
        ASSERT_EQ(g->app.Mensagens.size(), 1u);
        EXPECT_EQ(g->app.Mensagens[0].tipo, TipoMensagem::Informacao);
        EXPECT_EQ(g->app.Mensagens[0].texto,
                  "O sistema est\xE1 sendo executado em uma base de homologa\xE7\xE3o.\r\n"
                  "Por tanto poder\xE1 ser usado sem nenhuma restri\xE7\xE3o.");
    }
}

TEST_F(Configuracao, HomologacaoNaoLeORegistroNemQuebrado) {
    GravaBytes(store, "isto nao e um registro\n");
    g->app.SetExeName(g->B + "TEFORVEXHOMOLOGA.EXE");
    EXPECT_NO_THROW(g->frm.CarregaParametros());
    EXPECT_EQ(g->frm.FLojCodigo, 1);
}

TEST_F(Configuracao, EnderecoDeProducaoPodeVirDoAmbiente) {
    producao.Define("http://127.0.0.1:8080/");
    g->app.SetExeName(g->B + "TefOrvexHomologa.exe");
    g->frm.CarregaParametros();
    EXPECT_EQ(g->frm.FUrl, "http://127.0.0.1:8080/homol/");
    producao.Define(nullptr);
}

TEST_F(Configuracao, LacoDeConfiguracaoAteSalvar) {
    int aberturas = 0;
    g->form.OperadorParametros = [&](TDialogoParametroVirtual& d) {
        ++aberturas;
        EXPECT_EQ(d.edtUrl().Caption(), servidor::BaseProducao() + "/") << "the default address";
        EXPECT_EQ(d.edtEmpresa().Caption(), "");
        if (aberturas < 3) return;  // closed without saving
        d.edtEmpresa().SetCaption("$2A");
        d.edtLogin().SetCaption("ana");
        d.edtSenha().SetCaption("");
        d.Configurar();
    };
    g->frm.CarregaParametros();
    EXPECT_EQ(aberturas, 3);
    ASSERT_EQ(g->app.Mensagens.size(), 3u);
    for (const auto& m : g->app.Mensagens) {
        EXPECT_EQ(m.texto, "O sistema n\xE3o foi parametrizado.");
        EXPECT_EQ(m.tipo, TipoMensagem::Erro);
    }
    EXPECT_EQ(g->frm.FLojCodigo, 42);
    EXPECT_EQ(g->frm.FUsuLogin, "ana");
    EXPECT_EQ(g->frm.FUsuSenha, "");
    EXPECT_EQ(g->frm.FUrl, servidor::BaseProducao() + "/");
    EXPECT_EQ(g->form.DialogosAbertos, 0);
    TRegistry r(store);
    r.OpenKey(kChave, false);
    EXPECT_EQ(r.GetDataType("Ususenha"), REG_SZ);
    EXPECT_EQ(r.GetDataSize("Ususenha"), 1) << "an empty text is stored with its NUL";
    EXPECT_EQ(r.ReadString("Usulogin"), Decifra("ana"));
}

TEST_F(Configuracao, SalvarQueFalhaNoMeioDeixaOsPrimeirosValores) {
    int aberturas = 0;
    g->form.OperadorParametros = [&](TDialogoParametroVirtual& d) {
        ++aberturas;
        if (aberturas == 1) {
            d.edtEmpresa().SetCaption("42 ");
            d.edtLogin().SetCaption("ana");
            d.Configurar();  // fails on the store code, stays open
            EXPECT_FALSE(d.Fechado());
            EXPECT_EQ(d.edtLogin().Caption(), "ana") << "what was typed stays";
        }
    };
    try {
        g->frm.CarregaParametros();
        FAIL() << "the load after a partial save must fail";
    } catch (const ERegistryException& e) {
        EXPECT_EQ(e.Message(), "Failed to get data for 'Lojcodigo'");
    }
    EXPECT_EQ(aberturas, 1);
    TRegistry r(store);
    ASSERT_TRUE(r.OpenKey(kChave, false));
    EXPECT_TRUE(r.ValueExists("Url"));
    EXPECT_FALSE(r.ValueExists("Lojcodigo"));
    EXPECT_FALSE(r.ValueExists("Usulogin"));
    const std::string log = LeBytes(g->B + "LogErro.txt");
    EXPECT_NE(log.find("'42 ' is not a valid integer value"), std::string::npos) << log;
    EXPECT_NE(log.find("Handler: btnConfiguraClick"), std::string::npos);
}

// ---- the dialog ---------------------------------------------------------------------------------

TEST_F(Configuracao, DialogoPreencheOsCamposDoRegistro) {
    Completa("", -7, "ana", "s\xE9nha");
    std::vector<std::string> visto;
    g->form.OperadorParametros = [&](TDialogoParametroVirtual& d) {
        visto = {d.edtUrl().Caption(), d.edtEmpresa().Caption(), d.edtLogin().Caption(), d.edtSenha().Caption()};
        EXPECT_FALSE(d.edtUrl().Visible());
        EXPECT_FALSE(d.Label4().Visible());
    };
    g->frm.AbreParametros();
    EXPECT_EQ(visto, (std::vector<std::string>{servidor::BaseProducao() + "/", "-7", "ana", "s\xE9nha"}));
    EXPECT_EQ(g->frm.FLojCodigo, -7) << "the configuration is loaded again after the dialog";
}

TEST_F(Configuracao, DialogoComErroDeLeituraAbreComOQueLeu) {
    Grava("Url", REG_SZ, std::string("http://x/\0", 10));
    Grava("Lojcodigo", REG_BINARY, "\x01");
    Grava("Usulogin", REG_SZ, Decifra("ana") + std::string(1, '\0'));
    std::vector<std::string> visto;
    g->form.OperadorParametros = [&](TDialogoParametroVirtual& d) {
        visto = {d.edtUrl().Caption(), d.edtEmpresa().Caption(), d.edtLogin().Caption()};
        d.edtEmpresa().SetCaption("1");
        d.Configurar();
    };
    g->frm.AbreParametros();
    EXPECT_EQ(visto, (std::vector<std::string>{"http://x/", "", ""}));
    EXPECT_EQ(g->frm.FLojCodigo, 1);
    EXPECT_EQ(g->frm.FUsuLogin, "") << "the save wrote the empty login field";
}

TEST_F(Configuracao, SalvarComEnderecoEscondidoGravaOEnderecoMesmoAssim) {
    Completa("http://config/", 1, "", "");
    g->form.OperadorParametros = [](TDialogoParametroVirtual& d) {
        EXPECT_FALSE(d.edtUrl().Visible());
        d.edtEmpresa().SetCaption(" 42");
        d.Configurar();
    };
    g->frm.AbreParametros();
    EXPECT_EQ(g->frm.FUrl, "http://config/");
    EXPECT_EQ(g->frm.FLojCodigo, 42);
}

TEST_F(Configuracao, CtrlUAlternaCampoERotuloJuntosENoPrimeiroDialogo) {
    Completa("http://config/", 1, "", "");
    std::vector<std::pair<bool, bool>> estados;
    int interno = 0;
    g->form.OperadorParametros = [&](TDialogoParametroVirtual& d) {
        if (d.Numero == 1) {
            EXPECT_TRUE(d.TemHotKey());
            g->form.PressionaCtrlU();
            estados.emplace_back(d.edtUrl().Visible(), d.Label4().Visible());
            // A second dialog over the first, from the tray menu.
            g->frm.AbreParametros();
            estados.emplace_back(d.edtUrl().Visible(), d.Label4().Visible());
            g->form.PressionaCtrlU();
            estados.emplace_back(d.edtUrl().Visible(), d.Label4().Visible());
        } else {
            ++interno;
            EXPECT_FALSE(d.TemHotKey()) << "the hot key stays with the first dialog";
            g->form.PressionaCtrlU();
            EXPECT_FALSE(d.edtUrl().Visible());
        }
    };
    g->frm.AbreParametros();
    EXPECT_EQ(interno, 1);
    EXPECT_EQ(estados, (std::vector<std::pair<bool, bool>>{{true, true}, {false, false}, {true, true}}));
    EXPECT_EQ(g->form.DonoHotKey, nullptr) << "released with the dialog";
}

TEST_F(Configuracao, SalvarSemPoderCriarAChaveFalhaNoPrimeiroValorEODialogoFica) {
    GravaBytes(loja / "arquivo", "x");
    registro.Define((loja / "arquivo/tef.reg").c_str());  // under a plain file: fails for root too
    int aberturas = 0;
    g->form.OperadorParametros = [&](TDialogoParametroVirtual& d) {
        ++aberturas;
        d.edtEmpresa().SetCaption("1");
        d.Configurar();
        if (aberturas == 1) {
            EXPECT_FALSE(d.Fechado()) << "nothing was written, the dialog stays open";
            registro.Define(store.c_str());  // the operator gives up; the store is fixed
        }
    };
    g->frm.AbreParametros();
    const std::string log = LeBytes(g->B + "LogErro.txt");
    EXPECT_NE(log.find("Message: Failed to set data for 'Url'"), std::string::npos) << log;
    // The load after the first dialog found no key and led through the set-up loop.
    EXPECT_EQ(aberturas, 2);
    EXPECT_EQ(g->frm.FLojCodigo, 1);
}

#ifndef _WIN32
// A store the user may read but not replace, made with POSIX permissions.
TEST_F(Configuracao, SalvarSemPermissaoMostraOArquivoEACausaAoOperador) {
    Completa("http://loja.exemplo/", 1, "a", "b");
    ::chmod(loja.Caminho().c_str(), 0755);  // others may read the store, not write beside it
    ::chmod(store.c_str(), 0644);
    std::string motivo;
    const bool ok = ComoUsuarioComum(
        [&] {
            g->form.OperadorParametros = [&](TDialogoParametroVirtual& d) {
                d.Configurar();
                g->app.Avanca(100);  // the box opens from the message loop
            };
            g->app.ExecutaHandler("ParmetrosdoSistema1Click", g->form.Eventos.ParmetrosdoSistema1Click);
            ASSERT_EQ(g->app.Mensagens.size(), 1u);
            const std::string& texto = g->app.Mensagens[0].texto;
            // In the operator's words, naming the value, the store and why.
            EXPECT_EQ(texto.rfind("A configura\xE7\xE3o n\xE3o p\xF4" "de ser gravada (valor Url): a configura\xE7\xE3o ", 0), 0u)
                << texto;
            EXPECT_NE(texto.find(store), std::string::npos) << "names the store: " << texto;
            EXPECT_NE(texto.find("permiss\xE3o negada (Permission denied)"), std::string::npos) << texto;
            EXPECT_EQ(texto.find("no key is open"), std::string::npos) << texto;
            EXPECT_EQ(texto.find("Failed to set data"), std::string::npos) << "the log's text, not the box's: " << texto;
        },
        motivo);
    EXPECT_TRUE(ok) << motivo;
}
#endif

TEST_F(Configuracao, CodigoDaLojaErradoEOCarregamentoSeguinteEmPalavrasDoOperador) {
    // From the tray's menu, with the manager running: the box says which
    // value and what to do, in Portuguese; the log keeps the messages.
    Grava("Url", REG_SZ, std::string("http://x/\0", 10));  // a key without Lojcodigo
    g->form.tmVerifica->SetEnabled(true);
    g->form.OperadorParametros = [&](TDialogoParametroVirtual& d) {
        d.edtEmpresa().SetCaption("quarenta");
        d.Configurar();
        g->app.Avanca(10);  // the box opens from the message loop
    };
    g->app.ExecutaHandler("ParmetrosdoSistema1Click", g->form.Eventos.ParmetrosdoSistema1Click);
    g->form.tmVerifica->SetEnabled(false);
    g->app.Avanca(100);
    // The dialog's own read of the missing value, the typed code, the load
    // after the dialog.
    ASSERT_EQ(g->app.Mensagens.size(), 3u);
    EXPECT_EQ(g->app.Mensagens[0].texto,
              "O valor Lojcodigo (o c\xF3" "digo da loja) falta na configura\xE7\xE3o ou n\xE3o \xE9 um n\xFAmero (dword).");
    EXPECT_EQ(g->app.Mensagens[1].texto,
              "O c\xF3" "digo da loja \"quarenta\" n\xE3o \xE9 um n\xFAmero inteiro: digite s\xF3 algarismos (por exemplo 42).");
    const std::string& carga = g->app.Mensagens[2].texto;
    EXPECT_EQ(carga, "O valor Lojcodigo (o c\xF3" "digo da loja) falta na configura\xE7\xE3o ou n\xE3o \xE9 um n\xFAmero (dword).\r"
                     "Configura\xE7\xE3o: " + store + ", chave HKEY_LOCAL_MACHINE" + kChave + ".\r"
                     "Grave a configura\xE7\xE3o de novo com \"Par\xE2metros do Sistema\" no menu do \xED" "cone da bandeja.");
    for (const auto& m : g->app.Mensagens) EXPECT_EQ(m.tipo, TipoMensagem::Erro);
    const std::string log = LeBytes(g->B + "LogErro.txt");
    EXPECT_NE(log.find("Message: 'quarenta' is not a valid integer value"), std::string::npos) << log;
    EXPECT_NE(log.find("Message: Failed to get data for 'Lojcodigo'"), std::string::npos) << log;
}

TEST_F(Configuracao, CredencialComRetornoDeCarroERecusadaSemGravarNada) {
    Completa("http://loja.exemplo/", 1, "a", "b");
    const std::string antes = LeBytes(store);
    for (const auto& [login, senha] : std::vector<std::pair<std::string, std::string>>{{"a", "s\rx"}, {"a\r", "b"}}) {
        int aberturas = 0;
        g->form.OperadorParametros = [&](TDialogoParametroVirtual& d) {
            if (++aberturas > 1) return;
            d.edtEmpresa().SetCaption("2");
            d.edtLogin().SetCaption(login);
            d.edtSenha().SetCaption(senha);
            d.Configurar();
            EXPECT_FALSE(d.Fechado()) << "the dialog stays open";
            g->app.Avanca(100);
        };
        g->app.Mensagens.clear();
        g->app.ExecutaHandler("ParmetrosdoSistema1Click", g->form.Eventos.ParmetrosdoSistema1Click);
        ASSERT_EQ(g->app.Mensagens.size(), 1u);
        EXPECT_NE(g->app.Mensagens[0].texto.find("(CR)"), std::string::npos) << g->app.Mensagens[0].texto;
        EXPECT_EQ(LeBytes(store), antes) << "nothing written, nothing changed silently";
    }
    // Every other byte goes through the stored form and back unchanged.
    std::string todos;
    for (int b = 1; b < 256; ++b)
        if (b != '\r') todos += static_cast<char>(b);
    g->form.OperadorParametros = [&](TDialogoParametroVirtual& d) {
        d.edtEmpresa().SetCaption("2");
        d.edtSenha().SetCaption(todos);
        d.Configurar();
    };
    g->frm.AbreParametros();
    EXPECT_EQ(g->frm.FUsuSenha, todos);
}

}  // namespace
