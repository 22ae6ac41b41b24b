#include "ComponentesVirtuais.h"

#include <algorithm>

namespace componentes {

// ---- timers ----------------------------------------------------------------

TTimerVirtual::TTimerVirtual(TAplicacaoVirtual& app, std::string nome, int ordem)
    : app_(app), nome_(std::move(nome)), ordem_(ordem) {}

void TTimerVirtual::SetEnabled(bool ativo) {
    if (ativo == ativo_) return;
    ativo_ = ativo;
    if (ativo_) vencimento_ = app_.AgoraMs() + intervalo_;
}

void TTimerVirtual::SetInterval(int ms) {
    if (ms == intervalo_) return;
    intervalo_ = ms;
    if (ativo_) vencimento_ = app_.AgoraMs() + intervalo_;
}

// ---- application -------------------------------------------------------------

TAplicacaoVirtual::TAplicacaoVirtual(std::string exeName, std::string primeiroParametro, TDataHora inicio)
    : exeName_(std::move(exeName)), primeiroParametro_(std::move(primeiroParametro)), inicioMs_(inicio.milissegundo) {
    inicioEpoch_ = DiasDesde1970(inicio.ano, inicio.mes, inicio.dia) * 86400 + inicio.hora * 3600 +
                   inicio.minuto * 60 + inicio.segundo;
}

TDataHora TAplicacaoVirtual::Agora() const {
    const std::int64_t totalMs = inicioMs_ + agora_;
    return DataDeSegundos(inicioEpoch_ + totalMs / 1000, static_cast<int>(totalMs % 1000));
}

std::unique_ptr<ITimer> TAplicacaoVirtual::CriaTimer(const std::string& nome) {
    struct TimerRegistrado : TTimerVirtual {
        using TTimerVirtual::TTimerVirtual;
        ~TimerRegistrado() override { app_.Desregistra(this); }
    };
    auto t = std::make_unique<TimerRegistrado>(*this, nome, proximaOrdem_++);
    timers_.push_back(t.get());
    return t;
}

void TAplicacaoVirtual::Desregistra(TTimerVirtual* t) {
    timers_.erase(std::remove(timers_.begin(), timers_.end(), t), timers_.end());
}

TTimerVirtual* TAplicacaoVirtual::ProximoVencido(std::int64_t limite) {
    TTimerVirtual* escolhido = nullptr;
    for (auto* t : timers_) {
        if (!t->ativo_ || t->vencimento_ > limite) continue;
        if (escolhido == nullptr || t->vencimento_ < escolhido->vencimento_ ||
            (t->vencimento_ == escolhido->vencimento_ && t->ordem_ < escolhido->ordem_))
            escolhido = t;
    }
    return escolhido;
}

void TAplicacaoVirtual::Dispara(TTimerVirtual* t) {
    // A periodic timer's next firing is counted from this one.
    t->vencimento_ = agora_ + t->intervalo_;
    ++t->disparos_;
    if (t->handler_) ExecutaHandler(t->nome_ + "Timer", t->handler_);
}

void TAplicacaoVirtual::ProcessMessages() {
    // Each timer due now fires at most once per call, as pending messages
    // would be; a handler that sleeps may make other timers due.
    std::vector<TTimerVirtual*> jaDisparados;
    for (;;) {
        TTimerVirtual* escolhido = nullptr;
        for (auto* t : timers_) {
            if (!t->ativo_ || t->vencimento_ > agora_) continue;
            if (std::find(jaDisparados.begin(), jaDisparados.end(), t) != jaDisparados.end()) continue;
            if (escolhido == nullptr || t->vencimento_ < escolhido->vencimento_ ||
                (t->vencimento_ == escolhido->vencimento_ && t->ordem_ < escolhido->ordem_))
                escolhido = t;
        }
        if (escolhido == nullptr) return;
        jaDisparados.push_back(escolhido);
        Dispara(escolhido);
    }
}

void TAplicacaoVirtual::Avanca(std::int64_t ms) {
    const std::int64_t alvo = agora_ + ms;
    while (TTimerVirtual* t = ProximoVencido(alvo)) {
        if (t->vencimento_ > agora_) agora_ = t->vencimento_;
        Dispara(t);
    }
    if (agora_ < alvo) agora_ = alvo;
}

void TAplicacaoVirtual::MessageBox(TipoMensagem tipo, const std::string& texto) {
    Mensagens.push_back(Mensagem{tipo, texto, agora_});
    const std::int64_t aberta = DuracaoMensagem ? DuracaoMensagem(Mensagens.back()) : 0;
    Avanca(aberta);
}

bool TAplicacaoVirtual::EsperaAte(const std::function<bool()>& pronto, int limiteMs) {
    for (int passado = 0;; passado += 10) {
        if (AoEsperar) AoEsperar();
        if (pronto()) return true;
        if (passado >= limiteMs) return false;
        Avanca(10);
    }
}

bool TAplicacaoVirtual::ExecutaHandler(const std::string& nome, const std::function<void()>& handler) {
    Historico.emplace_back(nome, agora_);
    return reporter_.Executa(nome, handler, [this] { return Agora(); });
}

// ---- other components ----------------------------------------------------------

void TBarraProgressoVirtual::SetMax(int maximo) {
    if (maximo <= 0) throw Exception("Property value out of range");
    max_ = maximo;
    if (pos_ > max_) pos_ = max_;
}

void TBarraProgressoVirtual::SetPosition(int posicao) { pos_ = std::clamp(posicao, 0, max_); }

void TTrayIconVirtual::SetActive(bool ativo) {
    if (ativo == ativo_) return;
    ativo_ = ativo;
    if (ativo_) ++Ativacoes;
}

void TJanelaVirtual::Close() {
    if (OnClose) OnClose();
    fechada = true;
    visivel_ = false;
}

TDocumento TNavegadorVirtual::Navega(const std::u16string& endereco) {
    if (RecusaEnderecos) {
        std::string ascii;
        for (char16_t c : endereco) ascii += c < 128 ? static_cast<char>(c) : '?';
        throw Exception("Cannot navigate to " + ascii);
    }
    Enderecos.push_back(endereco);
    ++Navegacoes;
    if (!NavegacaoPendente) Documento = Navegacoes;
    return Navegacoes;
}

void TNavegadorVirtual::LeELimpaAtributo(const std::u16string&, const std::u16string&,
                                         std::function<void(std::optional<std::u16string>, TDocumento)> continuacao) {
    std::optional<std::u16string> lido = Canal;
    if (Canal && !Canal->empty()) Canal = std::u16string();
    if (!LeiturasAdiadas) {
        continuacao(lido, Documento);
        return;
    }
    leituras_.push_back([continuacao = std::move(continuacao), lido, documento = Documento] { continuacao(lido, documento); });
}

void TNavegadorVirtual::EntregaLeituras() {
    auto leituras = std::move(leituras_);
    leituras_.clear();
    for (auto& l : leituras) l();
}

// ---- the confirmation address ---------------------------------------------------------

void TPostadorVirtual::Posta(const std::string& endereco, const TCampos& campos, int limiteMs,
                             std::function<void(const TRespostaHttp&)> continuacao) {
    Envios.push_back({endereco, campos, limiteMs, false});
    esperando_.push_back(std::move(continuacao));
}

TRespostaHttp TPostadorVirtual::PostaEEspera(const std::string& endereco, const TCampos& campos, int limiteMs) {
    Envios.push_back({endereco, campos, limiteMs, true});
    if (RespostaImediata) return RespostaImediata(Envios.back());
    TRespostaHttp r;
    r.erro = "no answer within " + std::to_string(limiteMs) + " ms";
    return r;
}

bool TPostadorVirtual::Responde(const TRespostaHttp& resposta) {
    if (esperando_.empty()) return false;
    auto continuacao = std::move(esperando_.front());
    esperando_.pop_front();
    continuacao(resposta);
    return true;
}

std::string TPostadorVirtual::Campo(const Envio& e, const std::string& nome) {
    for (const auto& [n, v] : e.campos)
        if (n == nome) return v;
    return "";
}

TRespostaHttp RespostaHttp(long status, std::string corpo, std::vector<std::pair<std::string, std::string>> cabecalhos) {
    TRespostaHttp r;
    r.respondeu = true;
    r.status = status;
    r.corpo = std::move(corpo);
    r.cabecalhos = std::move(cabecalhos);
    return r;
}

// ---- the main window ----------------------------------------------------------------

TFormPrincipalVirtual::TFormPrincipalVirtual(TAplicacaoVirtual& app)
    : tmOculta(app.CriaTimer("tmOculta")),
      tmVerifica(app.CriaTimer("tmVerifica")),
      tmShow(app.CriaTimer("tmShow")),
      tmCmds(app.CriaTimer("tmCmds")),
      app_(app) {
    tmOculta->SetInterval(2000);
    tmVerifica->SetInterval(500);
    tmShow->SetInterval(300);
    tmCmds->SetInterval(500);
}

TComponentesPrincipal TFormPrincipalVirtual::Componentes() {
    TComponentesPrincipal c;
    c.Janela = &Janela;
    c.JvTrayIcon1 = &JvTrayIcon1;
    c.tmOculta = tmOculta.get();
    c.tmVerifica = tmVerifica.get();
    c.tmShow = tmShow.get();
    c.tmCmds = tmCmds.get();
    c.Verso1 = &Verso1;
    c.Restaurar1 = &Restaurar1;
    c.Administrao1 = &Administrao1;
    c.ParmetrosdoSistema1 = &ParmetrosdoSistema1;
    c.FecharSistema1 = &FecharSistema1;
    c.panAdm = &panAdm;
    c.SpeedButton1 = &SpeedButton1;
    c.lblHomologa = &lblHomologa;
    c.lblUrl = &lblUrl;
    c.lblVersao = &lblVersao;
    c.panEsconde = &panEsconde;
    c.ProgressBar1 = &ProgressBar1;
    c.JvXPProgressBar1 = &JvXPProgressBar1;
    c.GeckoBrowser1 = &GeckoBrowser1;
    c.Impressora = &Impressora;
    c.Panel1 = &Panel1;
    c.Panel2 = &Panel2;
    c.IdHTTP1 = &IdHTTP1;
    c.Postador = &Postador;
    c.Eventos = &Eventos;
    c.DefinePerfilNavegador = [this](const std::string& d) { PerfilNavegador = d; };
    c.CriaDialogoParametro = [this]() -> std::unique_ptr<IDialogoParametro> {
        return std::make_unique<TDialogoParametroVirtual>(app_, *this);
    };
    return c;
}

bool TClienteHttpVirtual::Get(const std::string& endereco,
                              const std::function<bool(const char*, std::size_t)>& escreve,
                              const TEventosTransferencia& eventos) {
    Pedidos.push_back(endereco);
    const auto it = Respostas.find(endereco);
    if (it == Respostas.end()) return false;
    const Resposta& r = it->second;
    if (!r.sucesso) return false;
    if (eventos.OnWorkBegin) eventos.OnWorkBegin(static_cast<std::int64_t>(r.corpo.size()));
    const std::size_t enviar = std::min(r.corpo.size(), r.cortaEm);
    bool ok = true;
    if (enviar > 0) ok = escreve(r.corpo.data(), enviar);
    if (eventos.OnWork) eventos.OnWork(static_cast<std::int64_t>(enviar));
    if (eventos.OnWorkEnd) eventos.OnWorkEnd();
    return ok && enviar == r.corpo.size();
}

void TFormPrincipalVirtual::PressionaCtrlU() {
    if (DonoHotKey) DonoHotKey->HotKey();
}

// ---- the parameters dialog -------------------------------------------------------------

TDialogoParametroVirtual::TDialogoParametroVirtual(TAplicacaoVirtual& app, TFormPrincipalVirtual& dono)
    : Numero(++dono.DialogosCriados), app_(app), dono_(dono) {
    if (dono_.DonoHotKey == nullptr) dono_.DonoHotKey = this;
}

TDialogoParametroVirtual::~TDialogoParametroVirtual() {
    if (dono_.DonoHotKey == this) dono_.DonoHotKey = nullptr;
}

bool TDialogoParametroVirtual::TemHotKey() const { return dono_.DonoHotKey == this; }

void TDialogoParametroVirtual::ShowModal() {
    fechado_ = false;
    ++dono_.DialogosAbertos;
    if (onShow_) app_.ExecutaHandler("TfrmParametro.FormShow", onShow_);
    if (dono_.OperadorParametros) dono_.OperadorParametros(*this);
    fechado_ = true;
    --dono_.DialogosAbertos;
}

void TDialogoParametroVirtual::Configurar() {
    if (onConfigura_) app_.ExecutaHandler("btnConfiguraClick", onConfigura_);
}

void TDialogoParametroVirtual::HotKey() {
    if (onHotKey_) app_.ExecutaHandler("JvApplicationHotKey1HotKey", onHotKey_);
}

}  // namespace componentes
