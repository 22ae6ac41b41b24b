// A request from the commercial application through the whole manager on the
// virtual component layer, with real files: the poll reads req/intpos.001,
// the screen opens, the page reports a result and the manager answers in
// resp/. Whatever the request and the page hold, the request is consumed,
// every answer is a complete list of CR LF lines, nothing is left half-way in
// temp/, no handler fails, a sale that was acknowledged is answered, and
// polling goes on.
//
// Input: the bytes of req/intpos.001. A NUL ends a request's content, so the
// bytes after the first NUL are free: read as UTF-8 up to a second NUL, they
// are the page's result text (without a NUL the page approves the sale).
// Bytes after a second NUL are a schedule that replaces the usual one (read,
// show, page result, hide): each byte is a step, its low two bits the kind
// (0: wait 25 ms times the rest; 1: the page reports its result; 2: the
// commercial application drops the same request again; 3: the operator
// clicks "Cancelar TEF", "Nova Venda" or the administration item), at most
// 64 steps.
#include "ComponentesVirtuais.h"
#include "Verifica.h"
#include "untPrincipal.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

using fuzz::Visivel;
namespace fs = std::filesystem;

const std::u16string kPaginaAprova =
    u"000-000 = CRT\u00A7001-000 = #001#\u00A7002-000 = #002#\u00A7003-000 = 0\u00A7"
    u"022-000 = #016#\u00A7030-000 = Aprovada\u00A7999-999 = 0";

struct Gerente {
    explicit Gerente(const std::string& b) : B(b), app(B + "TefOrvex"), form(app), frm(app, form.Componentes()) {}
    std::string B;
    componentes::TAplicacaoVirtual app;
    componentes::TFormPrincipalVirtual form;
    TfrmPrincipal frm;
};

