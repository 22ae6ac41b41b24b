// The main window's controller: state of the current transaction, intake of
// requests from the commercial application, the exchange files it writes,
// cancellation, the trace and the error log. It reaches the desktop only
// through the component layer.
#pragma once

#include "Componentes.h"
#include "untFuncao.h"

class TRegistry;

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

// Texts the manager writes or shows (Windows-1252).
namespace textos {
inline const std::string AguardandoAplicativo = "TEF, Aguardando Aplicativo Comercial....";
inline const std::string TituloJanela = "[ TEF Rede Fonteva ]";
inline const std::string ChaveRegistro = "\\Software\\ORVEX\\TEF";
inline const std::string TefCancelado = "TEF Marel Raruveda foi cancelado";
inline const std::string NaoParametrizado = "O sistema n\xE3o foi parametrizado.";
inline const std::string Homologacao =
    "O sistema est\xE1 sendo executado em uma base de homologa\xE7\xE3o.\r\n"
    "Por tanto poder\xE1 ser usado sem nenhuma restri\xE7\xE3o.";
inline const std::string ValorZerado =
    "O Aplicado Comercial passou o valor da venda zerado.\rO TEF ser\xE1 cancelado.";
inline const std::string InicioFalhou = "O TEF n\xE3o p\xF4" "de ser iniciado.";
inline const std::string JaEmExecucao = "TEF Tarvo j\xE1 esta em execu\xE7\xE3o.";
inline const std::string PedidoEmAndamento =
    "H\xE1 um pedido do aplicativo comercial em andamento: a tela abre quando ele terminar.";
inline const std::string TransacaoAguarda =
    "A transa\xE7\xE3o aguarda: a confirma\xE7\xE3o do pedido n\xE3o p\xF4" "de ser gravada para o aplicativo "
    "comercial. A tela abre assim que ela for gravada.";
// 030-000 of a request acknowledged by a run that ended before answering it.
inline const std::string TefInterrompido = "TEF interrompido: confira no sistema web";
// 030-000 of a CNC that names no sale (no NSU, no control code).
inline const std::string CncSemVenda = "Informe o NSU da venda a cancelar";
// The texts the manager itself writes in 030-000: clients show at most 40
// printable ASCII characters.
inline const std::string TextosDoCampo030[] = {TefCancelado, TefInterrompido, CncSemVenda};
// Why the manager undoes an approval ("motivo" of its NCN).
inline const std::string MotivoTelaSubstituida =
    "aprovada depois de a tela ser substituida: o aplicativo comercial a recebeu como cancelada";
}  // namespace textos

// How the program ends. The service's unit and the manual page rely on
// these: each cause of a start that cannot go on has its own.
namespace saida {
inline constexpr int Normal = 0;
inline constexpr int FalhaInicio = 1;          // a start that could not complete, any other cause
inline constexpr int Uso = 2;                  // a command line not understood
inline constexpr int OutroGerente = 3;         // another manager runs on this installation (or for this user)
inline constexpr int InstalacaoIncompleta = 4; // mozembed/ or its program missing, or the exchange files cannot be written
inline constexpr int NaoParametrizado = 5;     // no configuration store, or no key in it
inline constexpr int ArmazemIlegivel = 6;      // the store cannot be read or parsed
inline constexpr int ParametrosInvalidos = 7;  // a value missing or of the wrong type (no Lojcodigo)
inline constexpr int SemTela = 8;              // no display, and none could be started
}  // namespace saida

// The configuration has never been saved, and nobody is there to do it.
class ENaoParametrizado : public Exception {
public:
    using Exception::Exception;
};

// The installation cannot be used by this user: an exchange directory or
// the marker cannot be created or written.
class EInstalacao : public Exception {
public:
    using Exception::Exception;
};

