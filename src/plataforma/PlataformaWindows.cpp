// The operating system on Windows (Win32 "A" calls: texts in the ANSI code
// page, Windows-1252 on the tills this runs on). Paths use "/" inside the
// manager; Windows takes it as a separator.
#include "Plataforma.h"

#include "Excecoes.h"

// Neither min/max macros nor the rarely used parts of the headers.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <winver.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace plataforma {

namespace {

HANDLE H(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }

std::string Barras(std::string caminho) {
    for (auto& c : caminho)
        if (c == '\\') c = '/';
    return caminho;
}

std::int64_t Nanossegundos(const FILETIME& t) {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) * 100;
}

TEntrada DeAtributos(const std::string& nome, DWORD atributos, DWORD tamanhoAlto, DWORD tamanhoBaixo,
                     const FILETIME& escrita) {
    TEntrada e;
    e.nome = nome;
    e.tipo = (atributos & FILE_ATTRIBUTE_DIRECTORY)       ? TTipoEntrada::Diretorio
             : (atributos & FILE_ATTRIBUTE_REPARSE_POINT) ? TTipoEntrada::Link
             : (atributos & FILE_ATTRIBUTE_DEVICE)        ? TTipoEntrada::Outro
                                                          : TTipoEntrada::Regular;
    e.oculto = (atributos & FILE_ATTRIBUTE_HIDDEN) != 0;
    e.sistema = (atributos & FILE_ATTRIBUTE_SYSTEM) != 0;
    e.tamanho = static_cast<std::int64_t>((static_cast<std::uint64_t>(tamanhoAlto) << 32) | tamanhoBaixo);
    e.modificado = Nanossegundos(escrita);
    return e;
}

TCodigo Resultado(BOOL ok) { return ok ? 0 : static_cast<TCodigo>(GetLastError()); }

// The printer ports and other devices have names without a directory.
bool NomeDeDispositivo(const std::string& caminho) {
    if (caminho.rfind("\\\\.\\", 0) == 0) return true;
    std::string n;
    for (char c : caminho) n += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    if (n == "PRN" || n == "AUX" || n == "NUL") return true;
    return n.size() == 4 && (n.rfind("LPT", 0) == 0 || n.rfind("COM", 0) == 0) && n[3] >= '1' && n[3] <= '9';
}

}  // namespace

// ---- errors -----------------------------------------------------------------

std::string TextoDoErro(TCodigo codigo) {
    char* texto = nullptr;
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(codigo), 0, reinterpret_cast<LPSTR>(&texto), 0, nullptr);
    std::string r = n && texto ? std::string(texto, n) : "Error " + std::to_string(codigo);
    if (texto) LocalFree(texto);
    while (!r.empty() && (r.back() == '\r' || r.back() == '\n' || r.back() == ' ' || r.back() == '.')) r.pop_back();
    return r;
}

TTipoErro TipoDoErro(TCodigo codigo) {
    switch (codigo) {
    case ERROR_FILE_NOT_FOUND:
        return TTipoErro::NaoEncontrado;
    case ERROR_ACCESS_DENIED:
        return TTipoErro::AcessoNegado;
    default:
        return TTipoErro::Outro;
    }
}

TCodigo ErroSemEspaco() { return ERROR_DISK_FULL; }
bool ErroJaExiste(TCodigo codigo) { return codigo == ERROR_ALREADY_EXISTS || codigo == ERROR_FILE_EXISTS; }
bool ErroOutroSistemaDeArquivos(TCodigo codigo) { return codigo == ERROR_NOT_SAME_DEVICE; }
bool ErroEmUso(TCodigo codigo) { return codigo == ERROR_SHARING_VIOLATION || codigo == ERROR_LOCK_VIOLATION; }
TCodigo ErroGrandeDemais() { return ERROR_FILE_TOO_LARGE; }
TCodigo ErroTravaOcupada() { return ERROR_LOCK_VIOLATION; }
bool ErroSomenteLeitura(TCodigo codigo) { return codigo == ERROR_WRITE_PROTECT; }
bool ErroDiscoCheio(TCodigo codigo) { return codigo == ERROR_DISK_FULL || codigo == ERROR_HANDLE_DISK_FULL; }

