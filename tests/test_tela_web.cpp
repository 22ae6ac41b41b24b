// The web screen and the page command channel on the virtual layer: showing
// the window, the page address, server normalisation, the idle page, the
// channel texts and receipt printing (virtual and real printer).
#include "Gerente.h"
#include "Servidor.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <optional>
#include <thread>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using componentes::TAplicacaoVirtual;
using componentes::TFormPrincipalVirtual;

namespace {

const std::string kAguardando = "TEF, Aguardando Aplicativo Comercial....";
const std::string kAguardando42 = "TEF, Aguardando Aplicativo Comercial....  ";
const std::string kProducao = "https://tef.orvexpay.com.br";

// The query keys of an address, in order.
std::vector<std::string> Chaves(const std::string& endereco) {
    std::vector<std::string> chaves;
    const auto q = endereco.find('?');
    if (q == std::string::npos) return chaves;
    for (const auto& par : Divide(endereco.substr(q + 1), "&")) chaves.push_back(par.substr(0, par.find('=')));
    return chaves;
}

const std::vector<std::string> kChavesDaPagina = {"tela",      "lojcodigo_logado", "usulogin_logado",
                                              "ususenha_logado", "num_cupom", "cpf", "valor", "imprime"};

struct TelaWeb : ::testing::Test {
    TVariavelAmbiente producao{"TEF_PRODUCAO", std::nullopt};
    TGerenteVirtual g;