// Utilities of the profile upkeep.
// Deletes a directory tree; entries that cannot be deleted stay, and so do
// the directories above them. After each entry, pending messages run.
void ApagaDiretorio(const std::string& diretorio, const std::function<void()>& aposCadaEntrada = nullptr);
// The size of a plain, non-hidden file; -1 when there is none.
std::int32_t TamanhoArquivo(const std::string& arquivo);
// Puts a downloaded file in place of the current one when it differs in size;
// a current file left empty is deleted.
void SubstituiArquivo(const std::string& novo, const std::string& alvo);
// Runs the program in its own directory and waits for it, processing no
// messages; false when it cannot be started.
bool ExecutaEEspera(const std::string& programa, const std::string& parametros, int mostra);
// Repairs the browser runtime's registration for the installation in b (the
// executable's directory with its trailing "/"); true when the runtime must be
// registered anew.
bool VerificaRegistroGre(const std::string& b);
// Appends one text (its own line breaks as they are), followed by CR LF, at
// the end of an error log file; what the file holds stays as it is. A log that has reached the limit is kept as
// the one previous file (arquivo + ".1", replacing the one before) and a new
// log starts.
inline constexpr std::int64_t kLimiteLogErro = 1024 * 1024;
void AnexaLogErro(const std::string& arquivo, const std::string& texto, std::int64_t limite = kLimiteLogErro);
// The command line ExecutaEEspera runs: the quoted program, a blank, the
// parameters.
std::string LinhaDeComando(const std::string& programa, const std::string& parametros);

// What a screen was opened for: the request's data as it stood then. A
// page's result answers this transaction and no other, whatever requests
// arrive meanwhile.
struct TTransacao {
    std::string comando;  // "CRT", "ADM" or "CNC" of a request; empty for a screen from the menu
    std::string identificacao, documento, valorTexto, numCupom, cpf;
    // The earlier sale a CNC cancels: 010-000, 012-000, 022-000, 023-000, 027-000.
    std::string rede, nsu, dataVenda, horaVenda, controle;
    bool modoAdm = false;
    bool tefComercial = false;
    std::int64_t inicioMs = 0;  // when it was acknowledged, on the manager's clock
    std::string registro;       // its record in temp/ while it may need answering after a crash; empty: none
};

// The request's own name, unique on this till: its record's name without
// ".txt" (empty without a record). The page's address and a query after a
// crash carry it, so the web system never takes an earlier request that had
// the same 001-000 for this one.
std::string NomeDoPedido(const TTransacao& t);
// A short fingerprint of bytes (FNV-1a, hexadecimal).
std::string Impressao(const std::string& bytes);
// A transaction as the record of an open one holds it (with the answer's
// lines when one waits, and the name of resp/ it goes to), and back.
TLinhas LinhasDoRegistro(const TTransacao& t, const std::string& estado, const TLinhas& resposta = {},
                         const std::string& nome = "");
// Nothing when the lines are not such a record.
std::optional<TTransacao> TransacaoDoRegistro(const TLinhas& linhas, std::string* estado = nullptr,
                                              TLinhas* resposta = nullptr, std::string* nome = nullptr);
// The records of open transactions in a temp/ directory, whatever they are
// ("transacao-*.txt"), in name order.
std::vector<std::string> ArquivosDeRegistro(const std::string& dirTemp);
// One record as read: states "aberta" (acknowledged, no answer yet),
// "pendente" (its answer, in resposta, is on its way to resp/nome) and
// "respondida <fingerprint> <name>" (written; kept while unread).
struct TRegistroLido {
    TTransacao t;  // t.registro: the file
    std::string estado;
    TLinhas resposta;
    std::string nome;
};
// Nothing, with the reason, when the file is no whole record (too large,
// not a regular file, no whole copy, not a record's lines).
std::optional<TRegistroLido> LeRegistro(const std::string& arquivo, std::string* erro = nullptr);
// Writes the record's lines: in place when the file is a record of this
// user's with room, else made whole beside it and renamed. Raises on failure.
void GravaRegistro(const std::string& arquivo, const TLinhas& linhas);

