#include "NavegadorQt.h"

#include "Mensagens.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QLoggingCategory>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QSslCertificate>
#include <QWebEngineCertificateError>
#include <QWebEngineLoadingInfo>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>

#include <cstdio>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace engine {

namespace {

// The same category and default level as the browser's own console logging.
Q_LOGGING_CATEGORY(lcJs, "js", QtWarningMsg)

QString Mascara(const QString& texto) { return QString::fromStdString(MascaraSenha(texto.toStdString())); }

// Fully encoded, an address holds no blank, double quote or "&" inside a
// value; the single quote is the one character the mask would stop at that
// the encoding leaves alone, so it is encoded too.
QString MascaraEndereco(const QUrl& endereco) {
    return Mascara(endereco.toString(QUrl::FullyEncoded).replace(QLatin1Char('\''), QLatin1String("%27")));
}
QString MascaraEndereco(const QString& texto) {
    const QUrl url(texto);
    return url.isValid() && !url.scheme().isEmpty() ? MascaraEndereco(url) : Mascara(texto);
}

// The page's console goes to the log as the browser's default does, but
// the page address in it (and in any message quoting it) carries the
// operator's password.
class TPaginaQt : public QWebEnginePage {
public:
    using QWebEnginePage::QWebEnginePage;

protected:
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel nivel, const QString& mensagem, int linha,
                                  const QString& origem) override {
        const auto texto = [&] {
            return QStringLiteral("%1 (%2:%3)").arg(Mascara(mensagem), MascaraEndereco(origem)).arg(linha);
        };
        switch (nivel) {
            case InfoMessageLevel:
                qCInfo(lcJs).noquote() << texto();
                break;
            case WarningMessageLevel:
                qCWarning(lcJs).noquote() << texto();
                break;
            case ErrorMessageLevel:
                qCCritical(lcJs).noquote() << texto();
                break;
        }
    }
};

QString LiteralJs(const std::u16string& texto) {
    // A JSON string is a valid JavaScript string literal.
    const QJsonDocument doc(QJsonArray{QString::fromStdU16String(texto)});
    QByteArray json = doc.toJson(QJsonDocument::Compact);
    return QString::fromUtf8(json.mid(1, json.size() - 2));
}

}  // namespace

namespace {
QtMessageHandler gAnterior = nullptr;
// The engine makes an OpenGL context when the application starts, whatever
// it draws with; that it cannot is this process's choice, not news.
void SemAvisoDeOpenGL(QtMsgType tipo, const QMessageLogContext& contexto, const QString& texto) {
    if (tipo == QtWarningMsg && texto.startsWith(QLatin1String("QXcbIntegration: Cannot create platform OpenGL context")))
        return;
    if (gAnterior) gAnterior(tipo, contexto, texto);
    else std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(tipo, contexto, texto)));
}
}  // namespace

void DesenhaSemOpenGL() {
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    // The engine's library asks for a shared OpenGL context when it loads.
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts, false);
    // An operator's own choice stands.
    if (!qEnvironmentVariableIsEmpty("QT_XCB_GL_INTEGRATION")) return;
    qputenv("QT_XCB_GL_INTEGRATION", "none");
    gAnterior = qInstallMessageHandler(SemAvisoDeOpenGL);
}

QString ScriptLeELimpa(const std::u16string& id, const std::u16string& atributo) {
    return QStringLiteral(
               "(function(){var d=typeof window.__tefDocumento==='number'?window.__tefDocumento:0;"
               "var e=document.getElementById(%1);if(!e)return [d,null];"
               "var v=e.getAttribute(%2);if(v===null)v='';if(v!=='')e.setAttribute(%2,'');return [d,v];})()")
        .arg(LiteralJs(id), LiteralJs(atributo));
}

QString ScriptMarcaDocumento(componentes::TDocumento navegacao) {
    return QStringLiteral("window.__tefDocumento=%1;").arg(navegacao);
}

