#include "Registro.h"

#include <cstdio>

namespace websistema {

namespace {

std::string_view Apara(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

std::string Campo(const TQuery& form, std::string_view id) { return std::string(Apara(ValorDe(form, id))); }

bool MesmoNome(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto ma = a[i] >= 'a' && a[i] <= 'z' ? static_cast<char>(a[i] - 32) : a[i];
        auto mb = b[i] >= 'a' && b[i] <= 'z' ? static_cast<char>(b[i] - 32) : b[i];
        if (ma != mb) return false;
    }
    return true;
}

// "1000" and "0001000" are the same amount.
bool MesmoValor(std::string_view pedido, std::string_view registrado) {
    const auto a = LeCentavos(pedido), b = LeCentavos(Apara(registrado));
    return a && b ? *a == *b : pedido == Apara(registrado);
}

TResposta Texto(int status, std::string corpo) {
    TResposta r;
    r.status = status;
    r.corpo = std::move(corpo) + "\n";
    return r;
}

std::string NomeOperacao(const TPedido& p) {
    if (p.tela == TTela::Desconhecida) return "desconhecida";
    if (p.cancelamento) return "cancelamento";
    return p.tela == TTela::Venda ? "venda" : "adm";
}

}  // namespace

std::string NomeEstado(TEstado e) {
    switch (e) {
        case TEstado::Aberta: return "aberta";
        case TEstado::Aprovada: return "aprovada";
        case TEstado::Confirmada: return "confirmada";
        case TEstado::Desfeita: return "desfeita";
        case TEstado::Recusada: return "recusada";
        case TEstado::CanceladaPagina: return "cancelada_pagina";
        case TEstado::Cancelada: break;
    }
    return "cancelada";
}

std::string TResposta::Cabecalho(std::string_view nome) const {
    for (const auto& [k, v] : cabecalhos)
        if (k == nome) return v;
    return "";
}

TRegistro::TRegistro(std::chrono::seconds desfazApos, TRelogio relogio, TLog log)
    : desfazApos_(desfazApos), relogio_(std::move(relogio)), log_(std::move(log)), sorteio_(std::random_device{}()) {}

std::string TRegistro::ChaveNova() {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%016llx%016llx", static_cast<unsigned long long>(sorteio_()),
                  static_cast<unsigned long long>(sorteio_()));
    return buf;
}

void TRegistro::Muda(TLancamento& l, TEstado para, std::string_view por) {
    const TEstado de = l.estado;
    l.estado = para;
    if (log_)
        log_("{\"estado\":{\"nsu\":" + std::to_string(l.t.nsu) + ",\"de\":\"" + NomeEstado(de) + "\",\"para\":\"" +
             NomeEstado(para) + "\",\"por\":\"" + EscapaJson(por) + "\"}}");
}

// Undoing a cancellation gives the sale back the state it had before.
void TRegistro::Desfaz(TLancamento& l, std::string_view por) {
    Muda(l, TEstado::Desfeita, por);
    if (l.nsuCancelado == 0) return;
    const auto venda = lancamentos_.find(l.nsuCancelado);
    if (venda != lancamentos_.end() && venda->second.estado == TEstado::Cancelada)
        Muda(venda->second, l.estadoDoCancelado, "cancelamento " + std::to_string(l.t.nsu) + " desfeito");
}

void TRegistro::Vence() {
    if (desfazApos_.count() <= 0) return;
    const auto agora = relogio_();
    // A sale given back by an undone cancellation may be past its own time.
    for (bool mudou = true; mudou;) {
        mudou = false;
        for (auto& [nsu, l] : lancamentos_) {
            if (l.estado == TEstado::Aprovada && agora - l.aprovadaEm >= desfazApos_) {
                Desfaz(l, "prazo");
                mudou = true;
            }
        }
    }
}

