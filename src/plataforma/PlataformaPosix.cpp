// The operating system on Linux (POSIX calls).
#include "Plataforma.h"

#include "Excecoes.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <grp.h>
#include <langinfo.h>
#include <pwd.h>
#include <spawn.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace plataforma {

namespace {

std::string Junta(const std::string& diretorio, const std::string& nome) {
    if (!diretorio.empty() && diretorio.back() == '/') return diretorio + nome;
    return diretorio + "/" + nome;
}

TEntrada DeStat(const std::string& nome, const struct stat& st) {
    TEntrada e;
    e.nome = nome;
    e.tipo = S_ISREG(st.st_mode)   ? TTipoEntrada::Regular
             : S_ISDIR(st.st_mode) ? TTipoEntrada::Diretorio
             : S_ISLNK(st.st_mode) ? TTipoEntrada::Link
                                   : TTipoEntrada::Outro;
    e.oculto = !nome.empty() && nome[0] == '.';
    e.doUsuario = st.st_uid == ::geteuid();
    e.tamanho = static_cast<std::int64_t>(st.st_size);
    e.modificado = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return e;
}

TCodigo Resultado(int r) { return r == 0 ? 0 : errno; }

mode_t MascaraDeCriacao() {
    const mode_t m = ::umask(0);
    ::umask(m);
    return m;
}

}  // namespace

// ---- errors -----------------------------------------------------------------

std::string TextoDoErro(TCodigo codigo) { return std::strerror(codigo); }

TTipoErro TipoDoErro(TCodigo codigo) {
    switch (codigo) {
    case ENOENT:
        return TTipoErro::NaoEncontrado;
    case EACCES:
    case EPERM:
        return TTipoErro::AcessoNegado;
    default:
        return TTipoErro::Outro;
    }
}

TCodigo ErroSemEspaco() { return ENOSPC; }
bool ErroJaExiste(TCodigo codigo) { return codigo == EEXIST; }
bool ErroOutroSistemaDeArquivos(TCodigo codigo) { return codigo == EXDEV; }
bool ErroEmUso(TCodigo codigo) { return codigo == EBUSY || codigo == ETXTBSY; }
TCodigo ErroGrandeDemais() { return EFBIG; }
TCodigo ErroTravaOcupada() { return EWOULDBLOCK; }
bool ErroSomenteLeitura(TCodigo codigo) { return codigo == EROFS; }
bool ErroDiscoCheio(TCodigo codigo) { return codigo == ENOSPC || codigo == EDQUOT; }

// ---- the clock --------------------------------------------------------------

TDataHora AgoraLocal() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    std::tm t{};
    localtime_r(&ts.tv_sec, &t);
    return TDataHora{t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                     t.tm_min,         t.tm_sec,     static_cast<int>(ts.tv_nsec / 1000000)};
}

std::int64_t AgoraDosArquivos() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// ---- files and directories --------------------------------------------------

std::optional<std::vector<TEntrada>> ListaDiretorio(const std::string& diretorio, TCodigo* codigo) {
    DIR* d = ::opendir(diretorio.c_str());
    if (d == nullptr) {
        if (codigo) *codigo = errno;
        return std::nullopt;
    }
    std::vector<TEntrada> r;
    while (const dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        struct stat st{};
        if (::lstat(Junta(diretorio, e->d_name).c_str(), &st) != 0) continue;  // gone meanwhile
        r.push_back(DeStat(e->d_name, st));
    }
    ::closedir(d);
    return r;
}

std::optional<TEntrada> Consulta(const std::string& caminho, bool segueLinks) {
    struct stat st{};
    if ((segueLinks ? ::stat(caminho.c_str(), &st) : ::lstat(caminho.c_str(), &st)) != 0) return std::nullopt;
    return DeStat(NomeDe(caminho), st);
}

TCodigo CriaDiretorio(const std::string& caminho) { return Resultado(::mkdir(caminho.c_str(), 0777)); }
TCodigo ApagaArquivo(const std::string& caminho) { return Resultado(::unlink(caminho.c_str())); }
TCodigo RemoveDiretorio(const std::string& caminho) { return Resultado(::rmdir(caminho.c_str())); }