// ---- the clock --------------------------------------------------------------

TDataHora AgoraLocal() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    return TDataHora{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

std::int64_t AgoraDosArquivos() {
    FILETIME agora;
    GetSystemTimeAsFileTime(&agora);
    return Nanossegundos(agora);
}

// ---- files and directories --------------------------------------------------

std::optional<std::vector<TEntrada>> ListaDiretorio(const std::string& diretorio, TCodigo* codigo) {
    std::string mascara = diretorio;
    if (!mascara.empty() && mascara.back() != '/' && mascara.back() != '\\') mascara += '/';
    mascara += "*";
    WIN32_FIND_DATAA d;
    const HANDLE h = FindFirstFileA(mascara.c_str(), &d);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD erro = GetLastError();
        // An empty directory still has "." and ".."; none at all means it is not there.
        if (codigo) *codigo = static_cast<TCodigo>(erro);
        return std::nullopt;
    }
    std::vector<TEntrada> r;
    do {
        const std::string nome = d.cFileName;
        if (nome == "." || nome == "..") continue;
        r.push_back(DeAtributos(nome, d.dwFileAttributes, d.nFileSizeHigh, d.nFileSizeLow, d.ftLastWriteTime));
    } while (FindNextFileA(h, &d));
    FindClose(h);
    return r;
}

std::optional<TEntrada> Consulta(const std::string& caminho, bool) {
    WIN32_FILE_ATTRIBUTE_DATA a;
    if (!GetFileAttributesExA(caminho.c_str(), GetFileExInfoStandard, &a)) return std::nullopt;
    return DeAtributos(NomeDe(caminho), a.dwFileAttributes, a.nFileSizeHigh, a.nFileSizeLow, a.ftLastWriteTime);
}

TCodigo CriaDiretorio(const std::string& caminho) { return Resultado(CreateDirectoryA(caminho.c_str(), nullptr)); }
TCodigo ApagaArquivo(const std::string& caminho) { return Resultado(DeleteFileA(caminho.c_str())); }
TCodigo RemoveDiretorio(const std::string& caminho) { return Resultado(RemoveDirectoryA(caminho.c_str())); }