// The outbox of messages for the web system (temp/confirmacoes/): one file
// per message, "<field> = <value>" lines, named by a number that orders them.
// The messages waiting, oldest first.
std::vector<std::string> MensagensDaSaida(const std::string& dir);
// One message's fields; raises when the file is none.
componentes::TCampos LeMensagem(const std::string& arquivo);
// Writes and flushes a message under the next number; raises on failure.
void GravaMensagem(const std::string& dir, const componentes::TCampos& campos);
// An approval the manager could not undo for lack of a confirmation
// address, kept a day for the status report: temp/desfazer-*.txt.
std::vector<std::string> AprovacoesADesfazer(const std::string& dirTemp);

// A file name of resp/ taken from the configuration ("NomeConfirmacao",
// "NomeResposta", "NomeAtivo"): nothing when it is not a bare file name of at
// most 64 bytes (no path separator, no "..", no control character).
std::optional<std::string> NomeDeArquivoValido(const std::string& valor);
// The names of the three files of resp/: the acknowledgement, the answer
// and the marker.
struct TNomesResp {
    std::string confirmacao = "intpos.sts";
    std::string resposta = "intpos.001";
    std::string ativo = "Ativo.001";
};
// The names the configuration key asks for ("NomeConfirmacao",
// "NomeResposta", "NomeAtivo"), each checked by NomeDeArquivoValido, and
// never two roles under one name (letter case aside, as Windows sees them):
// the first configured name of such a pair gives way, in the order
// acknowledgement, answer, marker. Each value refused is handed to recusado
// (the value's name, the text read, the name used instead).
TNomesResp NomesDaConfiguracao(
    TRegistry& reg,
    const std::function<void(const std::string&, const std::string&, const std::string&)>& recusado = nullptr);
// The same for the installation's store as it is now; never raises (an
// unreadable store gives the described names).
TNomesResp NomesConfigurados();
// Every name the marker may have in resp/ (the usual one, its alias, the
// configuration's), less any that another role uses: removing the marker
// must never remove an answer.
std::vector<std::string> NomesDoMarcador(const TNomesResp& nomes);
// Whether the file is a marker (its first line "000-000 = TEF"), or a link
// that leads nowhere: only these are removed under a marker's name, which a
// configuration that cannot be read any more may have given an answer.
bool EhMarcador(const std::string& arquivo);

// One transaction of the commercial application, as it ended.
struct TFimTransacao {
    std::string comando, identificacao, valorTexto;
    std::string desfecho;  // "aprovada", "recusada", "cancelada pelo operador", "cancelada por parada", ...
    std::int64_t duracaoMs = 0;
};

// What the service manager, the journal and the status report hear of the
// controller; every member may stay empty (the desktop, Windows).
struct TObservador {
    std::function<void()> Pronto;                             // "Ativo.001" is there: requests are taken
    std::function<void()> Vivo;                               // every tick of the request poll
    std::function<void()> Parando;                            // the close has begun
    std::function<void(const TFimTransacao&)> Transacao;      // a transaction was answered
    std::function<void(const std::string&)> Erro;             // an error log entry (Windows-1252, masked)
    std::function<void(const std::string&)> Aviso;            // a notice nobody is there to read in a box
    std::function<void(std::size_t)> Pendentes;               // answers waiting to be written
    std::function<void(const std::string&)> Recuperacao;      // why a crash would lose a request; "" again once not
    std::function<void(int, const std::string&)> Jornal;      // a line for the journal at a priority (6, 4, 3)
};

class TfrmPrincipal {
public:
    TfrmPrincipal(componentes::IAplicacao& app, const componentes::TComponentesPrincipal& componentes);
    TfrmPrincipal(const TfrmPrincipal&) = delete;
    TfrmPrincipal& operator=(const TfrmPrincipal&) = delete;

    // ---- components of the window's design ----
    componentes::IAplicacao& Application;
    componentes::TComponentesPrincipal C;

