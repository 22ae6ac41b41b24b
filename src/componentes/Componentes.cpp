#include "Componentes.h"

#include "Mensagens.h"

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

namespace {
void NaSaidaDeErro(const std::string& textoCp1252) {
    std::fprintf(stderr, "%s\n", Cp1252ParaUtf8(SubstituiTodos(textoCp1252, "\r\n", "\n")).c_str());
    std::fflush(stderr);
}
}  // namespace

void TReporterExcecao::Relata(const TRelatorioExcecao& relatorio) {
    try {
        if (notificacao_) {
            notificacao_(relatorio);
            return;
        }
    } catch (const std::exception& e) {
        // The error log itself failed: keep both texts where they can be seen.
        falhas_.push_back(relatorio.texto + "\r\nWhile reporting: " + MascaraSenha(e.what()));
        NaSaidaDeErro(falhas_.back());
        return;
    }
    falhas_.push_back(relatorio.texto);
    NaSaidaDeErro(relatorio.texto);
}

void TReporterExcecao::RelataExcecao(const std::string& nomeHandler, const std::exception& e,
                                     const TDataHora& agora) {
    TRelatorioExcecao r;
    r.handler = nomeHandler;
    r.mensagem = MascaraSenha(e.what());
    if (const auto* ex = dynamic_cast<const Exception*>(&e)) {
        r.causa = MascaraSenha(ex->Causa);
        r.paraOperador = ex->MostraAoOperador;
        r.aoOperador = MascaraSenha(mensagens::ParaOOperador(*ex));
        r.texto = MontaRelatorio(ex->ClassName(), r.mensagem, nomeHandler, agora);
        if (!r.causa.empty()) r.texto += "\r\nCause: " + r.causa;
    } else {
        r.texto = MontaRelatorio(typeid(e).name(), r.mensagem, nomeHandler, agora);
    }
    Relata(r);
}

bool TReporterExcecao::Executa(const std::string& nomeHandler, const std::function<void()>& handler,
                               const std::function<TDataHora()>& relogio) {
    try {
        handler();
        return true;
    } catch (const std::exception& e) {
        RelataExcecao(nomeHandler, e, relogio());
    } catch (...) {
        TRelatorioExcecao r;
        r.handler = nomeHandler;
        r.mensagem = "unknown error";
        r.texto = MontaRelatorio("unknown", r.mensagem, nomeHandler, relogio());
        Relata(r);
    }
    return false;
}

}  // namespace componentes
