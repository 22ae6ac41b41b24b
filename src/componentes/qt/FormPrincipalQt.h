// The main window's design on Qt: a borderless, always-on-top window of
// 772 by 533 with the banner, the browser area, the status panel and the
// bottom bar; the tray icon with its menu.
#pragma once

#include "AplicacaoQt.h"

#include <QFrame>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QSystemTrayIcon>
#include <QToolButton>
#include <QWidget>

namespace componentes {

class TFormPrincipalQt;

class TJanelaPrincipalQt : public QWidget {
public:
    explicit TJanelaPrincipalQt(TFormPrincipalQt& form);

protected:
    void showEvent(QShowEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

private:
    TFormPrincipalQt& form_;
};

class TFormPrincipalQt {
public:
    // The browser widget and its operations come from the engine.
    TFormPrincipalQt(TAplicacaoQt& app, QWidget* navegador, INavegador* operacoes);
    ~TFormPrincipalQt();
    TComponentesPrincipal Componentes();

    // Shows the window as the message loop's start does.
    void MostraInicial();
    QWidget& Janela() { return *janela_; }
    QSystemTrayIcon& Tray() { return *tray_; }
    QMenu& Menu() { return *menu_; }

    // For the window's events.
    TAplicacaoQt& App() { return app_; }
    TEventosJanela Eventos;
    void Evento(const char* nome, const std::function<void()>& handler);

private:
    friend class TJanelaPrincipalQt;
    class Controle;
    class Painel;
    class Item;
    class Barra;
    class BandejaOps;
    class JanelaOps;

    TAplicacaoQt& app_;
    TJanelaPrincipalQt* janela_;
    QLabel *JvImage1_, *lblVersao_, *panEsconde_, *lblHomologa_, *lblUrl_;
    QProgressBar* ProgressBar1_;
    QFrame *Panel1_, *Panel2_, *panAdm_;
    QToolButton* SpeedButton1_;
    QSystemTrayIcon* tray_;
    QMenu* menu_;
    QAction *Verso1_, *Restaurar1_, *Administrao1_, *ParmetrosdoSistema1_, *FecharSistema1_;
    QProgressBar* JvXPProgressBar1_;  // in the download panel, which is never shown
    INavegador* navegador_;
    bool jaMostrada_ = false;
    std::unique_ptr<IJanela> opsJanela_;
    std::unique_ptr<ITrayIcon> opsTray_;
    std::unique_ptr<IControle> opsVersao_, opsEsconde_, opsHomologa_, opsUrl_, opsAdm_, opsBotao_;
    std::unique_ptr<IPainel> opsPanel1_, opsPanel2_;
    std::unique_ptr<IItemMenu> opsVerso1_, opsRestaurar1_, opsAdministrao1_, opsParametros_, opsFechar_;
    std::unique_ptr<IBarraProgresso> opsBarra_, opsBarraDownload_;
    std::unique_ptr<ITimer> tmOculta_, tmVerifica_, tmShow_, tmCmds_;
    std::unique_ptr<IImpressora> impressora_;
};

// The tray tip: up to the first "|", at most 127 characters.
QString DicaBandeja(const std::string& dica);

}  // namespace componentes