    // ---- private state (public so the tests can see it) ----
    std::string FTela;
    std::string FUrl;
    std::string FDirResp;
    std::string FDirReq;
    std::string FDirTemp;
    std::string FDirDebug;
    std::string FChaveRegistro;
    std::string FComando;
    std::string FIdentificacao;
    std::string FDocumento;
    std::string FValorTexto;
    std::string FCampo012;
    std::string FNumCupom;
    std::string FCpf;
    // 010-000, 022-000, 023-000 and 027-000: what a CNF, NCN or CNC repeats.
    std::string FRede, FDataVenda, FHoraVenda, FControle;
    TCurrency FValor = 0;
    bool FModoAdm = false;
    bool FTelaAberta = false;
    bool FTefComercial = false;
    std::int32_t FLojCodigo = 0;
    std::string FUsuLogin;
    std::string FUsuSenha;
    // The names the commercial application reads in resp/. Programs written
    // for Windows may look for other spellings ("IntPos.Sts"): the
    // configuration can name them.
    std::string FNomeConfirmacao = "intpos.sts";
    std::string FNomeResposta = "intpos.001";
    std::string FNomeAtivo = "Ativo.001";
    // Reads the three optional names; an invalid one is reported once and
    // the described name used.
    void LeNomesDeArquivo(TRegistry& reg);
    TNomesResp Nomes() const { return {FNomeConfirmacao, FNomeResposta, FNomeAtivo}; }
    // The optional "UrlConfirmacao"; one that is no address is reported once.
    void LeUrlConfirmacao(TRegistry& reg);

    // The executable's directory with its trailing "/".
    std::string DiretorioExe() const;

    // ---- event handlers ----
    void FormCreate();
    void FormShow();
    void FormClose();
    void tmOcultaTimer();
    void tmVerificaTimer();
    void tmShowTimer();
    void tmCmdsTimer();
    void Restaurar1Click();
    void Administrao1Click();
    void FecharSistema1Click();
    void SpeedButton1Click();
    void ParmetrosdoSistema1Click();
    void Panel1Resize();
    void GeckoBrowser1ProgressChange(int progresso, int maximo);
    // The web system's page did not load: the operator sees why beside the
    // address, the journal and the status report hear it once.
    void GeckoBrowser1FalhaCarga(const componentes::TFalhaCarga& falha);
    void IdHTTP1WorkBegin(std::int64_t total);
    void IdHTTP1Work(std::int64_t feitos);
    void IdHTTP1WorkEnd();
    void EurekaLog1ExceptionNotify(const std::string& relatorio);

