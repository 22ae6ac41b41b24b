// What runs the manager as a service (systemd) and its journal: the one
// place that speaks to them. The controller never calls this; the program
// entry passes its events on. On a desktop and on Windows every call is
// harmless.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plataforma::supervisor {

// Whether standard error is the journal itself (JOURNAL_STREAM names it).
bool NoJornal();
// One entry at the priority (3 error, 4 warning, 6 info), under the
// manager's name, with extra fields ("NAME=value"). Without the journal, the
// text alone on standard error.
void Registra(int prioridade, const std::string& textoUtf8, const std::vector<std::string>& campos = {});
// A notification for the service manager ("READY=1", "WATCHDOG=1",
// "STOPPING=1", "STATUS=..."); nothing when none waits for it.
void Notifica(const std::string& estado);
// The interval of the service manager's watchdog, in microseconds; 0 when
// there is none.
std::uint64_t IntervaloDoVigia();

}  // namespace plataforma::supervisor
