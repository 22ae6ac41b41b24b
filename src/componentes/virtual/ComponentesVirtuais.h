// The virtual component layer: a deterministic message loop on a virtual
// clock. Timers fire when virtual time reaches them; ProcessMessages runs the
// handlers that are due now; Sleep moves the clock without dispatching; a
// modal message box stays open for as much virtual time as the test decides,
// and timers fire meanwhile.
#pragma once

#include "Componentes.h"

#include <cstdint>
#include <deque>
#include <map>
#include <vector>

namespace componentes {

class TAplicacaoVirtual;

class TTimerVirtual : public ITimer {
public:
    TTimerVirtual(TAplicacaoVirtual& app, std::string nome, int ordem);
    void SetEnabled(bool ativo) override;
    bool Enabled() const override { return ativo_; }
    void SetInterval(int ms) override;
    int Interval() const override { return intervalo_; }
    void SetOnTimer(std::function<void()> handler) override { handler_ = std::move(handler); }

    const std::string& Nome() const { return nome_; }
    std::int64_t Vencimento() const { return vencimento_; }
    int Disparos() const { return disparos_; }

private:
    friend class TAplicacaoVirtual;
    TAplicacaoVirtual& app_;
    std::string nome_;
    int ordem_;
    bool ativo_ = false;
    int intervalo_ = 1000;
    std::int64_t vencimento_ = 0;
    int disparos_ = 0;
    std::function<void()> handler_;
};

class TAplicacaoVirtual : public IAplicacao {
public:
    struct Mensagem {
        TipoMensagem tipo;
        std::string texto;
        std::int64_t abertaEm;
    };

    explicit TAplicacaoVirtual(std::string exeName, std::string primeiroParametro = "",
                               TDataHora inicio = TDataHora{2026, 3, 5, 9, 7, 2, 0});

    // IAplicacao
    void ProcessMessages() override;
    void Sleep(int ms) override {
        if (AoDormir) AoDormir(ms);
        agora_ += ms;
    }
    std::string ExeName() const override { return exeName_; }
    std::string PrimeiroParametro() const override { return primeiroParametro_; }
    void SetTitle(const std::string& titulo) override { titulo_ = titulo; }
    std::string Title() const override { return titulo_; }
    void Terminate() override { terminado_ = true; }
    TDataHora Agora() const override;
    void MessageBox(TipoMensagem tipo, const std::string& texto) override;
    bool EsperaAte(const std::function<bool()>& pronto, int limiteMs) override;
    std::unique_ptr<ITimer> CriaTimer(const std::string& nome) override;
    bool ExecutaHandler(const std::string& nome, const std::function<void()>& handler) override;
    TReporterExcecao& Reporter() override { return reporter_; }

    // Runs the loop for ms of virtual time: every timer that falls due fires at
    // its moment, in the order of their moments (creation order on ties).
    void Avanca(std::int64_t ms);
    // Milliseconds since the start of the virtual clock.
    std::int64_t AgoraMs() const { return agora_; }
    void SetExeName(std::string nome) { exeName_ = std::move(nome); }

    // How long each modal box stays open, in virtual ms (default 0). Called
    // when the box opens; it may also act, as an operator would.
    std::function<std::int64_t(const Mensagem&)> DuracaoMensagem;
    std::vector<Mensagem> Mensagens;
    // Called at the start of every Sleep: what other processes do meanwhile.
    std::function<void(int)> AoDormir;
    // Called at every step of EsperaAte, before its condition is looked at.
    std::function<void()> AoEsperar;
    bool Terminado() const { return terminado_; }
    // Names of the handlers run, in order, with the moment they started.
    std::vector<std::pair<std::string, std::int64_t>> Historico;

private:
    friend class TTimerVirtual;
    void Desregistra(TTimerVirtual* t);
    TTimerVirtual* ProximoVencido(std::int64_t limite);
    void Dispara(TTimerVirtual* t);