bool MesmoArquivo(const std::string& a, const std::string& b) {
    struct stat sa{}, sb{};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

std::string CaminhoReal(const std::string& caminho) {
    struct stat st{};
    if (::lstat(caminho.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = ::realpath(caminho.c_str(), nullptr)) {
            std::string r = real;
            std::free(real);
            return r;
        }
    }
    return caminho;
}

bool CaminhosEmUtf8() { return true; }

std::string DiretorioAtual() {
    char buf[4096];
    return ::getcwd(buf, sizeof buf) ? buf : "";
}

std::string DiretorioTemporario() {
    const char* t = std::getenv("TMPDIR");
    return (t && *t) ? t : "/tmp";
}

std::string CriaDiretorioTemporario(const std::string& prefixo) {
    std::string modelo = prefixo + "XXXXXX";
    return ::mkdtemp(modelo.data()) ? modelo : "";
}

TArquivo::~TArquivo() {
    if (h_ != -1) ::close(static_cast<int>(h_));
}

TCodigo TArquivo::Abre(const std::string& caminho, Modo modo) {
    if (h_ != -1) Fecha();
    int bandeiras = O_CLOEXEC;
    switch (modo) {
    case Modo::Leitura:
        bandeiras |= O_RDONLY;
        break;
    case Modo::LeituraRegular:
        bandeiras |= O_RDONLY | O_NOFOLLOW | O_NONBLOCK;
        break;
    case Modo::Escrita:
        bandeiras |= O_WRONLY | O_CREAT | O_TRUNC;
        break;
    case Modo::EscritaNova:
    case Modo::Exclusiva:
        // O_EXCL never follows a link, dangling or not; O_NOFOLLOW says so twice.
        bandeiras |= O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
        break;
    case Modo::Dispositivo:
        // A missing device must not turn into a plain file under /dev that
        // silently swallows what is written.
        bandeiras |= O_WRONLY | O_NOCTTY | (caminho.rfind("/dev/", 0) == 0 ? 0 : O_CREAT | O_TRUNC);
        break;
    case Modo::Regravacao:
        bandeiras |= O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
        break;
    case Modo::Anexo:
        bandeiras |= O_WRONLY | O_CREAT | O_APPEND;
        break;
    }
    const int fd = ::open(caminho.c_str(), bandeiras, modo == Modo::EscritaNova ? 0600 : 0666);
    if (fd < 0) return errno == ELOOP ? EPERM : errno;
    h_ = fd;
    struct stat st{};
    if (::fstat(fd, &st) != 0) return errno;
    if (modo == Modo::Leitura && S_ISDIR(st.st_mode)) {
        Fecha();
        return EISDIR;
    }
    if ((modo == Modo::LeituraRegular || modo == Modo::Regravacao) && !S_ISREG(st.st_mode)) {
        Fecha();
        return S_ISDIR(st.st_mode) ? EISDIR : EPERM;
    }
    // A second name could be anybody's file that someone linked here.
    if (modo == Modo::Regravacao && st.st_nlink != 1) {
        Fecha();
        return EPERM;
    }
    return 0;
}

TCodigo TArquivo::LeTudo(std::string& conteudo, std::size_t limite) {
    const int fd = static_cast<int>(h_);
    struct stat st{};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        if (static_cast<std::uint64_t>(st.st_size) > limite) return EFBIG;
        conteudo.reserve(static_cast<std::size_t>(st.st_size));
    }
    char buf[65536];
    for (;;) {
        const ssize_t lidos = ::read(fd, buf, sizeof buf);
        if (lidos < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (lidos == 0) return 0;
        conteudo.append(buf, static_cast<std::size_t>(lidos));
        if (conteudo.size() > limite) return EFBIG;
    }
}

TCodigo TArquivo::Escreve(std::string_view dados) {
    std::size_t feitos = 0;
    while (feitos < dados.size()) {
        const ssize_t n = ::write(static_cast<int>(h_), dados.data() + feitos, dados.size() - feitos);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return ENOSPC;
        feitos += static_cast<std::size_t>(n);
    }
    return 0;
}

TCodigo TArquivo::EscreveEm(std::int64_t posicao, std::string_view dados) {
    std::size_t feitos = 0;
    while (feitos < dados.size()) {
        const ssize_t n = ::pwrite(static_cast<int>(h_), dados.data() + feitos, dados.size() - feitos,
                                   static_cast<off_t>(posicao + static_cast<std::int64_t>(feitos)));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return ENOSPC;
        feitos += static_cast<std::size_t>(n);
    }
    return 0;
}

TCodigo TArquivo::DefineTamanho(std::int64_t tamanho) {
    return Resultado(::ftruncate(static_cast<int>(h_), static_cast<off_t>(tamanho)));
}

TCodigo TArquivo::Reserva(std::int64_t tamanho) {
#ifdef FALLOC_FL_KEEP_SIZE
    if (::fallocate(static_cast<int>(h_), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(tamanho)) != 0 &&
        errno != EOPNOTSUPP && errno != ENOSYS)
        return errno;
#else
    (void)tamanho;
#endif
    return 0;
}

TCodigo TArquivo::Sincroniza() { return Resultado(::fsync(static_cast<int>(h_))); }

TCodigo TArquivo::HerdaPermissoes(const std::string& modelo) {
    const int fd = static_cast<int>(h_);
    struct stat atual{};
    if (!modelo.empty() && ::stat(modelo.c_str(), &atual) == 0) {
        if (::fchmod(fd, atual.st_mode & 07777) != 0) return errno;
        // Only root may hand the file back to its owner; others keep theirs.
        (void)!::fchown(fd, atual.st_uid, atual.st_gid);
        return 0;
    }
    return Resultado(::fchmod(fd, 0640 & ~MascaraDeCriacao()));
}

TCodigo TArquivo::ConfereProprio() const {
    struct stat st{};
    if (::fstat(static_cast<int>(h_), &st) != 0) return errno;
    return S_ISREG(st.st_mode) && st.st_uid == ::geteuid() ? 0 : EPERM;
}

bool TArquivo::EstaEm(const std::string& caminho) const {
    struct stat aberto{}, nome{};
    return ::fstat(static_cast<int>(h_), &aberto) == 0 && ::lstat(caminho.c_str(), &nome) == 0 &&
           S_ISREG(nome.st_mode) && aberto.st_dev == nome.st_dev && aberto.st_ino == nome.st_ino;
}

TCodigo TArquivo::Fecha() {
    if (h_ == -1) return 0;
    const int fd = static_cast<int>(h_);
    h_ = -1;
    return Resultado(::close(fd));
}

TCodigo Renomeia(const std::string& origem, const std::string& destino, bool substitui) {
    if (substitui) return Resultado(::rename(origem.c_str(), destino.c_str()));
    int r = ::renameat2(AT_FDCWD, origem.c_str(), AT_FDCWD, destino.c_str(), RENAME_NOREPLACE);
    if (r != 0 && (errno == EINVAL || errno == ENOSYS)) {
        // File systems without RENAME_NOREPLACE: link() refuses an existing name too.
        r = ::link(origem.c_str(), destino.c_str());
        if (r == 0) ::unlink(origem.c_str());
    }
    return Resultado(r);
}

void SincronizaDiretorio(const std::string& diretorio) {
    const int fd = ::open(diretorio.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)::fsync(fd);  // some file systems refuse it; the rename stands
    ::close(fd);
}

void CriaApelido(const std::string& arquivo, const std::string& apelido) {
    struct stat a{};
    if (::stat(arquivo.c_str(), &a) != 0 || MesmoArquivo(arquivo, apelido)) return;
    // Built under a hidden name and renamed over whatever has the name now.
    const std::string temporario = DiretorioDe(apelido) + "." + NomeDe(apelido) + ".apelido";
    ::unlink(temporario.c_str());
    if (::symlink(NomeDe(arquivo).c_str(), temporario.c_str()) != 0 &&
        ::link(arquivo.c_str(), temporario.c_str()) != 0)
        return;
    if (::rename(temporario.c_str(), apelido.c_str()) != 0) ::unlink(temporario.c_str());
}

TTrava::~TTrava() {
    if (h_ != -1) ::close(static_cast<int>(h_));
}

namespace {
// A lock file, never through a link (it sits in a directory a group may
// write, and a planted link would create or lock a file somewhere else) and
// never a FIFO or device, whose open or read would hang. flock needs no
// write access: a lock file another user created will do when it can be read.
int AbreArquivoDeTrava(const std::string& caminho, bool cria, mode_t modo, TCodigo& erro) {
    const int base = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    int fd = ::open(caminho.c_str(), base | O_RDWR | (cria ? O_CREAT : 0), modo);
    if (fd < 0 && errno == EACCES) {
        fd = ::open(caminho.c_str(), base | O_RDONLY);
        // Missing and not creatable: the refusal is the useful cause.
        if (fd < 0 && errno == ENOENT) errno = EACCES;
    }
    if (fd < 0) {
        erro = errno == ELOOP ? EPERM : errno;
        return -1;
    }
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        erro = S_ISDIR(st.st_mode) ? EISDIR : EPERM;
        ::close(fd);
        return -1;
    }
    erro = 0;
    return fd;
}
}  // namespace

