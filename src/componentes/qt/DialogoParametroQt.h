// The parameters dialog on Qt, with the global hot key Ctrl+U.
#pragma once

#include "AplicacaoQt.h"

#include <QAbstractNativeEventFilter>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

class QShortcut;

namespace componentes {

// Ctrl+U for the whole desktop while held: an X11 grab on the root window, a
// hot key registered for the dialog's window on Windows; otherwise an
// application-wide shortcut. One holder at a time in the program; a key
// another program holds means no hot key, silently.
class THotKeyGlobal : public QAbstractNativeEventFilter {
public:
    THotKeyGlobal(QWidget* dono, std::function<void()> aoPressionar);
    ~THotKeyGlobal() override;
    bool Ativa() const { return ativa_; }
    bool nativeEventFilter(const QByteArray& tipo, void* mensagem, qintptr* resultado) override;

private:
    std::function<void()> aoPressionar_;
    bool ativa_ = false;
    bool x11_ = false;
    unsigned codigoTecla_ = 0;
    std::uintptr_t janela_ = 0;  // Windows: the window the hot key is registered for
    QShortcut* atalho_ = nullptr;
};

class TDialogoParametroQt : public QDialog, public IDialogoParametro {
public:
    TDialogoParametroQt(IAplicacao& app, QWidget* dono);
    ~TDialogoParametroQt() override;

    IControle& edtEmpresa() override { return *ops_[0]; }
    IControle& edtLogin() override { return *ops_[1]; }
    IControle& edtSenha() override { return *ops_[2]; }
    IControle& edtUrl() override { return *ops_[3]; }
    IControle& Label4() override { return *ops_[4]; }
    void SetOnShow(std::function<void()> h) override { onShow_ = std::move(h); }
    void SetOnConfigura(std::function<void()> h) override { onConfigura_ = std::move(h); }
    void SetOnHotKey(std::function<void()> h) override { onHotKey_ = std::move(h); }
    void ShowModal() override { exec(); }
    void Close() override { done(QDialog::Accepted); }

    bool TemHotKey() const { return hotKey_ && hotKey_->Ativa(); }

protected:
    void showEvent(QShowEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    IAplicacao& app_;
    QLineEdit *edtEmpresa_, *edtLogin_, *edtSenha_, *edtUrl_;
    QLabel* Label4_;
    QPushButton* btnConfigura_;
    std::unique_ptr<IControle> ops_[5];
    std::unique_ptr<THotKeyGlobal> hotKey_;
    std::function<void()> onShow_, onConfigura_, onHotKey_;
};

}  // namespace componentes
