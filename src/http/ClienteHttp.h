// The HTTP client of the browser profile's downloads, over libcurl with
// OpenSSL. One client keeps one connection cache and one cookie jar for its
// whole life, the way the web system expects a single session.
#pragma once

#include "Componentes.h"

#include <chrono>
#include <memory>
#include <string>

namespace componentes {

struct TOpcoesClienteHttp {
    // Giving up on a server that does not take the connection, TLS handshake
    // included.
    std::chrono::milliseconds limiteConexao{10000};
    // Giving up on a transfer that moves no data for this long (whole seconds:
    // libcurl's granularity).
    std::chrono::seconds limiteSemDados{30};
    // The system's trusted CAs, as a hashed directory. TEF_CA_BUNDLE (a PEM
    // file) is trusted in addition, for private deployments.
    std::string diretorioCa = "/etc/ssl/certs";
};

class TClienteHttpCurl : public IClienteHttp {
public:
    // Raises std::runtime_error when libcurl cannot be set up (never for the
    // network: Get reports that).
    explicit TClienteHttpCurl(TOpcoesClienteHttp opcoes = {});
    ~TClienteHttpCurl() override;
    TClienteHttpCurl(const TClienteHttpCurl&) = delete;
    TClienteHttpCurl& operator=(const TClienteHttpCurl&) = delete;

    // OnWorkBegin comes once the headers of a 2xx answer are in (Content-Length,
    // or 0 when the size is unknown); OnWork after each piece handed to
    // escreve; OnWorkEnd once after every transfer whose OnWorkBegin came,
    // success or failure. Answers of any other status fire no event and their
    // body is dropped. An exception from escreve or from an event aborts the
    // transfer and is raised here once libcurl has returned.
    bool Get(const std::string& endereco, const std::function<bool(const char*, std::size_t)>& escreve,
             const TEventosTransferencia& eventos) override;

    // Why the last Get failed ("" after a success), for the log.
    const std::string& UltimoErro() const;

private:
    struct TImpl;
    std::unique_ptr<TImpl> impl_;
};

}  // namespace componentes
