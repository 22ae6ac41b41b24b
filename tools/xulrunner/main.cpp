// The browser runtime's registration program, shipped as mozembed/xulrunner.
// With "--register-global" it records its own directory as the home of the
// runtime version this program ships, in the machine's registry store.
#include "Registro.h"
#include "untFuncao.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char* const kAjuda =
    "Uso: xulrunner --register-global\n"
    "     xulrunner --help | --version\n"
    "\n"
    "Registra este navegador para o gerenciador TEF: grava a chave\n"
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\mozilla.org\\GRE\\1.9.1.7 com \"GreHome\" = o diret\xC3\xB3rio deste\n"
    "programa no arquivo de configura\xC3\xA7\xC3\xA3o ($TEF_REGISTRO, sen\xC3\xA3o /etc/orvex/tef.reg).\n"
    "O gerenciador o executa no in\xC3\xAD" "cio quando o registro falta.\n"
    "\n"
    "Op\xC3\xA7\xC3\xB5" "es:\n"
    "  --register-global  grava o registro\n"
    "  -h, --help         esta ajuda\n"
    "  --version          a vers\xC3\xA3o\n"
    "\n"
    "C\xC3\xB3" "digos de sa\xC3\xAD" "da:\n"
    "  0  registrado; tamb\xC3\xA9m --help e --version\n"
    "  1  o registro n\xC3\xA3o p\xC3\xB4" "de ser gravado\n"
    "  2  uso incorreto\n";

const char* const kUsoCurto = "Uso: xulrunner --register-global | --help | --version";

std::string DiretorioProprio(const char* argv0) {
    // The directory as invoked (links kept), like the manager's own paths.
    const std::string caminho = CaminhoDoExecutavel(argv0);
    return caminho.substr(0, caminho.rfind('/'));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kAjuda, stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("xulrunner %s\n", TEF_VERSAO_TEXTO);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (argc != 2 || std::strcmp(argv[1], "--register-global") != 0) {
        std::fprintf(stderr, "xulrunner: %s%s\n%s\nVeja: xulrunner --help\n",
                     argc < 2 ? "falta --register-global" : argc > 2 ? "argumentos a mais: " : "op\xC3\xA7\xC3\xA3o desconhecida: ",
                     argc == 2 ? argv[1] : argc > 2 ? argv[argc - 1] : "", kUsoCurto);
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
