// The web system's record of every page it served and of what became of it,
// as a payment network keeps its transactions: a page's button asks the
// server for the result (which the server decides and records) before the
// page writes it into the channel; a commercial application's CNF confirms an
// approval, its NCN undoes one, and a cancellation page undoes an earlier
// sale. After an interruption the manager asks (CNS) what a request's page
// gave. No network here: the server hands requests over as forms.
#pragma once

#include "Websistema.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace websistema {

enum class TEstado {
    Aberta,           // page served, no button yet
    Aprovada,         // approved, awaiting the client's confirmation
    Confirmada,       // confirmed (CNF), or an approval that needs none
    Desfeita,         // undone (NCN, or left unconfirmed too long)
    Recusada,         // declined in the page (also a refused cancellation)
    CanceladaPagina,  // the page's own cancel button
    Cancelada,        // a sale undone later by a cancellation page
};
std::string NomeEstado(TEstado estado);

// An answer of the server's own interfaces, made without a network.
struct TResposta {
    int status = 200;
    std::string corpo;
    std::string tipo = "text/plain; charset=utf-8";
    std::vector<std::pair<std::string, std::string>> cabecalhos;
    std::string Cabecalho(std::string_view nome) const;  // "" when absent
};

class TRegistro {
public:
    using TRelogio = std::function<std::chrono::steady_clock::time_point()>;
    // One JSON object per state change, without the line break.
    using TLog = std::function<void(const std::string&)>;

    // An approval neither confirmed nor undone `desfazApos` after it was given
    // is undone by the server (zero: never). Checked on every call, against
    // `relogio`.
    explicit TRegistro(std::chrono::seconds desfazApos = std::chrono::seconds(0),
                       TRelogio relogio = &std::chrono::steady_clock::now, TLog log = {});

    struct TPagina {
        TTransacao t;       // the page's NSU and moment
        std::string chave;  // the secret its buttons send back
        std::map<TAcao, std::string> textos;  // what each button would give now
    };
    // Records a page being served.
    TPagina Abre(const TPedido& pedido, const TConfiguracao& conf, const std::tm& horario);

    // A button pressed (POST resultado.php: nsu, chave, acao): the channel
    // text, recorded before it is returned. A page gives one result: once
    // recorded, every later request for it returns that same text.
    TResposta Decide(const TQuery& formulario);

    // CNF, NCN and CNS (POST confirmacao.php), the form in UTF-8; `conf`
    // holds the credentials it must carry.
    TResposta Confirmacao(const TQuery& formulario, const TConfiguracao& conf);

    // The register as one JSON object keyed by NSU, every value a string.
    std::string EmJson();

private:
    struct TLancamento {
        TPedido pedido;
        TConfiguracao conf;
        TTransacao t;
        std::string chave;
        bool operavel = false;
        std::map<TAcao, std::string> textos;  // a sale's or an administration's, made when served
        TEstado estado = TEstado::Aberta;
        std::string canal;                // the text the page gave
        std::string rede, controle;       // of an approval that is a transaction
        std::chrono::steady_clock::time_point aprovadaEm{};
        std::uint64_t nsuCancelado = 0;   // a cancellation: the sale it undid
        TEstado estadoDoCancelado = TEstado::Aprovada;  // that sale's state before
    };

    std::string ChaveNova();
    void Vence();  // undoes approvals past their time
    void Muda(TLancamento& l, TEstado para, std::string_view por);
    void Desfaz(TLancamento& l, std::string_view por);
    // The reason a cancellation page cannot undo the sale it names, or ""
    // (with `venda` set) when it can.
    std::string AvaliaCancelamento(const TPedido& pedido, TLancamento*& venda);
    TResposta ConfirmaOuDesfaz(const TQuery& form, bool confirma);
    TResposta Consulta(const TQuery& form);

    std::mutex mutex_;
    std::chrono::seconds desfazApos_;
    TRelogio relogio_;
    TLog log_;
    std::uint64_t ultimoNsu_ = 0;
    std::map<std::uint64_t, TLancamento> lancamentos_;  // by NSU: served order
    std::mt19937_64 sorteio_;
};

}  // namespace websistema