bool MesmoArquivo(const std::string& a, const std::string& b) {
    const auto identidade = [](const std::string& c, BY_HANDLE_FILE_INFORMATION& info) {
        const HANDLE h = CreateFileA(c.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        const bool ok = GetFileInformationByHandle(h, &info);
        CloseHandle(h);
        return ok;
    };
    BY_HANDLE_FILE_INFORMATION ia, ib;
    return identidade(a, ia) && identidade(b, ib) && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

std::string CaminhoReal(const std::string& caminho) { return caminho; }

bool CaminhosEmUtf8() { return false; }

std::string DiretorioAtual() {
    char buf[MAX_PATH + 1];
    const DWORD n = GetCurrentDirectoryA(sizeof buf, buf);
    return n && n < sizeof buf ? Barras(std::string(buf, n)) : "";
}

std::string DiretorioTemporario() {
    char buf[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof buf, buf);
    return n && n < sizeof buf ? Barras(std::string(buf, n)) : "C:/";
}

std::string CriaDiretorioTemporario(const std::string& prefixo) {
    static unsigned serie = 0;
    for (int tentativa = 0; tentativa < 1000; ++tentativa) {
        const std::string nome = prefixo + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount()) +
                                 "-" + std::to_string(++serie);
        if (CreateDirectoryA(nome.c_str(), nullptr)) return nome;
        if (GetLastError() != ERROR_ALREADY_EXISTS) return "";
    }
    return "";
}

TArquivo::~TArquivo() {
    if (h_ != -1) CloseHandle(H(h_));
}

TCodigo TArquivo::Abre(const std::string& caminho, Modo modo) {
    if (h_ != -1) Fecha();
    DWORD acesso = GENERIC_READ, partilha = FILE_SHARE_READ, disposicao = OPEN_EXISTING,
          bandeiras = FILE_ATTRIBUTE_NORMAL;
    switch (modo) {
    case Modo::Leitura:
        break;
    case Modo::LeituraRegular:
        // A link is not followed; a device is refused below.
        bandeiras |= FILE_FLAG_OPEN_REPARSE_POINT;
        break;
    case Modo::Escrita:
        // Nobody reads a file while it is being written.
        acesso = GENERIC_WRITE, partilha = 0, disposicao = CREATE_ALWAYS;
        break;
    case Modo::EscritaNova:
    case Modo::Exclusiva:
        // CREATE_NEW fails on any name that is taken, a reparse point too.
        acesso = GENERIC_WRITE, partilha = 0, disposicao = CREATE_NEW;
        bandeiras |= FILE_FLAG_OPEN_REPARSE_POINT;
        break;
    case Modo::Dispositivo:
        acesso = GENERIC_WRITE, partilha = 0, disposicao = NomeDeDispositivo(caminho) ? OPEN_EXISTING : CREATE_ALWAYS;
        break;
    case Modo::Regravacao:
        acesso = GENERIC_READ | GENERIC_WRITE;
        bandeiras |= FILE_FLAG_OPEN_REPARSE_POINT;
        break;
    case Modo::Anexo:
        // Append-only access: every write lands at the end, another
        // writer's included.
        acesso = FILE_APPEND_DATA | SYNCHRONIZE, partilha = FILE_SHARE_READ | FILE_SHARE_WRITE, disposicao = OPEN_ALWAYS;
        break;
    }
    const HANDLE h = CreateFileA(caminho.c_str(), acesso, partilha, nullptr, disposicao, bandeiras, nullptr);
    if (h == INVALID_HANDLE_VALUE) return static_cast<TCodigo>(GetLastError());
    h_ = reinterpret_cast<std::intptr_t>(h);
    if (modo == Modo::LeituraRegular || modo == Modo::Regravacao) {
        BY_HANDLE_FILE_INFORMATION info;
        if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
            (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) ||
            (modo == Modo::Regravacao && info.nNumberOfLinks != 1)) {
            Fecha();
            return ERROR_ACCESS_DENIED;
        }
    }
    return 0;
}

TCodigo TArquivo::LeTudo(std::string& conteudo, std::size_t limite) {
    char buf[65536];
    for (;;) {
        DWORD lidos = 0;
        if (!ReadFile(H(h_), buf, sizeof buf, &lidos, nullptr)) return static_cast<TCodigo>(GetLastError());
        if (lidos == 0) return 0;
        conteudo.append(buf, lidos);
        if (conteudo.size() > limite) return ERROR_FILE_TOO_LARGE;
    }
}

TCodigo TArquivo::Escreve(std::string_view dados) {
    std::size_t feitos = 0;
    while (feitos < dados.size()) {
        const DWORD pedir = static_cast<DWORD>(std::min<std::size_t>(dados.size() - feitos, 1u << 30));
        DWORD escritos = 0;
        if (!WriteFile(H(h_), dados.data() + feitos, pedir, &escritos, nullptr))
            return static_cast<TCodigo>(GetLastError());
        if (escritos == 0) return ERROR_DISK_FULL;
        feitos += escritos;
    }
    return 0;
}

TCodigo TArquivo::EscreveEm(std::int64_t posicao, std::string_view dados) {
    LARGE_INTEGER p;
    p.QuadPart = posicao;
    if (!SetFilePointerEx(H(h_), p, nullptr, FILE_BEGIN)) return static_cast<TCodigo>(GetLastError());
    return Escreve(dados);
}

TCodigo TArquivo::DefineTamanho(std::int64_t tamanho) {
    LARGE_INTEGER p;
    p.QuadPart = tamanho;
    if (!SetFilePointerEx(H(h_), p, nullptr, FILE_BEGIN)) return static_cast<TCodigo>(GetLastError());
    return Resultado(SetEndOfFile(H(h_)));
}

// NTFS has no reservation that keeps the size: nothing is reserved.
TCodigo TArquivo::Reserva(std::int64_t) { return 0; }

TCodigo TArquivo::Sincroniza() { return Resultado(FlushFileBuffers(H(h_))); }

