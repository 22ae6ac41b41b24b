#include "DocumentoReg.h"

#include "Excecoes.h"
#include "untFuncao.h"

#include <cstdio>

namespace {

const char* const kRaiz = "HKEY_LOCAL_MACHINE";
const char* const kCabecalho = "REGEDIT4";

[[noreturn]] void Falha(const std::string& arquivo, int linha, const std::string& problema) {
    throw ERegistryException(arquivo + ":" + std::to_string(linha) + ": " + problema);
}

bool EhBranco(char c) { return c == ' ' || c == '\t'; }

std::string_view AparaBrancos(std::string_view s) {
    while (!s.empty() && EhBranco(s.front())) s.remove_prefix(1);
    while (!s.empty() && EhBranco(s.back())) s.remove_suffix(1);
    return s;
}

bool ComecaSemCaixa(std::string_view s, std::string_view prefixo) {
    return s.size() >= prefixo.size() && MaiusculasAnsi(s.substr(0, prefixo.size())) == prefixo;
}

int ValorHex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// 1 to 8 hex digits, nothing else.
bool LeNumeroHex(std::string_view s, std::uint32_t& valor) {
    if (s.empty() || s.size() > 8) return false;
    valor = 0;
    for (char c : s) {
        int d = ValorHex(c);
        if (d < 0) return false;
        valor = valor << 4 | static_cast<std::uint32_t>(d);
    }
    return true;
}

struct TLinhaLogica {
    std::string texto;
    int numero;  // first physical line, for error messages
};

// Blank and comment lines dropped, continuation lines ("\" at the end)
// joined with the next one's leading blanks skipped.
std::vector<TLinhaLogica> LinhasLogicas(std::string_view texto) {
    std::vector<TLinhaLogica> linhas;
    bool continua = false;
    int numero = 0;
    std::size_t pos = 0;
    while (pos < texto.size()) {
        std::size_t fim = texto.find('\n', pos);
        if (fim == std::string_view::npos) fim = texto.size();
        std::string_view linha = texto.substr(pos, fim - pos);
        pos = fim + 1;
        ++numero;
        if (!linha.empty() && linha.back() == '\r') linha.remove_suffix(1);
        linha = AparaBrancos(linha);
        if (continua) {
            linhas.back().texto += linha;
        } else {
            if (linha.empty() || linha.front() == ';') continue;
            linhas.push_back({std::string(linha), numero});
        }
        std::string& atual = linhas.back().texto;
        continua = !linha.empty() && atual.back() == '\\';
        if (continua) atual.pop_back();
    }
    // A lone "\" leaves nothing to read.
    std::erase_if(linhas, [](const TLinhaLogica& l) { return l.texto.empty(); });
    return linhas;
}

// Reads a quoted text starting at s[pos] == '"'; leaves pos after the closing
// quote. Only \\ and \" are escapes, as in files regedit writes.
std::string LeAspas(const std::string& s, std::size_t& pos, const std::string& arquivo, int linha) {
    std::string r;
    ++pos;
    while (pos < s.size()) {
        char c = s[pos++];
        if (c == '"') return r;
        if (c == '\\') {
            if (pos >= s.size()) break;
            char e = s[pos++];
            if (e != '\\' && e != '"') Falha(arquivo, linha, std::string("invalid escape sequence '\\") + e + "'");
            r += e;
        } else {
            r += c;
        }
    }
    Falha(arquivo, linha, "unterminated quoted text");
}

std::string LeListaHex(std::string_view lista, const std::string& arquivo, int linha, bool secreto) {
    std::string r;
    lista = AparaBrancos(lista);
    if (lista.empty()) return r;
    if (lista.back() == ',') lista.remove_suffix(1);  // tolerated, as regedit does
    std::size_t pos = 0;
    while (true) {
        std::size_t virgula = lista.find(',', pos);
        std::string_view item =
            AparaBrancos(lista.substr(pos, virgula == std::string_view::npos ? std::string_view::npos : virgula - pos));
        std::uint32_t byte = 0;
        if (item.size() > 2 || !LeNumeroHex(item, byte))
            Falha(arquivo, linha, "invalid hex byte '" + (secreto ? std::string("***") : std::string(item)) + "'");
        r += static_cast<char>(byte);
        if (virgula == std::string_view::npos) break;
        pos = virgula + 1;
    }
    return r;
}

TValorArquivo LeValor(const std::string& s, const std::string& arquivo, int linha) {
    TValorArquivo v;
    std::size_t pos = 0;
    if (s[0] == '@') {
        pos = 1;
    } else {
        v.nome = LeAspas(s, pos, arquivo, linha);
    }
    while (pos < s.size() && EhBranco(s[pos])) ++pos;
    if (pos >= s.size() || s[pos] != '=') Falha(arquivo, linha, "'=' expected after the value name");
    ++pos;
    while (pos < s.size() && EhBranco(s[pos])) ++pos;
    std::string_view dado = std::string_view(s).substr(pos);
    // An error quotes what it could not read, except the stored password.
    const bool secreto = MaiusculasAnsi(v.nome) == "USUSENHA";
    const auto mostra = [secreto](std::string_view t) { return secreto ? std::string("***") : std::string(t); };

    if (!dado.empty() && dado[0] == '"') {
        v.tipo = 1;
        v.dados = LeAspas(s, pos, arquivo, linha);
        v.dados += '\0';
        if (!AparaBrancos(std::string_view(s).substr(pos)).empty())
            Falha(arquivo, linha, "unexpected text after the value");
    } else if (ComecaSemCaixa(dado, "DWORD:")) {
        std::uint32_t n = 0;
        if (!LeNumeroHex(AparaBrancos(dado.substr(6)), n))
            Falha(arquivo, linha, "invalid dword '" + mostra(dado.substr(6)) + "'");
        v.tipo = 4;
        for (int i = 0; i < 4; ++i) v.dados += static_cast<char>(n >> (8 * i) & 0xFF);
    } else if (ComecaSemCaixa(dado, "HEX:")) {
        v.tipo = 3;
        v.dados = LeListaHex(dado.substr(4), arquivo, linha, secreto);
    } else if (ComecaSemCaixa(dado, "HEX(")) {
        std::size_t fecha = dado.find("):");
        if (fecha == std::string_view::npos || !LeNumeroHex(dado.substr(4, fecha - 4), v.tipo))
            Falha(arquivo, linha, "invalid hex(type) form");
        v.dados = LeListaHex(dado.substr(fecha + 2), arquivo, linha, secreto);
    } else if (dado == "-") {
        Falha(arquivo, linha, "value removal lines are not supported");
    } else {
        Falha(arquivo, linha, "unknown value data '" + mostra(dado) + "'");
    }
    return v;
}

std::string Escapa(const std::string& s) {
    std::string r;
    for (char c : s) {
        if (c == '\\' || c == '"') r += '\\';
        r += c;
    }
    return r;
}

// Data that reads back the same from a plain quoted text: one ending NUL and
// no control byte (a CR or LF would break the line).
bool CabeEmAspas(const std::string& d) {
    if (d.empty() || d.back() != '\0') return false;
    for (std::size_t i = 0; i + 1 < d.size(); ++i)
        if (static_cast<unsigned char>(d[i]) < 0x20) return false;
    return true;
}

std::string ListaHex(const std::string& d) {
    std::string r;
    char b[4];
    for (std::size_t i = 0; i < d.size(); ++i) {
        std::snprintf(b, sizeof b, i ? ",%02x" : "%02x", static_cast<unsigned char>(d[i]));
        r += b;
    }
    return r;
}

std::string LinhaValor(const TValorArquivo& v) {
    std::string r = v.nome.empty() ? "@" : "\"" + Escapa(v.nome) + "\"";
    r += '=';
    char b[32];
    if (v.tipo == 1 && CabeEmAspas(v.dados)) {
        r += "\"" + Escapa(v.dados.substr(0, v.dados.size() - 1)) + "\"";
    } else if (v.tipo == 4 && v.dados.size() == 4) {
        std::uint32_t n = 0;
        for (int i = 3; i >= 0; --i) n = n << 8 | static_cast<unsigned char>(v.dados[i]);
        std::snprintf(b, sizeof b, "dword:%08x", n);
        r += b;
    } else if (v.tipo == 3) {
        r += "hex:" + ListaHex(v.dados);
    } else {
        std::snprintf(b, sizeof b, "hex(%x):", v.tipo);
        r += b + ListaHex(v.dados);
    }
    return r;
}

// The key itself or anything below it.
bool EstaDentro(const std::string& identidade, const std::string& de) {
    if (de.empty()) return true;
    return identidade.size() >= de.size() && identidade.compare(0, de.size(), de) == 0 &&
           (identidade.size() == de.size() || identidade[de.size()] == '\\');
}

}  // namespace