    std::vector<std::string> Navegados() const {
        std::vector<std::string> r;
        for (const auto& e : g.form.GeckoBrowser1.Enderecos) r.push_back(Utf16ParaUtf8(e));
        return r;
    }
    void Transacao(const std::string& url, std::int32_t loja, const std::string& login, const std::string& senha,
                   const std::string& cupom, const std::string& cpf, const std::string& valor, bool comercial) {
        g.frm.FUrl = url;
        g.frm.FLojCodigo = loja;
        g.frm.FUsuLogin = login;
        g.frm.FUsuSenha = senha;
        g.frm.FNumCupom = cupom;
        g.frm.FCpf = cpf;
        g.frm.FValorTexto = valor;
        g.frm.FTefComercial = comercial;
    }
};

// ---- server normalisation -------------------------------------------------------------------

TEST_F(TelaWeb, ValidaUrlNormalizaOEndereco) {
    const std::vector<std::pair<std::string, std::string>> casos = {
        {"http://loja.exemplo", "http://loja.exemplo/"},
        {"http://loja.exemplo/", "http://loja.exemplo/"},
        {"", "/"},
        {"/", "/"},
        {"https://x.orvexpay.com.br/qualquer/caminho", kProducao + "/"},
        {"http://tef.orvexpay.com.br", kProducao + "/"},
        {"https://a.b.orvexpay.com.br:8443/tef/", kProducao + "/"},
        {"http://a.orvexpay.com.br.outro.net/", kProducao + "/"},
        {"http://a.orvexpay.com.br/homol", "http://a.orvexpay.com.br/homol/"},
        {"http://a.orvexpay.com.br/x/homologacao/y", "http://a.orvexpay.com.br/x/homologacao/y/"},
        {"http://a.orvexpay.com.br/app/release/v2/", "http://a.orvexpay.com.br/app/release/v2/"},
        {"http://a.orvexpay.com.br?p=/release", "http://a.orvexpay.com.br?p=/release/"},
        {"http://a.orvexpay.com.br/HOMOL/", kProducao + "/"},
        {"http://a.orvexpay.com.br/Release", kProducao + "/"},
        {"http://a.orvexpay.com.br/homo", kProducao + "/"},
        {"http://orvexpay.com.br/", "http://orvexpay.com.br/"},
        {"http://x.ORVEXPAY.com.br/", "http://x.ORVEXPAY.com.br/"},
        {"http://outro.com/orvexpay.com.br", "http://outro.com/orvexpay.com.br/"},
        {"http://192.168.0.5:8080/tef", "http://192.168.0.5:8080/tef/"},
    };
    for (const auto& [entrada, esperado] : casos) {
        SCOPED_TRACE("'" + entrada + "'");
        EXPECT_EQ(g.frm.ValidaUrl(entrada), esperado);
        EXPECT_EQ(g.form.lblUrl.Caption(), "Usando: " + esperado);
        EXPECT_EQ(g.form.panEsconde.Caption(), kAguardando42);
        EXPECT_EQ(g.frm.ValidaUrl(esperado), esperado) << "normalising again changes nothing";
    }
}

TEST_F(TelaWeb, BaseDeProducaoDoAmbienteSemBarraFinal) {
    TVariavelAmbiente outra("TEF_PRODUCAO", "http://127.0.0.1:8443//");
    EXPECT_EQ(g.frm.ResolveServidor(), "http://127.0.0.1:8443");
    EXPECT_EQ(g.frm.ValidaUrl("https://loja.orvexpay.com.br/x"), "http://127.0.0.1:8443/");
    EXPECT_EQ(g.frm.ValidaUrl("http://127.0.0.1:8443/"), "http://127.0.0.1:8443/") << "outside the domain";
}

// What a handler running inside the pumped messages would see.
TEST_F(TelaWeb, TextosDeEstadoNaOrdem) {
    using Visto = std::pair<std::string, std::string>;  // (lblUrl, panEsconde)
    std::vector<Visto> vistos;
    Espiao espiao(g.app, [&] { vistos.emplace_back(g.form.lblUrl.Caption(), g.form.panEsconde.Caption()); });
    const std::string inicial = "TEF, Processando....";

    g.frm.ValidaUrl("https://loja.orvexpay.com.br/");
    EXPECT_EQ(vistos, (std::vector<Visto>{{"Verificando Ativo....", inicial},
                                          {"Verificando Ativo....", "Verificando Sistema Ativo..."},
                                          {"Usando: " + kProducao + "/", "Verificando Sistema Ativo..."}}));
    EXPECT_EQ(g.form.panEsconde.Caption(), kAguardando42);

    vistos.clear();
    g.form.panEsconde.SetCaption(inicial);
    g.frm.ValidaUrl("http://loja.exemplo");
    EXPECT_EQ(vistos, (std::vector<Visto>{{"Verificando Ativo....", inicial}, {"Usando: http://loja.exemplo/", inicial}}))
        << "outside the domain the server is not resolved";
    EXPECT_EQ(g.form.panEsconde.Caption(), kAguardando42);
}

// ---- the page address -------------------------------------------------------------------------

TEST_F(TelaWeb, EnderecoDaPaginaComTodasAsChaves) {
    struct Caso {
        const char* nome;
        std::function<void(TelaWeb&)> prepara;
        std::string tela, esperado;
    };
    const std::vector<Caso> casos = {
        {"venda comercial",
         [](TelaWeb& t) { t.Transacao("http://loja.exemplo", 42, "ana", "s3nha", "123", "12345678900", "1000", true); },
         "Venda",
         "http://loja.exemplo/modtef.php?tela=Venda&lojcodigo_logado=42&usulogin_logado=ana&ususenha_logado=s3nha"
         "&num_cupom=123&cpf=12345678900&valor=1000&imprime=ecf"},
        {"administracao do menu",
         [](TelaWeb& t) { t.Transacao("http://loja.exemplo/", 7, "ana", "x", "", "", "", false); }, "Adm",
         "http://loja.exemplo/modtef.php?tela=Adm&lojcodigo_logado=7&usulogin_logado=ana&ususenha_logado=x"
         "&num_cupom=&cpf=&valor=&imprime=40"},
        {"campos vazios e endereco vazio", [](TelaWeb& t) { t.Transacao("", 0, "", "", "", "", "", false); }, "Venda",
         "/modtef.php?tela=Venda&lojcodigo_logado=0&usulogin_logado=&ususenha_logado=&num_cupom=&cpf=&valor="
         "&imprime=40"},
        {"codigo negativo e minimo",
         [](TelaWeb& t) { t.Transacao("http://l/", INT_MIN, "a", "b", "1", "2", "3", true); }, "Venda",
         "http://l/modtef.php?tela=Venda&lojcodigo_logado=-2147483648&usulogin_logado=a&ususenha_logado=b"
         "&num_cupom=1&cpf=2&valor=3&imprime=ecf"},
        {"dominio trocado pela producao",
         [](TelaWeb& t) { t.Transacao("https://velho.orvexpay.com.br/tef", -7, "a", "b", "", "", "5", true); },
         "Venda",
         kProducao + "/modtef.php?tela=Venda&lojcodigo_logado=-7&usulogin_logado=a&ususenha_logado=b"
                     "&num_cupom=&cpf=&valor=5&imprime=ecf"},
        {"caracteres especiais codificados",
         [](TelaWeb& t) {
             t.Transacao("http://l/", 1, "a&b c", "p+%#\xE7\xE3o", "1&tela=Adm", "123.456.789-00", "Az09-._~",
                         false);
         },
         "Venda",
         "http://l/modtef.php?tela=Venda&lojcodigo_logado=1&usulogin_logado=a%26b%20c"
         "&ususenha_logado=p%2B%25%23%C3%A7%C3%A3o&num_cupom=1%26tela%3DAdm&cpf=123.456.789-00"
         "&valor=Az09-._~&imprime=40"},
        {"bytes altos, controles e separadores",
         [](TelaWeb& t) { t.Transacao("http://l/", 1, "\x80\xFF", "a/b?c=d", "\t\r\n", "\x81", "\"'<>", false); },
         "Venda",
         "http://l/modtef.php?tela=Venda&lojcodigo_logado=1&usulogin_logado=%E2%82%AC%C3%BF"
         "&ususenha_logado=a%2Fb%3Fc%3Dd&num_cupom=%09%0D%0A&cpf=%C2%81&valor=%22%27%3C%3E&imprime=40"},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.nome);
        g.form.GeckoBrowser1.Enderecos.clear();
        g.frm.FTelaAberta = false;
        g.form.panEsconde.SetVisible(true);
        c.prepara(*this);
        g.frm.MostraTela(c.tela);
        ASSERT_EQ(Navegados().size(), 1u);
        EXPECT_EQ(Navegados()[0], c.esperado);
        EXPECT_EQ(Chaves(Navegados()[0]), kChavesDaPagina) << "no value can add or hide a key";
        EXPECT_TRUE(g.frm.FTelaAberta);
        EXPECT_FALSE(g.form.panEsconde.Visible());
        EXPECT_EQ(g.frm.FUrl, c.esperado.substr(0, c.esperado.find("modtef.php"))) << "the normalised base is kept";
    }
}