namespace {
// The lock, tried every 10 ms for at most limiteMs.
TCodigo EsperaFlock(int fd, int operacao, int limiteMs) {
    for (int esperado = 0;; esperado += 10) {
        if (::flock(fd, operacao | LOCK_NB) == 0) return 0;
        if (errno != EWOULDBLOCK && errno != EINTR) return errno;
        if (esperado >= limiteMs) return EWOULDBLOCK;
        ::usleep(10000);
    }
}
}  // namespace

TCodigo TTrava::Toma(const std::string& caminho, int limiteMs) {
    TCodigo erro = 0;
    const int fd = AbreArquivoDeTrava(caminho, true, 0640, erro);
    if (fd < 0) return erro;
    h_ = fd;
    return EsperaFlock(fd, LOCK_EX, limiteMs);
}

TCodigo TTrava::TomaCompartilhada(const std::string& caminho, int limiteMs) {
    TCodigo erro = 0;
    const int fd = AbreArquivoDeTrava(caminho, false, 0, erro);
    if (fd < 0) return erro == ENOENT ? 0 : erro;
    h_ = fd;
    return EsperaFlock(fd, LOCK_SH, limiteMs);
}

// ---- the process and its executable ----------------------------------------

int IdDoProcesso() { return static_cast<int>(::getpid()); }

