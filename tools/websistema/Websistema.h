// tef-websistema: the reference payment web system used for development,
// demos and end-to-end tests of the manager. This header holds the parts that
// do not need a network: query decoding, escaping, the transaction page, the
// texts the page hands to the manager, the request log line, the download
// name check and the command line.
//
// The page talks to the manager through one element of its top-level
// document, <input type="hidden" id="ipt_imprime_gecko">: the page's script
// sets its "value" attribute to items joined by "§"; the manager polls the
// attribute, takes the text and empties it. The text comes from the server:
// a button first asks it for the result, which the server records (see
// Registro.h), so the server knows everything a page ever handed over.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace websistema {

// "§" in UTF-8: separates the items of a result.
inline constexpr std::string_view Separador = "\xC2\xA7";
inline constexpr std::string_view IdCanal = "ipt_imprime_gecko";
inline constexpr std::string_view TextoCancelamento = "COMMAND_TEF\xC2\xA7" "close";
inline constexpr std::string_view TextoCredenciaisInvalidas = "Loja, login ou senha inv\xC3\xA1lidos";
inline constexpr std::string_view TextoAguardando = "Aguardando o gerenciador...";
inline constexpr std::size_t ColunasImpressora = 40;

// ---- text -------------------------------------------------------------------

// Key/value pairs in arrival order, duplicates kept.
using TQuery = std::vector<std::pair<std::string, std::string>>;

// Form decoding of a raw query string: "&" separates pairs, the first "="
// splits key and value, "+" is a blank, "%XX" a byte. Malformed escapes and
// raw bytes (an unescaped query) are kept as they came.
TQuery DecodificaQuery(std::string_view bruta);
std::string DecodificaPercentual(std::string_view texto, bool maisEhEspaco);
// A form body (application/x-www-form-urlencoded) with keys and values in
// UTF-8: bytes taken as Windows-1252 (what the manager sends, as exchange
// files are) or as UTF-8 (a browser), invalid sequences as U+FFFD.
TQuery DecodificaFormulario(std::string_view corpo, bool cp1252);
// The first value of the key, or "" when absent.
std::string ValorDe(const TQuery& query, std::string_view chave);

// Invalid UTF-8 sequences become U+FFFD, so what is echoed stays well formed.
std::string SaneiaUtf8(std::string_view texto);
std::string EscapaHtml(std::string_view texto);
// Contents of a "..." JavaScript literal that is safe inside <script>.
std::string EscapaJs(std::string_view texto);
// Contents of a JSON string; non-ASCII stays as UTF-8.
std::string EscapaJson(std::string_view texto);

// Decimal digits only (an NSU, a store code); nothing else is a number.
std::optional<std::uint64_t> LeNumero(std::string_view texto);
// Cents as decimal digits only; nothing else is an amount.
std::optional<std::uint64_t> LeCentavos(std::string_view texto);
// "R$ 1.234,56"; a missing or invalid amount shows as "R$ 0,00".
std::string FormataReais(std::string_view centavos);

// A text as a printer line: characters Windows-1252 has, no control
// characters and no "§" (it would split the item), "?" for the rest.
std::string TextoImprimivel(std::string_view texto);
// Length in characters of valid UTF-8.
std::size_t Colunas(std::string_view utf8);

// ---- the page ---------------------------------------------------------------

enum class TTela { Venda, Adm, Desconhecida };
enum class TImpressao { Ecf, Colunas40 };
enum class TAcao { Aprovar, Recusar, Cancelar };

std::optional<TAcao> LeAcao(std::string_view nome);
std::string NomeAcao(TAcao acao);

// ---- the answer's shape ------------------------------------------------------

enum class TCartao { Credito, Debito };
enum class TFinanciamento { Loja, Administradora };
// An administration answered as a transaction (to be confirmed like a sale)
// or as one that needs no confirmation (729-000 = 1).
enum class TTipoAdm { Transacao, SemConfirmacao };