TEST_F(TelaWeb, BaseComBrancosEAcentosNaoECodificada) {
    Transacao("http://loja exemplo/caminho\xE7/", 1, "a", "b", "c", "d", "e", false);
    g.frm.MostraTela("Venda");
    ASSERT_EQ(g.form.GeckoBrowser1.Enderecos.size(), 1u);
    const std::u16string& e = g.form.GeckoBrowser1.Enderecos[0];
    EXPECT_EQ(e.substr(0, 29), u"http://loja exemplo/caminho\u00E7/") << "Windows-1252 to UTF-16";
}

// ---- showing the window -------------------------------------------------------------------------

TEST_F(TelaWeb, AbreTelaMostraNoProximoTickEUmaPaginaPorExibicao) {
    Transacao("http://loja.exemplo/", 1, "a", "b", "", "", "", false);
    g.form.tmOculta->SetInterval(1000);  // as after the first hide at startup
    g.form.JvTrayIcon1.SetActive(true);
    g.frm.AbreTela("Venda");
    EXPECT_EQ(g.frm.FTela, "Venda");
    EXPECT_TRUE(g.form.tmShow->Enabled());
    EXPECT_TRUE(g.form.tmCmds->Enabled()) << "polling starts before the page";
    EXPECT_FALSE(g.form.Janela.Visible());
    g.app.Avanca(299);
    EXPECT_FALSE(g.form.Janela.Visible());
    g.app.Avanca(1);
    EXPECT_TRUE(g.form.Janela.Visible());
    EXPECT_FALSE(g.form.JvTrayIcon1.Active());
    EXPECT_TRUE(g.form.Janela.fundoTransparente);
    EXPECT_FALSE(g.form.tmShow->Enabled()) << "one-shot";
    EXPECT_TRUE(g.form.tmCmds->Enabled());
    ASSERT_EQ(Navegados().size(), 1u);
    EXPECT_NE(Navegados()[0].find("?tela=Venda&"), std::string::npos);

    // A second screen before the hide: remembered, not loaded.
    g.frm.AbreTela("Adm");
    g.app.Avanca(300);
    EXPECT_EQ(g.frm.FTela, "Adm");
    EXPECT_EQ(Navegados().size(), 1u);
    EXPECT_FALSE(g.form.tmShow->Enabled());

    // After the hide the next showing loads the page again.
    g.frm.CancelaTef();
    g.app.Avanca(1000);
    ASSERT_FALSE(g.form.Janela.Visible());
    ASSERT_EQ(Navegados().size(), 2u) << "the idle page";
    g.frm.AbreTela("Adm");
    g.app.Avanca(300);
    ASSERT_EQ(Navegados().size(), 3u);
    EXPECT_NE(Navegados()[2].find("?tela=Adm&"), std::string::npos);
}

TEST_F(TelaWeb, EnderecoRecusadoVaiAoLogEDeixaATelaMarcada) {
    Transacao("http://loja.exemplo/", 1, "a", "s3nh4", "", "", "", true);
    g.form.GeckoBrowser1.RecusaEnderecos = true;
    g.frm.AbreTela("Venda");
    g.app.Avanca(300);
    EXPECT_TRUE(g.frm.FTelaAberta);
    EXPECT_TRUE(g.form.panEsconde.Visible());
    EXPECT_EQ(g.form.panEsconde.Caption(), kAguardando42);
    EXPECT_TRUE(g.form.Janela.Visible());
    const TLinhas log = CarregaLinhas(g.B + "LogErro.txt");
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0], "Exception: Exception");
    EXPECT_EQ(log[1], "Message: Cannot navigate to http://loja.exemplo/modtef.php?tela=Venda&lojcodigo_logado=1"
                      "&usulogin_logado=a&ususenha_logado=***&num_cupom=&cpf=&valor=&imprime=ecf")
        << "the password never reaches the log";
    EXPECT_EQ(log[2], "Handler: tmShowTimer");
    // Nothing tries again by itself; the cancel button ends the transaction.
    g.app.Avanca(2000);
    EXPECT_EQ(CarregaLinhas(g.B + "LogErro.txt").size(), 4u);
    EXPECT_TRUE(g.form.Janela.Visible());
}

