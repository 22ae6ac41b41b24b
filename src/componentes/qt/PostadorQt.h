// The web system's confirmation address from the desktop program: each post
// runs on a thread of its own and its answer comes back through the event
// loop, so nothing waits for the network.
#pragma once

#include "Componentes.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace componentes {

class TPostadorQt : public IPostador {
public:
    // The browser profile's directory: its cert_override.txt pins
    // certificates as it does for the page.
    explicit TPostadorQt(std::string diretorioPerfil);
    // Answers of posts still running are dropped.
    ~TPostadorQt() override;
    TPostadorQt(const TPostadorQt&) = delete;
    TPostadorQt& operator=(const TPostadorQt&) = delete;

    void Posta(const std::string& endereco, const TCampos& campos, int limiteMs,
               std::function<void(const TRespostaHttp&)> continuacao) override;
    TRespostaHttp PostaEEspera(const std::string& endereco, const TCampos& campos, int limiteMs) override;

private:
    std::string perfil_;
    std::shared_ptr<bool> vivo_ = std::make_shared<bool>(true);
    std::shared_ptr<std::atomic<int>> ativos_ = std::make_shared<std::atomic<int>>(0);
};

}  // namespace componentes
