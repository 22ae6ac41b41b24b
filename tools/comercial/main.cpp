// tef-comercial: see Comercial.h for the exit codes, --help for the usage.
#include "Comercial.h"

#include "Plataforma.h"

#include <atomic>
#include <clocale>
#include <iostream>

namespace {

std::atomic<bool> gInterrompido{false};

void AoInterromper() { gInterrompido = true; }

}  // namespace

int main(int argc, char** argv) {
    // Only the character set: numbers and messages stay independent of the locale.
    std::setlocale(LC_CTYPE, "");

    // The wait loop notices the flag within one polling interval.
    plataforma::AoInterromper(AoInterromper);

    comercial::TContexto ctx{std::cout, std::cerr, comercial::LocaleUtf8(), [] { return gInterrompido.load(); }};
    comercial::TOpcoes opcoes;
    try {
        opcoes = comercial::LeArgumentos(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const comercial::EUsoIncorreto& e) {
        comercial::MostraUsoIncorreto(std::cerr, e.what());
        return comercial::SaidaUsoIncorreto;
    }
    if (opcoes.ajuda) {
        std::cout << comercial::TextoAjuda();
        return 0;
    }
    if (opcoes.versao) {
        std::cout << "tef-comercial " TEF_VERSAO_TEXTO "\n";
        return 0;
    }
    const int codigo = opcoes.forma == "demo" ? comercial::Demo(opcoes, ctx) : comercial::Executa(opcoes, ctx);
    std::cout.flush();
    return codigo;
}
