// The manager's program entry: one instance per user, the browser runtime
// checked and registered, then the main window and the message loop.
#include "AplicacaoQt.h"
#include "FormPrincipalQt.h"
#include "NavegadorQt.h"
#include "PostadorQt.h"
#include "untPrincipal.h"

#include "ClienteHttp.h"
#include "untFuncao.h"

#include "Plataforma.h"
#include "Servico.h"
#include "Supervisor.h"

#include <QApplication>
#include <QSocketNotifier>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>

#ifndef _WIN32
// The four version numbers, read back from the running file by VersaoArquivo
// (on Windows the version resource carries them).
__attribute__((section(".tef_versao"), used)) static const std::uint32_t kVersao[4] = {TEF_VERSAO};
#endif

namespace {

const std::string kTitulo = "Tef Marel";

const char* const kAjuda =
    "Uso: TefOrvex [/CONFIG]\n"
    "     TefOrvex --servico\n"
    "     TefOrvex --estado | --limpa | --configura\n"
    "     TefOrvex --help | --version\n"
    "\n"
    "Gerenciador TEF: recolhe os pedidos do aplicativo comercial em req/, confirma e\n"
    "responde em resp/ e mostra a p\u00e1gina do sistema web de pagamento numa janela\n"
    "sempre vis\u00edvel. Entre as vendas fica na \u00e1rea de notifica\u00e7\u00e3o.\n"
    "\n"
    "Op\u00e7\u00f5es:\n"
    "  /CONFIG      (primeiro argumento, em qualquer caixa) abre os Par\u00e2metros do\n"
    "               Sistema antes de come\u00e7ar\n"
    "  --servico    sem operador (o servi\u00e7o do systemd): nenhuma caixa de mensagem;\n"
    "               o que uma caixa diria vai para LogErro.txt e para o journal, e um\n"
    "               in\u00edcio que n\u00e3o pode seguir termina com o seu c\u00f3digo de sa\u00edda.\n"
    "               Sem DISPLAY, abre uma tela virtual (Xvfb) pr\u00f3pria\n"
    "  --estado     a situa\u00e7\u00e3o desta instala\u00e7\u00e3o para a monitora\u00e7\u00e3o\n"
    "  --limpa      apaga resp/Ativo.001 de um gerenciador que j\u00e1 n\u00e3o roda\n"
    "  --configura  grava a configura\u00e7\u00e3o a partir de quatro linhas na entrada:\n"
    "               endere\u00e7o, c\u00f3digo da loja, login e senha\n"
    "  -h, --help   esta ajuda\n"
    "  --version    a vers\u00e3o gravada no execut\u00e1vel\n"
    "  Qualquer outro argumento \u00e9 recusado (c\u00f3digo 2), sem abrir nada.\n"
    "\n"
    "C\u00f3digos de sa\u00edda:\n"
    "  0  fim normal (\"Fechar Sistema\", SIGTERM, SIGINT)\n"
    "  1  in\u00edcio que n\u00e3o p\u00f4de seguir, por outra causa\n"
    "  2  uso incorreto\n"
    "  3  outro gerenciador em execu\u00e7\u00e3o nesta instala\u00e7\u00e3o\n"
    "  4  instala\u00e7\u00e3o incompleta (mozembed/) ou que este usu\u00e1rio n\u00e3o pode gravar\n"
    "     (req/, resp/, temp/, resp/Ativo.001)\n"
    "  5  sem configura\u00e7\u00e3o\n"
    "  6  configura\u00e7\u00e3o ileg\u00edvel\n"
    "  7  configura\u00e7\u00e3o incompleta ou inv\u00e1lida\n"
    "  8  sem tela\n"
    "  --estado: 0 OK, 1 alerta, 2 cr\u00edtico, 3 desconhecido\n"
    "\n"
    "req/, resp/, temp/, debug/, LogErro.txt e o perfil do navegador\n"
    "(mozembed/Profiles/default) ficam no diret\u00f3rio do execut\u00e1vel, tal como foi\n"
    "chamado. SIGTERM ou SIGINT fecham como \"Fechar Sistema\", respondendo antes o\n"
    "pedido em aberto.\n"
    "\n"
    "Ambiente:\n"
    "  TEF_REGISTRO   o arquivo de configura\u00e7\u00e3o (padr\u00e3o /etc/orvex/tef.reg)\n"
    "  TEF_LPT1       a impressora de comprovantes (padr\u00e3o /dev/lp0)\n"
    "  TEF_PRODUCAO   substitui o endere\u00e7o de produ\u00e7\u00e3o\n"
    "  TEF_CA_BUNDLE  um arquivo de CAs a mais para os downloads do perfil\n"
    "\n"
    "Veja: man TefOrvex\n";

// --help and --version answer on a terminal, with no display and before the
// toolkit sees the arguments.
int RespondeAjudaOuVersao(bool ajuda, const char* argv0) {
    if (ajuda) {
        std::fputs(kAjuda, stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    std::string versao = VersaoArquivo(CaminhoDoExecutavel(argv0));
#ifndef _WIN32
    if (versao.empty())  // the file cannot be read (execute-only): the same numbers, from memory
        versao = std::to_string(kVersao[0]) + "." + std::to_string(kVersao[1]) + "." + std::to_string(kVersao[2]) +
                 "." + std::to_string(kVersao[3]);
#endif
    std::printf("TefOrvex %s\n", versao.c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
}

void PreparaChromium(bool semOperador) {
    if (std::getenv("QTWEBENGINE_CHROMIUM_FLAGS") != nullptr) return;
    std::string flags = "--disable-gpu";
    if (plataforma::Administrador()) flags += " --no-sandbox";  // Chromium refuses its sandbox as root
    // Without an operator the journal gets what needs someone, not the
    // browser's own chatter.
    if (semOperador) flags += " --log-level=3";
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags.c_str());
}

std::string DiretorioDe(const std::string& exe) { return exe.substr(0, exe.rfind('/') + 1); }

// A Windows-1252 text whose lines end in CR or CR LF, as UTF-8 lines.
std::string Utf8EmLinhas(const std::string& textoCp1252) {
    return Cp1252ParaUtf8(SubstituiTodos(SubstituiTodos(textoCp1252, "\r\n", "\n"), "\r", "\n"));
}

// A line for whoever looks after an unattended till: standard error (the
// journal under the service) and the error log.
void RelataFalha(const std::string& b, const std::string& textoCp1252) {
    plataforma::supervisor::Registra(3, Utf8EmLinhas(textoCp1252));
    try {
        AnexaLogErro(b + "LogErro.txt", textoCp1252);
    } catch (const std::exception&) {
        // standard error has it
    }
}

// Qt's own messages under the service: warnings and worse to the journal,
// the rest (the browser engine's settings at every start) left out.
void MensagemQt(QtMsgType tipo, const QMessageLogContext&, const QString& texto) {
    switch (tipo) {
        case QtDebugMsg:
        case QtInfoMsg:
            return;
        case QtWarningMsg:
        case QtCriticalMsg:  // a web page's console errors among them: nobody's to mend here
            plataforma::supervisor::Registra(4, MascaraSenha(texto.toStdString()));
            return;
        case QtFatalMsg:
            plataforma::supervisor::Registra(2, MascaraSenha(texto.toStdString()));
            return;
    }
}

// The journal's line of one transaction: no password, no card data.
std::string LinhaTransacao(const TFimTransacao& f) {
    char duracao[32];
    std::snprintf(duracao, sizeof duracao, "%.1f s", static_cast<double>(f.duracaoMs) / 1000.0);
    return Cp1252ParaUtf8(f.comando + " " + f.identificacao + " valor " + (f.valorTexto.empty() ? "-" : f.valorTexto) +
                          ": " + f.desfecho + " em " + duracao);
}

// What the controller reports goes to the status file (always), and under
// the service to systemd and the journal.
void LigaObservador(TfrmPrincipal& frm, const std::string& b, bool semOperador) {
    namespace sup = plataforma::supervisor;
    struct TLigacao {
        servico::TEstado estado;
        std::chrono::steady_clock::time_point ultimoSinal{};
        std::chrono::microseconds vigia{0};
    };
    auto l = std::make_shared<TLigacao>();
    l->estado.pid = plataforma::IdDoProcesso();
    l->estado.inicio = servico::AgoraTexto();
    l->vigia = std::chrono::microseconds(semOperador ? sup::IntervaloDoVigia() : 0);
    const auto grava = [l, b] {
        try {
            servico::GravaEstado(b, l->estado);
        } catch (const std::exception&) {
            // the report then says it cannot tell
        }
    };
    frm.Observador.Pronto = [l, grava, semOperador] {
        grava();
        if (!semOperador) return;
        sup::Notifica("READY=1\nSTATUS=Aguardando pedidos do aplicativo comercial");
        sup::Registra(6, "pronto: resp/Ativo.001 gravado, aguardando pedidos (pid " + std::to_string(l->estado.pid) + ")");
    };
    frm.Observador.Vivo = [l] {
        // Often enough for the watchdog, not at every half second.
        if (l->vigia.count() == 0) return;
        const auto agora = std::chrono::steady_clock::now();
        if (agora - l->ultimoSinal < l->vigia / 4) return;
        l->ultimoSinal = agora;
        sup::Notifica("WATCHDOG=1");
    };
    frm.Observador.Parando = [semOperador] {
        if (semOperador) sup::Notifica("STOPPING=1\nSTATUS=Encerrando");
    };
    frm.Observador.Transacao = [semOperador](const TFimTransacao& f) {
        if (!semOperador) return;
        sup::Registra(6, LinhaTransacao(f),
                      {"TEF_COMANDO=" + f.comando, "TEF_IDENTIFICACAO=" + Cp1252ParaUtf8(f.identificacao),
                       "TEF_VALOR=" + Cp1252ParaUtf8(f.valorTexto), "TEF_DESFECHO=" + Cp1252ParaUtf8(f.desfecho),
                       "TEF_DURACAO_MS=" + std::to_string(f.duracaoMs)});
    };
    frm.Observador.Erro = [l, grava](const std::string& texto) {
        const std::string utf8 = Utf8EmLinhas(texto);
        // One line for the monitoring, the cause included: a start's first
        // line alone only says that it failed.
        std::string linha = SubstituiTodos(utf8, "\n", " / ");
        if (linha.size() > 400) {
            std::size_t corte = 400;
            while (corte > 0 && (static_cast<unsigned char>(linha[corte]) & 0xC0) == 0x80) --corte;
            linha = linha.substr(0, corte) + "...";
        }
        l->estado.ultimoErro = linha;
        l->estado.ultimoErroEm = servico::AgoraTexto();
        grava();
        // Standard error on the desktop too: each error once, in UTF-8.
        sup::Registra(3, utf8);
    };
    frm.Observador.Aviso = [semOperador](const std::string& texto) {
        if (semOperador) sup::Registra(5, Utf8EmLinhas(texto));
    };
    frm.Observador.Recuperacao = [l, grava, semOperador](const std::string& motivo) {
        l->estado.recuperacao = Cp1252ParaUtf8(motivo);
        grava();
        if (semOperador && motivo.empty()) sup::Registra(5, "recupera\u00e7\u00e3o depois de uma queda de novo ativa");
    };
    frm.Observador.Jornal = [](int prioridade, const std::string& texto) {
        sup::Registra(prioridade, Utf8EmLinhas(MascaraSenha(texto)));
    };
    frm.Observador.Pendentes = [l, grava, semOperador](std::size_t n) {
        l->estado.pendentes = n;
        grava();
        if (semOperador)
            sup::Notifica(n == 0 ? "STATUS=Aguardando pedidos do aplicativo comercial"
                                 : "STATUS=" + std::to_string(n) + " resposta(s) esperando grava\u00e7\u00e3o");
    };
}

// The management commands: no display, no message loop.
int ComandoDeGestao(const std::string& comando, const std::string& b) {
    if (comando == "--estado") {
        const servico::TRelatorio r = servico::RelatorioDeEstado(b);
        std::printf("%s\n", r.texto.c_str());
        return r.codigo;
    }
    std::string mensagem;
    int r = 0;
    if (comando == "--limpa") {
        r = servico::Limpa(b, mensagem);
    } else {
        r = servico::Configura(std::cin, mensagem);
    }
    if (!mensagem.empty()) std::fprintf(stderr, "TefOrvex %s: %s\n", comando.c_str(), mensagem.c_str());
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything else: a command line not understood starts nothing
    // (no window, no display, no store, no log).
    const servico::TLinhaDeComando linha = servico::LeArgumentos(std::vector<std::string>(argv + 1, argv + argc));
    if (linha.modo == servico::TModo::Erro) {
        std::fprintf(stderr, "TefOrvex: %s\n%s\nVeja: TefOrvex --help\n", linha.erro.c_str(), servico::kUsoCurto);
        return saida::Uso;
    }
    if (linha.modo == servico::TModo::Ajuda || linha.modo == servico::TModo::Versao)
        return RespondeAjudaOuVersao(linha.modo == servico::TModo::Ajuda, argv[0]);
    // The first argument as typed: the toolkit removes its own options from
    // argv, which must not move "/CONFIG" into first place.
    const std::string primeiro = argc > 1 ? argv[1] : "";
    const std::string b = DiretorioDe(CaminhoDoExecutavel(argv[0]));
    if (linha.modo == servico::TModo::Estado || linha.modo == servico::TModo::Limpa ||
        linha.modo == servico::TModo::Configura)
        return ComandoDeGestao(primeiro, b);
    // Nobody at the till: nothing may wait for a click.
    const bool semOperador = primeiro == "--servico";
#ifndef _WIN32
    // A desktop start with nowhere to show its window: said in words, with
    // its exit status, instead of the toolkit's abort.
    const auto vazia = [](const char* v) { return std::getenv(v) == nullptr || *std::getenv(v) == '\0'; };
    if (!semOperador && vazia("DISPLAY") && vazia("WAYLAND_DISPLAY") && vazia("QT_QPA_PLATFORM")) {
        RelataFalha(b, textos::InicioFalhou +
                           "\rSem tela: nem DISPLAY nem WAYLAND_DISPLAY est\xE3o definidos. Inicie-o numa sess\xE3o "
                           "gr\xE1" "fica, ou use TefOrvex --servico num caixa sem sess\xE3o.");
        return saida::SemTela;
    }
#endif

    // One manager per user and per installation directory: two must never
    // share one req/ and resp/ pair, whoever runs them.
    const plataforma::TInstancia instancia = plataforma::TomaInstanciaUnica(kTitulo, b);
    if (!instancia) {
        const bool outro = instancia.estado == plataforma::TInstancia::Estado::OutroGerente;
        const std::string texto =
            outro ? textos::JaEmExecucao
                  : "Ocorreu algum erro na instala\xE7\xE3o do TEF.\r" + Utf8ParaCp1252(instancia.caminho) +
                        " n\xE3o p\xF4" "de ser criado pelo usu\xE1rio " + Utf8ParaCp1252(plataforma::NomeDoUsuario()) +
                        ": " + (plataforma::MotivoEmPalavras(instancia.codigo).empty()
                                    ? Utf8ParaCp1252(plataforma::TextoDoErro(instancia.codigo))
                                    : plataforma::MotivoEmPalavras(instancia.codigo));
        RelataFalha(b, texto);
        if (!semOperador) {
            QApplication caixa(argc, argv);
            componentes::TAplicacaoQt app(b + "TefOrvex", primeiro);
            app.MessageBox(componentes::TipoMensagem::Erro, texto);
        }
        return outro ? saida::OutroGerente : saida::InstalacaoIncompleta;
    }
    const char* display = std::getenv("DISPLAY");
    const bool telaPropria = semOperador && (display == nullptr || *display == '\0');
    std::vector<std::string> marcadores, outros, diretorios;
    for (const auto& nome : NomesDoMarcador(NomesConfigurados())) marcadores.push_back(b + "resp/" + nome);
    // The virtual display's cookie in a directory of this user's alone,
    // under a name nobody can take first.
    std::string cookie;
    if (telaPropria) {
        const char* run = std::getenv("XDG_RUNTIME_DIR");
        std::string dir = run && *run ? run : "";
        if (dir.empty()) {
            dir = plataforma::CriaDiretorioTemporario(plataforma::DiretorioTemporario() + "/tef-orvex-tela.");
            if (!dir.empty()) diretorios.push_back(dir);
        }
        if (!dir.empty()) cookie = dir + "/tef-orvex.Xauthority";
        if (!cookie.empty()) outros.push_back(cookie);
    }
    // A manager that dies, however it dies, is seen as gone at once; its
    // display's cookie goes with it.
    plataforma::ApagaAoTerminar(marcadores, outros, diretorios);

    if (semOperador) {
        if (telaPropria) {
            std::string erro = "no private directory for its cookie in " + plataforma::DiretorioTemporario();
            if (cookie.empty() || !plataforma::IniciaTelaVirtual(cookie, erro)) {
                RelataFalha(b, "O TEF n\xE3o p\xF4" "de ser iniciado.\rSem tela: a tela virtual n\xE3o abriu: " +
                                   Utf8ParaCp1252(erro));
                return saida::SemTela;
            }
        }
        qInstallMessageHandler(MensagemQt);
    }
    PreparaChromium(semOperador);
    engine::DesenhaSemOpenGL();
    QApplication qapp(argc, argv);
    qapp.setQuitOnLastWindowClosed(false);  // the tray keeps the manager alive
    componentes::TAplicacaoQt app(componentes::TAplicacaoQt::CaminhoExecutavel(argv[0]), primeiro);
    app.Reporter().SetOnExceptionNotify([&b](const componentes::TRelatorioExcecao& r) {
        plataforma::supervisor::Registra(3, Utf8EmLinhas(r.aoOperador.empty() ? r.texto : r.aoOperador));
        AnexaLogErro(b + "LogErro.txt", r.texto);
    });

    const auto instalacaoIncompleta = [&](const std::string& texto) {
        RelataFalha(b, texto);
        if (!semOperador) app.MessageBox(componentes::TipoMensagem::Erro, texto);
        return saida::InstalacaoIncompleta;
    };
    if (!DiretorioExiste(b + "mozembed"))
        return instalacaoIncompleta("Ocorreu algum erro na instala\xE7\xE3o do TEF.\rDiret\xF3rio n\xE3o encontrado");
    if (!ArquivoExiste(b + "mozembed/xulrunner" + plataforma::SufixoExecutavel()))
        return instalacaoIncompleta("Ocorreu algum erro na instala\xE7\xE3o do TEF.\rArquivo n\xE3o encontrado");
    app.ExecutaHandler("VerificaRegistroGre", [&] {
        if (VerificaRegistroGre(b)) ExecutaEEspera(b + "mozembed/xulrunner" + plataforma::SufixoExecutavel(), "--register-global", 0);
    });
    app.SetTitle(kTitulo);

    engine::TNavegadorQt navegador;
    componentes::TFormPrincipalQt form(app, navegador.Widget(), &navegador);
    componentes::TClienteHttpCurl clienteHttp;
    componentes::TPostadorQt postador(b + "mozembed/Profiles/default");
    componentes::TComponentesPrincipal c = form.Componentes();
    c.IdHTTP1 = &clienteHttp;
    c.Postador = &postador;
    c.DefinePerfilNavegador = [&navegador](const std::string& d) { navegador.DefinePerfil(d); };
    TfrmPrincipal frmPrincipal(app, c);
    frmPrincipal.FSemOperador = semOperador;
    LigaObservador(frmPrincipal, b, semOperador);
    // A start that cannot complete says why and ends, instead of leaving an
    // always-on-top window that waits for ever.
    if (!frmPrincipal.Inicia()) return frmPrincipal.FSaidaInicio;

    // SIGTERM and SIGINT close the main window as "Fechar Sistema" does, so
    // the open request is answered and "Ativo.001" does not stay behind.
    std::unique_ptr<QSocketNotifier> notificador;
    if (const int canal = plataforma::CanalDePedidoDeFim(); canal >= 0) {
        notificador = std::make_unique<QSocketNotifier>(canal, QSocketNotifier::Read);
        QObject::connect(notificador.get(), &QSocketNotifier::activated, [&] {
            plataforma::EsvaziaCanalDePedidoDeFim();
            app.ExecutaHandler("FecharSistema1Click", [&] { frmPrincipal.FecharSistema1Click(); });
        });
    }

    form.MostraInicial();
    qapp.exec();
    return saida::Normal;
}