bool Administrador() { return ::geteuid() == 0; }

namespace {
std::string NomeDeUsuario(uid_t uid) {
    const passwd* p = ::getpwuid(uid);
    return p ? p->pw_name : std::to_string(uid);
}
}  // namespace

std::string NomeDoUsuario() { return NomeDeUsuario(::geteuid()); }

std::optional<TDono> DonoDe(const std::string& caminho) {
    struct stat st{};
    if (::stat(caminho.c_str(), &st) != 0) return std::nullopt;
    TDono d;
    d.usuario = NomeDeUsuario(st.st_uid);
    const group* g = ::getgrgid(st.st_gid);
    d.grupo = g ? g->gr_name : std::to_string(st.st_gid);
    d.modo = st.st_mode & 07777;
    return d;
}

std::string CaminhoDoExecutavel(const char* argv0) {
    std::string nome = argv0 ? argv0 : "";
    if (!nome.empty() && nome.find('/') == std::string::npos) {
        // Started through PATH: the first directory that has it.
        const char* path = std::getenv("PATH");
        std::string resto = path ? path : "";
        for (;;) {
            const auto dois = resto.find(':');
            const std::string dir = resto.substr(0, dois);
            const std::string candidato = Junta(dir.empty() ? "." : dir, nome);
            if (::access(candidato.c_str(), X_OK) == 0) {
                nome = candidato;
                break;
            }
            if (dois == std::string::npos) break;
            resto = resto.substr(dois + 1);
        }
    }
    if (!nome.empty() && nome[0] != '/') nome = Junta(DiretorioAtual(), nome);
    std::string limpo;
    std::size_t i = 0;
    while (i <= nome.size()) {
        const auto barra = nome.find('/', i);
        const std::string parte = nome.substr(i, barra == std::string::npos ? std::string::npos : barra - i);
        if (!parte.empty() && parte != ".") limpo += "/" + parte;
        if (barra == std::string::npos) break;
        i = barra + 1;
    }
    return limpo.empty() ? nome : limpo;
}