QString CodigoDaFalha(QWebEngineLoadingInfo::ErrorDomain dominio, int codigo, const QString& texto) {
    if (dominio == QWebEngineLoadingInfo::HttpStatusCodeDomain) return QStringLiteral("HTTP %1").arg(codigo);
    if (texto.startsWith(QLatin1String("net::"))) return texto;
    if (texto.startsWith(QLatin1String("ERR_"))) return QStringLiteral("net::") + texto;
    return QStringLiteral("net::%1").arg(codigo);
}

QString MotivoDaFalha(QWebEngineLoadingInfo::ErrorDomain dominio, int codigo) {
    const bool http = dominio == QWebEngineLoadingInfo::HttpStatusCodeDomain;
    return QString::fromStdU16String(Cp1252ParaUtf16(mensagens::MotivoDeCarga(http ? "http" : "net", codigo)));
}

QString PaginaErroCarga(const QUrl& endereco, const QString& motivo, const QString& codigo) {
    const QString erro = motivo + QStringLiteral(" (") + codigo + QLatin1Char(')');
    const QString mascarado = MascaraEndereco(endereco);
    return QStringLiteral(
               "<!DOCTYPE html><html lang=\"pt-BR\"><head><meta charset=\"utf-8\"><title>TEF</title><style>"
               "body{margin:0;font-family:Arial,sans-serif;background:#fff;color:#222}"
               "h1{margin:0;padding:18px 22px;font-size:20px;background:#c00000;color:#fff}"
               "p{margin:14px 22px;font-size:14px}code{word-break:break-all;color:#555}"
               "</style></head><body>"
               "<h1>N\u00E3o foi poss\u00EDvel carregar a p\u00E1gina do sistema TEF.</h1>"
               "<p>Endere\u00E7o: <code>%1</code></p>"
               "<p>Motivo: <code>%2</code></p>"
               "<p>Verifique a conex\u00E3o com o sistema TEF. Pressione \u201CCancelar TEF\u201D para encerrar a "
               "transa\u00E7\u00E3o.</p>"
               "</body></html>")
        .arg(mascarado.toHtmlEscaped(), Mascara(erro).toHtmlEscaped());
}

QUrl EnderecoNavegavel(const std::u16string& endereco) {
    const QUrl url(QString::fromStdU16String(endereco), QUrl::TolerantMode);
    if (!url.isValid() || url.scheme().isEmpty())
        throw Exception("The address \"" + MascaraSenha(Utf16ParaCp1252(endereco)) + "\" cannot be loaded");
    return url;
}

bool EnderecoLocal(const QUrl& endereco) {
    const QString esquema = endereco.scheme().toLower();
    return endereco.isLocalFile() || esquema == QLatin1String("data") || esquema == QLatin1String("about") ||
           esquema == QLatin1String("qrc");
}

TNavegadorQt::TNavegadorQt() : view_(new QWebEngineView()) {
    // A view shown without a page makes one, and the engine with it, in a
    // profile of its own: it stays hidden until its pages exist.
    view_->hide();
    QObject::connect(view_, &QWebEngineView::loadProgress, [this](int p) {
        if (onProgresso_) onProgresso_(p, 100);
    });
    descanso_.setSingleShot(true);
    descanso_.setInterval(kDescanso);
    QObject::connect(&descanso_, &QTimer::timeout, [this] { Descansa(); });
}

TNavegadorQt::~TNavegadorQt() {
    delete view_.data();
    // Pages must go before their profile.
    delete pagina_;
    delete paginaLocal_;
    delete perfil_;
}

QWebEnginePage* TNavegadorQt::NovaPagina(QWebEngineProfile* perfil) {
    QWebEnginePage* p = new TPaginaQt(perfil);
    // The browser's error page shows the full address, password included.
    p->settings()->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
    return p;
}