    // ---- operations ----
    void LimpaTransacao();
    void IniciaVenda();
    void IniciaAdm();
    void AbreTela(const std::string& nome);
    void CancelaTef();
    void RespondeVenda(TLinhas& linhas);
    // The same for the transaction a screen was opened for.
    void CancelaTef(const TTransacao& t, const std::string& desfecho = "cancelada pelo operador");
    void RespondeVenda(TLinhas& linhas, const TTransacao& t);
    // The transaction as the fields hold it now.
    TTransacao TransacaoAtual() const;
    // The cancellation answer of a transaction.
    static TLinhas LinhasCancelamento(const TTransacao& t, const std::string& mensagem);
    // A page's result lines as the commercial application gets them for t:
    // the amount line, #001#, #002# and #016# filled, blank lines dropped; a
    // CNC's under 000-000 = CNC and its own 001-000.
    TLinhas MontaResposta(TLinhas linhas, const TTransacao& t);
    // Acknowledges the request read, opens its transaction (record first)
    // and, once the acknowledgement is out, its screen.
    void AbrePedido();
    // A CNC: the open screen's transaction cancelled, as always; with no
    // screen, the cancellation of the earlier sale it names in the web system.
    void DespachaCnc();
    // noLugar runs right after the file is in place, before its trace.
    void GravaResposta(const std::string& nome, const TLinhas& linhas, const std::function<void()>& noLugar = nullptr);
    // For tests: runs right after a file of resp/ is put in place (a crash
    // at that moment).
    std::function<void(const std::string& nome)> AposPorNoLugar;
    void GravaAtivo();
    void GravaDebug(const std::string& tipo, const TLinhas& linhas, const std::string& caminho);
    void GravaLogErro(const std::string& texto);
    // The same, with what the journal gets instead of the whole text: an
    // answer's or a page's lines may hold a receipt, and no card data goes
    // beyond the till.
    void GravaLogErro(const std::string& texto, const std::string& paraOJornal);
    void CarregaParametros();
    void AbreParametros();
    void MostraTela(const std::string& nome);
    std::string ValidaUrl(std::string endereco);
    std::string ResolveServidor();
    void CarregaPaginaLocal();
    // What the page wrote into its channel element (nothing: no element).
    void ProcessaCanal(const std::optional<std::u16string>& texto);
    // The page address for a screen, every value percent-encoded.
    std::string EnderecoTela(const std::string& nome) const;
    std::string EnderecoTela(const std::string& nome, bool ecf) const;
    std::string EnderecoTela(const std::string& nome, const TTransacao& t) const;
    // A result of a page whose screen is over: to the log, never to resp/.
    // An approval there was never received by the commercial application:
    // it is undone (an NCN to the web system), or the operator told to.
    void DescartaResultado(const std::optional<std::u16string>& texto, componentes::TDocumento documento = 0);
    // The transaction of each of the last pages of the web system loaded.
    std::map<componentes::TDocumento, TTransacao> FTelasPorDocumento;
    // What a read of the channel brought, from the document of a navigation.
    void TrataCanal(const std::optional<std::u16string>& texto, componentes::TDocumento documento);
    // The web system's page of the screen: asked for (navigated), its
    // navigation, and whether it was seen loaded (its document read, or its
    // load complete).
    bool FNavegouWeb = false;
    componentes::TDocumento FNavegacaoWeb = 0;
    bool FPaginaWebCarregada = false;
    // At a stop: one more bounded read of the open request's page.
    void LeCanalAoFechar();

    // ---- browser runtime and profile upkeep ----
    bool VerificaRegistroGre();
    void LimpaCache();
    void AtualizaCertificados();
    bool BaixaArquivo(const std::string& endereco, const std::string& destino);

    // The exchange directories: sets the four directory fields, creates resp/
    // and req/ when missing, and deletes the files directly inside them.
    void PreparaDiretorios();
    // A late approval the commercial application was told was cancelled and
    // that nobody undid: the operator (or the log) is told, and the status
    // report warns for a day.
    void AvisaAprovacaoADesfazer(const std::string& identificacao, const std::string& valorTexto,
                                 const std::string& nsu, const std::string& porque);

    // ---- the web system's confirmation address ----
    // "UrlConfirmacao" of the configuration; empty: nothing goes to the web
    // system and no outbox is kept.
    std::string FUrlConfirmacao;
    std::string DirSaida() const { return FDirTemp + "confirmacoes/"; }
    // A message for the web system (its fields by protocol number), on disk
    // and flushed before anything that follows it goes to resp/: one that
    // cannot be written yet is kept and written before anything else.
    void GuardaMensagem(const componentes::TCampos& campos);
    bool GravaMensagensEmEspera();
    std::deque<componentes::TCampos> FMensagensEmEspera;
    bool FMensagemRelatada = false;
    // From the poll: the oldest message goes, unless one is on its way or the
    // retry of a failed one is not due. Never blocks.
    void EnviaConfirmacoes();
    void AoEnviar(const std::string& arquivo, const componentes::TCampos& campos,
                  const componentes::TRespostaHttp& resposta);
    bool FEnviando = false;
    std::int64_t FProximoEnvioMs = 0;
    int FEsperaEnvioMs = 0;
    // The credentials the web system checks, added to what is sent.
    componentes::TCampos Credenciais() const;
    // At start, for a request the last run left open: what the web system
    // says its page gave; nothing when it cannot tell.
    // nenhumCancela: "no result" is the answer (the page is gone); else only
    // a result found counts (its page may still be deciding).
    std::optional<TLinhas> ConsultaResultado(const TTransacao& t, std::string& desfecho, bool nenhumCancela = true);
    void Jornal(int prioridade, const std::string& texto);

