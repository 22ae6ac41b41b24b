#include "PostadorQt.h"

#include "Postagem.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <chrono>
#include <system_error>
#include <thread>

namespace componentes {

TPostadorQt::TPostadorQt(std::string diretorioPerfil) : perfil_(std::move(diretorioPerfil)) {}

TPostadorQt::~TPostadorQt() {
    *vivo_ = false;
    // A post still running is let finish for a moment, so that it does not
    // outlive the libraries it uses when the process ends.
    for (int i = 0; i < 300 && ativos_->load() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void TPostadorQt::Posta(const std::string& endereco, const TCampos& campos, int limiteMs,
                        std::function<void(const TRespostaHttp&)> continuacao) {
    const auto devolve = [vivo = vivo_](std::function<void(const TRespostaHttp&)> c, TRespostaHttp r) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [vivo, c = std::move(c), r = std::move(r)] {
                if (*vivo) c(r);
            },
            Qt::QueuedConnection);
    };
    try {
        // Each post ends by itself (its own time limit) and hands its answer
        // to the event loop; nothing waits for the thread.
        ++*ativos_;
        std::thread([endereco, campos, limiteMs, perfil = perfil_, devolve, continuacao, ativos = ativos_]() mutable {
            devolve(std::move(continuacao), PostaFormulario(endereco, campos, limiteMs, perfil));
            --*ativos;
        }).detach();
    } catch (const std::system_error& e) {
        --*ativos_;
        TRespostaHttp r;
        r.erro = std::string("no thread for the post: ") + e.what();
        devolve(std::move(continuacao), std::move(r));
    }
}

TRespostaHttp TPostadorQt::PostaEEspera(const std::string& endereco, const TCampos& campos, int limiteMs) {
    return PostaFormulario(endereco, campos, limiteMs, perfil_);
}

}  // namespace componentes
