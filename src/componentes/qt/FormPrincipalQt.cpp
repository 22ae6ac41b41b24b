#include "FormPrincipalQt.h"

#include "DialogoParametroQt.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFont>
#include <QIcon>
#include <QPixmap>
#include <QScreen>

// The pictures are compiled into this static library; they must be
// registered before first use.
static void CarregaRecursos() { Q_INIT_RESOURCE(recursos); }

namespace componentes {

namespace {

QFont Fonte(const char* familia, int pixels, bool negrito, bool italico = false) {
    QFont f(QString::fromLatin1(familia));
    f.setPixelSize(pixels);
    f.setBold(negrito);
    f.setItalic(italico);
    return f;
}

// Runs a handler whenever the watched widget is resized.
class FiltroResize : public QObject {
public:
    FiltroResize(QObject* pai, std::function<void()> aoRedimensionar)
        : QObject(pai), aoRedimensionar_(std::move(aoRedimensionar)) {}
    bool eventFilter(QObject* alvo, QEvent* e) override {
        if (e->type() == QEvent::Resize) aoRedimensionar_();
        return QObject::eventFilter(alvo, e);
    }

private:
    std::function<void()> aoRedimensionar_;
};

}  // namespace

QString DicaBandeja(const std::string& dica) {
    std::string t = dica.substr(0, dica.find('|'));
    if (t.size() > 127) t.resize(127);
    return ParaQString(t);
}

// ---- component operations over the widgets ----------------------------------------

class TFormPrincipalQt::Controle : public IControle {
public:
    using Ajuste = std::function<void(QWidget&)>;
    Controle(QWidget* w, std::function<void(const QString&)> poeTexto, std::function<QString()> texto,
             Ajuste aposTexto = nullptr)
        : w_(w), poe_(std::move(poeTexto)), le_(std::move(texto)), ajuste_(std::move(aposTexto)) {}
    void SetCaption(const std::string& t) override {
        poe_(ParaQString(t));
        if (ajuste_) ajuste_(*w_);
    }
    std::string Caption() const override { return DeQString(le_()); }
    void SetVisible(bool v) override { w_->setVisible(v); }
    bool Visible() const override { return !w_->isHidden(); }

private:
    QWidget* w_;
    std::function<void(const QString&)> poe_;
    std::function<QString()> le_;
    Ajuste ajuste_;
};

class TFormPrincipalQt::Painel : public IPainel {
public:
    explicit Painel(QFrame* f) : f_(f) {}
    void SetCaption(const std::string& t) override { caption_ = t; }
    std::string Caption() const override { return caption_; }
    void SetVisible(bool v) override { f_->setVisible(v); }
    bool Visible() const override { return !f_->isHidden(); }
    int Width() const override { return f_->width(); }
    int Height() const override { return f_->height(); }
    void SetSize(int l, int a) override { f_->resize(l, a); }

private:
    QFrame* f_;
    std::string caption_;
};

class TFormPrincipalQt::Item : public IItemMenu {
public:
    explicit Item(QAction* a) : a_(a) {}
    void SetCaption(const std::string& t) override { a_->setText(ParaQString(t)); }
    std::string Caption() const override { return DeQString(a_->text()); }
    void SetEnabled(bool v) override { a_->setEnabled(v); }
    bool Enabled() const override { return a_->isEnabled(); }

private:
    QAction* a_;
};

class TFormPrincipalQt::Barra : public IBarraProgresso {
public:
    explicit Barra(QProgressBar* b) : b_(b) {}
    void SetMax(int m) override {
        if (m <= 0) throw Exception("Property value out of range");
        b_->setMaximum(m);
    }
    int Max() const override { return b_->maximum(); }
    void SetPosition(int p) override { b_->setValue(std::clamp(p, b_->minimum(), b_->maximum())); }
    int Position() const override { return b_->value(); }

private:
    QProgressBar* b_;
};

class TFormPrincipalQt::BandejaOps : public ITrayIcon {
public:
    explicit BandejaOps(QSystemTrayIcon* t) : t_(t) {}
    void SetActive(bool a) override { t_->setVisible(a); }
    bool Active() const override { return t_->isVisible(); }
    void SetHint(const std::string& d) override {
        dica_ = d;
        t_->setToolTip(DicaBandeja(d));
    }
    std::string Hint() const override { return dica_; }

private:
    QSystemTrayIcon* t_;
    std::string dica_;
};

class TFormPrincipalQt::JanelaOps : public IJanela {
public:
    explicit JanelaOps(TFormPrincipalQt& f) : f_(f) {}
    void Show() override { f_.MostraInicial(); }
    void Hide() override { f_.janela_->hide(); }
    bool Visible() const override { return f_.janela_->isVisible(); }
    void BringToFront() override {
        f_.janela_->raise();
        f_.janela_->activateWindow();
    }
    void Close() override { f_.janela_->close(); }
    void SetFundoTransparente() override { f_.janela_->setAttribute(Qt::WA_NoSystemBackground, true); }

private:
    TFormPrincipalQt& f_;
};

// ---- the window ---------------------------------------------------------------------

TJanelaPrincipalQt::TJanelaPrincipalQt(TFormPrincipalQt& form)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint), form_(form) {}

