// The browser engine on QtWebEngine: navigate, load progress, and the page
// channel's read-and-clear as one script in the page's top-level document.
#pragma once

#include "Componentes.h"

#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>

namespace engine {

class TNavegadorQt : public componentes::INavegador {
public:
    TNavegadorQt();
    ~TNavegadorQt() override;

    // The browser's widget, placed by the main window.
    QWebEngineView* Widget() { return view_; }
    // Cache, cookies and the accepted certificate exceptions live here; the
    // profile is made with the engine, by the first Prepara.
    void DefinePerfil(const std::string& diretorio);
    bool Prepara() override;

    componentes::TDocumento Navega(const std::u16string& endereco) override;
    void LeELimpaAtributo(const std::u16string& id, const std::u16string& atributo,
                          std::function<void(std::optional<std::u16string>, componentes::TDocumento)> continuacao) override;
    void SetOnProgresso(std::function<void(int, int)> handler) override { onProgresso_ = std::move(handler); }
    void SetOnFalhaCarga(std::function<void(const componentes::TFalhaCarga&)> handler) override {
        onFalhaCarga_ = std::move(handler);
    }

    // How long the pages stay loaded once the page between sales is shown
    // and nothing is visible; then they are discarded (their page processes
    // end) until the next navigation. Sales in a row keep their processes.
    void SetDescanso(std::chrono::milliseconds espera) { descanso_.setInterval(espera); }
    static constexpr std::chrono::milliseconds kDescanso{30000};

private:
    static QWebEnginePage* NovaPagina(QWebEngineProfile* perfil);
    QWebEngineProfile* CriaPerfil();
    void CriaPaginas(QWebEngineProfile* perfil);
    void Mostra(QWebEnginePage* pagina);
    // Every document the page creates from now on carries the navigation's
    // number, where the read of the channel finds it.
    static void MarcaDocumentos(QWebEnginePage* pagina, componentes::TDocumento navegacao);
    void Descansa();
    QPointer<QWebEngineView> view_;  // the main window may delete it first, as its parent
    QWebEngineProfile* perfil_ = nullptr;
    QWebEnginePage* pagina_ = nullptr;       // the web system's pages
    QWebEnginePage* paginaLocal_ = nullptr;  // local pages (the page between sales)
    QWebEnginePage* atual_ = nullptr;        // the one the view shows
    std::string diretorioPerfil_;
    std::function<void(int, int)> onProgresso_;
    std::function<void(const componentes::TFalhaCarga&)> onFalhaCarga_;
    QTimer descanso_;
    // Counts the navigations asked for: an error page prepared for an older
    // one must not replace a newer page.
    componentes::TDocumento geracao_ = 0;
};

// Before the application object: the window shows the engine's pages
// without OpenGL. The engine draws them in software (no GPU), and OpenGL
// would only load a software GL stack (Mesa and LLVM, some 40 MB) into the
// process to copy them to the screen.
void DesenhaSemOpenGL();

// The script that reads the attribute of the element and empties it in the
// same turn of the page's script engine. It runs in a world of its own (the
// page's scripts cannot change what it calls) and gives [document, text]:
// the navigation the document was marked with (0: not marked) and the text,
// null without such an element.
QString ScriptLeELimpa(const std::u16string& id, const std::u16string& atributo);
// The script every new document runs first, in that same world.
QString ScriptMarcaDocumento(componentes::TDocumento navegacao);

// The page shown instead of the browser's own when the web system's page
// cannot be loaded: the reason in words beside the engine's code, the
// address with the password masked, and how to end the transaction; no
// channel element, so no result can be read.
QString PaginaErroCarga(const QUrl& endereco, const QString& motivo, const QString& codigo);
// The engine's code of a failed load ("net::ERR_CONNECTION_REFUSED", "HTTP
// 404") and its reason in the operator's words.
QString CodigoDaFalha(QWebEngineLoadingInfo::ErrorDomain dominio, int codigo, const QString& texto);
QString MotivoDaFalha(QWebEngineLoadingInfo::ErrorDomain dominio, int codigo);

// The address as the browser takes it; one without a scheme, or not an
// address at all, raises an error that names it with the password masked.
QUrl EnderecoNavegavel(const std::u16string& endereco);

// Addresses whose failures are not the web system's (the page shown between
// sales, the error page itself).
bool EnderecoLocal(const QUrl& endereco);

}  // namespace engine
