#include "untFuncao.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string CaminhoExpandido(const std::string& arquivo) {
    if (!arquivo.empty() && arquivo[0] == '/') return arquivo;
    char buf[4096];
    if (getcwd(buf, sizeof buf) == nullptr) return arquivo;
    return JuntaCaminho(buf, arquivo);
}

[[noreturn]] void ErroCriacao(const std::string& arquivo, int erro) {
    throw EFCreateError("Cannot create file \"" + CaminhoExpandido(arquivo) + "\". " + std::strerror(erro));
}

[[noreturn]] void ErroAbertura(const std::string& arquivo, int erro) {
    throw EFOpenError("Cannot open file \"" + CaminhoExpandido(arquivo) + "\". " + std::strerror(erro));
}

struct Descritor {
    int fd;
    explicit Descritor(int f) : fd(f) {}
    ~Descritor() {
        if (fd >= 0) ::close(fd);
    }
    Descritor(const Descritor&) = delete;
    Descritor& operator=(const Descritor&) = delete;
};

struct Diretorio {
    DIR* d;
    explicit Diretorio(const std::string& caminho) : d(::opendir(caminho.c_str())) {}
    ~Diretorio() {
        if (d) ::closedir(d);
    }
    Diretorio(const Diretorio&) = delete;
    Diretorio& operator=(const Diretorio&) = delete;
};

bool PontoOuPontoPonto(const char* nome) {
    return std::strcmp(nome, ".") == 0 || std::strcmp(nome, "..") == 0;
}

bool CasaMascara(const std::string& mascara, const char* nome) {
    if (mascara == "*.*" || mascara == "*") return true;
    return ::fnmatch(mascara.c_str(), nome, FNM_CASEFOLD) == 0;
}

}  // namespace

TDataHora DataHoraLocal() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    std::tm t{};
    localtime_r(&ts.tv_sec, &t);
    return TDataHora{t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
                     t.tm_min,         t.tm_sec,     static_cast<int>(ts.tv_nsec / 1000000)};
}

// ---- lists of lines -------------------------------------------------------

TLinhas DivideLinhas(std::string_view texto) {
    const auto nul = texto.find('\0');
    if (nul != std::string_view::npos) texto = texto.substr(0, nul);
    TLinhas linhas;
    std::size_t inicio = 0;
    const std::size_t n = texto.size();
    std::size_t i = 0;
    while (i < n) {
        const char c = texto[i];
        if (c == '\r' || c == '\n') {
            linhas.emplace_back(texto.substr(inicio, i - inicio));
            if (c == '\r' && i + 1 < n && texto[i + 1] == '\n') ++i;
            ++i;
            inicio = i;
        } else {
            ++i;
        }
    }
    if (inicio < n) linhas.emplace_back(texto.substr(inicio));
    return linhas;
}

std::string TextoLinhas(const TLinhas& linhas) {
    std::size_t total = 0;
    for (const auto& l : linhas) total += l.size() + 2;
    std::string texto;
    texto.reserve(total);
    for (const auto& l : linhas) {
        texto += l;
        texto += "\r\n";
    }
    return texto;
}

TLinhas CarregaLinhas(const std::string& arquivo) {
    Descritor f(::open(arquivo.c_str(), O_RDONLY | O_CLOEXEC));
    if (f.fd < 0) ErroAbertura(arquivo, errno);
    struct stat st{};
    if (::fstat(f.fd, &st) == 0 && S_ISDIR(st.st_mode)) ErroAbertura(arquivo, EISDIR);
    std::string conteudo;
    if (S_ISREG(st.st_mode) && st.st_size > 0) conteudo.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        const ssize_t lidos = ::read(f.fd, buf, sizeof buf);
        if (lidos < 0) {
            if (errno == EINTR) continue;
            throw EReadError("Stream read error");
        }
        if (lidos == 0) break;
        conteudo.append(buf, static_cast<std::size_t>(lidos));
    }
    return DivideLinhas(conteudo);
}

