// The operator's words for what went wrong. The manager's own error messages
// are technical texts (many of them English, as the error log has always
// held them); boxes and the journal get these Portuguese texts instead:
// what failed, why in words, and what to do. Texts are Windows-1252.
#pragma once

#include "Excecoes.h"
#include "Plataforma.h"

#include <string>

namespace mensagens {

// The system's reason in words beside its own text: "permissão negada
// (Permission denied)"; the system's text alone for the other kinds.
std::string Motivo(int codigo);

// What the user needs of a path, and the advice that fits its owner,
// group and mode: join the group where the group has the access (never the
// group root), else who must change the group or the mode, and how.
enum class TAcesso { Leitura, Gravacao };
std::string ConselhoDeAcesso(const std::string& usuario, const plataforma::TDono& dono, const std::string& caminho,
                             TAcesso acesso, bool diretorio);

// The operator's text for an error: ParaOOperador when the error carries
// one, else a Portuguese text built from the known technical messages
// (files, the configuration store, numbers, input/output); empty when the
// message is not one of them (it is then shown as it is).
std::string ParaOOperador(const Exception& e);

// How the configuration is written on this installation: the package's
// question (dpkg-reconfigure) on a till installed from it, and the
// parameters dialog of the executable given.
std::string ComandoDeConfiguracao(const std::string& executavel);

// The reason a page could not be loaded, in words: the browser's network,
// security and HTTP failures a till meets. domain: "net" for the browser's
// own error codes (negative), "http" for a status code.
std::string MotivoDeCarga(const std::string& dominio, int codigo);

}  // namespace mensagens
