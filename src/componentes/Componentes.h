// The component layer: the small interfaces through which the controller
// reaches windows, timers, message boxes, the tray icon, the browser and the
// printer. A Qt implementation drives the real desktop; a virtual one drives
// the fast, deterministic tests.
#pragma once

#include "untFuncao.h"

#include <functional>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace componentes {

class TReporterExcecao;

// A timer of the main window. Its handler runs inside the exception reporter.
class ITimer {
public:
    virtual ~ITimer() = default;
    // Enabling an enabled timer does not restart its count; after a restart
    // the next firing comes one full interval later.
    virtual void SetEnabled(bool ativo) = 0;
    virtual bool Enabled() const = 0;
    // Changing the interval of an enabled timer restarts its count.
    virtual void SetInterval(int ms) = 0;
    virtual int Interval() const = 0;
    virtual void SetOnTimer(std::function<void()> handler) = 0;
};

enum class TipoMensagem { Erro, Informacao };

// The application object: message loop, clock, identity of the process.
class IAplicacao {
public:
    virtual ~IAplicacao() = default;
    // Runs the handlers of every pending message (due timers included).
    virtual void ProcessMessages() = 0;
    // Suspends the thread: nothing is dispatched meanwhile.
    virtual void Sleep(int ms) = 0;
    // Full path of the executable as invoked.
    virtual std::string ExeName() const = 0;
    // The first command-line argument, or empty text.
    virtual std::string PrimeiroParametro() const = 0;
    virtual void SetTitle(const std::string& titulo) = 0;
    virtual std::string Title() const = 0;
    // Ends the message loop.
    virtual void Terminate() = 0;
    // The local clock.
    virtual TDataHora Agora() const = 0;
    // A modal box with one "OK" button; other handlers keep running while it is
    // open. The text is Windows-1252.
    virtual void MessageBox(TipoMensagem tipo, const std::string& texto) = 0;
    // Runs the message loop (timers included) until pronto() holds or
    // limiteMs have passed; whether it held.
    virtual bool EsperaAte(const std::function<bool()>& pronto, int limiteMs) = 0;
    virtual std::unique_ptr<ITimer> CriaTimer(const std::string& nome) = 0;
    // Runs one event handler inside the exception reporter; false when an
    // error escaped it.
    virtual bool ExecutaHandler(const std::string& nome, const std::function<void()>& handler) = 0;
    virtual TReporterExcecao& Reporter() = 0;
};

// A panel, label or button: caption and visibility.
class IControle {
public:
    virtual ~IControle() = default;
    virtual void SetCaption(const std::string& texto) = 0;
    virtual std::string Caption() const = 0;
    virtual void SetVisible(bool visivel) = 0;
    virtual bool Visible() const = 0;
};

// A panel whose size the controller reads and sets.
class IPainel : public IControle {
public:
    virtual int Width() const = 0;
    virtual int Height() const = 0;
    virtual void SetSize(int largura, int altura) = 0;
};

class IItemMenu {
public:
    virtual ~IItemMenu() = default;
    virtual void SetCaption(const std::string& texto) = 0;
    virtual std::string Caption() const = 0;
    virtual void SetEnabled(bool ativo) = 0;
    virtual bool Enabled() const = 0;
};

class IBarraProgresso {
public:
    virtual ~IBarraProgresso() = default;
    // A maximum the bar cannot take raises an error.
    virtual void SetMax(int maximo) = 0;
    virtual int Max() const = 0;
    virtual void SetPosition(int posicao) = 0;
    virtual int Position() const = 0;
};

class ITrayIcon {
public:
    virtual ~ITrayIcon() = default;
    // Activating an active icon, or deactivating an inactive one, does nothing.
    virtual void SetActive(bool ativo) = 0;
    virtual bool Active() const = 0;
    virtual void SetHint(const std::string& dica) = 0;
    virtual std::string Hint() const = 0;
};

class IJanela {
public:
    virtual ~IJanela() = default;
    virtual void Show() = 0;
    virtual void Hide() = 0;
    virtual bool Visible() const = 0;
    virtual void BringToFront() = 0;
    // Asks the window to close; the close handler runs and the program ends.
    virtual void Close() = 0;
    // The window's background is no longer painted by the window itself.
    virtual void SetFundoTransparente() = 0;
};

// The browser engine operations. Texts cross this boundary in UTF-16.
// The navigation a document was loaded by, counted from 1; 0 when the
// browser cannot tell.
using TDocumento = std::uint64_t;