void SalvaTexto(const std::string& arquivo, std::string_view texto, bool sincroniza) {
    Descritor f(::open(arquivo.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (f.fd < 0) ErroCriacao(arquivo, errno);
    std::size_t escritos = 0;
    while (escritos < texto.size()) {
        const ssize_t n = ::write(f.fd, texto.data() + escritos, texto.size() - escritos);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw EWriteError("Stream write error");
        escritos += static_cast<std::size_t>(n);
    }
    if (sincroniza && ::fsync(f.fd) != 0) throw EWriteError("Stream write error");
    const int fd = f.fd;
    f.fd = -1;
    if (::close(fd) != 0) throw EWriteError("Stream write error");
}

void SalvaLinhas(const std::string& arquivo, const TLinhas& linhas, bool sincroniza) {
    SalvaTexto(arquivo, TextoLinhas(linhas), sincroniza);
}

// ---- files and directories ------------------------------------------------

bool DiretorioExiste(const std::string& caminho) {
    struct stat st{};
    return ::stat(caminho.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ArquivoExiste(const std::string& caminho) {
    struct stat st{};
    return ::stat(caminho.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

void CriaDiretorio(const std::string& caminho) { (void)::mkdir(caminho.c_str(), 0777); }

void ApagaArquivo(const std::string& caminho) { (void)::unlink(caminho.c_str()); }

std::string JuntaCaminho(const std::string& diretorio, const std::string& nome) {
    if (!diretorio.empty() && diretorio.back() == '/') return diretorio + nome;
    return diretorio + "/" + nome;
}

void ListaArquivos(std::string diretorio, TLinhas& lista, bool recursivo) {
    if (diretorio.empty() || diretorio.back() != '/') diretorio += '/';
    const TLinhas subdiretorios = ListaSubdiretorios(diretorio);
    if (recursivo) {
        for (const auto& nome : subdiretorios) ListaArquivos(diretorio + nome, lista, true);
    }
    try {
        for (const auto& nome : ListaArquivosMascara(diretorio, "*.*")) lista.push_back(diretorio + nome);
    } catch (const EInOutError&) {
        // a directory that cannot be entered simply lists nothing
    }
}

std::string MensagemErroES(int codigo);  // below

TLinhas ListaArquivosMascara(const std::string& diretorio, const std::string& mascaras) {
    TLinhas resultado;
    {
        Diretorio d(diretorio);
        if (d.d == nullptr) {
            const int erro = errno;
            throw EInOutError(erro, MensagemErroES(erro));
        }
    }
    for (const auto& mascara : Divide(mascaras, ";")) {
        Diretorio d(diretorio);
        if (d.d == nullptr) continue;
        while (const dirent* e = ::readdir(d.d)) {
            if (PontoOuPontoPonto(e->d_name) || !CasaMascara(mascara, e->d_name)) continue;
            struct stat st{};
            if (::stat(JuntaCaminho(diretorio, e->d_name).c_str(), &st) != 0) continue;
            if (S_ISREG(st.st_mode)) resultado.emplace_back(e->d_name);
        }
    }
    return resultado;
}

TLinhas ListaSubdiretorios(const std::string& diretorio) {
    TLinhas resultado;
    Diretorio d(diretorio);
    if (d.d == nullptr) return resultado;
    while (const dirent* e = ::readdir(d.d)) {
        if (e->d_name[0] == '.') continue;  // ".", ".." and hidden directories
        struct stat st{};
        if (::stat(JuntaCaminho(diretorio, e->d_name).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) resultado.emplace_back(e->d_name);
    }
    return resultado;
}

std::string MensagemErroES(int codigo) {
    switch (codigo) {
    case ENOENT:
        return "File not found";
    case EACCES:
    case EPERM:
        return "File access denied";
    default:
        return "I/O error " + std::to_string(codigo);
    }
}

// ---- texts ----------------------------------------------------------------

std::string Apara(std::string_view texto) {
    std::size_t i = 0, f = texto.size();
    while (i < f && static_cast<unsigned char>(texto[i]) <= 32) ++i;
    while (f > i && static_cast<unsigned char>(texto[f - 1]) <= 32) --f;
    return std::string(texto.substr(i, f - i));
}

std::string SubstituiTodos(std::string_view texto, std::string_view de, std::string_view para) {
    if (de.empty()) return std::string(texto);
    std::string resultado;
    resultado.reserve(texto.size());
    std::size_t pos = 0;
    for (;;) {
        const std::size_t achou = texto.find(de, pos);
        if (achou == std::string_view::npos) break;
        resultado.append(texto.substr(pos, achou - pos));
        resultado.append(para);
        pos = achou + de.size();
    }
    resultado.append(texto.substr(pos));
    return resultado;
}

TLinhas Divide(std::string texto, const std::string& separador) {
    TLinhas itens;
    if (separador.empty()) {
        if (!texto.empty()) itens.push_back(std::move(texto));
        return itens;
    }
    std::size_t inicio = 0;
    for (;;) {
        const std::size_t achou = texto.find(separador, inicio);
        if (achou == std::string::npos) break;
        itens.push_back(texto.substr(inicio, achou - inicio));
        inicio = achou + separador.size();
    }
    if (inicio < texto.size()) itens.push_back(texto.substr(inicio));
    return itens;
}

namespace {
unsigned char MaiusculaAnsi(unsigned char c) {
    if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 32);
    switch (c) {
    case 0x9A: return 0x8A;  // š
    case 0x9C: return 0x8C;  // œ
    case 0x9E: return 0x8E;  // ž
    case 0xFF: return 0x9F;  // ÿ
    default: break;
    }
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<unsigned char>(c - 32);
    return c;
}

unsigned char MinusculaAnsi(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return static_cast<unsigned char>(c + 32);
    switch (c) {
    case 0x8A: return 0x9A;
    case 0x8C: return 0x9C;
    case 0x8E: return 0x9E;
    case 0x9F: return 0xFF;
    default: break;
    }
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<unsigned char>(c + 32);
    return c;
}
}  // namespace

std::string MaiusculasAnsi(std::string_view texto) {
    std::string r(texto);
    for (auto& c : r) c = static_cast<char>(MaiusculaAnsi(static_cast<unsigned char>(c)));
    return r;
}

std::string MinusculasAnsi(std::string_view texto) {
    std::string r(texto);
    for (auto& c : r) c = static_cast<char>(MinusculaAnsi(static_cast<unsigned char>(c)));
    return r;
}

// ---- time -----------------------------------------------------------------

std::string DataHoraCompacta(const TDataHora& m) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d%02d%02d%02d%02d", m.dia % 100, m.mes % 100, m.hora % 100,
                  m.minuto % 100, m.segundo % 100);
    return buf;
}

std::string DataHoraRegional(const TDataHora& m) {
    std::tm t{};
    t.tm_year = m.ano - 1900;
    t.tm_mon = m.mes - 1;
    t.tm_mday = m.dia;
    t.tm_hour = m.hora;
    t.tm_min = m.minuto;
    t.tm_sec = m.segundo;
    t.tm_isdst = -1;
    std::tm copia = t;
    if (timegm(&copia) != -1) t.tm_wday = copia.tm_wday, t.tm_yday = copia.tm_yday;
    char data[128] = "", hora[128] = "";
    std::strftime(data, sizeof data, "%x", &t);
    if (m.hora == 0 && m.minuto == 0 && m.segundo == 0) return data;
    std::strftime(hora, sizeof hora, "%X", &t);
    return std::string(data) + " " + hora;
}

// ---- amounts --------------------------------------------------------------

std::optional<TCurrency> TextoParaCurrency(std::string_view s) {
    std::size_t i = 0;
    bool negativo = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negativo = s[i++] == '-';
    std::string digitos;  // significant digits, integer part then fraction
    int casasDecimais = 0;
    bool virgula = false, algumDigito = false;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (c >= '0' && c <= '9') {
            algumDigito = true;
            if (virgula) ++casasDecimais;
            if (!(digitos.empty() && c == '0')) digitos += c;
            else if (virgula) digitos += c;  // keep place-holding zeros of the fraction
        } else if (c == ',' && !virgula) {
            virgula = true;
        } else {
            break;
        }
    }
    if (!algumDigito) return std::nullopt;
    long long expoente = 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        bool expNegativo = false;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) expNegativo = s[i++] == '-';
        bool algumExp = false;
        for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
            algumExp = true;
            if (expoente < 100000) expoente = expoente * 10 + (s[i] - '0');
        }
        if (!algumExp) return std::nullopt;
        if (expNegativo) expoente = -expoente;
    }
    if (i != s.size()) return std::nullopt;

    // Strip leading zeros kept from the fraction.
    std::size_t primeiro = digitos.find_first_not_of('0');
    if (primeiro == std::string::npos) return TCurrency{0};
    digitos.erase(0, primeiro);

    // value = digitos * 10^(expoente - casasDecimais); currency = value * 10^4
    const long long deslocamento = expoente - casasDecimais + 4;
    std::string inteira, resto;
    if (deslocamento >= 0) {
        if (static_cast<long long>(digitos.size()) + deslocamento > 19) return std::nullopt;
        inteira = digitos + std::string(static_cast<std::size_t>(deslocamento), '0');
    } else {
        const long long corte = static_cast<long long>(digitos.size()) + deslocamento;
        if (corte > 0) {
            inteira = digitos.substr(0, static_cast<std::size_t>(corte));
            resto = digitos.substr(static_cast<std::size_t>(corte));
        } else {
            inteira = "0";
            // resto holds the digits after the units, with the leading zeros the shift implies
            if (-corte > 2) return TCurrency{0};  // far below half a unit
            resto = std::string(static_cast<std::size_t>(-corte), '0') + digitos;
        }
    }
    if (inteira.size() > 19) return std::nullopt;
    unsigned long long magnitude = 0;
    for (char c : inteira) {
        const unsigned long long d = static_cast<unsigned long long>(c - '0');
        if (magnitude > (std::numeric_limits<unsigned long long>::max() - d) / 10) return std::nullopt;
        magnitude = magnitude * 10 + d;
    }
    // Round to nearest, ties to even.
    if (!resto.empty()) {
        const char primeiroResto = resto[0];
        const bool restoDepois = resto.find_first_not_of('0', 1) != std::string::npos;
        bool sobe = false;
        if (primeiroResto > '5') sobe = true;
        else if (primeiroResto == '5') sobe = restoDepois || (magnitude % 2 == 1);
        if (sobe) ++magnitude;
    }
    const unsigned long long limitePositivo = static_cast<unsigned long long>(std::numeric_limits<TCurrency>::max());
    if (negativo) {
        if (magnitude > limitePositivo + 1) return std::nullopt;
        if (magnitude == limitePositivo + 1) return std::numeric_limits<TCurrency>::min();
        return -static_cast<TCurrency>(magnitude);
    }
    if (magnitude > limitePositivo) return std::nullopt;
    return static_cast<TCurrency>(magnitude);
}

TCurrency ValorDoTexto(const std::string& t) {
    std::string cabeca, cauda;
    if (t.size() <= 2) {
        cauda = t;
    } else {
        cabeca = t.substr(0, t.size() - 2);
        cauda = t.substr(t.size() - 2);
    }
    return TextoParaCurrency(Apara(cabeca + "," + cauda)).value_or(0);
}
