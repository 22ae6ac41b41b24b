#include "NavegadorQt.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QSslCertificate>
#include <QWebEngineCertificateError>
#include <QWebEngineScript>
#include <QWebEngineSettings>

namespace engine {

namespace {

QString LiteralJs(const std::u16string& texto) {
    // A JSON string is a valid JavaScript string literal.
    const QJsonDocument doc(QJsonArray{QString::fromStdU16String(texto)});
    QByteArray json = doc.toJson(QJsonDocument::Compact);
    return QString::fromUtf8(json.mid(1, json.size() - 2));
}

}  // namespace

QString ScriptLeELimpa(const std::u16string& id, const std::u16string& atributo) {
    return QStringLiteral(
               "(function(){var e=document.getElementById(%1);if(!e)return null;"
               "var v=e.getAttribute(%2);if(v===null)v='';if(v!=='')e.setAttribute(%2,'');return v;})()")
        .arg(LiteralJs(id), LiteralJs(atributo));
}

TNavegadorQt::TNavegadorQt() : view_(new QWebEngineView()) {
    QObject::connect(view_, &QWebEngineView::loadProgress, [this](int p) {
        if (onProgresso_) onProgresso_(p, 100);
    });
}

TNavegadorQt::~TNavegadorQt() {
    delete view_.data();
    delete pagina_;  // a page must go before its profile
    delete perfil_;
}

void TNavegadorQt::CriaPagina(QWebEngineProfile* perfil) {
    pagina_ = new QWebEnginePage(perfil);
    QObject::connect(pagina_, &QWebEnginePage::certificateError, [this](const QWebEngineCertificateError& erro) {
        QWebEngineCertificateError e = erro;
        const QList<QSslCertificate> cadeia = e.certificateChain();
        bool aceito = false;
        if (!cadeia.isEmpty() && !diretorioPerfil_.empty()) {
            const QByteArray digest = cadeia.first().digest(QCryptographicHash::Sha256);
            QFile f(QString::fromStdString(diretorioPerfil_ + "/cert_override.txt"));
            if (f.open(QIODevice::ReadOnly)) {
                const QUrl url = e.url();
                const int porta = url.port(url.scheme() == QLatin1String("https") ? 443 : 80);
                aceito = CertificadoAceito(f.readAll().toStdString(), url.host().toStdString(), porta,
                                           digest.toHex(':').toUpper().toStdString());
            }
        }
        if (aceito) e.acceptCertificate();
        else e.rejectCertificate();
    });
    view_->setPage(pagina_);
}

void TNavegadorQt::DefinePerfil(const std::string& diretorio) {
    if (perfil_ != nullptr) return;
    diretorioPerfil_ = diretorio;
    perfil_ = new QWebEngineProfile(QStringLiteral("default"));
    const QString d = QString::fromStdString(diretorio);
    perfil_->setPersistentStoragePath(d);
    perfil_->setCachePath(d + QStringLiteral("/Cache"));
    perfil_->setHttpCacheType(QWebEngineProfile::DiskHttpCache);
    perfil_->setPersistentCookiesPolicy(QWebEngineProfile::ForcePersistentCookies);
    CriaPagina(perfil_);
}

void TNavegadorQt::Navega(const std::u16string& endereco) {
    if (pagina_ == nullptr) CriaPagina(QWebEngineProfile::defaultProfile());
    const QString texto = QString::fromStdU16String(endereco);
    const QUrl url(texto, QUrl::TolerantMode);
    if (!url.isValid() || url.scheme().isEmpty())
        throw Exception("The address \"" + Utf16ParaCp1252(endereco) + "\" cannot be loaded");
    pagina_->load(url);
}

void TNavegadorQt::LeELimpaAtributo(const std::u16string& id, const std::u16string& atributo,
                                    std::function<void(std::optional<std::u16string>)> continuacao) {
    if (pagina_ == nullptr) {
        continuacao(std::nullopt);
        return;
    }
    pagina_->runJavaScript(ScriptLeELimpa(id, atributo), QWebEngineScript::MainWorld,
                           [continuacao](const QVariant& v) {
                               if (!v.isValid() || v.isNull()) continuacao(std::nullopt);
                               else continuacao(v.toString().toStdU16String());
                           });
}

}  // namespace engine
