// The HTTP and HTTPS listeners of tef-websistema and their routes.
#pragma once

#include "Websistema.h"

#include <memory>
#include <string>
#include <vector>

namespace websistema {

class TServidor {
public:
    // Opens the log and prepares the certificate. Raises std::runtime_error.
    explicit TServidor(TOpcoes opcoes);
    ~TServidor();
    TServidor(const TServidor&) = delete;
    TServidor& operator=(const TServidor&) = delete;

    // Binds and starts serving; returns the start lines ("HTTP ADDR:PORT",
    // "HTTPS ADDR:PORT", "SHA256 ..."). Raises std::runtime_error.
    std::vector<std::string> Inicia();
    // Releases held requests, stops both listeners and waits for them.
    void Para();

private:
    struct TImpl;
    std::unique_ptr<TImpl> impl_;
};

}  // namespace websistema