std::string VersaoDoExecutavel(const std::string& executavel) {
    const int fd = ::open(executavel.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    struct Fecha {
        int fd;
        ~Fecha() { ::close(fd); }
    } fecha{fd};
    const auto le = [&](off_t onde, void* buf, std::size_t n) {
        return ::pread(fd, buf, n, onde) == static_cast<ssize_t>(n);
    };
    Elf64_Ehdr cab{};
    if (!le(0, &cab, sizeof cab) || std::memcmp(cab.e_ident, ELFMAG, SELFMAG) != 0 ||
        cab.e_ident[EI_CLASS] != ELFCLASS64 || cab.e_shentsize != sizeof(Elf64_Shdr) || cab.e_shstrndx >= cab.e_shnum)
        return "";
    Elf64_Shdr nomes{};
    if (!le(static_cast<off_t>(cab.e_shoff + cab.e_shstrndx * sizeof(Elf64_Shdr)), &nomes, sizeof nomes)) return "";
    for (unsigned i = 0; i < cab.e_shnum; ++i) {
        Elf64_Shdr sec{};
        if (!le(static_cast<off_t>(cab.e_shoff + i * sizeof(Elf64_Shdr)), &sec, sizeof sec)) return "";
        char nome[16] = {};
        if (sec.sh_name >= nomes.sh_size || !le(static_cast<off_t>(nomes.sh_offset + sec.sh_name), nome, 11)) continue;
        if (std::strncmp(nome, ".tef_versao", 11) != 0) continue;
        std::uint32_t v[4];
        if (sec.sh_size < sizeof v || sec.sh_type == SHT_NOBITS || !le(static_cast<off_t>(sec.sh_offset), v, sizeof v))
            return "";
        return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
               std::to_string(v[3]);
    }
    return "";
}

std::string SufixoExecutavel() { return ""; }

bool ExecutaEEspera(const std::string& programa, const std::vector<std::string>& argumentos) {
    std::vector<std::string> args{programa};
    args.insert(args.end(), argumentos.begin(), argumentos.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t acoes;
    posix_spawn_file_actions_init(&acoes);
    posix_spawn_file_actions_addchdir_np(&acoes, DiretorioDe(programa).c_str());
    posix_spawn_file_actions_addopen(&acoes, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&acoes, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = 0;
    const int erro = posix_spawn(&pid, programa.c_str(), &acoes, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&acoes);
    if (erro != 0) return false;
    int estado = 0;
    while (::waitpid(pid, &estado, 0) < 0 && errno == EINTR) {
    }
    return true;
}

namespace {
// An exclusive lock on what the descriptor opens, kept open for the life of
// the process; false only when another process holds it.
// The locks this process holds on its installation, for the watcher to keep.
std::vector<int> g_travas;

bool Trava(int fd) {
    if (fd < 0) return true;  // nothing to lock: do not refuse the start
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int erro = errno;
        ::close(fd);
        return erro != EWOULDBLOCK;
    }
    g_travas.push_back(fd);
    return true;
}

int g_canalFim[2] = {-1, -1};

void AoPedidoDeFim(int) {
    const char c = 1;
    (void)!::write(g_canalFim[1], &c, 1);
}
}  // namespace

std::string DiretorioPrivado() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) return runtime;
    // A name anybody could take first in a shared directory: used only while
    // it is this user's own directory and closed to everybody else.
    const std::string dir = Junta(DiretorioTemporario(), "tef-orvex-" + std::to_string(::geteuid()));
    (void)::mkdir(dir.c_str(), 0700);
    struct stat st{};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0)
        return "";
    return dir;
}