std::string TRegistro::AvaliaCancelamento(const TPedido& pedido, TLancamento*& venda) {
    venda = nullptr;
    const auto nsu = LeNumero(Apara(pedido.venda.nsu));
    const auto it = nsu ? lancamentos_.find(*nsu) : lancamentos_.end();
    if (it == lancamentos_.end() || it->second.pedido.cancelamento || it->second.pedido.tela != TTela::Venda ||
        !it->second.operavel)
        return "Venda nao encontrada";
    TLancamento& v = it->second;
    const auto controle = Apara(pedido.venda.controle), rede = Apara(pedido.venda.rede);
    if (!controle.empty() && controle != v.controle) return "Codigo de controle nao confere";
    if (!rede.empty() && !MesmoNome(rede, v.rede)) return "Rede nao confere";
    switch (v.estado) {
        case TEstado::Aprovada:
        case TEstado::Confirmada: venda = &v; return "";
        case TEstado::Cancelada: return "Venda ja cancelada";
        case TEstado::Desfeita: return "Venda desfeita";
        default: return "Venda nao aprovada";
    }
}

TRegistro::TPagina TRegistro::Abre(const TPedido& pedido, const TConfiguracao& conf, const std::tm& horario) {
    std::lock_guard trava(mutex_);
    Vence();
    TLancamento l;
    l.pedido = pedido;
    l.conf = conf;
    l.t.nsu = ++ultimoNsu_;
    l.t.horario = horario;
    l.chave = ChaveNova();
    l.operavel = PaginaOperavel(pedido, conf);
    TPagina pagina{l.t, l.chave, {}};
    if (pedido.cancelamento) {
        l.textos[TAcao::Recusar] = TextoCancelamentoRecusado(pedido, conf, l.t, "Cancelamento recusado");
        l.textos[TAcao::Cancelar] = std::string(TextoCancelamento);
        pagina.textos = l.textos;
        TLancamento* venda = nullptr;
        const auto motivo = AvaliaCancelamento(pedido, venda);
        pagina.textos[TAcao::Aprovar] =
            venda ? TextoCancelamentoAprovado(pedido, conf, l.t, {venda->t.nsu, venda->rede, venda->pedido.valor})
                  : TextoCancelamentoRecusado(pedido, conf, l.t, motivo);
    } else {
        for (TAcao a : {TAcao::Aprovar, TAcao::Recusar, TAcao::Cancelar}) l.textos[a] = TextoResultado(a, pedido, conf, l.t);
        pagina.textos = l.textos;
    }
    lancamentos_.emplace(l.t.nsu, std::move(l));
    return pagina;
}