TEST_F(TelaWeb, PaginaQueNaoCarregaEUmErroComEnderecoEMotivo) {
    // The journal at err and --estado's last error hear it once, with the
    // address (never the query: login, CPF, password) and the reason in
    // words; the operator sees the reason below the page.
    Transacao("http://loja.exemplo:8080/tef/", 1, "operador", "s3nh4", "77", "12345678909", "1000", true);
    std::vector<std::string> erros;
    g.frm.Observador.Erro = [&](const std::string& t) { erros.push_back(t); };
    g.frm.AbreTela("Venda");
    g.app.Avanca(300);
    const std::string motivo = "o servidor recusou a conex\xE3o";
    g.form.GeckoBrowser1.FalhaCarga("net::ERR_CONNECTION_REFUSED", motivo);
    const std::string esperado = "A p\xE1gina do sistema web n\xE3o p\xF4" "de ser carregada: " + motivo +
                                 " (net::ERR_CONNECTION_REFUSED); endere\xE7o http://loja.exemplo:8080/tef/modtef.php";
    ASSERT_EQ(erros, std::vector<std::string>{esperado});
    EXPECT_EQ(LeBytes(g.B + "LogErro.txt"), esperado + "\r\n");
    EXPECT_EQ(g.form.lblUrl.Caption(), "P\xE1gina n\xE3o carregada: " + motivo + " (net::ERR_CONNECTION_REFUSED)");
    EXPECT_TRUE(g.form.Janela.Visible()) << "the operator ends the transaction";

    // A page of a screen that is over is nobody's concern.
    const auto anterior = g.form.GeckoBrowser1.Navegacoes;
    g.frm.CancelaTef();
    g.app.Avanca(2000);
    ASSERT_FALSE(g.form.Janela.Visible());
    g.form.GeckoBrowser1.FalhaCarga("HTTP 500", "erro interno do servidor", anterior);
    EXPECT_EQ(erros.size(), 1u);
}

TEST_F(TelaWeb, ProgressoDaPaginaNuncaFalha) {
    struct Caso {
        int pos, max, posEsperada, maxEsperado;
    };
    const std::vector<Caso> casos = {
        {50, 100, 50, 100}, {0, 0, 50, 100}, {5, -1, 50, 100}, {100, 100, 100, 100},
        {150, 200, 150, 200}, {-5, INT_MIN, 150, 200}, {7, 1, 1, 1},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(std::to_string(c.pos) + "/" + std::to_string(c.max));
        EXPECT_NO_THROW(g.form.GeckoBrowser1.Progresso(c.pos, c.max));
        EXPECT_EQ(g.form.ProgressBar1.Position(), c.posEsperada);
        EXPECT_EQ(g.form.ProgressBar1.Max(), c.maxEsperado);
    }
    EXPECT_FALSE(Existe(g.B + "LogErro.txt"));
}

// tmCmds falls due with tmShow: its tick runs inside tmShowTimer's message
// processing, before the page is navigated.
TEST_F(TelaWeb, TickDoCanalDentroDoTmShowAntesDaNavegacao) {
    Transacao("http://loja.exemplo/", 1, "a", "b", "", "", "", false);
    g.form.tmOculta->SetInterval(1000);  // as after the first hide at startup
    g.frm.AbreTela("Venda");
    g.app.Avanca(200);
    g.form.tmShow->SetEnabled(false);
    g.frm.AbreTela("Adm");  // tmShow due at 500; tmCmds keeps its count, also 500
    ASSERT_EQ(g.form.Timer(g.form.tmShow.get()).Vencimento(), 500);
    ASSERT_EQ(g.form.Timer(g.form.tmCmds.get()).Vencimento(), 500);
    std::size_t enderecosNoTick = 99;
    std::string lblUrlNoTick = "(sem tick)";
    bool visivelNoTick = false, bandejaNoTick = true;
    g.form.GeckoBrowser1.Canal = u"COMMAND_TEF\u00A7close";
    g.form.tmCmds->SetOnTimer([&] {
        enderecosNoTick = g.form.GeckoBrowser1.Enderecos.size();
        lblUrlNoTick = g.form.lblUrl.Caption();
        visivelNoTick = g.form.Janela.Visible();
        bandejaNoTick = g.form.JvTrayIcon1.Active();
        g.frm.tmCmdsTimer();
    });
    const std::size_t antes = g.app.Historico.size();
    g.app.Avanca(300);
    ASSERT_GE(g.app.Historico.size(), antes + 2);
    EXPECT_EQ(g.app.Historico[antes].first, "tmShowTimer");
    EXPECT_EQ(g.app.Historico[antes + 1], std::make_pair(std::string("tmCmdsTimer"), std::int64_t{500}));
    EXPECT_EQ(enderecosNoTick, 0u) << "the tick came before the navigation";
    EXPECT_EQ(lblUrlNoTick, "") << "and before ValidaUrl: in tmShowTimer's own message processing";
    EXPECT_TRUE(visivelNoTick);
    EXPECT_FALSE(bandejaNoTick);
    ASSERT_EQ(Navegados().size(), 1u);
    EXPECT_NE(Navegados()[0].find("?tela=Adm&"), std::string::npos);
    EXPECT_TRUE(g.form.tmOculta->Enabled()) << "the page's close was acted on";
    EXPECT_FALSE(g.form.panEsconde.Visible()) << "MostraTela went on after the nested tick";
    g.app.Avanca(999);
    EXPECT_TRUE(g.form.Janela.Visible());
    g.app.Avanca(1);
    EXPECT_FALSE(g.form.Janela.Visible());
}

