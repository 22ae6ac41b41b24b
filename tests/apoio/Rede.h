// Test support for the HTTP client and the reference web system: a binary
// body, short client bounds, test certificates from the openssl command line
// and tef-websistema as a child process.
#pragma once

#include "Ambiente.h"
#include "ClienteHttp.h"

#include <sys/types.h>

#include <string>
#include <vector>

// 200 KB with plenty of NULs: many write callbacks, and no text assumptions.
const std::string& Binario();

// Short client bounds, so a silent server costs about a second.
componentes::TOpcoesClienteHttp Curtas();

// Makes certificates in d with the openssl command line (throws
// std::runtime_error with its output when that fails): a test CA "ca", a
// second CA "ca2" nobody trusts, and server certificates "bom" (127.0.0.1 and
// localhost, by ca), "outro" (otherhost only, by ca) and "deca2" (127.0.0.1
// and localhost, by ca2); each as <name>.pem and <name>.key. Then runs `mais`,
// further shell lines that may use $chave and the functions ac and emite.
void GeraCertificados(const TDiretorioTemporario& d, const std::string& mais = "");

// tef-websistema (the program at `programa`) as a child process; its start
// lines name its ports.
class TWebsistema {
public:
    TWebsistema(const std::string& programa, const std::vector<std::string>& args);
    ~TWebsistema();
    TWebsistema(const TWebsistema&) = delete;
    TWebsistema& operator=(const TWebsistema&) = delete;

    // Killing it resets every connection it holds open.
    void Para();

    // The text after "<prefixo> " in the start lines; waits at most 10 s.
    std::string Linha(const std::string& prefixo);

    // The port of "HTTPS 127.0.0.1:P".
    std::string PortaHttps();

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    std::string saida_;
};