    std::string exeName_, primeiroParametro_, titulo_;
    std::int64_t inicioEpoch_;  // seconds of the start moment, as if UTC
    int inicioMs_;
    std::int64_t agora_ = 0;
    bool terminado_ = false;
    int proximaOrdem_ = 0;
    std::vector<TTimerVirtual*> timers_;
    TReporterExcecao reporter_;
};

class TControleVirtual : public IControle {
public:
    explicit TControleVirtual(std::string caption = "", bool visivel = true)
        : caption_(std::move(caption)), visivel_(visivel) {}
    void SetCaption(const std::string& texto) override { caption_ = texto; }
    std::string Caption() const override { return caption_; }
    void SetVisible(bool visivel) override { visivel_ = visivel; }
    bool Visible() const override { return visivel_; }

private:
    std::string caption_;
    bool visivel_;
};

class TPainelVirtual : public IPainel {
public:
    TPainelVirtual(int largura, int altura) : largura_(largura), altura_(altura) {}
    void SetCaption(const std::string& texto) override { caption_ = texto; }
    std::string Caption() const override { return caption_; }
    void SetVisible(bool visivel) override { visivel_ = visivel; }
    bool Visible() const override { return visivel_; }
    int Width() const override { return largura_; }
    int Height() const override { return altura_; }
    void SetSize(int largura, int altura) override { largura_ = largura, altura_ = altura; }

private:
    std::string caption_;
    bool visivel_ = true;
    int largura_, altura_;
};

// Answers of a scripted web server: address -> (success, body).
class TClienteHttpVirtual : public IClienteHttp {
public:
    struct Resposta {
        bool sucesso = true;
        std::string corpo;
        std::size_t cortaEm = std::string::npos;  // a transfer cut after these bytes
    };
    bool Get(const std::string& endereco, const std::function<bool(const char*, std::size_t)>& escreve,
             const TEventosTransferencia& eventos) override;
    std::map<std::string, Resposta> Respostas;  // missing: connection refused
    std::vector<std::string> Pedidos;
};

// A web system's confirmation address as the test answers it: every post is
// kept; Responde hands the oldest one waiting its answer. A blocking post
// gets RespostaImediata's answer (none: no answer in time).
class TPostadorVirtual : public IPostador {
public:
    struct Envio {
        std::string endereco;
        TCampos campos;
        int limiteMs = 0;
        bool bloqueante = false;
    };
    void Posta(const std::string& endereco, const TCampos& campos, int limiteMs,
               std::function<void(const TRespostaHttp&)> continuacao) override;
    TRespostaHttp PostaEEspera(const std::string& endereco, const TCampos& campos, int limiteMs) override;
    // Delivers the answer to the oldest post still waiting; false when none waits.
    bool Responde(const TRespostaHttp& resposta);
    std::size_t Esperando() const { return esperando_.size(); }
    std::function<TRespostaHttp(const Envio&)> RespostaImediata;
    std::vector<Envio> Envios;
    // The value of a field of a post ("" when absent).
    static std::string Campo(const Envio& e, const std::string& nome);

private:
    std::deque<std::function<void(const TRespostaHttp&)>> esperando_;
};
// The answers a web system gives.
TRespostaHttp RespostaHttp(long status, std::string corpo = "",
                           std::vector<std::pair<std::string, std::string>> cabecalhos = {});

class TItemMenuVirtual : public IItemMenu {
public:
    explicit TItemMenuVirtual(std::string caption) : caption_(std::move(caption)) {}
    void SetCaption(const std::string& texto) override { caption_ = texto; }
    std::string Caption() const override { return caption_; }
    void SetEnabled(bool ativo) override { ativo_ = ativo; }
    bool Enabled() const override { return ativo_; }

private:
    std::string caption_;
    bool ativo_ = true;
};

class TBarraProgressoVirtual : public IBarraProgresso {
public:
    void SetMax(int maximo) override;
    int Max() const override { return max_; }
    void SetPosition(int posicao) override;
    int Position() const override { return pos_; }

private:
    int max_ = 100, pos_ = 0;
};

class TTrayIconVirtual : public ITrayIcon {
public:
    void SetActive(bool ativo) override;
    bool Active() const override { return ativo_; }
    void SetHint(const std::string& dica) override { dica_ = dica; }
    std::string Hint() const override { return dica_; }
    int Ativacoes = 0;

private:
    bool ativo_ = false;
    std::string dica_;
};

class TJanelaVirtual : public IJanela {
public:
    void Show() override { visivel_ = true; }
    void Hide() override { visivel_ = false; }
    bool Visible() const override { return visivel_; }
    void BringToFront() override {}
    void Close() override;
    void SetFundoTransparente() override { fundoTransparente = true; }
    std::function<void()> OnClose;
    bool fundoTransparente = false;
    bool fechada = false;

private:
    bool visivel_ = false;
};

// A browser whose page is a table of element attributes the test sets.
class TNavegadorVirtual : public INavegador {
public:
    TDocumento Navega(const std::u16string& endereco) override;
    void LeELimpaAtributo(const std::u16string& id, const std::u16string& atributo,
                          std::function<void(std::optional<std::u16string>, TDocumento)> continuacao) override;
    void SetOnProgresso(std::function<void(int, int)> handler) override { onProgresso_ = std::move(handler); }
    void SetOnFalhaCarga(std::function<void(const TFalhaCarga&)> handler) override {
        onFalhaCarga_ = std::move(handler);
    }
    // The page of that navigation did not load (0: the last one).
    void FalhaCarga(const std::string& codigo, const std::string& motivo, TDocumento navegacao = 0) {
        if (!onFalhaCarga_) return;
        const TDocumento n = navegacao ? navegacao : Navegacoes;
        onFalhaCarga_({n > 0 && n <= Enderecos.size() ? Enderecos[n - 1] : u"", codigo, motivo, n});
    }
    // Only the first call starts the engine.
    bool Prepara() override { return Preparos++ == 0 && ComMotor; }
    bool ComMotor = false;  // false: as if started before, a wait of its own
    int Preparos = 0;

