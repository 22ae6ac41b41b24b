#include "DialogoParametroQt.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <limits>
#include <QShortcut>

#include "Plataforma.h"

#ifndef _WIN32
#include <xcb/xcb.h>

#include <X11/Xlib.h>
#include <X11/keysym.h>
#endif

namespace componentes {

namespace {

THotKeyGlobal* g_dono = nullptr;  // the one holder of Ctrl+U in this program

#ifdef _WIN32
constexpr int kIdTecla = 0x5455;  // the program's own identifier for Ctrl+U
#else
bool g_grabRecusado = false;

int AoErroX(Display*, XErrorEvent* e) {
    if (e->error_code == BadAccess) g_grabRecusado = true;
    return 0;
}

Display* DisplayX11() {
    if (auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>()) return x11->display();
    return nullptr;
}

// Lock keys must not stop the hot key: grab with every combination of them.
const unsigned kTravas[] = {0, LockMask, Mod2Mask, LockMask | Mod2Mask};
#endif

class EditOps : public IControle {
public:
    explicit EditOps(QLineEdit* e) : e_(e) {}
    void SetCaption(const std::string& t) override { e_->setText(ParaQString(t)); }
    std::string Caption() const override { return DeQString(e_->text()); }
    void SetVisible(bool v) override { e_->setVisible(v); }
    bool Visible() const override { return !e_->isHidden(); }

private:
    QLineEdit* e_;
};

class RotuloOps : public IControle {
public:
    explicit RotuloOps(QLabel* l) : l_(l) {}
    void SetCaption(const std::string& t) override { l_->setText(ParaQString(t)); }
    std::string Caption() const override { return DeQString(l_->text()); }
    void SetVisible(bool v) override { l_->setVisible(v); }
    bool Visible() const override { return !l_->isHidden(); }

private:
    QLabel* l_;
};

}  // namespace

// ---- the hot key ---------------------------------------------------------------------

THotKeyGlobal::THotKeyGlobal(QWidget* dono, std::function<void()> aoPressionar)
    : aoPressionar_(std::move(aoPressionar)) {
    if (g_dono != nullptr) return;  // another dialog of this program holds it
#ifdef _WIN32
    janela_ = static_cast<std::uintptr_t>(dono->winId());
    if (!plataforma::RegistraCtrlU(janela_, kIdTecla)) return;
    qApp->installNativeEventFilter(this);
#else
    if (Display* d = DisplayX11()) {
        x11_ = true;
        codigoTecla_ = XKeysymToKeycode(d, XK_u);
        XSync(d, False);
        g_grabRecusado = false;
        auto anterior = XSetErrorHandler(AoErroX);
        for (unsigned trava : kTravas)
            XGrabKey(d, static_cast<int>(codigoTecla_), ControlMask | trava, DefaultRootWindow(d), True, GrabModeAsync,
                     GrabModeAsync);
        XSync(d, False);
        XSetErrorHandler(anterior);
        if (g_grabRecusado) {
            for (unsigned trava : kTravas)
                XUngrabKey(d, static_cast<int>(codigoTecla_), ControlMask | trava, DefaultRootWindow(d));
            XSync(d, False);
            return;
        }
        qApp->installNativeEventFilter(this);
    } else {
        atalho_ = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_U), dono);
        atalho_->setContext(Qt::ApplicationShortcut);
        QObject::connect(atalho_, &QShortcut::activated, [this] { aoPressionar_(); });
    }
#endif
    ativa_ = true;
    g_dono = this;
}

THotKeyGlobal::~THotKeyGlobal() {
    if (!ativa_) return;
#ifdef _WIN32
    qApp->removeNativeEventFilter(this);
    plataforma::LiberaTeclaGlobal(janela_, kIdTecla);
#else
    if (x11_) {
        qApp->removeNativeEventFilter(this);
        if (Display* d = DisplayX11()) {
            for (unsigned trava : kTravas)
                XUngrabKey(d, static_cast<int>(codigoTecla_), ControlMask | trava, DefaultRootWindow(d));
            XSync(d, False);
        }
    }
#endif
    delete atalho_;
    g_dono = nullptr;
}

bool THotKeyGlobal::nativeEventFilter(const QByteArray& tipo, void* mensagem, qintptr*) {
#ifdef _WIN32
    if (tipo != "windows_generic_MSG" || !plataforma::MensagemDaTeclaGlobal(mensagem, kIdTecla)) return false;
    aoPressionar_();
    return true;
#else
    if (tipo != "xcb_generic_event_t") return false;
    auto* evento = static_cast<xcb_generic_event_t*>(mensagem);
    if ((evento->response_type & ~0x80) != XCB_KEY_PRESS) return false;
    auto* tecla = static_cast<xcb_key_press_event_t*>(mensagem);
    const unsigned modificadores = tecla->state & (ShiftMask | ControlMask | Mod1Mask | Mod4Mask);
    if (tecla->detail != codigoTecla_ || modificadores != ControlMask) return false;
    aoPressionar_();
    return true;  // the keystroke belongs to the hot key, nobody else sees it
#endif
}

