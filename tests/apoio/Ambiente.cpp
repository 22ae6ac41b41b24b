#include "Ambiente.h"

#include "Plataforma.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

TDiretorioTemporario::TDiretorioTemporario() {
    // "/" as separator on Windows too, as the manager's own paths.
    std::string base = fs::temp_directory_path().generic_string();
    if (!base.empty() && base.back() != '/') base += '/';
    const std::string criado = plataforma::CriaDiretorioTemporario(base + "tef-teste-");
    if (criado.empty()) throw std::runtime_error("cannot create a temporary directory under " + base);
    caminho_ = criado + "/";
}

TDiretorioTemporario::~TDiretorioTemporario() {
    std::error_code ec;
    // Tests may leave read-only directories behind; make them writable again.
    for (auto it = fs::recursive_directory_iterator(caminho_, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(caminho_, ec);
}

std::string LeBytes(const std::string& arquivo) {
    std::ifstream f(arquivo, std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + arquivo);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void GravaBytes(const std::string& arquivo, const std::string& bytes) {
    std::ofstream f(arquivo, std::ios::binary | std::ios::trunc);
    if (!f) throw std::runtime_error("cannot write " + arquivo);
    f << bytes;
}

void Envelhece(const std::string& arquivo, int segundos) {
    fs::last_write_time(arquivo, fs::file_time_type::clock::now() - std::chrono::seconds(segundos));
}

bool Existe(const std::string& caminho) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(caminho, ec));
}

void CriaDir(const std::string& caminho) { fs::create_directories(caminho); }

void RemoveArvore(const std::string& caminho) {
    std::error_code ec;
    fs::remove_all(caminho, ec);
}

#ifdef _WIN32
// ERROR_FILE_NOT_FOUND and ERROR_PATH_NOT_FOUND.
std::string TextoArquivoInexistente() { return plataforma::TextoDoErro(2); }
std::string TextoDiretorioInexistente() { return plataforma::TextoDoErro(3); }
// ERROR_ACCESS_DENIED: Windows has no reason of its own for a directory.
std::string TextoEDiretorio() { return plataforma::TextoDoErro(5); }
#else
std::string TextoArquivoInexistente() { return plataforma::TextoDoErro(ENOENT); }
std::string TextoDiretorioInexistente() { return plataforma::TextoDoErro(ENOENT); }
std::string TextoEDiretorio() { return plataforma::TextoDoErro(EISDIR); }
#endif

TVariavelAmbiente::TVariavelAmbiente(const char* nome, const char* valor) : nome_(nome) {
    if (const char* v = std::getenv(nome)) antigo_ = v;
    Define(valor);
}

TVariavelAmbiente::TVariavelAmbiente(const char* nome, const std::optional<std::string>& valor)
    : TVariavelAmbiente(nome, valor ? valor->c_str() : nullptr) {}

TVariavelAmbiente::~TVariavelAmbiente() { Define(antigo_); }

void TVariavelAmbiente::Define(const char* valor) {
#ifdef _WIN32
    _putenv_s(nome_.c_str(), valor ? valor : "");
#else
    if (valor) ::setenv(nome_.c_str(), valor, 1);
    else ::unsetenv(nome_.c_str());
#endif
}

void TVariavelAmbiente::Define(const std::optional<std::string>& valor) { Define(valor ? valor->c_str() : nullptr); }
