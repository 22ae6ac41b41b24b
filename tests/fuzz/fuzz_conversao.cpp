// Code-page conversions at the browser boundary, the split of a page result
// at "\xA7" and the password mask of texts that may carry the page address.
#include "Verifica.h"
#include "untFuncao.h"

#include <string_view>

namespace {

using fuzz::Visivel;

std::u16string ComoUtf16(std::string_view b) {
    // Pairs of bytes, little-endian; an odd last byte stands alone.
    std::u16string r;
    for (std::size_t i = 0; i + 1 < b.size(); i += 2)
        r += static_cast<char16_t>(static_cast<unsigned char>(b[i]) | static_cast<unsigned char>(b[i + 1]) << 8);
    if (b.size() % 2) r += static_cast<char16_t>(static_cast<unsigned char>(b.back()));
    return r;
}

bool TemSurrogataSolta(std::u16string_view t) {
    for (std::size_t i = 0; i < t.size(); ++i) {
        if (t[i] >= 0xD800 && t[i] <= 0xDBFF) {
            if (i + 1 < t.size() && t[i + 1] >= 0xDC00 && t[i + 1] <= 0xDFFF) {
                ++i;
                continue;
            }
            return true;
        }
        if (t[i] >= 0xDC00 && t[i] <= 0xDFFF) return true;
    }
    return false;
}

void CodigosDePagina(const std::string& x) {
    // Every Windows-1252 byte has a character: both round trips are exact.
    const std::u16string u16 = Cp1252ParaUtf16(x);
    VERIFICA(u16.size() == x.size(), "one UTF-16 unit per byte: " + Visivel(x));
    VERIFICA(Utf16ParaCp1252(u16) == x, "Windows-1252 -> UTF-16 -> Windows-1252 changed " + Visivel(x));
    const std::string u8 = Cp1252ParaUtf8(x);
    VERIFICA(Utf8Valido(u8), "Cp1252ParaUtf8 gave invalid UTF-8 for " + Visivel(x));
    VERIFICA(Utf8ParaCp1252(u8) == x, "Windows-1252 -> UTF-8 -> Windows-1252 changed " + Visivel(x));
    VERIFICA(Utf16ParaUtf8(u16) == u8, "the UTF-16 and UTF-8 paths disagree for " + Visivel(x));
    VERIFICA(Utf8ParaUtf16(u8) == u16, "UTF-8 -> UTF-16 of converted text differs for " + Visivel(x));

    // The same bytes read as UTF-8 from the outside world.
    const std::u16string deUtf8 = Utf8ParaUtf16(x);
    const std::string volta = Utf16ParaUtf8(deUtf8);
    VERIFICA(Utf8Valido(volta), "Utf16ParaUtf8 gave invalid UTF-8 for " + Visivel(x));
    if (Utf8Valido(x)) {
        VERIFICA(volta == x, "valid UTF-8 -> UTF-16 -> UTF-8 changed " + Visivel(x));
        // Through Windows-1252, what it can hold comes back; the rest is "?".
        const std::string cp = Utf8ParaCp1252(x, '?');
        VERIFICA(Utf16ParaCp1252(deUtf8, '?') == cp, "the UTF-8 and UTF-16 paths to Windows-1252 disagree");
    }
    const std::string cp = Utf8ParaCp1252(x, '\x01');
    VERIFICA(cp.size() <= x.size(), "Utf8ParaCp1252 grew " + Visivel(x));

    // The same bytes read as UTF-16 (a page's text may hold lone surrogates).
    const std::u16string w = ComoUtf16(x);
    const std::string w8 = Utf16ParaUtf8(w);
    VERIFICA(Utf8Valido(w8), "Utf16ParaUtf8 gave invalid UTF-8 for " + Visivel(w));
    if (!TemSurrogataSolta(w))
        VERIFICA(Utf8ParaUtf16(w8) == w, "UTF-16 -> UTF-8 -> UTF-16 changed " + Visivel(w));
    const std::string w1252 = Utf16ParaCp1252(w, '\x01');
    VERIFICA(w1252.size() <= w.size(), "Utf16ParaCp1252 grew " + Visivel(w));
    // Nothing replaced: every character had its byte, and the bytes give them back.
    if (w1252.find('\x01') == std::string::npos)
        VERIFICA(Cp1252ParaUtf16(w1252) == w, "Windows-1252 text of " + Visivel(w) + " reads back differently");
}

void DivisaoDoResultado(const std::string& x) {
    static const std::string sep = "\xA7";
    const TLinhas itens = Divide(x, sep);
    if (x.empty()) {
        VERIFICA(itens.empty(), "an empty result gave items");
        return;
    }
    std::string junto;
    std::size_t separadores = 0;
    for (std::size_t i = 0; i < itens.size(); ++i) {
        VERIFICA(itens[i].find(sep) == std::string::npos, "an item kept the separator: " + Visivel(itens[i]));
        if (i) junto += sep;
        junto += itens[i];
    }
    for (char c : x) separadores += c == sep[0];
    const bool terminaNoSeparador = x.back() == sep[0];
    if (terminaNoSeparador) junto += sep;
    VERIFICA(junto == x, "the items do not rebuild the page result " + Visivel(x));
    VERIFICA(itens.size() == separadores + (terminaNoSeparador ? 0 : 1),
             std::to_string(itens.size()) + " items for " + std::to_string(separadores) + " separators");
}

constexpr std::string_view kChave = "ususenha_logado=";
constexpr std::string_view kFimDoValor = "&# \t\r\n\"'<>";

// After every key (any letter case) the masked text has either "***" or
// nothing before the end of the value: no byte of a password is left.
void Mascara(const std::string& x) {
    const std::string m = MascaraSenha(x);
    const std::string minusculo = MinusculasAnsi(m);
    std::size_t chaves = 0;
    for (std::size_t pos = minusculo.find(kChave); pos != std::string::npos;
         pos = minusculo.find(kChave, pos + 1)) {
        ++chaves;
        std::size_t valor = pos + kChave.size();
        if (m.compare(valor, 3, "***") == 0) valor += 3;
        VERIFICA(valor == m.size() || kFimDoValor.find(m[valor]) != std::string_view::npos,
                 "password bytes left after a key at " + std::to_string(pos) + " in " + Visivel(m) +
                     " (input " + Visivel(x) + ")");
    }
    std::size_t chavesNaEntrada = 0;
    const std::string minEntrada = MinusculasAnsi(x);
    for (std::size_t pos = minEntrada.find(kChave); pos != std::string::npos; pos = minEntrada.find(kChave, pos + 1))
        ++chavesNaEntrada;
    VERIFICA(chaves <= chavesNaEntrada, "the mask made new keys in " + Visivel(x));
    if (chavesNaEntrada == 0) VERIFICA(m == x, "a text without a password was changed: " + Visivel(x));
    VERIFICA(MascaraSenha(m) == m, "masking twice changed " + Visivel(m));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* dados, std::size_t tamanho) {
    const std::string x(reinterpret_cast<const char*>(dados), tamanho);
    CodigosDePagina(x);
    DivisaoDoResultado(x);
    Mascara(x);
    return 0;
}