    void Progresso(int posicao, int maximo) {
        if (onProgresso_) onProgresso_(posicao, maximo);
    }
    std::vector<std::u16string> Enderecos;  // every address navigated to
    std::optional<std::u16string> Canal;     // the channel attribute; nothing: no element
    bool RecusaEnderecos = false;

    // The document shown: the last navigation's, unless NavegacaoPendente
    // keeps the previous one in place (a page that is slow to answer).
    TDocumento Documento = 0;
    TDocumento Navegacoes = 0;
    bool NavegacaoPendente = false;
    void ConcluiNavegacao() { Documento = Navegacoes; }
    // The page's script runs at once, but its result arrives only when the
    // test delivers it, as the real browser's does later.
    bool LeiturasAdiadas = false;
    void EntregaLeituras();

private:
    std::function<void(int, int)> onProgresso_;
    std::function<void(const TFalhaCarga&)> onFalhaCarga_;
    std::vector<std::function<void()>> leituras_;
};

class TImpressoraVirtual : public IImpressora {
public:
    void ImprimeLinhas(const TLinhas& linhas) override { Impressoes.push_back(linhas); }
    std::vector<TLinhas> Impressoes;
};

class TFormPrincipalVirtual;

// A parameters dialog operated by the test: the operator script runs while
// the dialog is shown; when it returns without a close, the dialog is closed
// through its window's close button.
class TDialogoParametroVirtual : public IDialogoParametro {
public:
    TDialogoParametroVirtual(TAplicacaoVirtual& app, TFormPrincipalVirtual& dono);
    ~TDialogoParametroVirtual() override;
    IControle& edtEmpresa() override { return edtEmpresa_; }
    IControle& edtLogin() override { return edtLogin_; }
    IControle& edtSenha() override { return edtSenha_; }
    IControle& edtUrl() override { return edtUrl_; }
    IControle& Label4() override { return Label4_; }
    void SetOnShow(std::function<void()> h) override { onShow_ = std::move(h); }
    void SetOnConfigura(std::function<void()> h) override { onConfigura_ = std::move(h); }
    void SetOnHotKey(std::function<void()> h) override { onHotKey_ = std::move(h); }
    void ShowModal() override;
    void Close() override { fechado_ = true; }

    // What the operator does, through the dialog's handlers.
    void Configurar();
    void HotKey();
    bool Fechado() const { return fechado_; }
    bool TemHotKey() const;
    int Numero;  // 1 for the first dialog created by the form, and so on

private:
    TAplicacaoVirtual& app_;
    TFormPrincipalVirtual& dono_;
    TControleVirtual edtEmpresa_{"", true}, edtLogin_{"", true}, edtSenha_{"", true}, edtUrl_{"", false},
        Label4_{"Url:", false};
    std::function<void()> onShow_, onConfigura_, onHotKey_;
    bool fechado_ = false;
};

// A main window made of virtual components, for the controller's tests.
class TFormPrincipalVirtual {
public:
    explicit TFormPrincipalVirtual(TAplicacaoVirtual& app);
    TComponentesPrincipal Componentes();

    TJanelaVirtual Janela;
    TTrayIconVirtual JvTrayIcon1;
    std::unique_ptr<ITimer> tmOculta, tmVerifica, tmShow, tmCmds;
    TItemMenuVirtual Verso1{"Vers\xE3o"}, Restaurar1{"Nova Venda"}, Administrao1{"Administra\xE7\xE3o"},
        ParmetrosdoSistema1{"Par\xE2metros do Sistema"}, FecharSistema1{"Fechar Sistema"};
    TControleVirtual panAdm, SpeedButton1{"Cancelar TEF"}, lblHomologa{"BASE DE HOMOLOGA\xC7\xC3O", false},
        lblUrl{""}, lblVersao{""}, panEsconde{"TEF, Processando...."};
    TBarraProgressoVirtual ProgressBar1, JvXPProgressBar1;
    TNavegadorVirtual GeckoBrowser1;
    TImpressoraVirtual Impressora;
    TPainelVirtual Panel1{772, 448}, Panel2{766, 442};
    TClienteHttpVirtual IdHTTP1;
    TPostadorVirtual Postador;
    TEventosJanela Eventos;
    std::string PerfilNavegador;

    TTimerVirtual& Timer(ITimer* t) { return static_cast<TTimerVirtual&>(*t); }

    // The operator of every parameters dialog shown; nothing: closed at once.
    std::function<void(TDialogoParametroVirtual&)> OperadorParametros;
    int DialogosCriados = 0;
    int DialogosAbertos = 0;
    // Ctrl+U pressed anywhere: reaches the dialog that holds the hot key.
    void PressionaCtrlU();
    TDialogoParametroVirtual* DonoHotKey = nullptr;

private:
    TAplicacaoVirtual& app_;
};

}  // namespace componentes
