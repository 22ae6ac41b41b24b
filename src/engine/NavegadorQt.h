// The browser engine on QtWebEngine: navigate, load progress, and the page
// channel's read-and-clear as one script in the page's top-level document.
#pragma once

#include "Componentes.h"

#include <QPointer>
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
    // Cache, cookies and the accepted certificate exceptions live here.
    void DefinePerfil(const std::string& diretorio);

    void Navega(const std::u16string& endereco) override;
    void LeELimpaAtributo(const std::u16string& id, const std::u16string& atributo,
                          std::function<void(std::optional<std::u16string>)> continuacao) override;
    void SetOnProgresso(std::function<void(int, int)> handler) override { onProgresso_ = std::move(handler); }

private:
    void CriaPagina(QWebEngineProfile* perfil);
    QPointer<QWebEngineView> view_;  // the main window may delete it first, as its parent
    QWebEngineProfile* perfil_ = nullptr;
    QWebEnginePage* pagina_ = nullptr;
    std::string diretorioPerfil_;
    std::function<void(int, int)> onProgresso_;
};

// The script that reads the attribute of the element and empties it in the
// same turn of the page's script engine: null without such an element.
QString ScriptLeELimpa(const std::u16string& id, const std::u16string& atributo);

}  // namespace engine