TEST_F(TelaWeb, MostraTelaAninhadaNaoCarregaDuasVezes) {
    Transacao("http://loja.exemplo/", 1, "a", "b", "", "", "", false);
    int aninhadas = 0;
    Espiao espiao(g.app, [&] {
        ++aninhadas;
        g.frm.MostraTela("Adm");
    });
    g.frm.MostraTela("Venda");
    EXPECT_EQ(aninhadas, 2) << "ValidaUrl pumps messages twice";
    ASSERT_EQ(Navegados().size(), 1u);
    EXPECT_NE(Navegados()[0].find("?tela=Venda&"), std::string::npos);
}

TEST(TelaWebLocal, PaginaLocalComBrancosEAcentoNoDiretorio) {
    // A path is the file system's bytes: UTF-8 on Linux, Windows-1252 on Windows.
#ifdef _WIN32
    TGerenteVirtual g("loja com brancos \xE7/");
    const std::u16string esperado = Cp1252ParaUtf16("file:///" + g.B + "html/index.html");
#else
    TGerenteVirtual g("loja com brancos \xC3\xA7/");
    const std::u16string esperado = Utf8ParaUtf16("file://" + g.B + "html/index.html");
#endif
    g.frm.CarregaPaginaLocal();
    ASSERT_EQ(g.form.GeckoBrowser1.Enderecos.size(), 1u);
    const std::u16string& e = g.form.GeckoBrowser1.Enderecos[0];
    EXPECT_EQ(e, esperado);
    EXPECT_EQ(e.substr(0, 8), u"file:///") << "a drive letter is not a host";
    EXPECT_NE(e.find(u"loja com brancos \u00E7/html/index.html"), std::u16string::npos) << "blanks kept";
}

// ---- the page command channel ---------------------------------------------------------------------

struct Canal : ::testing::Test {
    TGerenteVirtual g;
    void SetUp() override {
        g.form.tmOculta->SetInterval(1000);  // as after the first hide at startup
        g.form.Janela.Show();
        g.form.tmCmds->SetEnabled(true);
    }
    void Tick() { g.app.Avanca(500); }
    void Reinicia() {
        g.form.tmOculta->SetEnabled(false);
        g.form.Impressora.Impressoes.clear();
        g.form.panEsconde.SetCaption("marcador");
        g.form.panEsconde.SetVisible(false);
    }
};

enum class Efeito { Nada, Cancela, Resultado };

