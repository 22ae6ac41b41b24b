// The browser runtime's registration program, shipped as mozembed/xulrunner.
// With "--register-global" it records its own directory as the home of the
// runtime version this program ships, in the machine's registry store.
#include "Registro.h"
#include "untFuncao.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char* kUso =
    "usage: xulrunner --register-global\n"
    "Registers this browser runtime for the TEF manager: writes\n"
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\mozilla.org\\GRE\\1.9.1.7 with \"GreHome\" = this program's\n"
    "directory into the registry store ($TEF_REGISTRO, else /etc/orvex/tef.reg).\n";

std::string DiretorioProprio(const char* argv0) {
    // The directory as invoked (links kept), like the manager's own paths.
    const std::string caminho = CaminhoDoExecutavel(argv0);
    return caminho.substr(0, caminho.rfind('/'));
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
