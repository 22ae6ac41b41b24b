// The operating system, in one place: everything the manager and its tools
// ask of it, with a POSIX implementation (PlataformaPosix.cpp) and a Windows
// one (PlataformaWindows.cpp). Nothing outside this folder includes a system
// header of either. Texts are byte strings: Windows-1252 on Windows (the
// "A" calls), the file system's bytes on Linux.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A moment of the local clock, to the millisecond.
struct TDataHora {
    int ano = 2000, mes = 1, dia = 1, hora = 0, minuto = 0, segundo = 0, milissegundo = 0;
};

namespace plataforma {

// ---- errors -----------------------------------------------------------------

// The system's number for a failure: errno, or GetLastError() on Windows.
// 0 is success.
using TCodigo = int;

// The system's text for the number.
std::string TextoDoErro(TCodigo codigo);
// The kinds of input/output failure the manager names in its own words.
enum class TTipoErro { NaoEncontrado, AcessoNegado, Outro };
TTipoErro TipoDoErro(TCodigo codigo);
// A write that stopped short without the system saying why: a full disk.
TCodigo ErroSemEspaco();
// The target of a rename without replacement exists already.
bool ErroJaExiste(TCodigo codigo);
// A rename cannot cross from one file system (or volume) to another.
bool ErroOutroSistemaDeArquivos(TCodigo codigo);
// A file another process holds open in a way that keeps others out.
bool ErroEmUso(TCodigo codigo);
// A file larger than the reader accepts.
TCodigo ErroGrandeDemais();
// A lock still held by another when the wait ended.
TCodigo ErroTravaOcupada();
// The file system is mounted read-only (the medium write-protected).
bool ErroSomenteLeitura(TCodigo codigo);
// No room left: a full disk, or an exhausted quota.
bool ErroDiscoCheio(TCodigo codigo);
// The failure in an operator's words (Windows-1252) for the kinds a till
// meets (no permission, a read-only or full file system, a missing name);
// empty text for the others, which only the system's text names.
std::string MotivoEmPalavras(TCodigo codigo);

// ---- the clock --------------------------------------------------------------

TDataHora AgoraLocal();
// Now, in the units and from the moment of TEntrada::modificado.
std::int64_t AgoraDosArquivos();

// ---- files and directories --------------------------------------------------

enum class TTipoEntrada { Regular, Diretorio, Link, Outro };

struct TEntrada {
    std::string nome;  // bare name
    TTipoEntrada tipo = TTipoEntrada::Outro;
    bool oculto = false;   // a "." name on POSIX; the hidden attribute on Windows
    bool sistema = false;  // the system attribute (Windows only)
    bool doUsuario = true; // owned by the process's own user (always so on Windows)
    std::int64_t tamanho = 0;
    std::int64_t modificado = 0;  // nanoseconds since some fixed moment
};

// The directory part of a path, with its separator ("./" when there is
// none), and the bare name; "/" separates, and "\\" too on Windows.
std::string DiretorioDe(const std::string& caminho);
std::string NomeDe(const std::string& caminho);

// What lies in a directory, except "." and "..", in the system's order. A
// link is reported as a link, not followed. Nothing (and the code) when the
// directory cannot be read.
std::optional<std::vector<TEntrada>> ListaDiretorio(const std::string& diretorio, TCodigo* codigo = nullptr);
// What the path names; with segueLinks a link reports what it leads to.
std::optional<TEntrada> Consulta(const std::string& caminho, bool segueLinks = true);
TCodigo CriaDiretorio(const std::string& caminho);
TCodigo ApagaArquivo(const std::string& caminho);
TCodigo RemoveDiretorio(const std::string& caminho);
// Whether the two paths reach one file.
bool MesmoArquivo(const std::string& a, const std::string& b);
// The path with a symbolic link at its end resolved (the file a rename must
// replace); the path itself otherwise.
std::string CaminhoReal(const std::string& caminho);
std::string DiretorioAtual();
// Whether paths are UTF-8 bytes (Linux) or text in the ANSI code page
// (Windows-1252 on Windows).
bool CaminhosEmUtf8();
// The directory for temporary files ($TMPDIR, /tmp; GetTempPath).
std::string DiretorioTemporario();
// Creates a new private directory whose name starts with the prefix (a full
// path); empty text when it cannot.
std::string CriaDiretorioTemporario(const std::string& prefixo);

// An open file. Every operation returns 0 or the system's code.
class TArquivo {
public:
    enum class Modo {
        Leitura,         // any file that opens
        LeituraRegular,  // only a regular file: a link is not followed, a FIFO or device not read
        Escrita,         // created or truncated
        EscritaNova,     // created for the owner alone; fails when it exists
        Exclusiva,       // created with the usual permissions; fails when the name is taken, by a link too
        Dispositivo,     // written; created only when the path is not a device
        Regravacao,      // an existing regular file with one name, read and written in place; a link is
                         // not followed, a FIFO or device not opened
        Anexo,           // written at its end, whoever else writes there; created when missing
    };
    TArquivo() = default;
    ~TArquivo();
    TArquivo(const TArquivo&) = delete;
    TArquivo& operator=(const TArquivo&) = delete;

