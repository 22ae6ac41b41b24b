// The web screen: showing the window, composing and loading the page, and
// the channel through which the page reports back.
#include "untPrincipal.h"

#include "Mensagens.h"
#include "Plataforma.h"
#include "Servidor.h"

#include <algorithm>

void TfrmPrincipal::AbreTela(const std::string& nome) {
    // A hide armed by an earlier answer would stop this screen's channel
    // before its result is read.
    DesarmaOcultacao();
    // The page loaded for this showing keeps the transaction it was loaded
    // with; until then the transaction is the one asked for now.
    if (!FTelaAberta) {
        FTransacaoTela = FAberta ? *FAberta : TransacaoAtual();
        FTelaRespondida = false;
        FNavegouWeb = false;
        FPaginaWebCarregada = false;
        FNavegacaoWeb = 0;
        ++FSerieTela;
    }
    FTela = nome;
    C.tmShow->SetEnabled(true);
    C.tmCmds->SetEnabled(true);
}

void TfrmPrincipal::tmShowTimer() {
    C.tmShow->SetEnabled(false);
    C.Janela->Show();
    C.Janela->BringToFront();
    C.JvTrayIcon1->SetActive(false);
    C.Janela->SetFundoTransparente();
    Application.ProcessMessages();
    MostraTela(FTela);
}

std::string TfrmPrincipal::EnderecoTela(const std::string& nome) const { return EnderecoTela(nome, TransacaoAtual()); }

std::string TfrmPrincipal::EnderecoTela(const std::string& nome, bool ecf) const {
    TTransacao t = TransacaoAtual();
    t.tefComercial = ecf;
    return EnderecoTela(nome, t);
}

std::string TfrmPrincipal::EnderecoTela(const std::string& nome, const TTransacao& t) const {
    // Every value is percent-encoded, so a password holding "&", "+", "%" or
    // "#" reaches the web system as typed and no field can add query keys.
    std::string endereco = FUrl + "modtef.php?tela=" + CodificaValorUrl(nome) +
                           "&lojcodigo_logado=" + std::to_string(FLojCodigo) +
                           "&usulogin_logado=" + CodificaValorUrl(FUsuLogin) +
                           "&ususenha_logado=" + CodificaValorUrl(FUsuSenha) +
                           "&num_cupom=" + CodificaValorUrl(t.numCupom) +
                           "&cpf=" + CodificaValorUrl(t.cpf) +
                           "&valor=" + CodificaValorUrl(t.valorTexto) +
                           "&imprime=" + (t.tefComercial ? "ecf" : "40");
    // The earlier sale a CNC cancels, as the CNC named it.
    if (t.comando == "CNC")
        endereco += "&operacao=cancelamento&rede=" + CodificaValorUrl(t.rede) + "&nsu=" + CodificaValorUrl(t.nsu) +
                    "&data=" + CodificaValorUrl(t.dataVenda) + "&hora=" + CodificaValorUrl(t.horaVenda) +
                    "&controle=" + CodificaValorUrl(t.controle);
    // The request's identification, by which the web system answers a query
    // after a crash.
    if (t.tefComercial && (t.comando == "CNC" || !FUrlConfirmacao.empty()))
        endereco += "&identificacao=" + CodificaValorUrl(t.identificacao);
    if (t.tefComercial && !FUrlConfirmacao.empty() && !NomeDoPedido(t).empty())
        endereco += "&pedido=" + CodificaValorUrl(NomeDoPedido(t));
    return endereco;
}

void TfrmPrincipal::MostraTela(const std::string& nome) {
    if (FTelaAberta) return;
    FTelaAberta = true;
    const std::uint64_t serie = FSerieTela;
    FUrl = ValidaUrl(FUrl);
    // Messages ran meanwhile: a request read then has a screen of its own
    // now, which its own showing loads.
    if (serie != FSerieTela) return;
    // The page carries the data of the transaction it is opened for.
    const TTransacao t = FTransacaoTela ? *FTransacaoTela : TransacaoAtual();
    FDocumentoAtual = C.GeckoBrowser1->Navega(Cp1252ParaUtf16(EnderecoTela(nome, t)));
    FNavegacaoWeb = FDocumentoAtual;
    FNavegouWeb = true;
    // A late result of this page, once its screen is over, still names its
    // transaction; the last few are kept.
    FTelasPorDocumento[FNavegacaoWeb] = t;
    while (FTelasPorDocumento.size() > 16) FTelasPorDocumento.erase(FTelasPorDocumento.begin());
    // A browser that cannot tell documents apart cannot tell when it loaded.
    FPaginaWebCarregada = FNavegacaoWeb == 0;
    C.panEsconde->SetVisible(false);
}

std::string TfrmPrincipal::ValidaUrl(std::string endereco) {
    C.lblUrl->SetCaption("Verificando Ativo....");
    Application.ProcessMessages();
    if (endereco.empty() || endereco.back() != '/') endereco += '/';
    if (endereco.find(servidor::SufixoDominio) != std::string::npos &&
        endereco.find("/homol") == std::string::npos && endereco.find("/release") == std::string::npos)
        endereco = ResolveServidor();
    if (endereco.empty() || endereco.back() != '/') endereco += '/';
    C.lblUrl->SetCaption("Usando: " + endereco);
    Application.ProcessMessages();
    C.panEsconde->SetCaption(textos::AguardandoAplicativo + "  ");
    return endereco;
}

std::string TfrmPrincipal::ResolveServidor() {
    C.panEsconde->SetCaption("Verificando Sistema Ativo...");
    Application.ProcessMessages();
    return servidor::BaseProducao();
}

