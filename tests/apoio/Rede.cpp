#include "Rede.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

using namespace std::chrono_literals;
using Relogio = std::chrono::steady_clock;

const std::string& Binario() {
    static const std::string b = [] {
        std::string s("\0\0\r\n\x1A\xFF", 6);
        std::uint32_t x = 12345;
        while (s.size() < 200000) {
            x = x * 1103515245u + 12345u;
            s += (x >> 16) % 5 == 0 ? '\0' : static_cast<char>(x >> 24);
        }
        return s;
    }();
    return b;
}

componentes::TOpcoesClienteHttp Curtas() {
    componentes::TOpcoesClienteHttp o;
    o.limiteConexao = 1000ms;
    o.limiteSemDados = 1s;
    return o;
}

namespace {

const char* ScriptCertificados = R"(set -e
cd "$1"
chave='-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes'
ac() {
  openssl req -x509 $chave -keyout "$1.key" -out "$1.pem" -days 2 -subj "/CN=$1 de teste" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
}
emite() {
  openssl req $chave -keyout "$1.key" -out "$1.csr" -subj "/CN=$2"
  printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$3" > "$1.ext"
  openssl x509 -req -in "$1.csr" -CA "$4.pem" -CAkey "$4.key" -CAcreateserial -days 2 -out "$1.pem" -extfile "$1.ext"
}
ac ca
ac ca2
emite bom 127.0.0.1 IP:127.0.0.1,DNS:localhost ca
emite outro otherhost DNS:otherhost ca
emite deca2 127.0.0.1 IP:127.0.0.1,DNS:localhost ca2
)";

}  // namespace

void GeraCertificados(const TDiretorioTemporario& d, const std::string& mais) {
    GravaBytes(d / "gera.sh", ScriptCertificados + mais);
    const std::string cmd = "sh '" + d / "gera.sh' '" + d.Caminho() + "' >'" + d / "gera.log' 2>&1";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("certificates: " + LeBytes(d / "gera.log"));
}

TWebsistema::TWebsistema(const std::string& programa, const std::vector<std::string>& args) {
    std::vector<std::string> todos{programa};
    todos.insert(todos.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : todos) argv.push_back(a.data());
    argv.push_back(nullptr);
    int canal[2];
    if (::pipe2(canal, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(canal[1], STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(canal[1]);
    fd_ = canal[0];
    if (pid_ < 0) {
        ::close(fd_);
        throw std::runtime_error("fork");
    }
}

TWebsistema::~TWebsistema() {
    Para();
    ::close(fd_);
}

void TWebsistema::Para() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string TWebsistema::Linha(const std::string& prefixo) {
    const auto limite = Relogio::now() + 10s;
    for (;;) {
        for (std::size_t i = 0, fim; (fim = saida_.find('\n', i)) != std::string::npos; i = fim + 1)
            if (saida_.compare(i, prefixo.size() + 1, prefixo + " ") == 0)
                return saida_.substr(i + prefixo.size() + 1, fim - i - prefixo.size() - 1);
        const auto resta = std::chrono::duration_cast<std::chrono::milliseconds>(limite - Relogio::now());
        pollfd p{fd_, POLLIN, 0};
        char buf[512];
        ssize_t n = 0;
        if (resta.count() <= 0 || ::poll(&p, 1, static_cast<int>(resta.count())) != 1 ||
            (n = ::read(fd_, buf, sizeof buf)) <= 0)
            throw std::runtime_error("tef-websistema did not start: " + saida_);
        saida_.append(buf, static_cast<std::size_t>(n));
    }
}

std::string TWebsistema::PortaHttps() {
    const std::string l = Linha("HTTPS");
    return l.substr(l.rfind(':') + 1);
}