void TJanelaPrincipalQt::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    form_.Evento("FormShow", form_.Eventos.FormShow);
}

void TJanelaPrincipalQt::closeEvent(QCloseEvent* e) {
    form_.Evento("FormClose", form_.Eventos.FormClose);
    e->accept();
    form_.tray_->hide();
    // Closing the main window ends the program.
    QCoreApplication::quit();
}

void TFormPrincipalQt::Evento(const char* nome, const std::function<void()>& handler) {
    if (handler) app_.ExecutaHandler(nome, handler);
}

TFormPrincipalQt::TFormPrincipalQt(TAplicacaoQt& app, QWidget* navegador, INavegador* operacoes)
    : app_(app), janela_(new TJanelaPrincipalQt(*this)), navegador_(operacoes) {
    CarregaRecursos();
    QWidget* w = janela_;
    w->setObjectName("frmPrincipal");
    w->setFixedSize(772, 533);
    w->setFont(Fonte("MS Sans Serif", 11, false));
    QPalette pal = w->palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Button));
    w->setPalette(pal);
    w->setAutoFillBackground(true);

    JvImage1_ = new QLabel(w);
    JvImage1_->setObjectName("JvImage1");
    JvImage1_->setGeometry(0, 0, 772, 54);
    JvImage1_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    JvImage1_->setPixmap(QPixmap(QStringLiteral(":/tef/banner.jpg"), "JPG"));
    JvImage1_->setAutoFillBackground(true);

    lblVersao_ = new QLabel(JvImage1_);
    lblVersao_->setObjectName("lblVersao");
    lblVersao_->setGeometry(711, 20, 53, 14);
    lblVersao_->setFont(Fonte("Arial", 11, true));
    lblVersao_->setStyleSheet(QStringLiteral("color: rgb(46,40,0); background: transparent;"));

    ProgressBar1_ = new QProgressBar(JvImage1_);
    ProgressBar1_->setObjectName("ProgressBar1");
    ProgressBar1_->setGeometry(592, 39, 175, 10);
    ProgressBar1_->setTextVisible(false);
    ProgressBar1_->setRange(0, 100);
    ProgressBar1_->setValue(0);

    Panel1_ = new QFrame(w);
    Panel1_->setObjectName("Panel1");
    Panel1_->setGeometry(0, 54, 772, 448);
    Panel1_->setAutoFillBackground(true);  // the window itself paints no background once shown
    Panel2_ = new QFrame(Panel1_);
    Panel2_->setObjectName("Panel2");
    Panel2_->setFrameShape(QFrame::Panel);
    Panel2_->setFrameShadow(QFrame::Sunken);
    Panel2_->setLineWidth(1);
    Panel2_->setGeometry(3, 3, 766, 442);
    Panel1_->installEventFilter(new FiltroResize(Panel1_, [this] { Evento("Panel1Resize", Eventos.Panel1Resize); }));
    // The browser and the status panel fill Panel2 whatever its size.
    Panel2_->installEventFilter(new FiltroResize(Panel2_, [this] {
        for (QObject* filho : Panel2_->children())
            if (auto* w = qobject_cast<QWidget*>(filho)) w->setGeometry(Panel2_->contentsRect());
    }));

    if (navegador) {
        navegador->setParent(Panel2_);
        navegador->setObjectName("GeckoBrowser1");
        navegador->setGeometry(Panel2_->contentsRect());
        navegador->setFocusPolicy(Qt::ClickFocus);  // skipped by the Tab key
    }
    panEsconde_ = new QLabel(QStringLiteral("TEF, Processando...."), Panel2_);
    panEsconde_->setObjectName("panEsconde");
    panEsconde_->setGeometry(Panel2_->contentsRect());
    panEsconde_->setAlignment(Qt::AlignCenter);
    panEsconde_->setFont(Fonte("Arial", 21, true));
    panEsconde_->setStyleSheet(QStringLiteral("color: #000080; background: white;"));
    panEsconde_->setAutoFillBackground(true);
    panEsconde_->raise();

    panAdm_ = new QFrame(w);
    panAdm_->setObjectName("panAdm");
    panAdm_->setGeometry(0, 502, 772, 31);
    panAdm_->setAutoFillBackground(true);
    SpeedButton1_ = new QToolButton(panAdm_);
    SpeedButton1_->setObjectName("SpeedButton1");
    SpeedButton1_->setText(QStringLiteral("Cancelar TEF"));
    SpeedButton1_->setAutoRaise(true);
    SpeedButton1_->setGeometry(6, 5, 148, 22);
    QObject::connect(SpeedButton1_, &QToolButton::clicked, [this] { Evento("SpeedButton1Click", Eventos.SpeedButton1Click); });
    lblHomologa_ = new QLabel(ParaQString("BASE DE HOMOLOGA\xC7\xC3O"), panAdm_);
    lblHomologa_->setObjectName("lblHomologa");
    lblHomologa_->setGeometry(160, 6, 205, 19);
    lblHomologa_->setFont(Fonte("Arial", 16, true));
    lblHomologa_->setStyleSheet(QStringLiteral("color: red;"));
    lblHomologa_->hide();
    lblUrl_ = new QLabel(panAdm_);
    lblUrl_->setObjectName("lblUrl");
    lblUrl_->setGeometry(364, 10, 403, 14);
    lblUrl_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lblUrl_->setFont(Fonte("Arial", 11, false, true));
    lblUrl_->setStyleSheet(QStringLiteral("color: black; background: transparent;"));

    JvXPProgressBar1_ = new QProgressBar(w);  // the download panel is never shown
    JvXPProgressBar1_->hide();

    // Tray icon and its menu.
    QIcon icone;
    for (int s : {16, 22, 24, 32, 48, 64}) icone.addFile(QStringLiteral(":/tef/icone-%1.png").arg(s), QSize(s, s));
    janela_->setWindowIcon(icone);
    menu_ = new QMenu();
    menu_->setObjectName("PopupMenu1");
    Verso1_ = menu_->addAction(ParaQString("Vers\xE3o"));
    menu_->addSeparator();
    Restaurar1_ = menu_->addAction(QStringLiteral("Nova Venda"));
    Administrao1_ = menu_->addAction(ParaQString("Administra\xE7\xE3o"));
    menu_->addSeparator();
    ParmetrosdoSistema1_ = menu_->addAction(ParaQString("Par\xE2metros do Sistema"));
    menu_->addSeparator();
    FecharSistema1_ = menu_->addAction(QStringLiteral("Fechar Sistema"));
    QObject::connect(Restaurar1_, &QAction::triggered, [this] { Evento("Restaurar1Click", Eventos.Restaurar1Click); });
    QObject::connect(Administrao1_, &QAction::triggered,
                     [this] { Evento("Administrao1Click", Eventos.Administrao1Click); });
    QObject::connect(ParmetrosdoSistema1_, &QAction::triggered,
                     [this] { Evento("ParmetrosdoSistema1Click", Eventos.ParmetrosdoSistema1Click); });
    QObject::connect(FecharSistema1_, &QAction::triggered,
                     [this] { Evento("FecharSistema1Click", Eventos.FecharSistema1Click); });
    tray_ = new QSystemTrayIcon(icone);
    tray_->setContextMenu(menu_);  // right click; left and double clicks do nothing

    opsJanela_ = std::make_unique<JanelaOps>(*this);
    opsTray_ = std::make_unique<BandejaOps>(tray_);
    // Captions show data (addresses, error messages) as typed, never as markup.
    for (QLabel* l : {lblVersao_, panEsconde_, lblHomologa_, lblUrl_}) l->setTextFormat(Qt::PlainText);
    const auto rotulo = [](QLabel* l) {
        return std::make_unique<Controle>(
            l, [l](const QString& t) { l->setText(t); }, [l] { return l->text(); });
    };
    opsVersao_ = std::make_unique<Controle>(
        lblVersao_, [this](const QString& t) { lblVersao_->setText(t); }, [this] { return lblVersao_->text(); },
        [](QWidget& l) {
            // Sized to its text, right edge kept at 764.
            l.adjustSize();
            l.move(764 - l.width(), 20);
        });
    opsEsconde_ = rotulo(panEsconde_);
    opsHomologa_ = rotulo(lblHomologa_);
    opsUrl_ = rotulo(lblUrl_);
    opsAdm_ = std::make_unique<Controle>(
        panAdm_, [](const QString&) {}, [] { return QString(); });
    opsBotao_ = std::make_unique<Controle>(
        SpeedButton1_, [this](const QString& t) { SpeedButton1_->setText(t); }, [this] { return SpeedButton1_->text(); });
    opsPanel1_ = std::make_unique<Painel>(Panel1_);
    opsPanel2_ = std::make_unique<Painel>(Panel2_);
    opsVerso1_ = std::make_unique<Item>(Verso1_);
    opsRestaurar1_ = std::make_unique<Item>(Restaurar1_);
    opsAdministrao1_ = std::make_unique<Item>(Administrao1_);
    opsParametros_ = std::make_unique<Item>(ParmetrosdoSistema1_);
    opsFechar_ = std::make_unique<Item>(FecharSistema1_);
    opsBarra_ = std::make_unique<Barra>(ProgressBar1_);
    opsBarraDownload_ = std::make_unique<Barra>(JvXPProgressBar1_);
    tmOculta_ = app_.CriaTimer("tmOculta");
    tmOculta_->SetInterval(2000);
    tmVerifica_ = app_.CriaTimer("tmVerifica");
    tmVerifica_->SetInterval(500);
    tmShow_ = app_.CriaTimer("tmShow");
    tmShow_->SetInterval(300);
    tmCmds_ = app_.CriaTimer("tmCmds");
    tmCmds_->SetInterval(500);
    impressora_ = std::make_unique<TImpressoraDispositivo>();
}