std::string Le(const std::string& arquivo) {
    std::ifstream f(arquivo, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

std::vector<std::string> Arquivos(const std::string& diretorio) {
    std::vector<std::string> r;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(diretorio, ec)) r.push_back(e.path().filename().string());
    return r;
}

// A list of lines as the commercial application reads it: every line ends in
// CR LF, no CR or LF stands alone, and no NUL cuts the content short.
void ConfereListaDeLinhas(const std::string& nome, const std::string& b) {
    for (std::size_t i = 0; i < b.size(); ++i) {
        VERIFICA(b[i] != '\0', nome + " has a NUL at " + std::to_string(i) + ": " + Visivel(b));
        if (b[i] == '\r') {
            VERIFICA(i + 1 < b.size() && b[i + 1] == '\n', nome + " has a lone CR at " + std::to_string(i) + ": " + Visivel(b));
            ++i;
        } else {
            VERIFICA(b[i] != '\n', nome + " has a lone LF at " + std::to_string(i) + ": " + Visivel(b));
        }
    }
    VERIFICA(b.empty() || (b.size() >= 2 && b.compare(b.size() - 2, 2, "\r\n") == 0),
             nome + " does not end with CR LF: " + Visivel(b));
}

void Limpa(const std::string& b) {
    std::error_code ec;
    for (const char* d : {"req", "resp", "temp", "debug", "LogErro.txt"}) fs::remove_all(b + d, ec);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* dados, std::size_t tamanho) {
    const std::string pedido(reinterpret_cast<const char*>(dados), tamanho);
    const std::size_t nul = pedido.find('\0');
    const std::size_t nul2 = nul == std::string::npos ? std::string::npos : pedido.find('\0', nul + 1);
    const std::u16string pagina =
        nul == std::string::npos ? kPaginaAprova
                                 : Utf8ParaUtf16(pedido.substr(nul + 1, nul2 == std::string::npos ? nul2 : nul2 - nul - 1));
    const bool temAgenda = nul2 != std::string::npos;
    const std::string agenda = temAgenda ? pedido.substr(nul2 + 1, 64) : std::string();

    // A new manager for every input, so a failure replays alone; the
    // directory is reused.
    const std::string& B = fuzz::DiretorioDeTrabalho();
    Limpa(B);
    Gerente g(B);
    g.frm.PreparaDiretorios();
    CriaDiretorio(B + "debug");  // the trace on: it records every request
    g.frm.FUrl = "http://127.0.0.1:9/";
    g.frm.FLojCodigo = 1;
    g.frm.FUsuLogin = "operador";
    g.frm.FUsuSenha = "1234";

    // As at the end of startup: the window hides after 2 s, polling runs.
    g.form.Janela.Show();
    g.form.tmOculta->SetEnabled(true);
    g.form.tmVerifica->SetEnabled(true);
    g.app.Avanca(2000);
    VERIFICA(!g.form.Janela.Visible(), "the window did not go to the tray at startup");

    SalvaTexto(B + "req/intpos.001", pedido);
    if (!temAgenda) {
        g.app.Avanca(500);  // the poll reads it
        g.app.Avanca(300);  // a screen opens, its page loads
        g.form.GeckoBrowser1.Canal = pagina;
        g.app.Avanca(500);   // the channel is read
        g.app.Avanca(1500);  // after an answer the window goes back to the tray
    } else {
        for (unsigned char passo : agenda) {
            const int resto = passo >> 2;
            switch (passo & 3) {
            case 0: g.app.Avanca(25 * resto); break;
            case 1: g.form.GeckoBrowser1.Canal = pagina; break;
            case 2: SalvaTexto(B + "req/intpos.001", pedido); break;
            default:
                // As the window runs a click: inside the exception reporter.
                if (resto % 3 == 0) g.app.ExecutaHandler("SpeedButton1Click", g.form.Eventos.SpeedButton1Click);
                else if (resto % 3 == 1) g.app.ExecutaHandler("Restaurar1Click", g.form.Eventos.Restaurar1Click);
                else g.app.ExecutaHandler("Administrao1Click", g.form.Eventos.Administrao1Click);
            }
        }
        g.app.Avanca(3000);  // quiet: whatever is due runs
    }

    // ---- invariants -------------------------------------------------------------------
    VERIFICA(Arquivos(B + "req").empty(), "the request is still in req/");
    // temp/ holds no staging copy; an acknowledged sale or administration
    // that waits for its answer is on record.
    auto temp = Arquivos(B + "temp");
    std::erase_if(temp, [](const std::string& n) { return n.rfind("transacao-", 0) == 0; });
    VERIFICA(temp.empty(), "files left in temp/: " + (temp.empty() ? std::string() : temp.front()));
    // One record of the newest answer written, and one of the open request.
    int respondidos = 0, abertos = 0;
    for (const auto& arquivo : ArquivosDeRegistro(B + "temp/")) {
        const auto r = LeRegistro(arquivo);
        VERIFICA(r.has_value(), arquivo + " is no record");
        ++(r->estado.rfind("respondida ", 0) == 0 ? respondidos : abertos);
    }
    VERIFICA(abertos == (g.frm.FAberta ? 1 : 0), "records of open transactions: " + std::to_string(abertos));
    VERIFICA(respondidos <= 1, "records of earlier answers left in temp/: " + std::to_string(respondidos));
    // A result a superseded page still hands over is logged, not an error.
    std::string log;
    for (const auto& linha : DivideLinhas(Le(B + "LogErro.txt")))
        if (linha.rfind("Result of the page of an earlier screen", 0) != 0) log += linha + "\n";
    VERIFICA(log.empty(), "a handler failed:\n" + log);
    VERIFICA(g.app.Reporter().Falhas().empty(), "a failure could not be logged: " + g.app.Reporter().Falhas().front());
    for (const auto& nome : Arquivos(B + "resp")) ConfereListaDeLinhas("resp/" + nome, Le(B + "resp/" + nome));
    VERIFICA(g.form.tmVerifica->Enabled(), "polling stopped");
    // Seconds after the last event: an open window reads its page, a window
    // in the tray does not.
    VERIFICA(!g.form.Janela.Visible() || g.form.tmCmds->Enabled(), "the window stays open but its page is not read");
    VERIFICA(g.form.Janela.Visible() || !g.form.tmCmds->Enabled(), "the page is read while the window is in the tray");
    VERIFICA(Le(B + "debug/Debug.txt").find("Tipo: Req\r\n") != std::string::npos, "the request was not traced");

    const bool temSts = fs::exists(B + "resp/intpos.sts");
    const bool tem001 = fs::exists(B + "resp/intpos.001");
    if (temSts) {
        const TLinhas ack = DivideLinhas(Le(B + "resp/intpos.sts"));
        VERIFICA(ack.size() >= 3 && ack.front().rfind("000-000 = ", 0) == 0 && ack[1].rfind("001-000 = ", 0) == 0 &&
                     ack.back() == "999-999 = 0",
                 "malformed acknowledgement " + Visivel(TextoLinhas(ack)));
        // A sale or administration acknowledged is answered, unless the page
        // only sent a command.
        const bool abriuTela = ack.front() == "000-000 = CRT" || ack.front() == "000-000 = ADM";
        const bool paginaDeuResultado =
            !pagina.empty() && Utf16ParaCp1252(pagina).find("COMMAND_TEF") == std::string::npos;
        if (abriuTela && paginaDeuResultado && !temAgenda)
            VERIFICA(tem001, "acknowledged " + ack.front() + " but never answered; page " + Visivel(pagina));
    }
    if (tem001 && !temAgenda) {
        VERIFICA(!g.form.Janela.Visible() && g.form.JvTrayIcon1.Active(), "answered but the window stays open");
        VERIFICA(!g.form.tmCmds->Enabled(), "answered but the page channel is still polled");
    }
    return 0;
}
