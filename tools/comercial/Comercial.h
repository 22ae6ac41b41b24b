// tef-comercial: the commercial application's side of the file exchange with
// the TEF manager, as a command-line tool for point-of-sale integrators and
// for tests. It writes a request into the manager's req/, waits for the
// acknowledgement (resp/intpos.sts) and the answer (resp/intpos.001), prints
// them and consumes them.
//
// Exit codes:
//   0    answered: resp/intpos.001 received and it is not a cancellation
//        (approved or not: the summary line says which)
//   1    I/O or other failure; also a request of the same name still waiting
//        in req/ (the manager has not taken it yet)
//   2    bad usage
//   3    acknowledged only: resp/intpos.sts received and no answer awaited
//        (for cnc with --espera-resp 0: sent, nothing awaited)
//   4    cancelled: resp/intpos.001 is the manager's cancellation
//        (030-000 = "TEF Marel Raruveda foi cancelado")
//   5    timed out waiting for resp/intpos.sts
//   6    timed out waiting for resp/intpos.001
//   130  interrupted (SIGINT) while waiting; files are left as they are
#pragma once

#include "untFuncao.h"

#include <chrono>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace comercial {

enum CodigoSaida : int {
    SaidaRespondido = 0,
    SaidaFalha = 1,
    SaidaUsoIncorreto = 2,
    SaidaSoConfirmado = 3,
    SaidaCancelado = 4,
    SaidaSemSts = 5,
    SaidaSemResposta = 6,
    SaidaInterrompido = 130,
};

// The manager's cancellation answer carries this text in 030-000.
inline const std::string TextoTefCancelado = "TEF Marel Raruveda foi cancelado";
// The manager's answer to a request a run of it left open (a crash, a power
// cut): not completed, to be checked in the web system.
inline const std::string TextoTefInterrompido = "TEF interrompido: confira no sistema web";
inline const std::string NomePedidoPadrao = "intpos.001";

// The command line was wrong: exit code 2.
class EUsoIncorreto : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const override { return "EUsoIncorreto"; }
};

// A request of the same name is still in req/: sending would overwrite it.
class EPedidoPendente : public Exception {
public:
    using Exception::Exception;
    const char* ClassName() const override { return "EPedidoPendente"; }
};

struct TCampo {
    std::string id;     // "NNN-NNN"
    std::string valor;
    bool operator==(const TCampo&) const = default;
};

// How long to wait for one file. No limit when limite is empty.
struct TPrazo {
    bool aguarda = false;
    std::optional<std::chrono::milliseconds> limite;
    bool operator==(const TPrazo&) const = default;
};

struct TPrazos {
    TPrazo sts;
    TPrazo resp;
};

// The command line, as typed (values still in the locale's encoding).
struct TOpcoes {
    std::string forma;  // crt adm cnc cnf enviar arquivo demo
    std::string dir = ".";
    std::string nome = NomePedidoPadrao;
    std::optional<std::string> id, documento, valor, cpf, campo012;
    std::string comando;          // enviar CMD
    std::vector<TCampo> campos;   // enviar --campo, in the order given
    std::string arquivo;          // arquivo PATH
    std::optional<TPrazo> esperaSts, esperaResp;  // only when given
    bool dirDado = false;
    bool bruto = false;
    bool manter = false;
    bool ajuda = false;
    bool versao = false;
};

// The request ready to go: its bytes and what the acknowledgement must echo.
struct TPedido {
    std::string bytes;
    std::string comando;        // 000-000, trimmed (Windows-1252)
    std::string identificacao;  // 001-000, trimmed (Windows-1252)
};

// Everything the flow prints goes through here; tests pass string streams.
struct TContexto {
    std::ostream& out;
    std::ostream& err;
    bool utf8 = true;  // the terminal/locale is UTF-8
    std::function<bool()> interrompido;
    std::chrono::milliseconds intervalo{50};
};

// ---- command line -----------------------------------------------------------

// The arguments after the program name. Raises EUsoIncorreto.
TOpcoes LeArgumentos(const std::vector<std::string>& args);
std::string TextoAjuda();
// A command line refused: what was wrong, the usage in one line, where the
// help is (standard error; the exit status is SaidaUsoIncorreto).
void MostraUsoIncorreto(std::ostream& err, const std::string& problema);
// Seconds as "7", "0.2" or "0,2", or "sem-limite"; zero only when aceitaZero
// (it means: do not wait). Raises EUsoIncorreto.
TPrazo LePrazo(const std::string& texto, bool aceitaZero, const std::string& opcao);

// ---- encodings --------------------------------------------------------------

// True when LC_CTYPE (already set from the environment) is UTF-8.
bool LocaleUtf8();
// Raises EUsoIncorreto naming `onde` when the text is not valid UTF-8 or has a
// character without a Windows-1252 form.
std::string Utf8ParaAnsi(std::string_view texto, const std::string& onde);
// Bytes undefined in Windows-1252 come out as U+FFFD.
std::string AnsiParaUtf8(std::string_view texto);

// ---- the request ------------------------------------------------------------

bool IdCampoValido(std::string_view id);
// "NNN-NNN = valor" lines, the terminator "999-999 = 0" appended, CR LF each.
std::string TextoPedido(const std::vector<TCampo>& campos);
// Builds the request of the command line: fields in order 000, 001, 002, 003,
// 007, 012 (enviar: 000, 001, then the --campo ones as given); values
// converted to Windows-1252 when utf8. arquivo: the file's bytes untouched.
// Raises EUsoIncorreto, or EFOpenError for an unreadable arquivo.
TPedido MontaPedido(const TOpcoes& opcoes, bool utf8, const std::string& idPadrao);
// A number unlikely to repeat between runs (time and process id).
std::string IdentificacaoPadrao();
// What to wait for, from the request's command and the options.
TPrazos PrazosDoPedido(const TPedido& pedido, const TOpcoes& opcoes);

// Removes stale resp/intpos.sts and resp/intpos.001, then puts the request
// into req/<nome>: written under a temporary name without ".001", synced, and
// renamed without replacing. Raises EPedidoPendente when req/<nome> exists.
// Returns the names of the stale files it removed.
TLinhas EnviaPedido(const std::string& dir, const std::string& nome, const std::string& bytes);

// ---- the answers ------------------------------------------------------------

// Value of the first line of that field (one blank after "=" dropped).
std::optional<std::string> ValorCampo(const TLinhas& linhas, std::string_view id);
// The acknowledgement belongs to the request: same 000-000 and 001-000.
bool StsDoPedido(const TLinhas& sts, const TPedido& pedido);

enum class TipoResposta { Aprovada, NaoAprovada, SemStatus, Cancelamento };
TipoResposta ClassificaResposta(const TLinhas& resposta);
// "Resposta: ..." (UTF-8 when utf8).
std::string ResumoResposta(const TLinhas& resposta, bool utf8);

// ---- the whole flow ---------------------------------------------------------

// Sends the request of the options and waits as configured; returns the exit code.
int Executa(const TOpcoes& opcoes, TContexto& ctx);
// Both sides in one process, the manager's one simulated; returns the exit code.
int Demo(const TOpcoes& opcoes, TContexto& ctx);

}  // namespace comercial