TCodigo TArquivo::HerdaPermissoes(const std::string&) { return 0; }

TCodigo TArquivo::ConfereProprio() const {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(H(h_), &info)) return static_cast<TCodigo>(GetLastError());
    // Created by this process with CREATE_NEW: the owner is this user.
    return (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ? ERROR_ACCESS_DENIED : 0;
}

bool TArquivo::EstaEm(const std::string& caminho) const {
    BY_HANDLE_FILE_INFORMATION aberto, nome;
    if (!GetFileInformationByHandle(H(h_), &aberto)) return false;
    // Attributes only: no sharing conflict with the open file.
    const HANDLE h = CreateFileA(caminho.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileInformationByHandle(h, &nome);
    CloseHandle(h);
    return ok && !(nome.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           aberto.dwVolumeSerialNumber == nome.dwVolumeSerialNumber && aberto.nFileIndexHigh == nome.nFileIndexHigh &&
           aberto.nFileIndexLow == nome.nFileIndexLow;
}

TCodigo TArquivo::Fecha() {
    if (h_ == -1) return 0;
    const HANDLE h = H(h_);
    h_ = -1;
    return Resultado(CloseHandle(h));
}

namespace {
// A rename that replaces a target other programs hold open (they keep the
// old file), where the system offers it (Windows 10 and later); false where
// it does not.
bool RenomeiaPorCima(const std::string& origem, const std::string& destino) {
    const HANDLE h = CreateFileA(origem.c_str(), DELETE | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const int n = MultiByteToWideChar(CP_ACP, 0, destino.c_str(), -1, nullptr, 0);
    std::wstring largo(n > 0 ? n - 1 : 0, L'\0');
    if (n > 1) MultiByteToWideChar(CP_ACP, 0, destino.c_str(), -1, largo.data(), n);
    for (auto& c : largo)
        if (c == L'/') c = L'\\';
    wchar_t completo[MAX_PATH + 1];
    const DWORD tamanho = GetFullPathNameW(largo.c_str(), MAX_PATH + 1, completo, nullptr);
    bool ok = false;
    if (tamanho > 0 && tamanho <= MAX_PATH) {
        const std::wstring alvo = L"\\??\\" + std::wstring(completo, tamanho);
        std::string bloco(sizeof(FILE_RENAME_INFO) + alvo.size() * sizeof(wchar_t), '\0');
        auto* info = reinterpret_cast<FILE_RENAME_INFO*>(bloco.data());
        constexpr DWORD kSubstitui = 0x1, kSemanticaPosix = 0x2;  // FILE_RENAME_FLAG_*
        info->Flags = kSubstitui | kSemanticaPosix;
        info->FileNameLength = static_cast<DWORD>(alvo.size() * sizeof(wchar_t));
        std::copy(alvo.begin(), alvo.end(), info->FileName);
        constexpr auto kRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);  // FileRenameInfoEx
        ok = SetFileInformationByHandle(h, kRenameInfoEx, info, static_cast<DWORD>(bloco.size()));
    }
    CloseHandle(h);
    return ok;
}
}  // namespace

TCodigo Renomeia(const std::string& origem, const std::string& destino, bool substitui) {
    if (MoveFileExA(origem.c_str(), destino.c_str(), MOVEFILE_WRITE_THROUGH | (substitui ? MOVEFILE_REPLACE_EXISTING : 0)))
        return 0;
    const TCodigo erro = static_cast<TCodigo>(GetLastError());
    // A reader holds the target open: replaced under it where the system can,
    // else the caller keeps the file and tries again later.
    if (substitui && (erro == ERROR_ACCESS_DENIED || erro == ERROR_SHARING_VIOLATION) && RenomeiaPorCima(origem, destino))
        return 0;
    return erro;
}

void SincronizaDiretorio(const std::string&) {}

void CriaApelido(const std::string&, const std::string&) {}

TTrava::~TTrava() {
    if (h_ == -1) return;
    OVERLAPPED o{};
    UnlockFileEx(H(h_), 0, MAXDWORD, MAXDWORD, &o);
    CloseHandle(H(h_));
}

namespace {
// The lock, tried every 10 ms for at most limiteMs.
TCodigo EsperaTrava(HANDLE h, DWORD modo, int limiteMs) {
    for (int esperado = 0;; esperado += 10) {
        OVERLAPPED o{};
        if (LockFileEx(h, modo | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &o)) return 0;
        const DWORD erro = GetLastError();
        if (erro != ERROR_LOCK_VIOLATION && erro != ERROR_IO_PENDING) return static_cast<TCodigo>(erro);
        if (esperado >= limiteMs) return ERROR_LOCK_VIOLATION;
        ::Sleep(10);
    }
}
}  // namespace

TCodigo TTrava::Toma(const std::string& caminho, int limiteMs) {
    const DWORD partilha = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE h = CreateFileA(caminho.c_str(), GENERIC_READ | GENERIC_WRITE, partilha, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
        h = CreateFileA(caminho.c_str(), GENERIC_READ, partilha, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return static_cast<TCodigo>(GetLastError());
    h_ = reinterpret_cast<std::intptr_t>(h);
    return EsperaTrava(h, LOCKFILE_EXCLUSIVE_LOCK, limiteMs);
}

TCodigo TTrava::TomaCompartilhada(const std::string& caminho, int limiteMs) {
    const HANDLE h = CreateFileA(caminho.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD erro = GetLastError();
        return erro == ERROR_FILE_NOT_FOUND ? 0 : static_cast<TCodigo>(erro);
    }
    h_ = reinterpret_cast<std::intptr_t>(h);
    return EsperaTrava(h, 0, limiteMs);
}

// ---- the process and its executable ----------------------------------------

int IdDoProcesso() { return static_cast<int>(GetCurrentProcessId()); }

bool Administrador() { return false; }

std::string CaminhoDoExecutavel(const char*) {
    char buf[MAX_PATH + 1];
    const DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    return Barras(std::string(buf, n));
}

std::string VersaoDoExecutavel(const std::string& caminho) {
    DWORD lixo = 0;
    const DWORD tamanho = GetFileVersionInfoSizeA(caminho.c_str(), &lixo);
    if (tamanho == 0) return "";
    std::string dados(tamanho, '\0');
    if (!GetFileVersionInfoA(caminho.c_str(), 0, tamanho, dados.data())) return "";
    VS_FIXEDFILEINFO* info = nullptr;
    UINT n = 0;
    if (!VerQueryValueA(dados.data(), "\\", reinterpret_cast<void**>(&info), &n) || info == nullptr) return "";
    return std::to_string(HIWORD(info->dwFileVersionMS)) + "." + std::to_string(LOWORD(info->dwFileVersionMS)) + "." +
           std::to_string(HIWORD(info->dwFileVersionLS)) + "." + std::to_string(LOWORD(info->dwFileVersionLS));
}

std::string SufixoExecutavel() { return ".exe"; }

bool ExecutaEEspera(const std::string& programa, const std::vector<std::string>& argumentos) {
    std::string linha = "\"" + programa + "\"";
    for (const auto& a : argumentos) linha += " " + a;
    std::string diretorio = DiretorioDe(programa);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, linha.data(), nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS,
                        nullptr, diretorio.c_str(), &si, &pi))
        return false;
    WaitForSingleObject(pi.hProcess, INFINITE);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

namespace {
// The mutex seen from every session (a service and a desktop) for one
// installation directory.
std::string MutexDaInstalacao(const std::string& instalacao) {
    std::string chave;
    for (char c : instalacao) {
        if (c == '/' || c == '\\' || c == ':') c = '_';
        chave += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    }
    return "Global\\TefOrvex-" + chave;
}
}  // namespace

std::string DiretorioPrivado() { return DiretorioTemporario(); }

TInstancia TomaInstanciaUnica(const std::string& titulo, const std::string& instalacao) {
    // The mutex named after the title, as the first instance of the
    // application window; and one named after the installation directory.
    const auto toma = [](const std::string& nome) {
        const HANDLE m = CreateMutexA(nullptr, FALSE, nome.c_str());
        const DWORD erro = GetLastError();
        if (m == nullptr) return erro != ERROR_ACCESS_DENIED;  // another user's: it exists
        return erro != ERROR_ALREADY_EXISTS;                     // kept open for the life of the process
    };
    TInstancia r;
    r.estado = toma(titulo) && toma(MutexDaInstalacao(instalacao)) ? TInstancia::Estado::Tomada
                                                                   : TInstancia::Estado::OutroGerente;
    return r;
}

std::optional<TUsoInstalacao> InstalacaoEmUso(const std::string& instalacao) {
    const HANDLE m = OpenMutexA(SYNCHRONIZE, FALSE, MutexDaInstalacao(instalacao).c_str());
    if (m != nullptr) {
        CloseHandle(m);
        return TUsoInstalacao{true, 0};
    }
    const DWORD erro = GetLastError();
    if (erro == ERROR_FILE_NOT_FOUND) return TUsoInstalacao{};
    if (erro == ERROR_ACCESS_DENIED) return TUsoInstalacao{true, 0};  // another user's: it exists
    return std::nullopt;
}

void ApagaAoTerminar(const std::vector<std::string>&, const std::vector<std::string>&,
                     const std::vector<std::string>&) {}

std::string NomeDoUsuario() {
    char nome[256];
    DWORD n = sizeof nome;
    return GetUserNameA(nome, &n) ? std::string(nome) : std::string();
}

// Access lists, not an owner's group, decide here.
std::optional<TDono> DonoDe(const std::string&) { return std::nullopt; }

bool IniciaTelaVirtual(const std::string&, std::string& erro) {
    erro = "no virtual display on this system";
    return false;
}

namespace {
void (*g_aoInterromper)() = nullptr;
BOOL WINAPI Interrompido(DWORD evento) {
    if (evento != CTRL_C_EVENT && evento != CTRL_BREAK_EVENT) return FALSE;
    if (g_aoInterromper) g_aoInterromper();
    return TRUE;
}
}  // namespace

void AoInterromper(void (*funcao)()) {
    g_aoInterromper = funcao;
    SetConsoleCtrlHandler(Interrompido, TRUE);
}

int CanalDePedidoDeFim() { return -1; }
void EsvaziaCanalDePedidoDeFim() {}

bool TerminalUtf8() { return GetConsoleOutputCP() == CP_UTF8; }

bool RegistraCtrlU(std::uintptr_t janela, int identificador) {
    return RegisterHotKey(reinterpret_cast<HWND>(janela), identificador, MOD_CONTROL, 0x55);  // U
}

void LiberaTeclaGlobal(std::uintptr_t janela, int identificador) {
    UnregisterHotKey(reinterpret_cast<HWND>(janela), identificador);
}

bool MensagemDaTeclaGlobal(const void* mensagem, int identificador) {
    const auto* m = static_cast<const MSG*>(mensagem);
    return m->message == WM_HOTKEY && static_cast<int>(m->wParam) == identificador;
}

// ---- the printer ------------------------------------------------------------

std::string DispositivoImpressora() {
    const char* e = std::getenv("TEF_LPT1");
    return (e != nullptr && *e != '\0') ? e : "LPT1";
}

// ---- the machine's registry -------------------------------------------------

namespace registro {
namespace {

// The settings live where a 32-bit program keeps them, so that an existing
// installation's configuration is the one read.
constexpr REGSAM kVisao = KEY_WOW64_32KEY;

std::string SemBarras(std::string chave) {
    while (!chave.empty() && chave.front() == '\\') chave.erase(0, 1);
    while (!chave.empty() && chave.back() == '\\') chave.pop_back();
    return chave;
}

[[noreturn]] void Falha(const std::string& chave, LONG codigo) {
    throw ERegistryException("HKEY_LOCAL_MACHINE\\" + SemBarras(chave) + ": " + TextoDoErro(codigo));
}

struct TChave {
    HKEY h = nullptr;
    ~TChave() {
        if (h) RegCloseKey(h);
    }
};

// Opens the key; false when it does not exist, any other failure raises.
bool Abre(const std::string& chave, REGSAM acesso, TChave& k) {
    const LONG r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, SemBarras(chave).c_str(), 0, acesso | kVisao, &k.h);
    if (r == ERROR_FILE_NOT_FOUND) return false;
    if (r != ERROR_SUCCESS) Falha(chave, r);
    return true;
}

}  // namespace

bool Disponivel() { return true; }

bool ChaveExiste(const std::string& chave) {
    TChave k;
    return Abre(chave, KEY_READ, k);
}

bool CriaChave(const std::string& chave) {
    TChave k;
    DWORD disposicao = 0;
    const LONG r = RegCreateKeyExA(HKEY_LOCAL_MACHINE, SemBarras(chave).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_ALL_ACCESS | kVisao, nullptr, &k.h, &disposicao);
    if (r != ERROR_SUCCESS) Falha(chave, r);
    return disposicao == REG_CREATED_NEW_KEY;
}

std::vector<std::string> SubChaves(const std::string& chave) {
    std::vector<std::string> r;
    TChave k;
    if (!Abre(chave, KEY_READ, k)) return r;
    for (DWORD i = 0;; ++i) {
        char nome[256];
        DWORD n = sizeof nome;
        const LONG e = RegEnumKeyExA(k.h, i, nome, &n, nullptr, nullptr, nullptr, nullptr);
        if (e == ERROR_NO_MORE_ITEMS) break;
        if (e != ERROR_SUCCESS) Falha(chave, e);
        r.emplace_back(nome, n);
    }
    return r;
}

std::optional<TValor> LeValor(const std::string& chave, const std::string& nome) {
    TChave k;
    if (!Abre(chave, KEY_READ, k)) return std::nullopt;
    DWORD tipo = 0, tamanho = 0;
    LONG r = RegQueryValueExA(k.h, nome.c_str(), nullptr, &tipo, nullptr, &tamanho);
    if (r == ERROR_FILE_NOT_FOUND) return std::nullopt;
    if (r != ERROR_SUCCESS) Falha(chave, r);
    TValor v;
    v.tipo = tipo;
    v.dados.resize(tamanho);
    r = RegQueryValueExA(k.h, nome.c_str(), nullptr, &tipo, reinterpret_cast<BYTE*>(v.dados.data()), &tamanho);
    if (r != ERROR_SUCCESS) Falha(chave, r);
    v.dados.resize(tamanho);
    return v;
}

void GravaValor(const std::string& chave, const std::string& nome, std::uint32_t tipo, const std::string& dados) {
    TChave k;
    if (!Abre(chave, KEY_SET_VALUE, k)) Falha(chave, ERROR_FILE_NOT_FOUND);
    const LONG r = RegSetValueExA(k.h, nome.c_str(), 0, tipo, reinterpret_cast<const BYTE*>(dados.data()),
                                  static_cast<DWORD>(dados.size()));
    if (r != ERROR_SUCCESS) Falha(chave, r);
}

bool ApagaValor(const std::string& chave, const std::string& nome) {
    TChave k;
    if (!Abre(chave, KEY_SET_VALUE, k)) return false;
    const LONG r = RegDeleteValueA(k.h, nome.c_str());
    if (r == ERROR_FILE_NOT_FOUND) return false;
    if (r != ERROR_SUCCESS) Falha(chave, r);
    return true;
}

bool ApagaChave(const std::string& chave) {
    const std::string c = SemBarras(chave);
    if (c.empty()) throw ERegistryException("HKEY_LOCAL_MACHINE: the root key cannot be removed");
    TChave k;
    if (!Abre(c, KEY_ALL_ACCESS, k)) return false;
    LONG r = RegDeleteTreeA(k.h, nullptr);
    if (r != ERROR_SUCCESS) Falha(c, r);
    RegCloseKey(k.h);
    k.h = nullptr;
    r = RegDeleteKeyExA(HKEY_LOCAL_MACHINE, c.c_str(), kVisao, 0);
    if (r != ERROR_SUCCESS && r != ERROR_FILE_NOT_FOUND) Falha(c, r);
    return true;
}

}  // namespace registro

}  // namespace plataforma
