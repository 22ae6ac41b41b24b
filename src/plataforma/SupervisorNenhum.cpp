// Windows has no such service manager here: standard error only.
#include "Supervisor.h"

#include <cstdio>

namespace plataforma::supervisor {

bool NoJornal() { return false; }

void Registra(int, const std::string& texto, const std::vector<std::string>&) {
    std::fprintf(stderr, "%s\n", texto.c_str());
    std::fflush(stderr);
}

void Notifica(const std::string&) {}

std::uint64_t IntervaloDoVigia() { return 0; }

}  // namespace plataforma::supervisor
