// The manager's program entry: one instance per user, the browser runtime
// checked and registered, then the main window and the message loop.
#include "AplicacaoQt.h"
#include "FormPrincipalQt.h"
#include "NavegadorQt.h"
#include "untPrincipal.h"

#include "ClienteHttp.h"
#include "untFuncao.h"

#include "Plataforma.h"

#include <QApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef _WIN32
// The four version numbers, read back from the running file by VersaoArquivo
// (on Windows the version resource carries them).
__attribute__((section(".tef_versao"), used)) static const std::uint32_t kVersao[4] = {TEF_VERSAO};
#endif

namespace {

const std::string kTitulo = "Tef Marel";

const char* const kAjuda =
    "Uso: TefOrvex [/CONFIG]\n"
    "     TefOrvex --help | --version\n"
    "\n"
    "Gerenciador TEF: recolhe os pedidos do aplicativo comercial em req/, confirma e\n"
    "responde em resp/ e mostra a página do sistema web de pagamento numa janela\n"
    "sempre visível. Entre as vendas fica na área de notificação.\n"
    "\n"
    "  /CONFIG      (primeiro argumento, em qualquer caixa) abre os Parâmetros do\n"
    "               Sistema antes de começar\n"
    "  -h, --help   esta ajuda\n"
    "  --version    a versão gravada no executável\n"
    "\n"
    "req/, resp/, temp/, debug/, LogErro.txt e o perfil do navegador\n"
    "(mozembed/Profiles/default) ficam no diretório do executável, tal como foi\n"
    "chamado. SIGTERM ou SIGINT fecham como \"Fechar Sistema\".\n"
    "\n"
    "Ambiente:\n"
    "  TEF_REGISTRO   o arquivo de configuração (padrão /etc/orvex/tef.reg)\n"
    "  TEF_LPT1       a impressora de comprovantes (padrão /dev/lp0)\n"
    "  TEF_PRODUCAO   substitui o endereço de produção\n"
    "  TEF_CA_BUNDLE  um arquivo de CAs a mais para os downloads do perfil\n"
    "\n"
    "Veja: man TefOrvex\n";

// --help and --version answer on a terminal, with no display and before the
// toolkit sees the arguments; -1 when neither was asked for.
int RespondeAjudaOuVersao(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kAjuda, stdout);
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::string versao = VersaoArquivo(CaminhoDoExecutavel(argv[0]));
#ifndef _WIN32
            if (versao.empty())  // the file cannot be read (execute-only): the same numbers, from memory
                versao = std::to_string(kVersao[0]) + "." + std::to_string(kVersao[1]) + "." +
                         std::to_string(kVersao[2]) + "." + std::to_string(kVersao[3]);
#endif
            std::printf("TefOrvex %s\n", versao.c_str());
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
    }
    return -1;
}

void PreparaChromium() {
    if (std::getenv("QTWEBENGINE_CHROMIUM_FLAGS") != nullptr) return;
    std::string flags = "--disable-gpu";
    if (plataforma::Administrador()) flags += " --no-sandbox";  // Chromium refuses its sandbox as root
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (const int rc = RespondeAjudaOuVersao(argc, argv); rc >= 0) return rc;
    // The first argument as typed: the toolkit removes its own options from
    // argv, which must not move "/CONFIG" into first place.
    const std::string primeiro = argc > 1 ? argv[1] : "";
    PreparaChromium();
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication qapp(argc, argv);
    qapp.setQuitOnLastWindowClosed(false);  // the tray keeps the manager alive
    componentes::TAplicacaoQt app(componentes::TAplicacaoQt::CaminhoExecutavel(argv[0]), primeiro);
    const std::string exe = app.ExeName();
    const std::string b = exe.substr(0, exe.rfind('/') + 1);
    app.Reporter().SetOnExceptionNotify(
        [&b](const componentes::TRelatorioExcecao& r) { AnexaLogErro(b + "LogErro.txt", r.texto); });

    // One manager per user and per installation directory: two must never
    // share one req/ and resp/ pair, whoever runs them.
    if (!plataforma::TomaInstanciaUnica(kTitulo, b)) {
        app.MessageBox(componentes::TipoMensagem::Erro, "TEF Tarvo j\xE1 esta em execu\xE7\xE3o.");
        return 0;
    }
    if (!DiretorioExiste(b + "mozembed")) {
        app.MessageBox(componentes::TipoMensagem::Erro,
                       "Ocorreu algum erro na instala\xE7\xE3o do TEF.\rDiret\xF3rio n\xE3o encontrado");
        return 0;
    }
    if (!ArquivoExiste(b + "mozembed/xulrunner" + plataforma::SufixoExecutavel())) {
        app.MessageBox(componentes::TipoMensagem::Erro,
                       "Ocorreu algum erro na instala\xE7\xE3o do TEF.\rArquivo n\xE3o encontrado");
        return 0;
    }
    app.ExecutaHandler("VerificaRegistroGre", [&] {
        if (VerificaRegistroGre(b)) ExecutaEEspera(b + "mozembed/xulrunner" + plataforma::SufixoExecutavel(), "--register-global", 0);
    });
    app.SetTitle(kTitulo);

    engine::TNavegadorQt navegador;
    componentes::TFormPrincipalQt form(app, navegador.Widget(), &navegador);
    componentes::TClienteHttpCurl clienteHttp;
    componentes::TComponentesPrincipal c = form.Componentes();
    c.IdHTTP1 = &clienteHttp;
    c.DefinePerfilNavegador = [&navegador](const std::string& d) { navegador.DefinePerfil(d); };
    TfrmPrincipal frmPrincipal(app, c);
    // A start that cannot complete says why and ends, instead of leaving an
    // always-on-top window that waits for ever.
    if (!frmPrincipal.Inicia()) return 1;

    // SIGTERM and SIGINT close the main window as "Fechar Sistema" does, so
    // "Ativo.001" does not stay behind.
    std::unique_ptr<QSocketNotifier> notificador;
    if (const int canal = plataforma::CanalDePedidoDeFim(); canal >= 0) {
        notificador = std::make_unique<QSocketNotifier>(canal, QSocketNotifier::Read);
        QObject::connect(notificador.get(), &QSocketNotifier::activated, [&] {
            plataforma::EsvaziaCanalDePedidoDeFim();
            app.ExecutaHandler("FecharSistema1Click", [&] { frmPrincipal.FecharSistema1Click(); });
        });
    }

    form.MostraInicial();
    return qapp.exec();
}
