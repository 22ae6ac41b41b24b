// Upkeep of the browser runtime and its profile: the runtime's registration,
// the disk cache, and the profile's certificate files.
#include "untPrincipal.h"

#include "Registro.h"
#include "Servidor.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {
const std::string kChaveGre = "SOFTWARE\\mozilla.org\\GRE";
const std::string kVersaoGre = "1.9.1.7";
}  // namespace

// ---- plain utilities --------------------------------------------------------------

void ApagaDiretorio(const std::string& diretorio, const std::function<void()>& aposCadaEntrada) {
    DIR* d = ::opendir(diretorio.c_str());
    if (d == nullptr) return;
    const std::string base = diretorio.back() == '/' ? diretorio : diretorio + "/";
    while (const dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        const std::string caminho = base + e->d_name;
        struct stat st{};
        // A symbolic link is removed itself, never followed.
        if (::lstat(caminho.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            ApagaDiretorio(caminho, aposCadaEntrada);
        } else {
            (void)::unlink(caminho.c_str());
        }
        if (aposCadaEntrada) aposCadaEntrada();
    }
    ::closedir(d);
    (void)::rmdir(diretorio.c_str());
}

std::int32_t TamanhoArquivo(const std::string& arquivo) {
    const auto barra = arquivo.rfind('/');
    const std::string nome = barra == std::string::npos ? arquivo : arquivo.substr(barra + 1);
    if (nome.empty() || nome[0] == '.') return -1;  // hidden entries do not count
    struct stat st{};
    if (::stat(arquivo.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return st.st_size > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(st.st_size);
}

void SubstituiArquivo(const std::string& novo, const std::string& alvo) {
    const std::int32_t tamanhoNovo = TamanhoArquivo(novo);
    if (tamanhoNovo > 0) {
        struct stat st{};
        const bool alvoExiste = ::lstat(alvo.c_str(), &st) == 0;
        // A copy of the same size counts as the same file. Otherwise one
        // rename replaces the current file, never leaving none in between.
        if (!alvoExiste || tamanhoNovo != TamanhoArquivo(alvo)) (void)std::rename(novo.c_str(), alvo.c_str());
    }
    if (ArquivoExiste(novo)) ApagaArquivo(novo);
    if (TamanhoArquivo(alvo) <= 0) ApagaArquivo(alvo);
}

std::string LinhaDeComando(const std::string& programa, const std::string& parametros) {
    return "\"" + programa + "\" " + parametros;
}

bool ExecutaEEspera(const std::string& programa, const std::string& parametros, int /*mostra*/) {
    std::vector<std::string> argumentos{programa};
    for (const auto& p : Divide(parametros, " "))
        if (!p.empty()) argumentos.push_back(p);
    std::vector<char*> argv;
    for (auto& a : argumentos) argv.push_back(a.data());
    argv.push_back(nullptr);

    const auto barra = programa.rfind('/');
    const std::string diretorio = barra == std::string::npos ? "./" : programa.substr(0, barra + 1);
    posix_spawn_file_actions_t acoes;
    posix_spawn_file_actions_init(&acoes);
    posix_spawn_file_actions_addchdir_np(&acoes, diretorio.c_str());
    pid_t pid = 0;
    const int erro = posix_spawn(&pid, programa.c_str(), &acoes, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&acoes);
    if (erro != 0) return false;
    int estado = 0;
    while (::waitpid(pid, &estado, 0) < 0 && errno == EINTR) {
    }
    return true;  // the program's own exit code is not looked at
}

// ---- the controller's upkeep ---------------------------------------------------------------

bool TfrmPrincipal::VerificaRegistroGre() { return ::VerificaRegistroGre(DiretorioExe()); }

bool VerificaRegistroGre(const std::string& b) {
    bool resultado = true;
    const std::string casa = b + "mozembed";
    TRegistry reg;
    std::vector<std::string> nomes;
    try {
        if (!reg.OpenKey(kChaveGre, false)) return true;
        nomes = reg.GetKeyNames();
        reg.CloseKey();
    } catch (const ERegistryException&) {
        return true;  // a store that cannot be read: let the runtime register itself
    }
    for (const auto& nome : nomes) {
        const std::string chave = kChaveGre + "\\" + nome;
        if (nome == kVersaoGre) {
            if (reg.OpenKey(chave, false)) {
                if (reg.ReadString("GreHome") != casa) reg.WriteString("GreHome", casa);
                reg.CloseKey();
            }
            resultado = false;
        } else {
            bool abriu = false;
            try {
                abriu = reg.OpenKey(chave, false);
            } catch (const ERegistryException&) {
            }
            if (abriu) {
                const std::string casaOutra = reg.ReadString("GreHome");
                reg.CloseKey();
                if (casaOutra.find("/mozembed") != std::string::npos) {
                    try {
                        reg.DeleteKey(chave);
                    } catch (const ERegistryException&) {
                    }
                }
            }
        }
    }
    return resultado;
}

void TfrmPrincipal::LimpaCache() {
    const std::string cache = DiretorioExe() + "mozembed/Profiles/default/Cache";
    if (!DiretorioExiste(cache)) return;
    try {
        ApagaDiretorio(cache, [this] { Application.ProcessMessages(); });
    } catch (...) {
    }
    (void)::rmdir(cache.c_str());
}

void TfrmPrincipal::AtualizaCertificados() {
    const std::string perfis = DiretorioExe() + "mozembed/Profiles";
    const std::string p = perfis + "/default";
    if (!DiretorioExiste(perfis)) CriaDiretorio(perfis);
    if (!DiretorioExiste(p)) CriaDiretorio(p);
    const std::string base = servidor::BaseProducao() + "/download/tef/profile/";
    bool baixouDb = false, baixouOverride = false;
    try {
        baixouDb = BaixaArquivo(base + "cert8.db", p + "/cert8.db_new");
        baixouOverride = BaixaArquivo(base + "cert_override.txt", p + "/cert_override.txt_new");
    } catch (...) {
    }
    if (!baixouDb) ApagaArquivo(p + "/cert8.db_new");
    if (!baixouOverride) ApagaArquivo(p + "/cert_override.txt_new");
    try {
        SubstituiArquivo(p + "/cert8.db_new", p + "/cert8.db");
    } catch (...) {
    }
    try {
        SubstituiArquivo(p + "/cert_override.txt_new", p + "/cert_override.txt");
    } catch (...) {
    }
}

bool TfrmPrincipal::BaixaArquivo(const std::string& endereco, const std::string& destino) {
    const int fd = ::open(destino.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int erro = errno;
        throw EFCreateError("Cannot create file \"" + destino + "\". " + std::strerror(erro));
    }
    bool gravou = true;
    const auto escreve = [&](const char* dados, std::size_t n) {
        while (n > 0) {
            const ssize_t w = ::write(fd, dados, n);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return gravou = false;
            dados += w;
            n -= static_cast<std::size_t>(w);
        }
        return true;
    };
    componentes::TEventosTransferencia eventos;
    eventos.OnWorkBegin = [this](std::int64_t total) { IdHTTP1WorkBegin(total); };
    eventos.OnWork = [this](std::int64_t feitos) { IdHTTP1Work(feitos); };
    eventos.OnWorkEnd = [this] { IdHTTP1WorkEnd(); };
    bool ok = false;
    try {
        ok = C.IdHTTP1 != nullptr && C.IdHTTP1->Get(endereco, escreve, eventos);
    } catch (...) {
        ::close(fd);
        throw;
    }
    if (::close(fd) != 0) ok = false;
    return ok && gravou;
}

void TfrmPrincipal::IdHTTP1WorkBegin(std::int64_t total) {
    try {
        C.JvXPProgressBar1->SetMax(static_cast<int>(std::min<std::int64_t>(total, INT_MAX)));
        C.JvXPProgressBar1->SetPosition(0);
    } catch (...) {
        // an unknown size leaves the (hidden) bar as it was
    }
    Application.ProcessMessages();
}

void TfrmPrincipal::IdHTTP1Work(std::int64_t feitos) {
    C.JvXPProgressBar1->SetPosition(static_cast<int>(std::min<std::int64_t>(feitos, INT_MAX)));
    Application.ProcessMessages();
}

void TfrmPrincipal::IdHTTP1WorkEnd() {
    C.JvXPProgressBar1->SetPosition(C.JvXPProgressBar1->Max());
    Application.ProcessMessages();
}