// A page of the web system that could not be loaded: no connection, a
// refused certificate, an HTTP error status.
struct TFalhaCarga {
    std::u16string endereco;  // as navigated to
    std::string codigo;       // the engine's own: "net::ERR_CONNECTION_REFUSED", "HTTP 404"
    std::string motivo;       // in words, Windows-1252
    TDocumento navegacao = 0; // the navigation that failed; 0 when the browser cannot tell
};

class INavegador {
public:
    virtual ~INavegador() = default;
    // Starts loading the address; a refused address raises an error naming it.
    // Returns the number of this navigation: the documents it brings carry it.
    virtual TDocumento Navega(const std::u16string& endereco) = 0;
    // Reads the attribute of the element with the id in the page's top-level
    // document and empties it when it was not empty, in one step inside the
    // page. The continuation receives nothing when there is no such element,
    // else the text read (empty when the attribute is absent or empty), and
    // the navigation of the document it was read from: until a navigation
    // has brought its document, the previous document is still the one read.
    virtual void LeELimpaAtributo(const std::u16string& id, const std::u16string& atributo,
                                  std::function<void(std::optional<std::u16string>, TDocumento)> continuacao) = 0;
    // Total load progress of the page: (position, maximum).
    virtual void SetOnProgresso(std::function<void(int, int)> handler) = 0;
    // Starts what the next page of the web system needs (the engine and its
    // pages the first time, a page process after a rest), which a navigation
    // to it does too: a request's wait can fill it. True when it started
    // something now, which needs the event loop; false when all is ready.
    virtual bool Prepara() { return false; }
    // Called once for each page of the web system that could not be
    // loaded, after the browser has shown its own message in its place.
    virtual void SetOnFalhaCarga(std::function<void(const TFalhaCarga&)> handler) { (void)handler; }
};

// The receipt printer: every line's bytes followed by CR LF, nothing more.
class IImpressora {
public:
    virtual ~IImpressora() = default;
    virtual void ImprimeLinhas(const TLinhas& linhas) = 0;
};

// The printer device named by TEF_LPT1, else /dev/lp0.
class TImpressoraDispositivo : public IImpressora {
public:
    void ImprimeLinhas(const TLinhas& linhas) override { ::ImprimeLinhas(DispositivoImpressora(), linhas); }
};

// Progress of one HTTP transfer: expected bytes (0 when unknown), then bytes
// so far, then the end.
struct TEventosTransferencia {
    std::function<void(std::int64_t total)> OnWorkBegin;
    std::function<void(std::int64_t feitos)> OnWork;
    std::function<void()> OnWorkEnd;
};

// The HTTP client used for the browser profile's downloads.
class IClienteHttp {
public:
    virtual ~IClienteHttp() = default;
    // GET of the address. The body of a success answer goes to escreve as it
    // arrives (escreve returning false aborts). True only when the transfer
    // completed with a success status; any failure (connection, certificate,
    // time-out, other status, a redirect, a cut transfer) gives false and is
    // not raised.
    virtual bool Get(const std::string& endereco, const std::function<bool(const char*, std::size_t)>& escreve,
                     const TEventosTransferencia& eventos) = 0;
};

// One answer to an HTTP request: respondeu false when none came (the
// connection, TLS, the time limit), erro saying why.
struct TRespostaHttp {
    bool respondeu = false;
    long status = 0;
    std::vector<std::pair<std::string, std::string>> cabecalhos;  // names in lower case
    std::string corpo;
    std::string erro;
    std::string Cabecalho(const std::string& nomeMinusculo) const {
        for (const auto& [n, v] : cabecalhos)
            if (n == nomeMinusculo) return v;
        return "";
    }
};
// Form fields in order; values are Windows-1252.
using TCampos = std::vector<std::pair<std::string, std::string>>;

// Form posts to the web system's confirmation address.
class IPostador {
public:
    virtual ~IPostador() = default;
    // Without blocking the message loop: the continuation runs on it once the
    // answer, or the failure, is in (within limiteMs).
    virtual void Posta(const std::string& endereco, const TCampos& campos, int limiteMs,
                       std::function<void(const TRespostaHttp&)> continuacao) = 0;
    // Blocking, for at most limiteMs.
    virtual TRespostaHttp PostaEEspera(const std::string& endereco, const TCampos& campos, int limiteMs) = 0;
};