    // ---- without an operator ----
    // Nobody is at the till (the service): boxes become lines in the error
    // log and on standard error, and a start that cannot go on ends at once
    // with its own exit status instead of waiting for a click.
    bool FSemOperador = false;
    TObservador Observador;
    // The exit status of the start that could not complete (saida::).
    int FSaidaInicio = saida::Normal;
    // A box for the operator, or, without one, a line where it is read.
    void Avisa(componentes::TipoMensagem tipo, const std::string& texto);
    static int SaidaDaFalha(const std::exception& e);

    // ---- the open transaction across ends of the process ----
    // A record per request acknowledged and not yet answered, in temp/,
    // flushed to disk (see LeRegistro for its states). The next start
    // answers an open one as interrupted, gives an answer that waited, and
    // keeps an answer written at a stop for its reader.
    // Makes t's record, in state "aberta", and sets t.registro (left empty
    // when it cannot be made: recovery is then off, and said so).
    void GravaRegistroAberta(TTransacao& t);
    bool EscreveRegistro(const TTransacao& t, const std::string& estado, const TLinhas& resposta = {});
    // Every final answer of a request goes through here: on t's record
    // first, then written now or kept, and the record follows it.
    void EntregaResposta(const TTransacao& t, TLinhas linhas, std::function<void()> depois = nullptr);
    std::uint64_t FContadorRegistro = 0;
    // Records whose answer was written (only the newest is still of use).
    std::vector<std::string> FRegistrosRespondidos;
    void Respondido(const std::string& registro);
    // Why a crash would now lose an open request; empty while recovery works.
    std::string FRecuperacaoDesligada;
    void RecuperacaoLigada(const std::string& motivo);
    bool RespostaNoLugar(const std::string& nome, const std::string& impressao) const;
    // The screen's transaction has its result: a later "close" or "Cancelar
    // TEF" must not turn an approval into a cancellation.
    bool FTelaRespondida = false;
    void CancelaTela(const std::string& desfecho);
    bool RecusaTelaDoMenu();
    // An acknowledgement of a request waits to be written.
    bool FConfirmacaoPendente = false;
    // A screen asked for: MostraTela loads it only while it is still the one.
    std::uint64_t FSerieTela = 0;
    // At start, before resp/ is cleared: reads the records the last run
    // left. Returns the files of resp/ to keep (answers written and not read
    // yet); what still needs an answer is answered by RespondeInterrompidas,
    // after the clearing.
    std::set<std::string> AnalisaRegistros();
    void RespondeInterrompidas();
    std::vector<std::pair<TTransacao, TLinhas>> FInterrompidas;
    // At start: requests in req/ older than a client waits go, each said.
    void LimpaPedidosAntigos();
    // The transaction ended: journal line.
    void FimDeTransacao(const TTransacao& t, const std::string& desfecho);