TResposta TRegistro::Decide(const TQuery& form) {
    std::lock_guard trava(mutex_);
    Vence();
    const auto acao = LeAcao(ValorDe(form, "acao"));
    if (!acao) return Texto(400, "acao: aprovar, recusar ou cancelar");
    const auto nsu = LeNumero(ValorDe(form, "nsu"));
    const auto it = nsu ? lancamentos_.find(*nsu) : lancamentos_.end();
    if (it == lancamentos_.end() || it->second.chave != ValorDe(form, "chave"))
        return Texto(404, "Pagina desconhecida");
    TLancamento& l = it->second;
    TResposta r;
    r.cabecalhos = {{"X-TEF-NSU", std::to_string(l.t.nsu)}};
    if (l.estado == TEstado::Aberta) {
        if (!l.operavel && *acao != TAcao::Cancelar) return Texto(409, "Esta pagina so cancela");
        const bool ecf = l.pedido.impressao == TImpressao::Ecf;
        const auto agora = relogio_();
        if (*acao != TAcao::Aprovar) {
            l.canal = l.textos.at(*acao);
            l.estado = *acao == TAcao::Recusar ? TEstado::Recusada : TEstado::CanceladaPagina;
        } else if (!l.pedido.cancelamento) {
            l.canal = l.textos.at(TAcao::Aprovar);
            const TForma forma = FormaDaPagina(l.pedido, l.conf);
            // An administration that needs no confirmation is no transaction:
            // nothing to confirm, undo or cancel later.
            const bool transacao = !(l.pedido.tela == TTela::Adm && forma.adm == TTipoAdm::SemConfirmacao);
            if (transacao) l.rede = forma.rede, l.controle = CodigoControle(l.conf.loja, l.t);
            // A printed receipt (a screen from the tray) has nobody to confirm it.
            l.estado = transacao && ecf ? TEstado::Aprovada : TEstado::Confirmada;
            l.aprovadaEm = agora;
        } else {
            TLancamento* venda = nullptr;
            const auto motivo = AvaliaCancelamento(l.pedido, venda);
            if (venda) {
                l.canal = TextoCancelamentoAprovado(l.pedido, l.conf, l.t, {venda->t.nsu, venda->rede, venda->pedido.valor});
                l.rede = venda->rede, l.controle = CodigoControle(l.conf.loja, l.t);
                l.nsuCancelado = venda->t.nsu, l.estadoDoCancelado = venda->estado;
                Muda(*venda, TEstado::Cancelada, "cancelamento " + std::to_string(l.t.nsu));
                l.estado = ecf ? TEstado::Aprovada : TEstado::Confirmada;
                l.aprovadaEm = agora;
            } else {
                l.canal = TextoCancelamentoRecusado(l.pedido, l.conf, l.t, motivo);
                l.estado = TEstado::Recusada;
            }
        }
        l.textos.clear();  // the page gave its one result
        if (log_)
            log_("{\"resultado\":{\"nsu\":" + std::to_string(l.t.nsu) + ",\"acao\":\"" + NomeAcao(*acao) +
                 "\",\"estado\":\"" + NomeEstado(l.estado) + "\",\"texto\":\"" + EscapaJson(l.canal) + "\"}}");
    }
    // Asked again (the answer to the first request was lost): the same text,
    // whichever button it names now.
    r.corpo = l.canal;
    r.cabecalhos.emplace_back("X-TEF-Estado", NomeEstado(l.estado));
    return r;
}

TResposta TRegistro::ConfirmaOuDesfaz(const TQuery& form, bool confirma) {
    const std::string comando = confirma ? "CNF" : "NCN";
    const std::string nsuTexto = Campo(form, "012-000");
    const auto nsu = LeNumero(nsuTexto);
    const auto it = nsu ? lancamentos_.find(*nsu) : lancamentos_.end();
    if (it == lancamentos_.end())
        return Texto(200, comando + ": nenhuma transacao com NSU '" + SaneiaUtf8(nsuTexto) + "'; nada a fazer");
    TLancamento& l = it->second;
    const std::string qual = comando + ": transacao NSU " + std::to_string(l.t.nsu);
    auto resposta = [&](std::string corpo) {
        TResposta r = Texto(200, std::move(corpo));
        r.cabecalhos = {{"X-TEF-NSU", std::to_string(l.t.nsu)}, {"X-TEF-Estado", NomeEstado(l.estado)}};
        return r;
    };
    // Only an approval that is a transaction has a network and a control code
    // to check against.
    if (!l.controle.empty()) {
        const auto controle = Campo(form, "027-000"), rede = Campo(form, "010-000");
        if (!controle.empty() && controle != l.controle)
            return resposta(qual + ": o codigo de controle (027-000) nao confere; nada feito");
        if (!rede.empty() && !MesmoNome(rede, l.rede)) return resposta(qual + ": a rede (010-000) nao confere; nada feito");
    }
    const std::string motivo = Campo(form, "motivo");
    if (confirma) {
        if (l.estado == TEstado::Aprovada) {
            Muda(l, TEstado::Confirmada, "CNF");
            return resposta(qual + " confirmada");
        }
        if (l.estado == TEstado::Confirmada) return resposta(qual + " ja estava confirmada; nada a fazer");
    } else {
        if (l.estado == TEstado::Aprovada || l.estado == TEstado::Confirmada) {
            Desfaz(l, motivo.empty() ? std::string("NCN") : "NCN: " + motivo);
            std::string corpo = qual + " desfeita";
            if (l.nsuCancelado) {
                const auto& venda = lancamentos_.at(l.nsuCancelado);
                corpo += "; a venda NSU " + std::to_string(venda.t.nsu) + " esta " + NomeEstado(venda.estado);
            }
            return resposta(corpo);
        }
        if (l.estado == TEstado::Desfeita) return resposta(qual + " ja estava desfeita; nada a fazer");
    }
    return resposta(qual + " esta " + NomeEstado(l.estado) + "; nada a fazer");
}

