#include "UsuarioComum.h"

#include <cstdio>
#include <gtest/gtest.h>

#ifdef _WIN32
// No all-powerful user to step down from: the body runs as it is.
bool ComoUsuarioComum(const std::function<void()>& corpo, std::string&) {
    corpo();
    return !::testing::Test::HasFailure();
}
#else
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

bool ComoUsuarioComum(const std::function<void()>& corpo, std::string& motivo) {
    if (::geteuid() != 0) {
        corpo();
        return !::testing::Test::HasFailure();
    }
    std::fflush(nullptr);
    const pid_t filho = ::fork();
    if (filho < 0) {
        motivo = "fork failed";
        return false;
    }
    if (filho == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
        corpo();
        std::fflush(nullptr);
        // _exit: the parent's temporary directories are not the child's to remove.
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int estado = 0;
    while (::waitpid(filho, &estado, 0) < 0) {
    }
    if (WIFEXITED(estado) && WEXITSTATUS(estado) == 0) return true;
    motivo = WIFEXITED(estado) && WEXITSTATUS(estado) == 3 ? "could not become nobody"
                                                            : "the body failed as nobody (see above)";
    return false;
}
#endif