TEST_F(Canal, TabelaDeTextosDaPagina) {
    using namespace std::string_literals;
    struct Caso {
        std::u16string texto;
        Efeito efeito;
        TLinhas itens;  // for a result
    };
    const std::vector<Caso> casos = {
        {u"COMMAND_TEF\u00A7close", Efeito::Cancela, {}},
        {u"COMMAND_TEF\u00A7 CLOSE ", Efeito::Cancela, {}},
        {u"COMMAND_TEF\u00A7\tClose\r\n", Efeito::Cancela, {}},
        {u"COMMAND_TEF\u00A7close\u00A7more", Efeito::Cancela, {}},
        {u"COMMAND_TEF\u00A7closed", Efeito::Nada, {}},
        {u"COMMAND_TEF\u00A7cl ose", Efeito::Nada, {}},
        {u"COMMAND_TEF\u00A7\u00A7close", Efeito::Nada, {}},
        {u"COMMAND_TEF", Efeito::Resultado, {"COMMAND_TEF"}},
        {u"COMMAND_TEF\u00A7", Efeito::Resultado, {"COMMAND_TEF"}},
        {u"command_tef\u00A7close", Efeito::Resultado, {"command_tef", "close"}},
        {u" COMMAND_TEF\u00A7close", Efeito::Resultado, {" COMMAND_TEF", "close"}},
        {u"A\u00A7\u00A7B", Efeito::Resultado, {"A", "", "B"}},
        {u"A\u00A7B\u00A7", Efeito::Resultado, {"A", "B"}},
        {u"\u00A7A", Efeito::Resultado, {"", "A"}},
        {u"\u00A7", Efeito::Resultado, {""}},
        {u"  ", Efeito::Resultado, {"  "}},
        {u"Caf\u00E9 \u20AC 5\u00A7\u4E2D\U0001F600x", Efeito::Resultado, {"Caf\xE9 \x80 5", "??x"}},
        {u"sem separador \u00C2 \uFFFD", Efeito::Resultado, {"sem separador \xC2 ?"}},
        // A NUL between other bytes shows as "?"; at either end of an item
        // it is a control character and goes.
        {u"A\0B\u00A7\0"s, Efeito::Resultado, {"A?B", ""}},
        {u"COMMAND_TEF\u00A7close\0"s, Efeito::Cancela, {}},
        {u"COMMAND_TEF\u00A7\0close"s, Efeito::Cancela, {}},
        {u"COMMAND_TEF\u00A7clo\0se"s, Efeito::Nada, {}},
        {u"\0COMMAND_TEF\u00A7close"s, Efeito::Resultado, {"COMMAND_TEF", "close"}},
        {u"999-999 = 0\0\u00A7\0x\0\0"s, Efeito::Resultado, {"999-999 = 0", "x"}},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(Utf16ParaUtf8(c.texto));
        Reinicia();
        g.form.GeckoBrowser1.Canal = c.texto;
        Tick();
        EXPECT_EQ(g.form.GeckoBrowser1.Canal, std::optional<std::u16string>(u"")) << "emptied before acting";
        EXPECT_FALSE(g.TemResp("intpos.001")) << "a tray screen writes no file";
        switch (c.efeito) {
        case Efeito::Nada:
            EXPECT_TRUE(g.form.Impressora.Impressoes.empty());
            EXPECT_FALSE(g.form.tmOculta->Enabled());
            EXPECT_EQ(g.form.panEsconde.Caption(), "marcador");
            EXPECT_FALSE(g.form.panEsconde.Visible());
            break;
        case Efeito::Cancela:
            EXPECT_TRUE(g.form.Impressora.Impressoes.empty());
            EXPECT_TRUE(g.form.tmOculta->Enabled());
            EXPECT_EQ(g.form.panEsconde.Caption(), kAguardando);
            EXPECT_TRUE(g.form.panEsconde.Visible());
            break;
        case Efeito::Resultado:
            ASSERT_EQ(g.form.Impressora.Impressoes.size(), 1u);
            EXPECT_EQ(g.form.Impressora.Impressoes[0], c.itens);
            EXPECT_TRUE(g.form.tmOculta->Enabled()) << "printed, then cancelled";
            EXPECT_EQ(g.form.panEsconde.Caption(), kAguardando);
            EXPECT_TRUE(g.form.panEsconde.Visible());
            break;
        }
        EXPECT_TRUE(g.form.tmCmds->Enabled()) << "the channel never stops its own polling";
    }
}

TEST_F(Canal, SemElementoOuVazioNadaAcontece) {
    for (const auto& canal : {std::optional<std::u16string>(), std::optional<std::u16string>(u"")}) {
        Reinicia();
        g.form.GeckoBrowser1.Canal = canal;
        for (int i = 0; i < 3; ++i) Tick();
        EXPECT_EQ(g.form.GeckoBrowser1.Canal, canal);
        EXPECT_TRUE(g.form.Impressora.Impressoes.empty());
        EXPECT_FALSE(g.form.tmOculta->Enabled());
        EXPECT_EQ(g.form.panEsconde.Caption(), "marcador");
    }
    EXPECT_FALSE(Existe(g.B + "LogErro.txt"));
}

TEST_F(Canal, TextoEAtendidoUmaVez) {
    g.form.GeckoBrowser1.Canal = u"L1\u00A7L2";
    Tick();  // 500: printed, hide due at 1500
    Tick();  // 1000: the emptied channel
    ASSERT_EQ(g.form.Impressora.Impressoes.size(), 1u);
    EXPECT_EQ(g.form.Impressora.Impressoes[0], (TLinhas{"L1", "L2"}));
}

TEST_F(Canal, SegundoTextoAntesDoEsconderTambemEAtendido) {
    g.form.GeckoBrowser1.Canal = u"A";
    Tick();  // 500: print + cancel, hide due at 1500
    g.app.Avanca(200);
    g.form.GeckoBrowser1.Canal = u"B";
    g.app.Avanca(300);  // 1000: print + cancel again
    ASSERT_EQ(g.form.Impressora.Impressoes.size(), 2u);
    EXPECT_EQ(g.form.Impressora.Impressoes[1], (TLinhas{"B"}));
    g.app.Avanca(499);
    EXPECT_TRUE(g.form.Janela.Visible());
    g.app.Avanca(1);
    EXPECT_FALSE(g.form.Janela.Visible()) << "the second cancel did not restart the count";
    EXPECT_FALSE(g.form.tmCmds->Enabled());
}