TResposta TRegistro::Consulta(const TQuery& form) {
    const auto id = Campo(form, "001-000"), cupom = Campo(form, "002-000"), valor = Campo(form, "003-000");
    const auto token = Campo(form, "pedido");
    TResposta r;
    r.cabecalhos = {{"X-TEF-Resultado", "nenhum"}};
    // Without an identification every page without one would match.
    if (id.empty() && token.empty()) return r;
    for (auto it = lancamentos_.rbegin(); it != lancamentos_.rend(); ++it) {
        const TLancamento& l = it->second;
        // The manager's own name for the request tells it from an earlier one
        // that had the same identification (a counter started again).
        if (!token.empty()) {
            if (Apara(l.pedido.token) != token) continue;
        } else {
            if (Apara(l.pedido.identificacao) != id) continue;
            if (!cupom.empty() && Apara(l.pedido.cupom) != cupom) continue;
            if (!valor.empty() && !MesmoValor(valor, l.pedido.valor)) continue;
        }
        // The most recent page of the request decides: still open, it gave
        // nothing; an approval undone since is no payment any more.
        r.cabecalhos.emplace_back("X-TEF-NSU", std::to_string(l.t.nsu));
        r.cabecalhos.emplace_back("X-TEF-Estado", NomeEstado(l.estado));
        if (l.estado != TEstado::Aberta && l.estado != TEstado::Desfeita && l.estado != TEstado::Cancelada) {
            r.cabecalhos.front().second = "encontrado";
            r.corpo = l.canal;
        }
        return r;
    }
    return r;
}

TResposta TRegistro::Confirmacao(const TQuery& form, const TConfiguracao& conf) {
    std::lock_guard trava(mutex_);
    Vence();
    TPedido credenciais;
    credenciais.loja = ValorDe(form, "lojcodigo_logado");
    credenciais.login = ValorDe(form, "usulogin_logado");
    credenciais.senha = ValorDe(form, "ususenha_logado");
    if (!CredenciaisValidas(credenciais, conf)) return Texto(403, "Loja, login ou senha invalidos");
    const auto comando = Campo(form, "000-000");
    if (comando == "CNF" || comando == "NCN") return ConfirmaOuDesfaz(form, comando == "CNF");
    if (comando == "CNS") return Consulta(form);
    return Texto(400, "000-000 ausente ou desconhecido ('" + SaneiaUtf8(comando) + "'): use CNF, NCN ou CNS");
}

std::string TRegistro::EmJson() {
    std::lock_guard trava(mutex_);
    Vence();
    std::string j = "{";
    for (const auto& [nsu, l] : lancamentos_) {
        if (j.size() > 1) j += ',';
        auto par = [&](const char* k, std::string_view v) { j += std::string(",\"") + k + "\":\"" + EscapaJson(v) + "\""; };
        j += "\"" + std::to_string(nsu) + "\":{\"nsu\":\"" + std::to_string(nsu) + "\"";
        par("loja", l.pedido.loja);
        par("identificacao", l.pedido.identificacao);
        par("pedido", l.pedido.token);
        par("cupom", l.pedido.cupom);
        par("valor", l.pedido.valor);
        par("operacao", NomeOperacao(l.pedido));
        par("estado", NomeEstado(l.estado));
        par("rede", l.rede);
        par("controle", l.controle);
        par("nsu_cancelado", l.nsuCancelado ? std::to_string(l.nsuCancelado) : std::string());
        par("canal", l.canal);
        j += "}";
    }
    return j + "}";
}

}  // namespace websistema