namespace {
std::string ArquivoDaInstalacao(const std::string& instalacao) {
    return Junta(instalacao, "temp/.gerente.lock");
}
}  // namespace

TInstancia TomaInstanciaUnica(const std::string& titulo, const std::string& instalacao) {
    TInstancia r;
    if (const std::string privado = DiretorioPrivado(); !privado.empty()) {
        std::string nome = titulo;
        for (char& c : nome)
            if (c == ' ' || c == '/') c = '-';
        const std::string caminho = privado + "/" + nome + "-" + std::to_string(::getuid()) + ".lock";
        if (!Trava(::open(caminho.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600))) {
            r.estado = TInstancia::Estado::OutroGerente;
            return r;
        }
    }
    // In temp/, which the package gives to the manager's group alone, and
    // readable by owner and group only: nobody else can hold it (a lock on
    // the installation directory could be held by any user, for ever).
    const std::string temp = Junta(instalacao, "temp");
    if (::mkdir(temp.c_str(), 0777) != 0 && errno != EEXIST) {
        r.codigo = errno;
        r.caminho = temp;
        return r;
    }
    r.caminho = ArquivoDaInstalacao(instalacao);
    TCodigo erro = 0;
    const int fd = AbreArquivoDeTrava(r.caminho, true, 0660, erro);
    if (fd < 0) {
        r.codigo = erro;
        return r;
    }
    struct stat st{};
    if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid()) (void)::fchmod(fd, 0660);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int e = errno;
        ::close(fd);
        if (e == EWOULDBLOCK) {
            r.estado = TInstancia::Estado::OutroGerente;
        } else {
            r.codigo = e;
        }
        return r;
    }
    // flock excludes a second manager and passes to the marker's watcher;
    // this record lock names the live process, and others can see it without
    // taking anything (fcntl F_GETLK). A read lock needs no write access.
    struct flock registro{};
    registro.l_type = F_RDLCK;
    registro.l_whence = SEEK_SET;
    (void)::fcntl(fd, F_SETLK, &registro);
    g_travas.push_back(fd);
    r.estado = TInstancia::Estado::Tomada;
    r.caminho.clear();
    return r;
}

std::optional<TUsoInstalacao> InstalacaoEmUso(const std::string& instalacao) {
    const int fd = ::open(ArquivoDaInstalacao(instalacao).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        // No lock file in an installation that exists: no manager has run here.
        const auto dir = errno == ENOENT ? Consulta(instalacao) : std::nullopt;
        if (dir && dir->tipo == TTipoEntrada::Diretorio) return TUsoInstalacao{};
        return std::nullopt;
    }
    struct stat st{};
    struct flock teste{};
    teste.l_type = F_WRLCK;
    teste.l_whence = SEEK_SET;
    std::optional<TUsoInstalacao> r;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::fcntl(fd, F_GETLK, &teste) == 0) {
        r = TUsoInstalacao{};
        if (teste.l_type != F_UNLCK) {
            r->emUso = true;
            r->pid = teste.l_pid > 0 ? static_cast<long>(teste.l_pid) : 0;
        }
    }
    ::close(fd);
    return r;
}

