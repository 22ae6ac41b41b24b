// What a chain's monitoring and provisioning ask of an installation, with no
// display and no running manager needed: the status report, the removal of
// a dead manager's marker, and writing the configuration store from answers
// given beforehand. Also the status file the running manager keeps for the
// report.
#pragma once

#include <cstddef>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace servico {

// What the running manager tells about itself; texts in UTF-8.
struct TEstado {
    long pid = 0;
    std::string inicio;        // local date and time of its start, "YYYY-MM-DD HH:MM:SS"
    std::size_t pendentes = 0;  // answers that could not be written yet
    std::string ultimoErro;    // the first line of the last error log entry
    std::string ultimoErroEm;  // when it was written
    std::string recuperacao;   // why a crash would now lose an open request; empty while recovery works
};

// temp/estado-gerente.txt of the installation (b: its directory, with "/").
std::string ArquivoEstado(const std::string& b);
// Replaced in one step; raises on failure.
void GravaEstado(const std::string& b, const TEstado& estado);
std::optional<TEstado> LeEstado(const std::string& b);
// "YYYY-MM-DD HH:MM:SS" of the local clock.
std::string AgoraTexto();

// A monitoring plugin's answer: 0 OK, 1 warning, 2 critical, 3 unknown, and
// one line of text with the figures after "|".
struct TRelatorio {
    int codigo = 3;
    std::string texto;
};
TRelatorio RelatorioDeEstado(const std::string& b);

// Removes resp/Ativo.001 and resp/ativo.001 when no manager holds the
// installation (after a crash, before systemd starts it again); with a
// manager running nothing is touched. 0, or non-zero when a file stays.
int Limpa(const std::string& b, std::string& mensagem);

// Four lines of UTF-8 text: the web system's address (empty: the production
// address), the store code, the login and the password, in plain text. They
// are all checked before anything is written, then the store gets them with
// login and password in their stored form. 0, or an exit status of the
// program (saida::) with the reason in mensagem.
int Configura(std::istream& entrada, std::string& mensagem);

// What the command line asks for. Anything else is refused before the
// program touches a window, a display or the store.
enum class TModo { Gerente, Servico, Estado, Limpa, Configura, Ajuda, Versao, Erro };
struct TLinhaDeComando {
    TModo modo = TModo::Gerente;
    std::string erro;  // for Erro: what was not understood (UTF-8)
};
// The arguments after the program's name: nothing, or one of "/CONFIG" (any
// letter case), "--servico", "--estado", "--limpa", "--configura";
// "--help", "-h" or "--version" anywhere among known ones.
TLinhaDeComando LeArgumentos(const std::vector<std::string>& argumentos);
// The one line that sums the usage up, for a refused command line.
extern const char* const kUsoCurto;

}  // namespace servico
