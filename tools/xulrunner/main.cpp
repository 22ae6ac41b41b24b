// The browser runtime's registration program, shipped as mozembed/xulrunner.
// With "--register-global" it records its own directory as the home of the
// runtime version this program ships, in the machine's registry store.
#include "Registro.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

const char* kUso =
    "usage: xulrunner --register-global\n"
    "Registers this browser runtime for the TEF manager: writes\n"
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\mozilla.org\\GRE\\1.9.1.7 with \"GreHome\" = this program's\n"
    "directory into the registry store ($TEF_REGISTRO, else /etc/orvex/tef.reg).\n";

std::string DiretorioProprio(const char* argv0) {
    // The directory as invoked (links kept), like the manager's own paths.
    std::string caminho = argv0;
    if (caminho.empty() || caminho[0] != '/') {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd) != nullptr) caminho = std::string(cwd) + "/" + caminho;
    }
    std::string limpo;
    std::size_t i = 0;
    while (i < caminho.size()) {
        std::size_t j = caminho.find('/', i);
        if (j == std::string::npos) j = caminho.size();
        const std::string parte = caminho.substr(i, j - i);
        if (!parte.empty() && parte != ".") limpo += "/" + parte;
        i = j + 1;
    }
    return limpo.substr(0, limpo.rfind('/'));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || std::strcmp(argv[1], "--register-global") != 0) {
        std::fputs(kUso, stderr);
        return 2;
    }
    try {
        TRegistry reg;
        if (!reg.OpenKey("\\SOFTWARE\\mozilla.org\\GRE\\1.9.1.7", true)) throw ERegistryException("cannot open key");
        reg.WriteString("GreHome", DiretorioProprio(argv[0]));
        reg.CloseKey();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "xulrunner: %s\n", e.what());
        return 1;
    }
    return 0;
}