std::vector<std::string> PartesDaChave(std::string_view caminho) {
    std::vector<std::string> partes;
    std::size_t pos = 0;
    while (pos <= caminho.size()) {
        std::size_t barra = caminho.find('\\', pos);
        if (barra == std::string_view::npos) barra = caminho.size();
        if (barra > pos) partes.emplace_back(caminho.substr(pos, barra - pos));
        pos = barra + 1;
    }
    return partes;
}

std::string JuntaPartes(const std::vector<std::string>& partes) {
    std::string r;
    for (const auto& p : partes) r += (r.empty() ? "" : "\\") + p;
    return r;
}

std::string IdentidadeDe(const std::vector<std::string>& partes) { return MaiusculasAnsi(JuntaPartes(partes)); }

TValorArquivo* TChaveArquivo::Valor(const std::string& nome) {
    const std::string procurado = MaiusculasAnsi(nome);
    for (auto& v : valores)
        if (MaiusculasAnsi(v.nome) == procurado) return &v;
    return nullptr;
}

TDocumentoReg TDocumentoReg::Interpreta(std::string_view texto, const std::string& arquivo) {
    TDocumentoReg doc;
    const auto linhas = LinhasLogicas(texto);
    if (linhas.empty()) return doc;
    if (linhas[0].texto != kCabecalho) Falha(arquivo, linhas[0].numero, "missing REGEDIT4 header");

    TChaveArquivo* atual = nullptr;
    for (std::size_t i = 1; i < linhas.size(); ++i) {
        const std::string& s = linhas[i].texto;
        const int n = linhas[i].numero;
        if (s[0] == '[') {
            if (s.back() != ']') Falha(arquivo, n, "key line without closing ']'");
            std::string_view nome = std::string_view(s).substr(1, s.size() - 2);
            if (!nome.empty() && nome[0] == '-') Falha(arquivo, n, "key removal lines are not supported");
            std::size_t barra = nome.find('\\');
            if (MaiusculasAnsi(nome.substr(0, barra)) != kRaiz) Falha(arquivo, n, "key outside HKEY_LOCAL_MACHINE");
            auto partes = PartesDaChave(barra == std::string_view::npos ? std::string_view() : nome.substr(barra + 1));
            atual = &doc.GaranteNoFim(partes);
        } else if (s[0] == '"' || s[0] == '@') {
            if (!atual) Falha(arquivo, n, "value line outside any key");
            TValorArquivo v = LeValor(s, arquivo, n);
            // A repeated name replaces the data, as importing the file would.
            if (TValorArquivo* existente = atual->Valor(v.nome)) {
                existente->tipo = v.tipo;
                existente->dados = std::move(v.dados);
            } else {
                atual->valores.push_back(std::move(v));
            }
        } else if (s == kCabecalho) {
            Falha(arquivo, n, "repeated REGEDIT4 header");
        } else {
            Falha(arquivo, n, "line not understood");
        }
    }
    return doc;
}