// The parameters dialog: its edits (caption = the edit's text), the label of
// the hidden address field, and its modal life. The hot key Ctrl+U belongs to
// the dialog from its creation to its destruction, unless another holds it.
class IDialogoParametro {
public:
    virtual ~IDialogoParametro() = default;
    virtual IControle& edtEmpresa() = 0;
    virtual IControle& edtLogin() = 0;
    virtual IControle& edtSenha() = 0;
    virtual IControle& edtUrl() = 0;
    virtual IControle& Label4() = 0;
    virtual void SetOnShow(std::function<void()> handler) = 0;
    virtual void SetOnConfigura(std::function<void()> handler) = 0;
    virtual void SetOnHotKey(std::function<void()> handler) = 0;
    // Shows the dialog and returns when it has been closed, however.
    virtual void ShowModal() = 0;
    virtual void Close() = 0;
};

// The main window's events, bound by the controller; the form runs each
// inside the exception reporter.
struct TEventosJanela {
    std::function<void()> FormShow;
    std::function<void()> FormClose;
    std::function<void()> Panel1Resize;
    std::function<void()> SpeedButton1Click;
    std::function<void()> Restaurar1Click;
    std::function<void()> Administrao1Click;
    std::function<void()> ParmetrosdoSistema1Click;
    std::function<void()> FecharSistema1Click;
};

// Every component of the main window the controller works with, named as in
// the window's design. The form that creates them owns them.
struct TComponentesPrincipal {
    IJanela* Janela = nullptr;
    ITrayIcon* JvTrayIcon1 = nullptr;
    ITimer* tmOculta = nullptr;
    ITimer* tmVerifica = nullptr;
    ITimer* tmShow = nullptr;
    ITimer* tmCmds = nullptr;
    IItemMenu* Verso1 = nullptr;
    IItemMenu* Restaurar1 = nullptr;
    IItemMenu* Administrao1 = nullptr;
    IItemMenu* ParmetrosdoSistema1 = nullptr;
    IItemMenu* FecharSistema1 = nullptr;
    IControle* panAdm = nullptr;
    IControle* SpeedButton1 = nullptr;
    IControle* lblHomologa = nullptr;
    IControle* lblUrl = nullptr;
    IControle* lblVersao = nullptr;
    IControle* panEsconde = nullptr;
    IPainel* Panel1 = nullptr;
    IPainel* Panel2 = nullptr;
    IBarraProgresso* ProgressBar1 = nullptr;
    IBarraProgresso* JvXPProgressBar1 = nullptr;
    INavegador* GeckoBrowser1 = nullptr;
    IImpressora* Impressora = nullptr;
    IClienteHttp* IdHTTP1 = nullptr;
    IPostador* Postador = nullptr;
    TEventosJanela* Eventos = nullptr;
    // Gives the browser its profile directory (cache, cookies, certificates).
    std::function<void(const std::string& diretorio)> DefinePerfilNavegador;
    // Creates a parameters dialog owned by the main window.
    std::function<std::unique_ptr<IDialogoParametro>()> CriaDialogoParametro;
};

// What the reporter hands over for one error.
struct TRelatorioExcecao {
    std::string texto;     // the multi-line report, for the error log
    std::string mensagem;  // the error's own message
    std::string causa;     // why, when the message is a fixed text
    std::string handler;   // the handler it escaped from
    bool paraOperador = false;
    // The operator's words (Portuguese) for a box and the journal; empty
    // when the message itself is them.
    std::string aoOperador;
};

// Turns whatever escapes an event handler into a multi-line text report and
// hands it to the registered notification (the main window's error log).
// No report, box or line on standard error shows the operator's password.
class TReporterExcecao {
public:
    using Notificacao = std::function<void(const TRelatorioExcecao&)>;

    void SetOnExceptionNotify(Notificacao n) { notificacao_ = std::move(n); }

    // Runs the handler; an escaping exception is reported, never rethrown.
    // False when one escaped.
    bool Executa(const std::string& nomeHandler, const std::function<void()>& handler,
                 const std::function<TDataHora()>& relogio);
    // Reports an error that a handler caught itself and still wants known.
    void RelataExcecao(const std::string& nomeHandler, const std::exception& e, const TDataHora& agora);

    // The report text: kind, message, handler and time, one per line.
    static std::string MontaRelatorio(const std::string& classe, const std::string& mensagem,
                                      const std::string& nomeHandler, const TDataHora& agora);

    // Reports whose notification itself failed, or that had none, are kept
    // here (and written to standard error, in UTF-8) so that nothing
    // disappears without a trace. A notification that succeeds says it where
    // it belongs (the log, the journal): standard error hears each once.
    const TLinhas& Falhas() const { return falhas_; }

private:
    void Relata(const TRelatorioExcecao& relatorio);
    Notificacao notificacao_;
    TLinhas falhas_;
};

}  // namespace componentes