TEST_F(Canal, ResultadoComercialVaiParaRespondeVenda) {
    g.frm.FTefComercial = true;
    g.frm.FIdentificacao = "77";
    g.frm.FDocumento = "4711";
    g.frm.FValorTexto = "1500";
    g.form.panEsconde.SetVisible(false);
    g.form.GeckoBrowser1.Canal =
        u"000-000 = CRT\u00A7001-000 = #001#\u00A7002-000 = #002#\u00A7003-000 = 1\u00A7 \u00A7009-000 = 0\u00A7"
        u"029-000 = Transa\u00E7\u00E3o\u00A7999-999 = 0";
    Tick();
    EXPECT_TRUE(g.form.Impressora.Impressoes.empty());
    EXPECT_EQ(g.Resp("intpos.001"), TextoLinhas({"000-000 = CRT", "001-000 = 77", "002-000 = 4711", "003-000 = 1500",
                                                 "009-000 = 0", "029-000 = Transa\xE7\xE3o", "999-999 = 0"}));
    EXPECT_TRUE(g.form.tmOculta->Enabled());
    EXPECT_EQ(g.form.panEsconde.Caption(), kAguardando);
    EXPECT_TRUE(g.form.panEsconde.Visible());
}

TEST_F(Canal, NulNaPaginaNaoCortaAResposta) {
    using namespace std::string_literals;
    g.frm.FTefComercial = true;
    g.frm.FIdentificacao = "78";
    for (const auto& pagina : {u"000-000 = ADM\u00A7001-000 = #001#\u00A7030-000 = a\0b\u00A7999-999 = 0"s,
                               // a NUL after the last item, or ending it, adds no line
                               u"\0"s + u"000-000 = ADM\u00A7001-000 = #001#\0\u00A7030-000 = a\0b\u00A7999-999 = 0\u00A7\0"s,
                               u"000-000 = ADM\u00A7001-000 = #001#\u00A7030-000 = a\0b\u00A7999-999 = 0\0"s}) {
        ApagaArquivo(g.B + "resp/intpos.001");
        g.form.tmOculta->SetEnabled(false);  // the screen stays open for the next text
        g.form.tmCmds->SetEnabled(true);
        g.form.GeckoBrowser1.Canal = pagina;
        Tick();
        EXPECT_EQ(g.Resp("intpos.001"), TextoLinhas({"000-000 = ADM", "001-000 = 78", "030-000 = a?b", "999-999 = 0"}));
    }
}

TEST_F(Canal, FecharComercialGravaCancelamento) {
    g.frm.FTefComercial = true;
    g.frm.FModoAdm = true;
    g.frm.FIdentificacao = "5";
    g.form.GeckoBrowser1.Canal = u"COMMAND_TEF\u00A7close";
    Tick();
    EXPECT_EQ(g.Resp("intpos.001"), TextoLinhas({"000-000 = ADM", "001-000 = 5", "011-000 = 0", "028-000 = 0",
                                                 "030-000 = TEF Marel Raruveda foi cancelado", "999-999 = 0"}));
}

// ---- the real printer ---------------------------------------------------------------------------

// A manager whose receipts go to the printer device, not to a recorder.
struct ImpressoraReal : ::testing::Test {
    TDiretorioTemporario dir;
    std::string B = dir.Caminho();
    TAplicacaoVirtual app{B + "TefOrvex"};
    TFormPrincipalVirtual form{app};
    componentes::TImpressoraDispositivo impressora;
    TfrmPrincipal frm{app, Componentes()};
    TVariavelAmbiente lpt{"TEF_LPT1", std::nullopt};

    componentes::TComponentesPrincipal Componentes() {
        auto c = form.Componentes();
        c.Impressora = &impressora;
        return c;
    }
    void SetUp() override {
        frm.PreparaDiretorios();
        form.tmOculta->SetInterval(1000);  // as after the first hide at startup
        form.Janela.Show();
        form.tmCmds->SetEnabled(true);
    }
};

TEST_F(ImpressoraReal, FalhaDeImpressaoVaiAoLogSemCancelar) {
    struct Caso {
        std::string dispositivo, mensagem;
    };
#ifdef _WIN32
    // A printer port the machine does not have; a missing directory is
    // ERROR_PATH_NOT_FOUND there, a directory ERROR_ACCESS_DENIED.
    const std::string semDispositivo = "LPT9";
    const std::vector<Caso> casos = {
        {semDispositivo, "File not found"},
        {B + "nao/existe/lp0", "I/O error 3"},
        {B + "resp", "File access denied"},
    };
#else
    const std::string semDispositivo = "/dev/tef-lpt-inexistente-" + std::to_string(::getpid());
    const std::vector<Caso> casos = {
        {semDispositivo, "File not found"},
        {B + "nao/existe/lp0", "File not found"},
        {B + "resp", "I/O error 21"},  // a directory
    };
#endif
    for (const auto& c : casos) {
        SCOPED_TRACE(c.dispositivo);
        lpt.Define(c.dispositivo);
        ApagaArquivo(B + "LogErro.txt");
        form.tmOculta->SetEnabled(false);
        form.GeckoBrowser1.Canal = u"linha 1\u00A7linha 2";
        app.Avanca(500);
        const TLinhas log = CarregaLinhas(B + "LogErro.txt");
        ASSERT_EQ(log.size(), 4u);
        EXPECT_EQ(log[0], "Exception: EInOutError");
        EXPECT_EQ(log[1], "Message: " + c.mensagem);
        EXPECT_EQ(log[2], "Handler: tmCmdsTimer");
        EXPECT_FALSE(form.tmOculta->Enabled()) << "CancelaTef is not called";
        EXPECT_TRUE(form.Janela.Visible());
        EXPECT_TRUE(form.panEsconde.Visible());
        EXPECT_EQ(form.panEsconde.Caption(), kAguardando);
        EXPECT_TRUE(form.tmCmds->Enabled());
        EXPECT_EQ(form.GeckoBrowser1.Canal, std::optional<std::u16string>(u""));
        app.Avanca(1000);  // two more ticks find the emptied channel
        EXPECT_EQ(CarregaLinhas(B + "LogErro.txt").size(), 4u);
        EXPECT_FALSE(Existe(B + "resp/intpos.001"));
    }
#ifndef _WIN32
    EXPECT_FALSE(Existe(semDispositivo)) << "nothing is created under /dev";
#endif
    EXPECT_FALSE(Existe(B + "nao"));
    // The operator ends the transaction with the cancel button.
    frm.SpeedButton1Click();
    app.Avanca(1000);
    EXPECT_FALSE(form.Janela.Visible());
}