void TNavegadorQt::CriaPaginas(QWebEngineProfile* perfil) {
    // Two pages, each staying on its kind of address: the web system's pages
    // and the local page shown between sales. Going from one kind to the
    // other in one page makes the browser start a new page process each
    // time, and every process started leaves memory behind in this one
    // (about 4 kB a sale, without end); two pages keep their processes.
    paginaLocal_ = NovaPagina(perfil);
    pagina_ = NovaPagina(perfil);
    QObject::connect(pagina_, &QWebEnginePage::loadingChanged, [this](const QWebEngineLoadingInfo& info) {
        // A load replaced by another is stopped, not failed.
        if (info.status() != QWebEngineLoadingInfo::LoadFailedStatus || info.errorCode() == -3 /* aborted */ ||
            EnderecoLocal(info.url()))
            return;
        const bool http = info.errorDomain() == QWebEngineLoadingInfo::HttpStatusCodeDomain;
        if (http && info.errorCode() < 400) return;
        const QString codigo = CodigoDaFalha(info.errorDomain(), info.errorCode(), info.errorString());
        const QString motivo = MotivoDaFalha(info.errorDomain(), info.errorCode());
        componentes::TFalhaCarga falha{info.url().toString(QUrl::FullyEncoded).toStdU16String(),
                                       Utf16ParaCp1252(codigo.toStdU16String()),
                                       Utf16ParaCp1252(motivo.toStdU16String()), geracao_};
        // An HTTP error status shows the web system's own answer; any other
        // failure, this manager's page with the reason in words.
        const QString html = http ? QString() : PaginaErroCarga(info.url(), motivo, codigo);
        // Queued: not from inside the browser's own report of the failure.
        QMetaObject::invokeMethod(
            pagina_,
            [this, html, falha, geracao = geracao_] {
                if (geracao != geracao_) return;
                if (!html.isEmpty()) pagina_->setHtml(html);
                if (onFalhaCarga_) onFalhaCarga_(falha);
            },
            Qt::QueuedConnection);
    });
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
    Mostra(paginaLocal_);
}

void TNavegadorQt::Mostra(QWebEnginePage* pagina) {
    // Not view_->page(): asked before a page is set, it makes one.
    if (view_ && atual_ != pagina) view_->setPage(pagina);
    atual_ = pagina;
}

void TNavegadorQt::DefinePerfil(const std::string& diretorio) {
    if (perfil_ == nullptr && diretorioPerfil_.empty()) diretorioPerfil_ = diretorio;
}

QWebEngineProfile* TNavegadorQt::CriaPerfil() {
    if (diretorioPerfil_.empty()) return QWebEngineProfile::defaultProfile();
    perfil_ = new QWebEngineProfile(QStringLiteral("default"));
    const QString d = QString::fromStdString(diretorioPerfil_);
    perfil_->setPersistentStoragePath(d);
    perfil_->setCachePath(d + QStringLiteral("/Cache"));
    perfil_->setHttpCacheType(QWebEngineProfile::DiskHttpCache);
    perfil_->setPersistentCookiesPolicy(QWebEngineProfile::ForcePersistentCookies);
    return perfil_;
}

bool TNavegadorQt::Prepara() {
    if (pagina_ == nullptr) {
        // The engine's own start comes with the first profile: until a page
        // of the web system is wanted, the tray costs no more than the window.
        CriaPaginas(CriaPerfil());
        if (view_) view_->show();
    } else if (pagina_->lifecycleState() != QWebEnginePage::LifecycleState::Discarded) {
        return false;
    }
    // A blank document starts the page process (and, the first time, the
    // network and the cache) in the event loop; the web system's page takes
    // over that process. Between sales the page is on a blank document
    // anyway, so bringing a discarded one back asks the web system for
    // nothing.
    MarcaDocumentos(pagina_, geracao_);
    pagina_->load(QUrl(QStringLiteral("about:blank")));
    // A request that opens no screen leaves it to rest again.
    descanso_.start();
    return true;
}