TFormPrincipalQt::~TFormPrincipalQt() {
    tray_->hide();
    delete tray_;
    delete menu_;
    delete janela_;
}

void TFormPrincipalQt::MostraInicial() {
    if (janela_->windowTitle().isEmpty()) janela_->setWindowTitle(ParaQString(app_.Title()));
    if (!jaMostrada_) {
        // Centred when first shown; later showings keep the place.
        jaMostrada_ = true;
        if (QScreen* tela = QGuiApplication::primaryScreen()) {
            const QRect r = tela->availableGeometry();
            janela_->move(r.x() + (r.width() - janela_->width()) / 2, r.y() + (r.height() - janela_->height()) / 2);
        }
    }
    janela_->show();
}

TComponentesPrincipal TFormPrincipalQt::Componentes() {
    TComponentesPrincipal c;
    c.Janela = opsJanela_.get();
    c.JvTrayIcon1 = opsTray_.get();
    c.tmOculta = tmOculta_.get();
    c.tmVerifica = tmVerifica_.get();
    c.tmShow = tmShow_.get();
    c.tmCmds = tmCmds_.get();
    c.Verso1 = opsVerso1_.get();
    c.Restaurar1 = opsRestaurar1_.get();
    c.Administrao1 = opsAdministrao1_.get();
    c.ParmetrosdoSistema1 = opsParametros_.get();
    c.FecharSistema1 = opsFechar_.get();
    c.panAdm = opsAdm_.get();
    c.SpeedButton1 = opsBotao_.get();
    c.lblHomologa = opsHomologa_.get();
    c.lblUrl = opsUrl_.get();
    c.lblVersao = opsVersao_.get();
    c.panEsconde = opsEsconde_.get();
    c.Panel1 = opsPanel1_.get();
    c.Panel2 = opsPanel2_.get();
    c.ProgressBar1 = opsBarra_.get();
    c.JvXPProgressBar1 = opsBarraDownload_.get();
    c.GeckoBrowser1 = navegador_;
    c.Impressora = impressora_.get();
    c.Eventos = &Eventos;
    c.CriaDialogoParametro = [this]() -> std::unique_ptr<IDialogoParametro> {
        return std::make_unique<TDialogoParametroQt>(app_, janela_);
    };
    return c;
}

}  // namespace componentes
