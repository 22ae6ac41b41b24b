// The page address of a screen, built from the request's fields and the
// configured credentials: whatever they hold, the query keeps exactly its
// eight keys and every value reaches the web system as it was, and the
// password mask hides the password and nothing else.
//
// Input: the field values separated by NUL bytes (a field never holds one:
// request lines end at a NUL and registry texts are read up to it), in the
// order login, password, coupon, CPF, amount, shop code, screen name, printer.
#include "ComponentesVirtuais.h"
#include "Verifica.h"
#include "untPrincipal.h"

#include <array>
#include <cstring>
#include <memory>

namespace {

using fuzz::Visivel;

constexpr const char* kBase = "https://tef.exemplo.com.br/sistema/";
constexpr std::array<const char*, 8> kChaves = {"tela",     "lojcodigo_logado", "usulogin_logado", "ususenha_logado",
                                                "num_cupom", "cpf",              "valor",           "imprime"};

struct Gerente {
    componentes::TAplicacaoVirtual app{"/nao/usado/TefOrvex"};
    componentes::TFormPrincipalVirtual form{app};
    TfrmPrincipal frm{app, form.Componentes()};
};

int ValorHex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;  // the encoder writes upper case only
}

// Strict percent-decoding: every byte outside the unreserved set must come
// as %XX.
bool Decodifica(std::string_view v, std::string& r) {
    r.clear();
    for (std::size_t i = 0; i < v.size(); ++i) {
        const char c = v[i];
        if (c == '%') {
            if (i + 2 >= v.size()) return false;
            const int a = ValorHex(v[i + 1]), b = ValorHex(v[i + 2]);
            if (a < 0 || b < 0) return false;
            r += static_cast<char>(a << 4 | b);
            i += 2;
        } else if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                   c == '.' || c == '_' || c == '~') {
            r += c;
        } else {
            return false;
        }
    }
    return true;
}

std::vector<std::string_view> Partes(std::string_view s, char sep) {
    std::vector<std::string_view> r;
    std::size_t inicio = 0;
    for (;;) {
        const std::size_t p = s.find(sep, inicio);
        r.push_back(s.substr(inicio, p == std::string_view::npos ? std::string_view::npos : p - inicio));
        if (p == std::string_view::npos) return r;
        inicio = p + 1;
    }
}

std::size_t Ocorrencias(std::string_view texto, std::string_view parte) {
    if (parte.empty()) return 0;
    std::size_t n = 0;
    for (std::size_t p = texto.find(parte); p != std::string_view::npos; p = texto.find(parte, p + 1)) ++n;
    return n;
}

// The values of the query, in order, after checking its shape.
std::vector<std::string> ValoresDaConsulta(const std::string& endereco) {
    const std::string inicio = std::string(kBase) + "modtef.php?";
    VERIFICA(endereco.compare(0, inicio.size(), inicio) == 0, "address does not start with the page: " + Visivel(endereco));
    const std::string_view consulta = std::string_view(endereco).substr(inicio.size());
    const auto pares = Partes(consulta, '&');
    VERIFICA(pares.size() == kChaves.size(),
             std::to_string(pares.size()) + " query items instead of 8 in " + Visivel(endereco));
    std::vector<std::string> valores;
    for (std::size_t i = 0; i < pares.size(); ++i) {
        const std::string chave = std::string(kChaves[i]) + "=";
        VERIFICA(pares[i].substr(0, chave.size()) == chave,
                 "item " + std::to_string(i) + " is not " + kChaves[i] + ": " + Visivel(pares[i]));
        valores.emplace_back(pares[i].substr(chave.size()));
    }
    return valores;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* dados, std::size_t tamanho) {
    static auto* g = new Gerente;  // lives for the whole run; only its fields change
    auto campos = Partes(std::string_view(reinterpret_cast<const char*>(dados), tamanho), '\0');
    campos.resize(8);
    TfrmPrincipal& f = g->frm;
    f.FUrl = kBase;
    f.FUsuLogin = std::string(campos[0]);
    f.FUsuSenha = std::string(campos[1]);
    f.FNumCupom = std::string(campos[2]);
    f.FCpf = std::string(campos[3]);
    f.FValorTexto = std::string(campos[4]);
    // The shop code: the text as a number, else its first bytes as one.
    if (const auto n = LeInteiro(std::string(campos[5]))) {
        f.FLojCodigo = *n;
    } else {
        std::uint32_t u = 0;
        if (!campos[5].empty()) std::memcpy(&u, campos[5].data(), std::min<std::size_t>(campos[5].size(), 4));
        f.FLojCodigo = static_cast<std::int32_t>(u);
    }
    const std::string tela = campos[6].empty() ? "Venda" : std::string(campos[6]);
    const bool ecf = !campos[7].empty() && (static_cast<unsigned char>(campos[7][0]) & 1);

    const std::string endereco = f.EnderecoTela(tela, ecf);
    for (unsigned char c : endereco)
        VERIFICA(c > 0x20 && c < 0x7F && c != '#', "byte " + std::to_string(c) + " in the address " + Visivel(endereco));
    const auto valores = ValoresDaConsulta(endereco);
    const std::array<std::string, 8> esperados = {tela,        std::to_string(f.FLojCodigo), f.FUsuLogin, f.FUsuSenha,
                                                  f.FNumCupom, f.FCpf,                       f.FValorTexto,
                                                  ecf ? "ecf" : "40"};
    for (std::size_t i = 0; i < valores.size(); ++i) {
        std::string utf8;
        VERIFICA(Decodifica(valores[i], utf8), std::string(kChaves[i]) + " is not percent-encoded: " + Visivel(valores[i]));
        VERIFICA(Utf8Valido(utf8), std::string(kChaves[i]) + " is not UTF-8 once decoded: " + Visivel(utf8));
        VERIFICA(Utf8ParaCp1252(utf8, '\x01') == esperados[i],
                 std::string(kChaves[i]) + " reads " + Visivel(Utf8ParaCp1252(utf8)) + " instead of " +
                     Visivel(esperados[i]));
    }
    // The browser gets the address in UTF-16: it is plain ASCII, unchanged.
    VERIFICA(Utf16ParaCp1252(Cp1252ParaUtf16(endereco)) == endereco, "address changed on its way to the browser");

    // The masked address: the same query with the password replaced.
    const std::string mascarado = MascaraSenha(endereco);
    const auto valoresMascarados = ValoresDaConsulta(mascarado);
    for (std::size_t i = 0; i < valores.size(); ++i) {
        if (std::strcmp(kChaves[i], "ususenha_logado") == 0) {
            VERIFICA(valoresMascarados[i] == (f.FUsuSenha.empty() ? "" : "***"),
                     "masked password reads " + Visivel(valoresMascarados[i]));
        } else {
            VERIFICA(valoresMascarados[i] == valores[i], std::string(kChaves[i]) + " changed by the mask: " +
                                                             Visivel(valores[i]) + " -> " +
                                                             Visivel(valoresMascarados[i]));
        }
    }
    const std::string senhaCodificada = valores[3];
    if (!senhaCodificada.empty())
        VERIFICA(Ocorrencias(mascarado, senhaCodificada) < Ocorrencias(endereco, senhaCodificada),
                 "the password is still in the masked address " + Visivel(mascarado));
    return 0;
}