void TNavegadorQt::MarcaDocumentos(QWebEnginePage* pagina, componentes::TDocumento navegacao) {
    static const QString nome = QStringLiteral("tef-documento");
    QWebEngineScriptCollection& scripts = pagina->scripts();
    for (const QWebEngineScript& s : scripts.find(nome)) scripts.remove(s);
    QWebEngineScript marca;
    marca.setName(nome);
    marca.setInjectionPoint(QWebEngineScript::DocumentCreation);
    marca.setWorldId(QWebEngineScript::ApplicationWorld);
    marca.setRunsOnSubFrames(false);
    marca.setSourceCode(ScriptMarcaDocumento(navegacao));
    scripts.insert(marca);
}

void TNavegadorQt::Descansa() {
    // Only between sales: the web system's page is then on a blank document,
    // so bringing it back (any load does) asks the web system for nothing.
    if (atual_ != paginaLocal_ || atual_ == nullptr) return;
    bool algum = false;
    for (QWebEnginePage* p : {paginaLocal_, pagina_}) {
        // A page on screen cannot be discarded; the window may be open
        // for the operator: try again later.
        if (p->isVisible()) {
            descanso_.start();
            continue;
        }
        if (p->lifecycleState() == QWebEnginePage::LifecycleState::Discarded) continue;
        p->setLifecycleState(QWebEnginePage::LifecycleState::Discarded);
        algum = true;
    }
    // What the pages' ends freed in this process goes back to the system.
#ifdef __GLIBC__
    if (algum) malloc_trim(0);
#endif
}

componentes::TDocumento TNavegadorQt::Navega(const std::u16string& endereco) {
    const QUrl url = EnderecoNavegavel(endereco);
    ++geracao_;
    // Until the new document arrives the old one stays shown and may still
    // hand over a result: the number tells the two apart.
    if (EnderecoLocal(url)) {
        // The page between sales is seen by nobody (the window covers the
        // browser while it is shown): it does not start the engine.
        if (pagina_ == nullptr) return geracao_;
        const bool saiDoSistemaWeb = atual_ == pagina_;
        Mostra(paginaLocal_);
        MarcaDocumentos(paginaLocal_, geracao_);
        paginaLocal_->load(url);
        // The web system's page leaves nothing running behind the local one;
        // a blank page keeps its process.
        if (saiDoSistemaWeb) {
            MarcaDocumentos(pagina_, geracao_);
            pagina_->load(QUrl(QStringLiteral("about:blank")));
        }
        descanso_.start();
    } else {
        Prepara();
        descanso_.stop();
        Mostra(pagina_);
        MarcaDocumentos(pagina_, geracao_);
        pagina_->load(url);
    }
    return geracao_;
}

void TNavegadorQt::LeELimpaAtributo(const std::u16string& id, const std::u16string& atributo,
                                    std::function<void(std::optional<std::u16string>, componentes::TDocumento)> continuacao) {
    // A discarded page has no document to read.
    if (atual_ == nullptr || atual_->lifecycleState() == QWebEnginePage::LifecycleState::Discarded) {
        continuacao(std::nullopt, 0);
        return;
    }
    // The page shown: the channel of a page no longer shown is not read.
    atual_->runJavaScript(ScriptLeELimpa(id, atributo), QWebEngineScript::ApplicationWorld,
                           [continuacao](const QVariant& v) {
                               const QVariantList par = v.toList();
                               if (par.size() != 2) {
                                   continuacao(std::nullopt, 0);
                                   return;
                               }
                               bool ok = false;
                               const qulonglong documento = par[0].toULongLong(&ok);
                               const componentes::TDocumento d = ok ? documento : 0;
                               if (!par[1].isValid() || par[1].isNull()) continuacao(std::nullopt, d);
                               else continuacao(par[1].toString().toStdU16String(), d);
                           });
}

}  // namespace engine
