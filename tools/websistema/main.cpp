// tef-websistema: the reference payment web system on loopback. See
// Websistema.h for the page and its channel, --ajuda for the options.
#include "Servidor.h"

#include <pthread.h>

#include <csignal>
#include <iostream>

int main(int argc, char** argv) {
    using namespace websistema;
    TOpcoes opcoes;
    try {
        opcoes = LeOpcoes(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const EUsoIncorreto& e) {
        std::cerr << "tef-websistema: " << e.what() << "\nVeja: tef-websistema --ajuda\n";
        return 2;
    }
    if (opcoes.ajuda) {
        std::cout << TextoAjuda();
        return 0;
    }

    // Clients that give up mid-transfer (timeouts, cut downloads) must not
    // kill the server.
    std::signal(SIGPIPE, SIG_IGN);
    // Blocked before any thread exists, so every thread inherits the mask and
    // only sigwait below receives them.
    sigset_t sinais;
    sigemptyset(&sinais);
    sigaddset(&sinais, SIGTERM);
    sigaddset(&sinais, SIGINT);
    pthread_sigmask(SIG_BLOCK, &sinais, nullptr);

    try {
        TServidor servidor(std::move(opcoes));
        for (const auto& linha : servidor.Inicia()) std::cout << linha << std::endl;
        int sinal = 0;
        sigwait(&sinais, &sinal);
        servidor.Para();
    } catch (const std::exception& e) {
        std::cerr << "tef-websistema: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
