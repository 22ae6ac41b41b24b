// Where the payment web system lives. One place for its addresses.
#pragma once

#include <cstdlib>
#include <string>

namespace servidor {

// The service's domain: a configured address inside it (and not a homologation
// or release address) is reduced to the production base address.
inline const std::string SufixoDominio = ".orvexpay.com.br";

// The production base address: secure scheme and host only, no trailing "/".
inline const std::string BaseProducaoPadrao = "https://tef.orvexpay.com.br";

// TEF_PRODUCAO may replace the production base address, for private
// deployments and tests.
inline std::string BaseProducao() {
    const char* e = std::getenv("TEF_PRODUCAO");
    if (e == nullptr || *e == '\0') return BaseProducaoPadrao;
    std::string base = e;
    while (!base.empty() && base.back() == '/') base.pop_back();
    return base;
}

// Built-in credentials of the homologation server, in stored form only
// (Cifra gives the plain text).
inline const std::string LoginHomologacaoCifrado = "\x5B\x62\x60\x62\x5F\x62\x5A\x54";
inline const std::string SenhaHomologacaoCifrada = "\x67\x58\x66\x67\x58\x24\x25\x26";

inline std::string BaseHomologacao() { return BaseProducao() + "/homol/"; }

}  // namespace servidor
