#include "PostadorQt.h"

#include "Postagem.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace componentes {

TPostadorQt::TPostadorQt(std::string diretorioPerfil) : perfil_(std::move(diretorioPerfil)) {}

TPostadorQt::~TPostadorQt() {
    *vivo_ = false;
    for (auto& t : linhas_)
        if (t.joinable()) t.join();
}

void TPostadorQt::Posta(const std::string& endereco, const TCampos& campos, int limiteMs,
                        std::function<void(const TRespostaHttp&)> continuacao) {
    // Threads that ended are let go.
    std::erase_if(linhas_, [](std::thread& t) { return !t.joinable(); });
    linhas_.emplace_back([endereco, campos, limiteMs, perfil = perfil_, vivo = vivo_,
                          continuacao = std::move(continuacao)]() mutable {
        TRespostaHttp r = PostaFormulario(endereco, campos, limiteMs, perfil);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [vivo, continuacao = std::move(continuacao), r = std::move(r)] {
                if (*vivo) continuacao(r);
            },
            Qt::QueuedConnection);
    });
}

TRespostaHttp TPostadorQt::PostaEEspera(const std::string& endereco, const TCampos& campos, int limiteMs) {
    return PostaFormulario(endereco, campos, limiteMs, perfil_);
}

}  // namespace componentes
