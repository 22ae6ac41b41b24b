#include "DocumentoReg.h"
#include "Registro.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

std::function<void(const std::string&)> TArmazemRegistro::AntesDeRenomear;

namespace {

const char* const kCaminhoPadrao = "/etc/orvex/tef.reg";

[[noreturn]] void FalhaSistema(const std::string& caminho, int erro) {
    throw ERegistryException(caminho + ": " + std::strerror(erro));
}

class TDescritor {
public:
    explicit TDescritor(int fd) : fd_(fd) {}
    ~TDescritor() {
        if (fd_ >= 0) close(fd_);
    }
    TDescritor(const TDescritor&) = delete;
    TDescritor& operator=(const TDescritor&) = delete;
    int Fd() const { return fd_; }
    // Closing reports write-back errors on some file systems.
    int Fecha() {
        int r = close(fd_);
        fd_ = -1;
        return r;
    }

private:
    int fd_;
};

// Nothing when the file does not exist.
std::optional<std::string> LeArquivo(const std::string& arquivo) {
    TDescritor f(open(arquivo.c_str(), O_RDONLY | O_CLOEXEC));
    if (f.Fd() < 0) {
        if (errno == ENOENT) return std::nullopt;
        FalhaSistema(arquivo, errno);
    }
    std::string texto;
    char bloco[65536];
    while (true) {
        ssize_t n = read(f.Fd(), bloco, sizeof bloco);
        if (n < 0) {
            if (errno == EINTR) continue;
            FalhaSistema(arquivo, errno);
        }
        if (n == 0) break;
        texto.append(bloco, static_cast<std::size_t>(n));
    }
    return texto;
}

TDocumentoReg Carrega(const std::string& arquivo) {
    auto texto = LeArquivo(arquivo);
    if (!texto) return {};
    return TDocumentoReg::Interpreta(*texto, arquivo);
}

std::string DiretorioDe(const std::string& arquivo) {
    std::size_t barra = arquivo.rfind('/');
    if (barra == std::string::npos) return ".";
    if (barra == 0) return "/";
    return arquivo.substr(0, barra);
}

// The file the rename must replace: a store reached through a symbolic link
// stays a link.
std::string ArquivoReal(const std::string& arquivo) {
    struct stat st {};
    if (lstat(arquivo.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = realpath(arquivo.c_str(), nullptr)) {
            std::string r = real;
            std::free(real);
            return r;
        }
    }
    return arquivo;
}

mode_t MascaraDeCriacao() {
    const mode_t m = umask(0);
    umask(m);
    return m;
}

std::vector<std::string> ValidaChave(const std::string& arquivo, const std::string& chave) {
    if (chave.find_first_of(std::string("\n\0", 2)) != std::string::npos)
        throw ERegistryException(arquivo + ": invalid key name '" + chave + "'");
    return PartesDaChave(chave);
}

void ValidaNome(const std::string& arquivo, const std::string& nome) {
    if (nome.find_first_of(std::string("\n\0", 2)) != std::string::npos)
        throw ERegistryException(arquivo + ": invalid value name '" + nome + "'");
}

void GravaTudo(int fd, const std::string& texto, const std::string& caminho) {
    std::size_t feito = 0;
    while (feito < texto.size()) {
        ssize_t n = write(fd, texto.data() + feito, texto.size() - feito);
        if (n < 0) {
            if (errno == EINTR) continue;
            FalhaSistema(caminho, errno);
        }
        feito += static_cast<std::size_t>(n);
    }
}

// Reads the store under an exclusive lock, lets mudanca change it and, when
// it did, replaces the file atomically. The lock lives in a companion file
// because the store itself is replaced on every write.
void Altera(const std::string& arquivo, const std::function<bool(TDocumentoReg&)>& mudanca) {
    const std::string real = ArquivoReal(arquivo);
    const std::string diretorio = DiretorioDe(real);
    struct stat st {};
    if (stat(diretorio.c_str(), &st) != 0 && errno == ENOENT && mkdir(diretorio.c_str(), 0755) != 0 &&
        errno != EEXIST)
        FalhaSistema(diretorio, errno);

    const std::string nomeTrava = real + ".lock";
    // The store holds credentials: nothing it leaves beside it is open to
    // others (a group can be given access by the installer).
    int fdTrava = open(nomeTrava.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
    // flock needs no write access: a lock file another user created will do.
    if (fdTrava < 0 && errno == EACCES) {
        fdTrava = open(nomeTrava.c_str(), O_RDONLY | O_CLOEXEC);
        // Missing and not creatable: the refusal is the useful cause.
        if (fdTrava < 0) FalhaSistema(nomeTrava, EACCES);
    }
    if (fdTrava < 0) FalhaSistema(nomeTrava, errno);
    TDescritor trava(fdTrava);
    while (flock(trava.Fd(), LOCK_EX) != 0)
        if (errno != EINTR) FalhaSistema(nomeTrava, errno);

    TDocumentoReg doc = Carrega(arquivo);
    if (!mudanca(doc)) return;
    const std::string texto = doc.Texto();

    struct stat atual {};
    const bool existia = stat(real.c_str(), &atual) == 0;
    // An existing store keeps its mode (an installer may have given a group
    // access); a new one is never readable by others, whatever the umask.
    const mode_t modo = existia ? (atual.st_mode & 07777) : (0640 & ~MascaraDeCriacao());

    // Only lock holders create the temporary file, so one left here belongs
    // to a writer that died: it can go.
    const std::string temporario = real + ".tmp";
    unlink(temporario.c_str());
    TDescritor novo(open(temporario.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (novo.Fd() < 0) FalhaSistema(temporario, errno);
    try {
        if (fchmod(novo.Fd(), modo) != 0) FalhaSistema(temporario, errno);
        if (existia && fchown(novo.Fd(), atual.st_uid, atual.st_gid) != 0) {
            // Only root may hand the file back to its owner; others keep theirs.
        }
        GravaTudo(novo.Fd(), texto, temporario);
        if (fsync(novo.Fd()) != 0) FalhaSistema(temporario, errno);
        if (novo.Fecha() != 0) FalhaSistema(temporario, errno);
        if (TArmazemRegistro::AntesDeRenomear) TArmazemRegistro::AntesDeRenomear(temporario);
        if (rename(temporario.c_str(), real.c_str()) != 0) FalhaSistema(arquivo, errno);
    } catch (...) {
        unlink(temporario.c_str());
        throw;
    }

    // Makes the rename itself durable. A failure here is not reported: every
    // process already sees the change, and some file systems refuse fsync on
    // a directory.
    TDescritor dir(open(diretorio.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Fd() >= 0) fsync(dir.Fd());
}

}  // namespace

TArmazemRegistro::TArmazemRegistro(std::string arquivo) : arquivo_(std::move(arquivo)) {}

std::string TArmazemRegistro::CaminhoPadrao() {
    const char* env = std::getenv("TEF_REGISTRO");
    return env && *env ? env : kCaminhoPadrao;
}

bool TArmazemRegistro::ChaveExiste(const std::string& chave) const {
    const auto partes = ValidaChave(arquivo_, chave);
    TDocumentoReg doc = Carrega(arquivo_);
    return partes.empty() || doc.Procura(partes) != nullptr;
}

bool TArmazemRegistro::CriaChave(const std::string& chave) {
    const auto partes = ValidaChave(arquivo_, chave);
    // Opening an existing key must not need write access to the store.
    if (partes.empty() || ChaveExiste(chave)) return false;
    bool criou = false;
    Altera(arquivo_, [&](TDocumentoReg& doc) {
        if (doc.Procura(partes)) return false;
        doc.Garante(partes);
        criou = true;
        return true;
    });
    return criou;
}

std::vector<std::string> TArmazemRegistro::SubChaves(const std::string& chave) const {
    const auto partes = ValidaChave(arquivo_, chave);
    return Carrega(arquivo_).Filhas(partes);
}

std::optional<TValorRegistro> TArmazemRegistro::LeValor(const std::string& chave, const std::string& nome) const {
    const auto partes = ValidaChave(arquivo_, chave);
    TDocumentoReg doc = Carrega(arquivo_);
    TChaveArquivo* k = doc.Procura(partes);
    const TValorArquivo* v = k ? k->Valor(nome) : nullptr;
    if (!v) return std::nullopt;
    return TValorRegistro{v->tipo, v->dados};
}

void TArmazemRegistro::GravaValor(const std::string& chave, const std::string& nome, std::uint32_t tipo,
                                  const std::string& dados) {
    const auto partes = ValidaChave(arquivo_, chave);
    ValidaNome(arquivo_, nome);
    Altera(arquivo_, [&](TDocumentoReg& doc) {
        TChaveArquivo* k = doc.Procura(partes);
        if (!k && partes.empty()) k = &doc.Garante(partes);
        if (!k) throw ERegistryException(arquivo_ + ": key '" + chave + "' does not exist");
        if (TValorArquivo* v = k->Valor(nome)) {
            v->tipo = tipo;
            v->dados = dados;
        } else {
            k->valores.push_back({nome, tipo, dados});
        }
        return true;
    });
}

bool TArmazemRegistro::ApagaValor(const std::string& chave, const std::string& nome) {
    if (!LeValor(chave, nome)) return false;
    const auto partes = ValidaChave(arquivo_, chave);
    bool apagou = false;
    Altera(arquivo_, [&](TDocumentoReg& doc) {
        TChaveArquivo* k = doc.Procura(partes);
        const TValorArquivo* v = k ? k->Valor(nome) : nullptr;
        if (!v) return false;
        k->valores.erase(k->valores.begin() + (v - k->valores.data()));
        apagou = true;
        return true;
    });
    return apagou;
}

bool TArmazemRegistro::ApagaChave(const std::string& chave) {
    const auto partes = ValidaChave(arquivo_, chave);
    if (partes.empty()) throw ERegistryException(arquivo_ + ": the root key cannot be removed");
    if (!ChaveExiste(chave)) return false;
    bool apagou = false;
    Altera(arquivo_, [&](TDocumentoReg& doc) {
        apagou = doc.Remove(partes);
        return apagou;
    });
    return apagou;
}