void TfrmPrincipal::CarregaPaginaLocal() {
    // "file:///" before a drive letter; a Linux path brings its own "/".
    const std::string b = DiretorioExe();
    const std::string endereco = (!b.empty() && b[0] == '/' ? "file://" : "file:///") + b + "html/index.html";
    // Paths are the file system's bytes: UTF-8 on Linux, Windows-1252 on Windows.
    FDocumentoAtual =
        C.GeckoBrowser1->Navega(plataforma::CaminhosEmUtf8() ? Utf8ParaUtf16(endereco) : Cp1252ParaUtf16(endereco));
}

void TfrmPrincipal::GeckoBrowser1ProgressChange(int progresso, int maximo) {
    if (FNavegouWeb && maximo > 0 && progresso >= maximo && FDocumentoAtual == FNavegacaoWeb) FPaginaWebCarregada = true;
    try {
        C.ProgressBar1->SetMax(maximo);
        C.ProgressBar1->SetPosition(progresso);
    } catch (...) {
        // a value the bar cannot take must not disturb the page
    }
}

void TfrmPrincipal::GeckoBrowser1FalhaCarga(const componentes::TFalhaCarga& falha) {
    // A page of a screen that is over, or one replaced since: nobody waits
    // for it.
    if (falha.navegacao != 0 && (falha.navegacao <= FDescartaAte || falha.navegacao != FDocumentoAtual)) return;
    // The address without its query, which carries the login, the CPF and
    // the password.
    std::string endereco = Utf16ParaCp1252(falha.endereco);
    endereco = endereco.substr(0, endereco.find_first_of("?#"));
    const std::string porque = falha.motivo + " (" + falha.codigo + ")";
    C.lblUrl->SetCaption("P\xE1gina n\xE3o carregada: " + porque);
    GravaLogErro("A p\xE1gina do sistema web n\xE3o p\xF4" "de ser carregada: " + porque + "; endere\xE7o " + endereco);
}

void TfrmPrincipal::tmCmdsTimer() {
    // The page reads and empties its channel in one step; the text comes back
    // when the page has run the script.
    C.GeckoBrowser1->LeELimpaAtributo(
        u"ipt_imprime_gecko", u"value", [this](std::optional<std::u16string> texto, componentes::TDocumento documento) {
            Application.ExecutaHandler("tmCmdsTimer", [&] { TrataCanal(texto, documento); });
        });
}

void TfrmPrincipal::TrataCanal(const std::optional<std::u16string>& texto, componentes::TDocumento documento) {
    // The web system's page has its document: from now on a payment could be made there.
    if (FNavegouWeb && documento != 0 && documento == FNavegacaoWeb) FPaginaWebCarregada = true;
    if (documento != 0 && documento <= FDescartaAte) {
        DescartaResultado(texto, documento);
        return;
    }
    ProcessaCanal(texto);
}

void TfrmPrincipal::CancelaTela(const std::string& desfecho) {
    // After the page's result, a cancellation would tell the commercial
    // application that an approved payment was not made.
    if (FTransacaoTela && FTelaRespondida && FTransacaoTela->tefComercial) {
        GravaLogErro("A cancellation of request " + FTransacaoTela->identificacao +
                     " after its page's result: not written, the result stands");
        C.tmOculta->SetEnabled(true);
        return;
    }
    // The commercial application is told the sale did not happen: an
    // approval the page still gives is a late one (undone, or told).
    if (FTelaAberta || C.tmShow->Enabled()) FDescartaAte = FDocumentoAtual;
    if (FTransacaoTela) CancelaTef(*FTransacaoTela, desfecho);
    else CancelaTef();
}

void TfrmPrincipal::ProcessaCanal(const std::optional<std::u16string>& texto) {
    if (!texto || texto->empty()) return;
    TLinhas itens = Divide(Utf16ParaCp1252(*texto), "\xA7");
    if (itens.empty()) return;
    // The transaction the page was loaded for, whatever requests came since.
    const TTransacao t = FTransacaoTela ? *FTransacaoTela : TransacaoAtual();
    if (itens[0] == "COMMAND_TEF" && itens.size() >= 2) {
        if (Apara(MinusculasAnsi(itens[1])) == "close") CancelaTela("cancelada pelo operador");
        return;
    }
    // A NUL is no text; left in, it would end the answer's content there and
    // cut its last lines ("999-999 = 0" among them). At either end of a line
    // it is a control character like the others and goes; between other
    // bytes it shows as any character the code page cannot hold.
    for (auto& item : itens) {
        const auto inicio = item.find_first_not_of('\0');
        if (inicio == std::string::npos) {
            item.clear();
            continue;
        }
        item = item.substr(inicio, item.find_last_not_of('\0') - inicio + 1);
        std::replace(item.begin(), item.end(), '\0', '?');
    }
    C.panEsconde->SetCaption(textos::AguardandoAplicativo);
    C.panEsconde->SetVisible(true);
    if (t.tefComercial) {
        RespondeVenda(itens, t);
    } else {
        try {
            C.Impressora->ImprimeLinhas(itens);
        } catch (Exception& e) {
            e.MostraAoOperador = true;  // the receipt is in the operator's hands
            if (e.ParaOOperador.empty())
                e.ParaOOperador = "O comprovante n\xE3o p\xF4" "de ser impresso em " + DispositivoImpressora() + ". " +
                                  mensagens::ParaOOperador(e) +
                                  "\rConfira a impressora; \"Cancelar TEF\" encerra a transa\xE7\xE3o.";
            throw;
        }
        CancelaTef(t);
    }
}
