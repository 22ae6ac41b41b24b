// The credential cipher: the stored form of a login or password must give
// back exactly the bytes typed, whatever they are.
#include "Verifica.h"
#include "untFuncao.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* dados, std::size_t tamanho) {
    const std::string x(reinterpret_cast<const char*>(dados), tamanho);
    const std::string guardado = Decifra(x);
    const std::string claro = Cifra(x);
    VERIFICA(Cifra(guardado) == x, "Cifra(Decifra(x)) != x for x = " + fuzz::Visivel(x));
    VERIFICA(Decifra(claro) == x, "Decifra(Cifra(x)) != x for x = " + fuzz::Visivel(x));
    VERIFICA(guardado.size() == x.size() && claro.size() == x.size(), "length changed for " + fuzz::Visivel(x));
    // The shift is never 0: no byte is stored as typed.
    for (std::size_t i = 0; i < x.size(); ++i)
        VERIFICA(guardado[i] != x[i] && claro[i] != x[i], "byte " + std::to_string(i) + " kept by the cipher");

    // Any key text gives a shift that is a real permutation of the bytes.
    const int d = DeslocamentoCifra(x);
    VERIFICA(d >= 1 && d <= 255, "shift " + std::to_string(d) + " for key " + fuzz::Visivel(x));
    const auto n = LeInteiro(x);
    const int esperado = (n && *n >= 1 && *n <= 255) ? *n : 13;
    VERIFICA(d == esperado, "shift " + std::to_string(d) + " for key " + fuzz::Visivel(x) + ", expected " +
                                std::to_string(esperado));
    return 0;
}