void ApagaAoTerminar(const std::vector<std::string>& marcadores, const std::vector<std::string>& arquivos,
                     const std::vector<std::string>& diretorios) {
    int canal[2];
    if (::pipe2(canal, O_CLOEXEC) != 0) return;
    // Everything the child needs is prepared before it exists: after fork
    // it may only call what is safe in a child of a threaded process. It
    // becomes a small shell at once: a copy of this process would keep,
    // page by page, what this one later changes (megabytes, all day).
    // Only the end of the pipe (every writer gone: the manager ended) ends
    // the read and removes the files.
    // The markers first, removed only while they hold a marker (or are a
    // link to nothing): under a name a configuration gave another role, an
    // answer must stay. Then "--" and the other files; directories last,
    // each with a trailing "/".
    std::vector<std::string> args = {
        "sh", "-c",
        "while read -r _; do :; done; m=1; for a; do case $a in --) m=0;; */) /bin/rmdir -- \"$a\" 2>/dev/null;; "
        "*) if [ $m = 0 ] || { [ -L \"$a\" ] && [ ! -e \"$a\" ]; }; then /bin/rm -f -- \"$a\"; "
        "elif [ -f \"$a\" ] && IFS= read -r l < \"$a\"; then case $l in '000-000 = TEF'*) /bin/rm -f -- \"$a\";; esac; "
        "fi;; esac; done",
        "sh"};
    args.insert(args.end(), marcadores.begin(), marcadores.end());
    args.emplace_back("--");
    args.insert(args.end(), arquivos.begin(), arquivos.end());
    for (const auto& d : diretorios) args.push_back(d.empty() || d.back() == '/' ? d : d + "/");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(canal[0]);
        ::close(canal[1]);
        return;
    }
    if (pid == 0) {
        // Only this process's end counts: a Ctrl+C or a SIGTERM sent to the
        // whole group must not take the watcher first (ignored signals stay
        // ignored in the shell).
        ::signal(SIGINT, SIG_IGN);
        ::signal(SIGTERM, SIG_IGN);
        ::signal(SIGHUP, SIG_IGN);
        // The installation's locks stay held until the files are gone: a
        // manager started meanwhile must not lose its own marker to them.
        for (const int fd : g_travas) ::fcntl(fd, F_SETFD, 0);
        if (::dup2(canal[0], STDIN_FILENO) < 0) ::_exit(0);
        ::execv("/bin/sh", argv.data());
        ::_exit(0);  // no shell: no watcher, and nothing removed
    }
    // The write end stays open, and only here (close-on-exec), until this
    // process ends.
    ::close(canal[0]);
}

bool IniciaTelaVirtual(const std::string& autoridade, std::string& erro) {
    // The cookie: only this process and its children reach the display.
    unsigned char cookie[16];
    if (::getrandom(cookie, sizeof cookie, 0) != static_cast<ssize_t>(sizeof cookie)) {
        erro = std::string("no random bytes for the display's cookie: ") + std::strerror(errno);
        return false;
    }
    // One entry of the authority file format: any family and display
    // ("wild", empty number), MIT-MAGIC-COOKIE-1.
    std::string entrada;
    const auto campo = [&entrada](const std::string& dados) {
        entrada += static_cast<char>((dados.size() >> 8) & 0xFF);
        entrada += static_cast<char>(dados.size() & 0xFF);
        entrada += dados;
    };
    entrada += '\xFF';
    entrada += '\xFF';
    campo("");
    campo("");
    campo("MIT-MAGIC-COOKIE-1");
    campo(std::string(reinterpret_cast<const char*>(cookie), sizeof cookie));
    ::unlink(autoridade.c_str());
    const int fa = ::open(autoridade.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fa < 0 || ::write(fa, entrada.data(), entrada.size()) != static_cast<ssize_t>(entrada.size())) {
        erro = "\"" + autoridade + "\" cannot be written: " + std::strerror(errno);
        if (fa >= 0) ::close(fa);
        return false;
    }
    ::close(fa);

    int canal[2];
    if (::pipe2(canal, O_CLOEXEC) != 0) {
        erro = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    const std::string fd = std::to_string(canal[1]);
    std::vector<std::string> args = {"Xvfb", "-displayfd", fd, "-auth", autoridade, "-nolisten", "tcp",
                                     "-screen", "0", "1280x1024x24"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // The service manager's socket is this process's: the display has
    // nothing to tell it.
    std::vector<char*> ambiente;
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "NOTIFY_SOCKET=", 14) != 0) ambiente.push_back(*e);
    ambiente.push_back(nullptr);
    const pid_t pai = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        erro = std::string("fork: ") + std::strerror(errno);
        ::close(canal[0]);
        ::close(canal[1]);
        return false;
    }
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != pai) ::_exit(1);
        ::fcntl(canal[1], F_SETFD, 0);  // the display number comes back through it
        // The display's own chatter stays out of the manager's output.
        const int nulo = ::open("/dev/null", O_RDWR);
        if (nulo >= 0) {
            ::dup2(nulo, 0);
            ::dup2(nulo, 1);
            ::dup2(nulo, 2);
            if (nulo > 2) ::close(nulo);
        }
        ::setsid();
        ::execvpe("Xvfb", argv.data(), ambiente.data());
        ::_exit(127);
    }
    ::close(canal[1]);
    std::string numero;
    for (;;) {
        pollfd p{canal[0], POLLIN, 0};
        const int r = ::poll(&p, 1, 20000);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        char buf[32];
        const ssize_t n = ::read(canal[0], buf, sizeof buf);
        if (n <= 0) break;
        numero.append(buf, static_cast<std::size_t>(n));
        if (numero.find('\n') != std::string::npos) break;
    }
    ::close(canal[0]);
    while (!numero.empty() && (numero.back() == '\n' || numero.back() == '\r')) numero.pop_back();
    if (numero.empty() || numero.find_first_not_of("0123456789") != std::string::npos) {
        int estado = 0;
        const pid_t fim = ::waitpid(pid, &estado, WNOHANG);
        if (fim == pid && WIFEXITED(estado) && WEXITSTATUS(estado) == 127)
            erro = "Xvfb could not be run (is the package xvfb installed?)";
        else if (fim == pid)
            erro = "Xvfb ended before it took clients";
        else
            erro = "Xvfb did not take clients within 20 s";
        if (fim != pid) ::kill(pid, SIGKILL);
        return false;
    }
    ::setenv("DISPLAY", (":" + numero).c_str(), 1);
    ::setenv("XAUTHORITY", autoridade.c_str(), 1);
    return true;
}