// What an approval looks like: the card, the installments, the kind of
// administration, and fields left out on purpose (to see a client cope with
// a poorer answer). Chosen at start (options), through the control address
// for the next pages, or by the operator in the page.
struct TForma {
    TCartao cartao = TCartao::Credito;
    std::string rede = "CIELO";     // 010-000
    std::string bandeira = "VISA";  // 040-000
    unsigned parcelas = 1;          // 1: paid at once; 2 to 12 on credit only
    TFinanciamento financiamento = TFinanciamento::Loja;
    TTipoAdm adm = TTipoAdm::Transacao;
    std::set<std::string> omite;    // field ids ("027-000") left out of exchange-file answers
    bool operator==(const TForma&) const = default;
};

// The names a shape is chosen by: options (--cartao ...), the control query
// and the page's own query use the same ones.
inline constexpr std::array<std::string_view, 7> ChavesDaForma = {"cartao", "rede",          "bandeira", "parcelas",
                                                                  "financiamento", "adm", "omite"};
inline constexpr std::array<std::string_view, 4> Redes = {"CIELO", "REDE", "GETNET", "STONE"};
inline constexpr std::array<std::string_view, 7> Bandeiras = {"VISA", "MASTERCARD", "ELO", "AMEX",
                                                              "HIPERCARD", "MAESTRO", "ELECTRON"};

// Applies one choice ("parcelas", "3"); the error text, or nothing. "omite"
// takes field ids separated by commas and adds them; an empty value clears
// them. Names and brands are upper-cased.
std::optional<std::string> AplicaEscolha(TForma& forma, std::string_view nome, std::string_view valor);
// The choices that only make sense together (installments on credit only).
std::optional<std::string> ValidaForma(const TForma& forma);
// Every shape key of the query, then the whole checked; on error the shape is
// left as it was. Other keys are an error only when `soDaForma`.
std::optional<std::string> AplicaEscolhas(TForma& forma, const TQuery& query, bool soDaForma);
// One JSON object, every value a string.
std::string FormaEmJson(const TForma& forma);

// The control address answers only on loopback, whatever --endereco says.
bool EhLoopback(std::string_view endereco);

// The sale a cancellation page names (operacao=cancelamento): what the
// commercial application's CNC carried, any of it possibly empty.
struct TVendaNomeada {
    std::string rede, nsu, data, hora, controle;  // 010-000, 012-000, 022-000, 023-000, 027-000
};

// What the manager asked for, as decoded from the query.
struct TPedido {
    TTela tela = TTela::Desconhecida;
    TImpressao impressao = TImpressao::Ecf;
    std::string loja, login, senha, cupom, cpf, valor;
    std::string identificacao;  // the commercial application's 001-000, if sent
    std::string token;          // "pedido": the manager's own name for the request, if sent
    bool cancelamento = false;  // operacao=cancelamento: undo an earlier sale
    TVendaNomeada venda;
    TQuery escolhas;  // shape keys the page's own controls put in the query
};
TPedido LePedido(const TQuery& query);

// The web system's own settings.
struct TConfiguracao {
    std::uint64_t loja = 1;
    std::string login = "operador";
    std::string senha = "1234";
    std::optional<TAcao> automatico;  // the page presses it by itself
    unsigned atrasoMs = 1500;
    TForma forma;  // for pages whose query chooses nothing
};
// The server's shape with the page's choices on top; an invalid choice in the
// page leaves the server's shape and is told in `erro`.
TForma FormaDaPagina(const TPedido& pedido, const TConfiguracao& conf, std::string* erro = nullptr);
bool CredenciaisValidas(const TPedido& pedido, const TConfiguracao& conf);
// Valid credentials and a known screen: the page offers approve and decline,
// otherwise only cancel.
bool PaginaOperavel(const TPedido& pedido, const TConfiguracao& conf);