    // ---- nothing lost, nothing silent ----
    // Runs FormCreate. When it cannot complete, tells the operator why (a box,
    // standard error and the error log), removes "Ativo.001" and returns
    // false: the program must end instead of waiting with a window forever.
    bool Inicia();
    // The operator's text for a start that could not complete.
    static std::string TextoFalhaInicio(const std::exception& e);
    // The operator's text for an error of the configuration store: what is
    // wrong, where, and how to mend it (conselho: a remedy found already).
    std::string TextoDeConfiguracao(const Exception& e, const std::string& armazem, const std::string& conselho) const;
    // At start: req/, resp/ and temp/ exist and this user can write in
    // them, else EInstalacao naming the path, the user and the reason.
    void ConfereInstalacao();
    // At start: the marker is written now, else EInstalacao. Later a marker
    // that cannot be written is retried every tick (GaranteAtivo).
    void GravaAtivoNaPartida();
    // Writes a file for the commercial application now or, when it cannot be
    // written, keeps it and writes it again on every tick, in order, before
    // any new request; once it is written aoGravar runs (bookkeeping that
    // must happen even while closing), then depois (what follows on screen,
    // skipped once the close has begun).
    void Entrega(const std::string& nome, TLinhas linhas, std::function<void()> depois = nullptr,
                 std::function<void()> aoGravar = nullptr);
    // Writes what is kept; false while something still cannot be written.
    bool EscrevePendentes();
    // A hide still armed belongs to the transaction that has ended (or to the
    // start): a screen asked for now must not be hidden by it. True when one
    // was armed.
    bool DesarmaOcultacao();
    // "Ativo.001" (and its lower-case name) exists while the manager runs.
    void GaranteAtivo();
    // Every report: to the error log, and to the operator when the operator
    // acted or is waiting for what failed.
    void NotificaExcecao(const componentes::TRelatorioExcecao& relatorio);
    // A box over the window, shown from the message loop; the same text is
    // never stacked while one box shows it.
    void MostraErro(const std::string& texto);

    // The request of the commercial application acknowledged and not yet
    // answered; nothing when none is open.
    std::optional<TTransacao> FAberta;
    // The transaction of the screen asked for last, until the window hides.
    std::optional<TTransacao> FTransacaoTela;
    // The navigation of the page loaded last, and the last navigation whose
    // pages belong to a screen that is over: what they still hand over
    // answers nothing.
    componentes::TDocumento FDocumentoAtual = 0;
    componentes::TDocumento FDescartaAte = 0;
    // A request arriving while an earlier screen is open: the earlier request
    // is answered as cancelled, and whatever its page still hands over goes
    // to the log only.
    void EncerraTelaAnterior();
    // An acknowledgement that waits to be written: the window goes to the
    // tray meanwhile.
    void AguardaConfirmacao();

    struct TEscritaPendente {
        std::string nome;
        TLinhas linhas;
        std::function<void()> depois;
        std::function<void()> aoGravar;
        bool relatada = false;
    };
    std::deque<TEscritaPendente> FPendentes;
    bool FFechando = false;
    bool FNoFechamento = false;

private:
    struct TAssinaturaPedido {
        TTipoEntrada tipo;
        std::int64_t tamanho, modificado;
        bool operator==(const TAssinaturaPedido&) const = default;
    };
    void LeCampo(const std::string& linha);
    void DespachaComando();
    std::optional<TEntradaDiretorio> EscolhePedido();
    // Remembers a request that could not be taken; true when this is news
    // (first failure, or the file changed since), to be reported.
    bool RegistraFalhaPedido(const TEntradaDiretorio& pedido);
    void Relata(const std::exception& e, const std::string& handler);
    // A staging name taken by something not ours: reported once.
    void RelataOcupado(const std::string& caminho, const std::string& oQue);
    std::set<std::string> FOcupadosRelatados;
    std::set<std::string> FNomesRelatados;
    void tmAvisosTimer();

    std::map<std::string, TAssinaturaPedido> FPedidosFalhos;
    std::map<std::string, TAssinaturaPedido> FPedidosRastreados;
    // The request found while the browser started something: read at the
    // next tick, whose interval was its wait.
    std::optional<std::pair<std::string, TAssinaturaPedido>> FPedidoEmEspera;
    std::optional<TDataHora> FInicio;
    bool FAtivoRelatado = false;
    std::unique_ptr<componentes::ITimer> tmAvisos;
    std::deque<std::string> FAvisos;
    std::set<std::string> FAvisosAbertos;
    bool FProntoAvisado = false;
    std::size_t FPendentesInformados = 0;
};