TEST_F(ImpressoraReal, ReciboNoArquivoByteAByteEDepoisCancela) {
    const std::string arquivo = B + "recibo.txt";  // not "lpt1.txt": a device name on Windows
    GravaBytes(arquivo, std::string(200, 'x'));  // an older, longer content is replaced
    lpt.Define(arquivo);
    form.GeckoBrowser1.Canal = u"Linha 1\u00A7\u00A7A\u00E7\u00E3o \u00A7  fim  ";
    app.Avanca(500);
    EXPECT_EQ(LeBytes(arquivo), "Linha 1\r\n\r\nA\xE7\xE3o \r\n  fim  \r\n");
    EXPECT_TRUE(form.tmOculta->Enabled());
    EXPECT_FALSE(Existe(B + "resp/intpos.001"));
    EXPECT_FALSE(Existe(B + "LogErro.txt"));
}

TEST(ImprimeLinhas, BytesExatosNumArquivoComum) {
    TDiretorioTemporario dir;
    const std::string arquivo = dir / "recibo";
    const std::vector<std::pair<TLinhas, std::string>> casos = {
        {{}, ""},
        {{"a"}, "a\r\n"},
        {{"", ""}, "\r\n\r\n"},
        {{"x\ny", "tab\tfim "}, "x\ny\r\ntab\tfim \r\n"},
        {{std::string("nul\0meio", 8), "\xE7\xFF"}, std::string("nul\0meio\r\n\xE7\xFF\r\n", 14)},
    };
    for (const auto& [linhas, bytes] : casos) {
        GravaBytes(arquivo, "conteudo anterior bem mais longo que o novo\r\n");
        ImprimeLinhas(arquivo, linhas);
        EXPECT_EQ(LeBytes(arquivo), bytes);
    }
    ApagaArquivo(arquivo);
    ImprimeLinhas(arquivo, {"novo"});
    EXPECT_EQ(LeBytes(arquivo), "novo\r\n") << "a missing regular file is created";
}

#ifndef _WIN32
TEST(ImprimeLinhas, FifoLidoPeloTeste) {
    TDiretorioTemporario dir;
    const std::string fifo = dir / "lp.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string lido;
    std::thread leitor([&] {
        const int fd = ::open(fifo.c_str(), O_RDONLY);
        if (fd < 0) return;
        char buf[256];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0) lido.append(buf, static_cast<std::size_t>(n));
        ::close(fd);
    });
    ImprimeLinhas(fifo, {"CUPOM", "", "TOTAL 10,00"});
    leitor.join();
    EXPECT_EQ(lido, "CUPOM\r\n\r\nTOTAL 10,00\r\n");
    struct stat st{};
    ASSERT_EQ(::stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the device stays what it was";
}
#endif

TEST(ImprimeLinhas, DispositivoPadraoEDevNull) {
#ifdef _WIN32
    const std::string padrao = "LPT1", nulo = "NUL";
#else
    const std::string padrao = "/dev/lp0", nulo = "/dev/null";
#endif
    {
        TVariavelAmbiente lpt("TEF_LPT1", std::nullopt);
        EXPECT_EQ(DispositivoImpressora(), padrao);
    }
    {
        TVariavelAmbiente lpt("TEF_LPT1", "");
        EXPECT_EQ(DispositivoImpressora(), padrao);
    }
    {
        TVariavelAmbiente lpt("TEF_LPT1", "/tmp/x");
        EXPECT_EQ(DispositivoImpressora(), "/tmp/x");
    }
    EXPECT_NO_THROW(ImprimeLinhas(nulo, {"a", "b"}));
#ifndef _WIN32
    struct stat st{};
    ASSERT_EQ(::stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
#endif
}

}  // namespace
