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
    using D = QWebEngineLoadingInfo;
    const QString codigo = engine::CodigoDaFalha(D::ConnectionErrorDomain, -102, QStringLiteral("ERR_CONNECTION_REFUSED"));
    const QString html = engine::PaginaErroCarga(kEndereco, engine::MotivoDaFalha(D::ConnectionErrorDomain, -102), codigo);
    EXPECT_FALSE(html.contains(QStringLiteral("segredo"))) << html.toStdString();
    EXPECT_TRUE(html.contains(QStringLiteral("ususenha_logado=***&amp;num_cupom=1"))) << html.toStdString();
    EXPECT_TRUE(html.contains(QStringLiteral("usulogin_logado=operador"))) << html.toStdString();
    // The reason in words beside the engine's code.
    EXPECT_TRUE(html.contains(QString::fromUtf8("o servidor recusou a conexão (nenhum serviço nesse endereço e porta) "
                                                "(net::ERR_CONNECTION_REFUSED)")))
        << html.toStdString();
    EXPECT_TRUE(html.contains(QString::fromUtf8("Não foi possível carregar a página do sistema TEF.")));
    EXPECT_TRUE(html.contains(QStringLiteral("Cancelar TEF")));
    // Without the channel element the manager never reads a result from it.
    EXPECT_FALSE(html.contains(QStringLiteral("ipt_imprime_gecko")));
}

TEST(PaginaErroCarga, EnderecoEMotivoSaoTextoNaoMarcacao) {
    // Characters the address keeps as typed, and a reason quoting markup.
    const QUrl endereco(QStringLiteral("http://h/x?a=<b>&ususenha_logado=s\"e<c>r'e&t=1"));
    const QString html =
        engine::PaginaErroCarga(endereco, QStringLiteral("<script>alert(1)</script> & \"x\""), QStringLiteral("<i>"));
    EXPECT_FALSE(html.contains(QStringLiteral("<script>")));
    EXPECT_FALSE(html.contains(QStringLiteral("<b>")));
    EXPECT_FALSE(html.contains(QStringLiteral("<i>")));
    EXPECT_TRUE(html.contains(QStringLiteral("&lt;script&gt;alert(1)&lt;/script&gt; &amp; &quot;x&quot; (&lt;i&gt;)")));
    EXPECT_TRUE(html.contains(QStringLiteral("ususenha_logado=***&amp;t=1"))) << html.toStdString();
    EXPECT_FALSE(html.contains(QStringLiteral("r'e"))) << html.toStdString();
}

TEST(PaginaErroCarga, CodigoDoMotorEMotivoEmPalavras) {
    using D = QWebEngineLoadingInfo;
    struct Caso {
        D::ErrorDomain dominio;
        int codigo;
        const char* texto;   // the engine's errorString
        const char* esperado;
        const char* motivo;  // part of the reason in words
    };
    const Caso casos[] = {
        {D::ConnectionErrorDomain, -102, "net::ERR_CONNECTION_REFUSED", "net::ERR_CONNECTION_REFUSED", "recusou a conexão"},
        {D::DnsErrorDomain, -105, "ERR_NAME_NOT_RESOLVED", "net::ERR_NAME_NOT_RESOLVED", "não foi encontrado (DNS)"},
        {D::CertificateErrorDomain, -202, "", "net::-202", "autoridade confiável"},
        {D::CertificateErrorDomain, -299, "", "net::-299", "certificado do servidor foi recusado"},
        {D::HttpStatusCodeDomain, 404, "Not Found", "HTTP 404", "não existe no servidor"},
        {D::HttpStatusCodeDomain, 503, "", "HTTP 503", "indisponível"},
        {D::HttpStatusCodeDomain, 599, "", "HTTP 599", "erro no servidor"},
    };
    for (const auto& c : casos) {
        SCOPED_TRACE(c.esperado);
        EXPECT_EQ(engine::CodigoDaFalha(c.dominio, c.codigo, QString::fromUtf8(c.texto)).toStdString(), c.esperado);
        EXPECT_TRUE(engine::MotivoDaFalha(c.dominio, c.codigo).contains(QString::fromUtf8(c.motivo)))
            << engine::MotivoDaFalha(c.dominio, c.codigo).toStdString();
    }
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
