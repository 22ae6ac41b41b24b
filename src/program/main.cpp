// The manager's program entry: one instance per user, the browser runtime
// checked and registered, then the main window and the message loop.
#include "AplicacaoQt.h"
#include "FormPrincipalQt.h"
#include "NavegadorQt.h"
#include "untPrincipal.h"

#include "ClienteHttp.h"
#include "untFuncao.h"

#include <QApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

// The four version numbers, read back from the running file by VersaoArquivo.
__attribute__((section(".tef_versao"), used)) static const std::uint32_t kVersao[4] = {TEF_VERSAO};

namespace {

const std::string kTitulo = "Tef Marel";

int g_sinais[2] = {-1, -1};

void AoSinal(int) {
    const char c = 1;
    (void)!::write(g_sinais[1], &c, 1);
}

// Takes an exclusive lock on what the descriptor opens, for the life of the
// process; false only when another process holds it.
bool Trava(int fd) {
    if (fd < 0) return true;  // nothing to lock: do not refuse the start
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int erro = errno;
        ::close(fd);
        return erro != EWOULDBLOCK;
    }
    return true;  // fd stays open, and the lock with it
}

// A per-user lock named after the application title, and a lock on the
// installation directory itself: two managers must never share one req/ and
// resp/ pair, whoever runs them and whatever their runtime directories. The
// directory needs no write access to be locked.
bool TomaInstanciaUnica(const std::string& instalacao) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string dir = (runtime && *runtime) ? runtime : "/tmp";
    const std::string caminho = dir + "/" + kTitulo + "-" + std::to_string(::getuid()) + ".lock";
    if (!Trava(::open(caminho.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600))) return false;
    return Trava(::open(instalacao.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

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
            if (versao.empty())  // the file cannot be read (execute-only): the same numbers, from memory
                versao = std::to_string(kVersao[0]) + "." + std::to_string(kVersao[1]) + "." +
                         std::to_string(kVersao[2]) + "." + std::to_string(kVersao[3]);
            std::printf("TefOrvex %s\n", versao.c_str());
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
    }
    return -1;
}

void PreparaChromium() {
    if (std::getenv("QTWEBENGINE_CHROMIUM_FLAGS") != nullptr) return;
    std::string flags = "--disable-gpu";
    if (::geteuid() == 0) flags += " --no-sandbox";  // Chromium refuses its sandbox as root
    ::setenv("QTWEBENGINE_CHROMIUM_FLAGS", flags.c_str(), 1);
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

    if (!TomaInstanciaUnica(b)) {
        app.MessageBox(componentes::TipoMensagem::Erro, "TEF Tarvo j\xE1 esta em execu\xE7\xE3o.");
        return 0;
    }
    if (!DiretorioExiste(b + "mozembed")) {
        app.MessageBox(componentes::TipoMensagem::Erro,
                       "Ocorreu algum erro na instala\xE7\xE3o do TEF.\rDiret\xF3rio n\xE3o encontrado");
        return 0;
    }
    if (!ArquivoExiste(b + "mozembed/xulrunner")) {
        app.MessageBox(componentes::TipoMensagem::Erro,
                       "Ocorreu algum erro na instala\xE7\xE3o do TEF.\rArquivo n\xE3o encontrado");
        return 0;
    }
    app.ExecutaHandler("VerificaRegistroGre", [&] {
        if (VerificaRegistroGre(b)) ExecutaEEspera(b + "mozembed/xulrunner", "--register-global", 0);
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
    if (::pipe2(g_sinais, O_CLOEXEC | O_NONBLOCK) == 0) {
        struct sigaction sa{};
        sa.sa_handler = AoSinal;
        ::sigaction(SIGTERM, &sa, nullptr);
        ::sigaction(SIGINT, &sa, nullptr);
    }
    QSocketNotifier notificador(g_sinais[0], QSocketNotifier::Read);
    QObject::connect(&notificador, &QSocketNotifier::activated, [&] {
        char lixo[16];
        while (::read(g_sinais[0], lixo, sizeof lixo) > 0) {
        }
        app.ExecutaHandler("FecharSistema1Click", [&] { frmPrincipal.FecharSistema1Click(); });
    });

    form.MostraInicial();
    return qapp.exec();
}
