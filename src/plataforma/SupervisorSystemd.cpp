// The service manager and the journal through libsystemd, when the build
// has it; otherwise standard error only.
#include "Supervisor.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#ifdef TEF_COM_SYSTEMD
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>
#endif

namespace plataforma::supervisor {

bool NoJornal() {
    // "device:inode" of the journal's stream, as systemd hands it to the
    // service; a redirected standard error is no longer it.
    const char* jornal = std::getenv("JOURNAL_STREAM");
    if (jornal == nullptr || *jornal == '\0') return false;
    struct stat st{};
    if (::fstat(2, &st) != 0) return false;
    const std::string meu = std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
                            std::to_string(static_cast<unsigned long long>(st.st_ino));
    return meu == jornal;
}

void Registra(int prioridade, const std::string& texto, const std::vector<std::string>& campos) {
#ifdef TEF_COM_SYSTEMD
    if (NoJornal()) {
        std::vector<std::string> itens = {"MESSAGE=" + texto, "PRIORITY=" + std::to_string(prioridade),
                                          "SYSLOG_IDENTIFIER=TefOrvex"};
        itens.insert(itens.end(), campos.begin(), campos.end());
        std::vector<iovec> v;
        for (auto& i : itens) v.push_back({i.data(), i.size()});
        if (sd_journal_sendv(v.data(), static_cast<int>(v.size())) >= 0) return;
    }
#else
    (void)campos;
#endif
    // Without the native protocol, a prefix gives the line its priority
    // where standard error is the journal.
    const std::string prefixo = NoJornal() ? "<" + std::to_string(prioridade) + ">" : "";
    std::string linha;
    for (char c : texto) {
        linha += c;
        if (c == '\n') linha += prefixo;
    }
    std::fprintf(stderr, "%s%s\n", prefixo.c_str(), linha.c_str());
    std::fflush(stderr);
}

void Notifica(const std::string& estado) {
#ifdef TEF_COM_SYSTEMD
    (void)sd_notify(0, estado.c_str());
#else
    (void)estado;
#endif
}

std::uint64_t IntervaloDoVigia() {
#ifdef TEF_COM_SYSTEMD
    uint64_t us = 0;
    if (sd_watchdog_enabled(0, &us) > 0) return us;
#endif
    return 0;
}

}  // namespace plataforma::supervisor
