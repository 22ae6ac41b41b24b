// tef-comercial: see Comercial.h for the exit codes, --help for the usage.
#include "Comercial.h"

#include <clocale>
#include <csignal>
#include <iostream>

namespace {

volatile std::sig_atomic_t gInterrompido = 0;

extern "C" void AoInterromper(int) { gInterrompido = 1; }

}  // namespace

int main(int argc, char** argv) {
    // Only the character set: numbers and messages stay independent of the locale.
    std::setlocale(LC_CTYPE, "");

    // No SA_RESTART: the wait loop notices the flag within one polling interval.
    struct sigaction sa{};
    sa.sa_handler = AoInterromper;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);

    comercial::TContexto ctx{std::cout, std::cerr, comercial::LocaleUtf8(), [] { return gInterrompido != 0; }};
    comercial::TOpcoes opcoes;
    try {
        opcoes = comercial::LeArgumentos(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const comercial::EUsoIncorreto& e) {
        std::cerr << "Uso incorreto: " << e.what() << "\nVeja: tef-comercial --help\n";
        return comercial::SaidaUsoIncorreto;
    }
    if (opcoes.ajuda) {
        std::cout << comercial::TextoAjuda();
        return 0;
    }
    const int codigo = opcoes.forma == "demo" ? comercial::Demo(opcoes, ctx) : comercial::Executa(opcoes, ctx);
    std::cout.flush();
    return codigo;
}