namespace {
void (*g_aoInterromper)() = nullptr;
void Interrompido(int) {
    if (g_aoInterromper) g_aoInterromper();
}
}  // namespace

void AoInterromper(void (*funcao)()) {
    g_aoInterromper = funcao;
    // No SA_RESTART: a wait in progress returns and sees the flag.
    struct sigaction sa{};
    sa.sa_handler = Interrompido;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
}

int CanalDePedidoDeFim() {
    if (g_canalFim[0] != -1) return g_canalFim[0];
    if (::pipe2(g_canalFim, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    struct sigaction sa{};
    sa.sa_handler = AoPedidoDeFim;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    return g_canalFim[0];
}

void EsvaziaCanalDePedidoDeFim() {
    char lixo[16];
    while (g_canalFim[0] != -1 && ::read(g_canalFim[0], lixo, sizeof lixo) > 0) {
    }
}

bool TerminalUtf8() {
    const char* cs = ::nl_langinfo(CODESET);
    return cs != nullptr && (std::strcmp(cs, "UTF-8") == 0 || std::strcmp(cs, "utf8") == 0);
}

bool RegistraCtrlU(std::uintptr_t, int) { return false; }
void LiberaTeclaGlobal(std::uintptr_t, int) {}
bool MensagemDaTeclaGlobal(const void*, int) { return false; }

// ---- the printer ------------------------------------------------------------

std::string DispositivoImpressora() {
    const char* e = std::getenv("TEF_LPT1");
    return (e != nullptr && *e != '\0') ? e : "/dev/lp0";
}

// ---- the registry is a file here --------------------------------------------

namespace registro {
namespace {
[[noreturn]] void SemRegistro() { throw ERegistryException("no system registry on this platform"); }
}  // namespace
bool Disponivel() { return false; }
bool ChaveExiste(const std::string&) { SemRegistro(); }
bool CriaChave(const std::string&) { SemRegistro(); }
std::vector<std::string> SubChaves(const std::string&) { SemRegistro(); }
std::optional<TValor> LeValor(const std::string&, const std::string&) { SemRegistro(); }
void GravaValor(const std::string&, const std::string&, std::uint32_t, const std::string&) { SemRegistro(); }
bool ApagaValor(const std::string&, const std::string&) { SemRegistro(); }
bool ApagaChave(const std::string&) { SemRegistro(); }
}  // namespace registro

}  // namespace plataforma
