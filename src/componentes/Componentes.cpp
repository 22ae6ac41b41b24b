#include "Componentes.h"

#include <cstdio>
#include <typeinfo>

namespace componentes {

std::string TReporterExcecao::MontaRelatorio(const std::string& classe, const std::string& mensagem,
                                             const std::string& nomeHandler, const TDataHora& agora) {
    char momento[64];
    std::snprintf(momento, sizeof momento, "%04d-%02d-%02d %02d:%02d:%02d.%03d", agora.ano, agora.mes,
                  agora.dia, agora.hora, agora.minuto, agora.segundo, agora.milissegundo);
    std::string r;
    r += "Exception: " + classe + "\r\n";
    r += "Message: " + mensagem + "\r\n";
    r += "Handler: " + nomeHandler + "\r\n";
    r += "Time: " + std::string(momento);
    return r;
}

void TReporterExcecao::Relata(const std::string& relatorio) {
    try {
        if (notificacao_) {
            notificacao_(relatorio);
            return;
        }
    } catch (const std::exception& e) {
        // The error log itself failed: keep both texts where they can be seen.
        falhas_.push_back(relatorio + "\r\nWhile reporting: " + e.what());
        std::fprintf(stderr, "%s\n", falhas_.back().c_str());
        return;
    }
    falhas_.push_back(relatorio);
    std::fprintf(stderr, "%s\n", relatorio.c_str());
}

void TReporterExcecao::Executa(const std::string& nomeHandler, const std::function<void()>& handler,
                               const std::function<TDataHora()>& relogio) {
    try {
        handler();
    } catch (const Exception& e) {
        std::string relatorio = MontaRelatorio(e.ClassName(), e.Message(), nomeHandler, relogio());
        if (!e.Causa.empty()) relatorio += "\r\nCause: " + e.Causa;
        Relata(relatorio);
    } catch (const std::exception& e) {
        Relata(MontaRelatorio(typeid(e).name(), e.what(), nomeHandler, relogio()));
    } catch (...) {
        Relata(MontaRelatorio("unknown", "unknown error", nomeHandler, relogio()));
    }
}

}  // namespace componentes