    TCodigo Abre(const std::string& caminho, Modo modo);
    bool Aberto() const { return h_ != -1; }
    // Reads to the end; more than limite bytes is ErroGrandeDemais().
    TCodigo LeTudo(std::string& conteudo, std::size_t limite = static_cast<std::size_t>(-1));
    // Writes everything; a write that stops short is ErroSemEspaco().
    TCodigo Escreve(std::string_view dados);
    // The same at a position, whatever the file's current position.
    TCodigo EscreveEm(std::int64_t posicao, std::string_view dados);
    // Cuts or extends the file to the size.
    TCodigo DefineTamanho(std::int64_t tamanho);
    // Space on the disk for the file to reach tamanho bytes, its size kept:
    // a rewrite in place then fails before it begins, not halfway. 0 where
    // the file system cannot reserve (the write may still fail then).
    TCodigo Reserva(std::int64_t tamanho);
    // The data reaches the disk.
    TCodigo Sincroniza();
    // Gives the file the permissions of the model file (owner too, where
    // allowed); without a model, permissions for owner and group only, less
    // when the umask says so. Nothing to do on Windows, where the directory's
    // access list is inherited.
    TCodigo HerdaPermissoes(const std::string& modelo);
    // 0 when the open file is a regular file of the process's own user
    // (on Windows: a plain file, no directory or reparse point).
    TCodigo ConfereProprio() const;
    // Whether the path itself (a link not followed) names this open file.
    bool EstaEm(const std::string& caminho) const;
    // Closing reports write-back errors on some file systems.
    TCodigo Fecha();

private:
    std::intptr_t h_ = -1;
};

// Reads a whole file; see TArquivo::Modo for soRegular and TArquivo::LeTudo
// for limite.
TCodigo LeArquivo(const std::string& caminho, std::string& conteudo, bool soRegular = false,
                  std::size_t limite = static_cast<std::size_t>(-1));
// Whether the regular file (not a link) at the path opens for reading.
bool PodeLer(const std::string& caminho);

// Renames in one step. With substitui an existing target is replaced
// (rename(2); MoveFileEx with replace and write-through), and a reader that
// already opened it keeps reading the old file whole; without it, an existing
// target makes the rename fail (ErroJaExiste).
TCodigo Renomeia(const std::string& origem, const std::string& destino, bool substitui);
// Makes a rename in the directory durable; nothing to do on Windows, where
// the rename itself writes through.
void SincronizaDiretorio(const std::string& diretorio);
// Makes apelido reach the same file as arquivo, in one step: a relative
// symbolic link (a hard link where links are refused). Nothing to do where
// names ignore letter case (Windows) or when both names already reach one
// file. Failures are ignored.
void CriaApelido(const std::string& arquivo, const std::string& apelido);

// An exclusive advisory lock on a companion file, held until destruction.
class TTrava {
public:
    TTrava() = default;
    ~TTrava();
    TTrava(const TTrava&) = delete;
    TTrava& operator=(const TTrava&) = delete;
    // Creates the file when missing (permissions for owner and group) and
    // waits at most limiteMs for the lock (ErroTravaOcupada() then): anyone
    // who may open the file could hold it for ever. A file the caller may
    // not write is locked all the same when it can be read. Only a regular
    // file is locked: a link is not followed, a FIFO or device not opened.
    TCodigo Toma(const std::string& caminho, int limiteMs = 10000);
    // A shared lock on an existing lock file, waiting at most limiteMs for
    // the exclusive holder (0 without waiting for it then: a holder that
    // never lets go must not hang the reader). No file: nothing to wait for, 0.
    TCodigo TomaCompartilhada(const std::string& caminho, int limiteMs);

private:
    std::intptr_t h_ = -1;
};

// ---- the process and its executable ----------------------------------------

int IdDoProcesso();
// The name of the user the process runs as.
std::string NomeDoUsuario();
// The owner's and the group's names of a file, and its permission bits;
// nothing when it cannot be looked at.
struct TDono {
    std::string usuario, grupo;
    unsigned modo = 0;
};
std::optional<TDono> DonoDe(const std::string& caminho);
// Whether the process runs with the system's full rights (root).
bool Administrador();
// The executable's path as invoked (argv[0]): absolute, found through PATH
// when it has no directory, "." and empty pieces removed, links kept.
std::string CaminhoDoExecutavel(const char* argv0);
// The four numbers of the executable's version, joined by "." (the ELF
// section ".tef_versao" on Linux, the version resource on Windows); empty
// text when there is none.
std::string VersaoDoExecutavel(const std::string& caminho);
// ".exe" on Windows, nothing on POSIX: the ending of a program's file name.
std::string SufixoExecutavel();
// Runs the program with its own directory as working directory, without a
// window, and waits for it; false when it cannot be started. Its exit code
// is not looked at, nor its output (which goes nowhere: the caller's
// standard error is the journal's, and says each cause once).
bool ExecutaEEspera(const std::string& programa, const std::vector<std::string>& argumentos);

// A directory of this user's alone, for its locks and the display's cookie:
// $XDG_RUNTIME_DIR, else <temporary directory>/tef-orvex-<uid>, created
// 0700. Empty text when the one found is not private (another owner, open
// to others, not a directory). The temporary directory on Windows.
std::string DiretorioPrivado();

// One manager per user and per installation directory, for the life of the
// process: a lock in the user's private directory named after the title
// (skipped when there is none), and a lock file in the installation's temp/
// that only the manager's user and group can open (created there when
// missing); the named mutexes with the title and the directory on Windows.
struct TInstancia {
    enum class Estado { Tomada, OutroGerente, Falha } estado = Estado::Falha;
    TCodigo codigo = 0;   // Falha: the system's reason
    std::string caminho;  // Falha: what could not be made or opened
    explicit operator bool() const { return estado == Estado::Tomada; }
};
TInstancia TomaInstanciaUnica(const std::string& titulo, const std::string& instalacao);

// Whether a manager holds the installation (TomaInstanciaUnica), tested
// without taking anything, and the process that holds it (0 when the system
// cannot tell); nothing when that cannot be told (the lock cannot be opened).
struct TUsoInstalacao {
    bool emUso = false;
    long pid = 0;
};
std::optional<TUsoInstalacao> InstalacaoEmUso(const std::string& instalacao);

// The files go when this process ends, however it ends (a crash, SIGKILL,
// a power cut aside): a small process of its own waits for this one's end
// and removes them, then the (empty) directories. It keeps the installation's
// lock until it is done, so no new manager starts in between. Nothing to do
// where the system has no such thing (Windows).
// Markers are removed only while their first line is "000-000 = TEF" (or
// they are links to nothing): a name may hold an answer instead.
void ApagaAoTerminar(const std::vector<std::string>& marcadores, const std::vector<std::string>& arquivos = {},
                     const std::vector<std::string>& diretorios = {});

// A virtual display (Xvfb) of this process's own, for a till without a
// desktop: a private authority cookie in the file given, DISPLAY and
// XAUTHORITY set for what follows. The display ends with this process.
// False, with the reason, when it cannot be started.
bool IniciaTelaVirtual(const std::string& autoridade, std::string& erro);

// Ctrl+C in a terminal calls the function (which must only set a flag)
// instead of ending the process.
void AoInterromper(void (*funcao)());

// SIGTERM and SIGINT, as a descriptor that becomes readable when one
// arrives, so the message loop can close the program as the menu does; -1
// where the system has none (Windows ends a program through its windows).
int CanalDePedidoDeFim();
void EsvaziaCanalDePedidoDeFim();

// Whether the terminal takes UTF-8 (the locale's character set; the console's
// output code page on Windows).
bool TerminalUtf8();

// ---- the global hot key (Windows) --------------------------------------------

// Ctrl+U for the whole desktop, bound to a window (RegisterHotKey with the
// window's handle and the identifier); false when another program holds it
// or on a system without it (the Qt layer grabs it on X11 itself).
bool RegistraCtrlU(std::uintptr_t janela, int identificador);
void LiberaTeclaGlobal(std::uintptr_t janela, int identificador);
// Whether a native message of the toolkit is that hot key being pressed.
bool MensagemDaTeclaGlobal(const void* mensagem, int identificador);

// ---- the printer ------------------------------------------------------------

// LPT1 on Windows; TEF_LPT1, else /dev/lp0, on Linux.
std::string DispositivoImpressora();

// ---- the machine's registry (Windows) ---------------------------------------

// HKEY_LOCAL_MACHINE through the system's registry calls. Key paths are
// relative to it, "\"-separated. Failures raise ERegistryException naming the
// key and the system's reason. Not available on POSIX, where the registry is
// a file (src/registro).
namespace registro {
struct TValor {
    std::uint32_t tipo = 0;
    std::string dados;
};
bool Disponivel();
bool ChaveExiste(const std::string& chave);
// Creates the key and the missing ones above it; false when it existed.
bool CriaChave(const std::string& chave);
std::vector<std::string> SubChaves(const std::string& chave);
std::optional<TValor> LeValor(const std::string& chave, const std::string& nome);
void GravaValor(const std::string& chave, const std::string& nome, std::uint32_t tipo, const std::string& dados);
bool ApagaValor(const std::string& chave, const std::string& nome);
// With everything below it; false when it did not exist.
bool ApagaChave(const std::string& chave);
}  // namespace registro

}  // namespace plataforma