// ---- the dialog --------------------------------------------------------------------------

TDialogoParametroQt::TDialogoParametroQt(IAplicacao& app, QWidget* dono)
    : QDialog(dono, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                        Qt::WindowCloseButtonHint),
      app_(app) {
    setObjectName("frmParametro");
    setWindowTitle(ParaQString("[ Parametriza\xE7\xE3o ]"));
    setFixedSize(221, 253);
    setWindowModality(Qt::WindowModal);
    QFont fonte(QStringLiteral("MS Sans Serif"));
    fonte.setPixelSize(11);
    setFont(fonte);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Button));
    setPalette(pal);

    auto* Panel1 = new QFrame(this);
    Panel1->setGeometry(0, 0, 221, 253);
    auto* Panel2 = new QFrame(Panel1);
    Panel2->setFrameShape(QFrame::Panel);
    Panel2->setFrameShadow(QFrame::Sunken);
    Panel2->setGeometry(3, 3, 215, 247);

    const auto rotulo = [&](const std::string& texto, int x, int y) {
        auto* l = new QLabel(ParaQString(texto), Panel2);
        l->move(x, y);
        l->adjustSize();
        return l;
    };
    const auto edit = [&](int x, int y, const char* nome) {
        auto* e = new QLineEdit(Panel2);
        e->setObjectName(nome);
        e->setGeometry(x, y, 198, 21);
        e->setMaxLength(std::numeric_limits<int>::max());  // no length limit
        return e;
    };
    rotulo("C\xF3" "digo da Loja:", 8, 8);
    edtEmpresa_ = edit(8, 24, "edtEmpresa");
    rotulo("Login", 8, 48);
    edtLogin_ = edit(8, 64, "edtLogin");
    rotulo("Senha:", 8, 88);
    edtSenha_ = edit(8, 104, "edtSenha");
    edtSenha_->setEchoMode(QLineEdit::Password);
    edtSenha_->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));  // "*"
    Label4_ = rotulo("Url:", 8, 171);
    edtUrl_ = edit(8, 187, "edtUrl");
    Label4_->hide();
    edtUrl_->hide();
    btnConfigura_ = new QPushButton(QStringLiteral("Configurar"), Panel2);
    btnConfigura_->setObjectName("btnConfigura");
    btnConfigura_->setGeometry(131, 216, 75, 24);
    btnConfigura_->setAutoDefault(false);
    btnConfigura_->setDefault(false);
    QObject::connect(btnConfigura_, &QPushButton::clicked, [this] {
        if (onConfigura_) app_.ExecutaHandler("btnConfiguraClick", onConfigura_);
    });
    setTabOrder(btnConfigura_, edtEmpresa_);
    setTabOrder(edtEmpresa_, edtLogin_);
    setTabOrder(edtLogin_, edtSenha_);
    setTabOrder(edtSenha_, edtUrl_);

    ops_[0] = std::make_unique<EditOps>(edtEmpresa_);
    ops_[1] = std::make_unique<EditOps>(edtLogin_);
    ops_[2] = std::make_unique<EditOps>(edtSenha_);
    ops_[3] = std::make_unique<EditOps>(edtUrl_);
    ops_[4] = std::make_unique<RotuloOps>(Label4_);

    hotKey_ = std::make_unique<THotKeyGlobal>(this, [this] {
        if (onHotKey_) app_.ExecutaHandler("JvApplicationHotKey1HotKey", onHotKey_);
    });

    if (QScreen* tela = QGuiApplication::primaryScreen()) {
        const QRect r = tela->availableGeometry();
        move(r.x() + (r.width() - width()) / 2, r.y() + (r.height() - height()) / 2);
    }
}

TDialogoParametroQt::~TDialogoParametroQt() = default;

void TDialogoParametroQt::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    // A restore from minimised is shown again by the system: the dialog is
    // filled once per opening, not over what the operator typed.
    if (e->spontaneous()) return;
    edtEmpresa_->setFocus();
    if (onShow_) app_.ExecutaHandler("TfrmParametro.FormShow", onShow_);
}

void TDialogoParametroQt::keyPressEvent(QKeyEvent* e) {
    // No default or cancel button: Enter and Escape do not close the dialog.
    switch (e->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        e->accept();
        return;
    default:
        QDialog::keyPressEvent(e);
    }
}

}  // namespace componentes
