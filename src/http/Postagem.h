// Form posts to the web system's confirmation address, over libcurl.
#pragma once

#include "Componentes.h"

#include <string>

namespace componentes {

// "name=value&..." with every byte but letters, digits and "-._~"
// percent-encoded (the values' Windows-1252 bytes as they are).
std::string CodificaFormulario(const TCampos& campos);

// One POST of the form, blocking, for at most limiteMs in all (connection,
// TLS and answer). TLS is checked as the page's is: the system's CAs (and
// TEF_CA_BUNDLE), or, for a host and port the browser profile's
// cert_override.txt names, exactly the certificate it pins there. Never
// raises: the failure is in the answer.
TRespostaHttp PostaFormulario(const std::string& endereco, const TCampos& campos, int limiteMs,
                              const std::string& diretorioPerfil);

}  // namespace componentes