// What the web system decides for one page: it goes into the approval.
struct TTransacao {
    std::uint64_t nsu = 0;
    std::tm horario{};  // local time the page was made
};
// Six digits derived from the NSU: stable for tests, different per NSU.
std::string CodigoAutorizacao(std::uint64_t nsu);
// 027-000, the control code a client hands back in its CNF or NCN: the store,
// the NSU and the page's moment, so two transactions never share one (NSUs
// start again with the server). Digits only, at most 32.
std::string CodigoControle(std::uint64_t loja, const TTransacao& t);
// 011-000: 10/11/12 credit at once / by the shop / by the issuer, 20 debit,
// 00 an administration.
std::string TipoTransacao(TTela tela, const TForma& forma);

// The text the page writes into the channel for that button, for a sale or
// an administration (a cancellation page's texts are below).
std::string TextoResultado(TAcao acao, const TPedido& pedido, const TConfiguracao& conf, const TTransacao& t);
std::vector<std::string> Itens(std::string_view texto);  // split at "§"

// The sale a cancellation undoes, as the web system recorded it.
struct TVendaCancelada {
    std::uint64_t nsu = 0;
    std::string rede, valor;
};
// A cancellation page's answers: approved (t is the cancellation's own NSU
// and moment), or refused with the reason for the operator (printable ASCII,
// at most 40 characters).
std::string TextoCancelamentoAprovado(const TPedido& pedido, const TConfiguracao& conf, const TTransacao& t,
                                      const TVendaCancelada& venda);
std::string TextoCancelamentoRecusado(const TPedido& pedido, const TConfiguracao& conf, const TTransacao& t,
                                      std::string_view motivo);

// `chave` is the page's secret: its buttons name the page's NSU and it when
// they ask the server for the result (POST resultado.php).
std::string MontaPagina(const TPedido& pedido, const TConfiguracao& conf, const TTransacao& t, std::string_view chave);

// ---- request log ------------------------------------------------------------

// One JSON object (no line break) describing a request.
std::string LinhaDeLog(std::string_view metodo, std::string_view caminho, std::string_view queryBruta,
                       bool https);

// One JSON object (no line break) with the texts a page just served would
// write into the channel for each button, so tests can compare bytes. A
// cancellation page's approval depends on the sale's state when the button
// is pressed: its text here is what it would have been at the page's start.
std::string LinhaDePagina(std::uint64_t nsu, const std::map<TAcao, std::string>& textos);
// A POST's form for the log: the password and the page's secret masked.
std::string LinhaDeLogPost(std::string_view caminho, const TQuery& formulario, int status, bool https);

// ---- downloads --------------------------------------------------------------

// The name under the download area as a relative path, or nothing when it
// could leave the area (absolute, "..", ".", empty segments, NUL, "\").
std::optional<std::string> NomeDeDownloadSeguro(std::string_view nome);
// Percent-encodes what a URL path cannot carry; "/" stays.
std::string CodificaCaminho(std::string_view caminho);

// ---- command line -----------------------------------------------------------

class EUsoIncorreto : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TOpcoes {
    std::string endereco = "127.0.0.1";
    int porta = 8080;        // 0: any free port
    int portaHttps = 8443;   // 0: any free port, -1: no HTTPS
    std::string certificado, chave;  // PEM files; both or neither
    TConfiguracao conf;
    std::string log;         // empty: standard error
    std::string downloads;   // empty: no download area
    std::map<std::string, std::string> redireciona;  // name -> URL ("" = the server's own copy)
    std::set<std::string> corta, lento;
    unsigned desfazAposSegundos = 0;  // an approval left unconfirmed that long is undone; 0: never
    bool ajuda = false;
};

// The arguments after the program name. Raises EUsoIncorreto.
TOpcoes LeOpcoes(const std::vector<std::string>& args);
std::string TextoAjuda();

// "AB:CD:..." of the bytes.
std::string HexComDoisPontos(const unsigned char* bytes, std::size_t n);

}  // namespace websistema