std::string TDocumentoReg::Texto() const {
    std::string t = std::string(kCabecalho) + "\r\n\r\n";
    for (const auto& k : chaves_) {
        t += "[";
        t += kRaiz;
        for (const auto& p : k.partes) t += "\\" + p;
        t += "]\r\n";
        for (const auto& v : k.valores) t += LinhaValor(v) + "\r\n";
        t += "\r\n";
    }
    return t;
}

TChaveArquivo* TDocumentoReg::Procura(const std::vector<std::string>& partes) {
    const std::string id = IdentidadeDe(partes);
    for (auto& k : chaves_)
        if (k.identidade == id) return &k;
    return nullptr;
}

TChaveArquivo& TDocumentoReg::GaranteNoFim(const std::vector<std::string>& partes) {
    if (partes.empty() && !Procura(partes)) chaves_.push_back({{}, "", {}});
    // Parents a deeper key implies get their own sections, as regedit writes.
    std::vector<std::string> grafia;
    for (const auto& parte : partes) {
        grafia.push_back(parte);
        if (const TChaveArquivo* k = Procura(grafia))
            grafia = k->partes;  // an existing key keeps its creator's spelling
        else
            chaves_.push_back({grafia, IdentidadeDe(grafia), {}});
    }
    return *Procura(partes);
}

TChaveArquivo& TDocumentoReg::Garante(const std::vector<std::string>& partes) {
    if (partes.empty() && !Procura(partes)) chaves_.insert(chaves_.begin(), TChaveArquivo{{}, "", {}});
    std::vector<std::string> grafia;
    for (const auto& parte : partes) {
        const std::string pai = IdentidadeDe(grafia);
        grafia.push_back(parte);
        if (const TChaveArquivo* k = Procura(grafia)) {
            grafia = k->partes;
            continue;
        }
        std::size_t pos = chaves_.size();
        if (!pai.empty()) {
            for (std::size_t i = 0; i < chaves_.size(); ++i)
                if (EstaDentro(chaves_[i].identidade, pai)) pos = i + 1;
        }
        chaves_.insert(chaves_.begin() + static_cast<std::ptrdiff_t>(pos),
                       TChaveArquivo{grafia, IdentidadeDe(grafia), {}});
    }
    return *Procura(partes);
}

bool TDocumentoReg::Remove(const std::vector<std::string>& partes) {
    if (partes.empty()) return false;
    const std::string id = IdentidadeDe(partes);
    const bool existia = Procura(partes) != nullptr;
    std::erase_if(chaves_, [&](const TChaveArquivo& k) { return EstaDentro(k.identidade, id); });
    return existia;
}

std::vector<std::string> TDocumentoReg::Filhas(const std::vector<std::string>& partes) const {
    const std::string id = IdentidadeDe(partes);
    std::vector<std::string> nomes;
    for (const auto& k : chaves_)
        if (k.partes.size() == partes.size() + 1 && EstaDentro(k.identidade, id)) nomes.push_back(k.partes.back());
    return nomes;
}
