// The error page that replaces the browser's own when the web system's page
// cannot be loaded.
#include "NavegadorQt.h"

#include <QUrl>
#include <gtest/gtest.h>

namespace {

const QUrl kEndereco(QStringLiteral(
    "http://127.0.0.1:9/modtef.php?tela=Venda&lojcodigo_logado=1&usulogin_logado=operador"
    "&ususenha_logado=segredo%26123&num_cupom=1&cpf=&valor=1000&imprime=ecf"));

TEST(PaginaErroCarga, MostraOEnderecoSemASenhaEComoEncerrar) {
    const QString html = engine::PaginaErroCarga(kEndereco, QStringLiteral("net::ERR_CONNECTION_REFUSED"));
    EXPECT_FALSE(html.contains(QStringLiteral("segredo"))) << html.toStdString();
    EXPECT_TRUE(html.contains(QStringLiteral("ususenha_logado=***&amp;num_cupom=1"))) << html.toStdString();
    EXPECT_TRUE(html.contains(QStringLiteral("usulogin_logado=operador"))) << html.toStdString();
    EXPECT_TRUE(html.contains(QStringLiteral("net::ERR_CONNECTION_REFUSED")));
    EXPECT_TRUE(html.contains(QString::fromUtf8("Não foi possível carregar a página do sistema TEF.")));
    EXPECT_TRUE(html.contains(QStringLiteral("Cancelar TEF")));
    // Without the channel element the manager never reads a result from it.
    EXPECT_FALSE(html.contains(QStringLiteral("ipt_imprime_gecko")));
}

TEST(PaginaErroCarga, EnderecoEMotivoSaoTextoNaoMarcacao) {
    // Characters the address keeps as typed, and a reason quoting markup.
    const QUrl endereco(QStringLiteral("http://h/x?a=<b>&ususenha_logado=s\"e<c>r'e&t=1"));
    const QString html = engine::PaginaErroCarga(endereco, QStringLiteral("<script>alert(1)</script> & \"x\""));
    EXPECT_FALSE(html.contains(QStringLiteral("<script>")));
    EXPECT_FALSE(html.contains(QStringLiteral("<b>")));
    EXPECT_TRUE(html.contains(QStringLiteral("&lt;script&gt;alert(1)&lt;/script&gt; &amp; &quot;x&quot;")));
    EXPECT_TRUE(html.contains(QStringLiteral("ususenha_logado=***&amp;t=1"))) << html.toStdString();
    EXPECT_FALSE(html.contains(QStringLiteral("r'e"))) << html.toStdString();
}

TEST(EnderecoNavegavel, EnderecoRecusadoENomeadoSemASenha) {
    const std::u16string semEsquema =
        u"127.0.0.1:9/x/modtef.php?tela=Venda&ususenha_logado=segredo%26123&num_cupom=1";
    try {
        engine::EnderecoNavegavel(semEsquema);
        FAIL() << "an address without a scheme was taken";
    } catch (const Exception& e) {
        EXPECT_EQ(
            "The address \"127.0.0.1:9/x/modtef.php?tela=Venda&ususenha_logado=***&num_cupom=1\" cannot be loaded",
            e.Message());
    }
    EXPECT_THROW(engine::EnderecoNavegavel(u""), Exception);
    EXPECT_EQ(kEndereco, engine::EnderecoNavegavel(kEndereco.toString().toStdU16String()));
}

TEST(PaginaErroCarga, SoEnderecosDoSistemaWebTemPaginaDeErro) {
    EXPECT_TRUE(engine::EnderecoLocal(QUrl(QStringLiteral("file:///opt/tef/html/index.html"))));
    EXPECT_TRUE(engine::EnderecoLocal(QUrl(QStringLiteral("data:text/html,x"))));
    EXPECT_TRUE(engine::EnderecoLocal(QUrl(QStringLiteral("about:blank"))));
    EXPECT_FALSE(engine::EnderecoLocal(kEndereco));
    EXPECT_FALSE(engine::EnderecoLocal(QUrl(QStringLiteral("https://tef.exemplo.com.br/modtef.php"))));
}

}  // namespace
