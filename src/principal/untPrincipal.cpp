#include "untPrincipal.h"

#include "Registro.h"
#include "Servidor.h"
#include "untParametro.h"

#include <algorithm>
#include <cstdio>

using componentes::TipoMensagem;

namespace {

// Restarts a timer when the scope ends, however it ends.
class ReiniciaAoSair {
public:
    explicit ReiniciaAoSair(componentes::ITimer* t) : t_(t) {}
    ~ReiniciaAoSair() { t_->SetEnabled(true); }
    ReiniciaAoSair(const ReiniciaAoSair&) = delete;
    ReiniciaAoSair& operator=(const ReiniciaAoSair&) = delete;

private:
    componentes::ITimer* t_;
};

bool TemByteVisivel(const std::string& linha) {
    for (unsigned char c : linha)
        if (c > 0x20) return true;
    return false;
}

}  // namespace

TfrmPrincipal::TfrmPrincipal(componentes::IAplicacao& app, const componentes::TComponentesPrincipal& componentes)
    : Application(app), C(componentes) {
    C.tmOculta->SetOnTimer([this] { tmOcultaTimer(); });
    C.tmVerifica->SetOnTimer([this] { tmVerificaTimer(); });
    C.tmShow->SetOnTimer([this] { tmShowTimer(); });
    C.tmCmds->SetOnTimer([this] { tmCmdsTimer(); });
    if (C.GeckoBrowser1)
        C.GeckoBrowser1->SetOnProgresso([this](int p, int m) { GeckoBrowser1ProgressChange(p, m); });
    if (C.Eventos) {
        C.Eventos->FormShow = [this] { FormShow(); };
        C.Eventos->FormClose = [this] { FormClose(); };
        C.Eventos->Panel1Resize = [this] { Panel1Resize(); };
        C.Eventos->SpeedButton1Click = [this] { SpeedButton1Click(); };
        C.Eventos->Restaurar1Click = [this] { Restaurar1Click(); };
        C.Eventos->Administrao1Click = [this] { Administrao1Click(); };
        C.Eventos->ParmetrosdoSistema1Click = [this] { ParmetrosdoSistema1Click(); };
        C.Eventos->FecharSistema1Click = [this] { FecharSistema1Click(); };
    }
    Application.Reporter().SetOnExceptionNotify(
        [this](const componentes::TRelatorioExcecao& r) { NotificaExcecao(r); });
    // Boxes for the operator open from the message loop, never in the middle
    // of the handler that met the error.
    tmAvisos = Application.CriaTimer("tmAvisos");
    tmAvisos->SetInterval(10);
    tmAvisos->SetOnTimer([this] { tmAvisosTimer(); });
}

std::string TfrmPrincipal::DiretorioExe() const {
    const std::string exe = Application.ExeName();
    const auto barra = exe.rfind('/');
    if (barra == std::string::npos) return "./";
    return exe.substr(0, barra + 1);
}

// ---- transaction state --------------------------------------------------------

void TfrmPrincipal::LimpaTransacao() {
    FComando.clear();
    FIdentificacao.clear();
    FDocumento.clear();
    FValorTexto.clear();
    FCampo012.clear();
    FNumCupom.clear();
    FCpf.clear();
    FValor = 0;
    C.SpeedButton1->SetVisible(true);
    C.panEsconde->SetCaption(textos::AguardandoAplicativo);
}

// ---- request intake ---------------------------------------------------------------

void TfrmPrincipal::tmVerificaTimer() {
    C.tmVerifica->SetEnabled(false);
    // An error in this tick still goes to the error log, but polling must go
    // on: a manager that silently stops reading requests loses sales.
    ReiniciaAoSair reinicia(C.tmVerifica);
    if (FDirReq.empty()) return;
    GaranteAtivo();
    // What could not be written goes out first, in order: a new request is
    // not taken before the answers of the earlier ones.
    if (!EscrevePendentes()) return;

    const auto pedido = EscolhePedido();
    if (!pedido) return;

    // The commercial application may still be finishing the file.
    Application.Sleep(500);
    TLinhas linhas;
    try {
        linhas = CarregaLinhasRegular(pedido->caminho);
    } catch (const Exception& e) {
        // It stays; the others are not held up behind it.
        if (RegistraFalhaPedido(*pedido)) Relata(e, "tmVerificaTimer");
        return;
    }
    ApagaArquivo(pedido->caminho);
    if (ArquivoExiste(pedido->caminho)) {
        // Acting on a request that stays would act on it again every tick:
        // one sale charged twice.
        if (RegistraFalhaPedido(*pedido))
            Relata(Exception("Cannot delete file \"" + pedido->caminho +
                             "\": the request is not answered while it stays in req/"),
                   "tmVerificaTimer");
        return;
    }
    FPedidosFalhos.erase(pedido->caminho);
    GravaDebug("Req", linhas, pedido->caminho);
    LimpaTransacao();
    for (const auto& linha : linhas) LeCampo(linha);
    DespachaComando();
}

std::optional<TEntradaDiretorio> TfrmPrincipal::EscolhePedido() {
    const auto entradas = ListaEntradas(FDirReq);
    std::erase_if(FPedidosFalhos, [&](const auto& falha) {
        return std::none_of(entradas.begin(), entradas.end(),
                            [&](const TEntradaDiretorio& e) { return e.caminho == falha.first; });
    });
    std::optional<TEntradaDiretorio> repetido;
    for (const auto& e : entradas) {
        if (MaiusculasAnsi(e.caminho).find(".001") == std::string::npos) continue;
        if (e.tipo != TTipoEntrada::Regular) {
            // A link could lead anywhere (another user's files); a FIFO or a
            // device would hang the reading.
            if (RegistraFalhaPedido(e))
                Relata(Exception("\"" + e.caminho + "\" is not a regular file: it is not read as a request"),
                       "tmVerificaTimer");
            continue;
        }
        const auto falha = FPedidosFalhos.find(e.caminho);
        if (falha == FPedidosFalhos.end() || !(falha->second == TAssinaturaPedido{e.tipo, e.tamanho, e.modificado}))
            return e;  // the first new request, in the directory's order
        // One that failed before is tried again only when nothing new waits,
        // and only once it can be opened.
        if (!repetido && PodeLer(e.caminho)) repetido = e;
    }
    return repetido;
}

bool TfrmPrincipal::RegistraFalhaPedido(const TEntradaDiretorio& pedido) {
    const TAssinaturaPedido assinatura{pedido.tipo, pedido.tamanho, pedido.modificado};
    const auto [it, nova] = FPedidosFalhos.try_emplace(pedido.caminho, assinatura);
    if (nova) return true;
    if (it->second == assinatura) return false;
    it->second = assinatura;
    return true;
}

void TfrmPrincipal::LeCampo(const std::string& linha) {
    const std::string chave = linha.substr(0, 7);
    const auto valor = [&] { return SubstituiTodos(linha, chave + " = ", ""); };
    if (chave == "000-000") {
        FComando = valor();
    } else if (chave == "001-000") {
        FIdentificacao = valor();
    } else if (chave == "002-000") {
        FDocumento = valor();
        FNumCupom = FDocumento;
    } else if (chave == "003-000") {
        FValorTexto = Apara(valor());
        FValor = ValorDoTexto(FValorTexto);
    } else if (chave == "007-000") {
        FCpf = valor();
    } else if (chave == "012-000") {
        FCampo012 = valor();
    }
}

void TfrmPrincipal::DespachaComando() {
    if (FComando == "CRT" || FComando == "ADM") {
        // The page of an earlier screen must never answer this request.
        EncerraTelaAnterior();
        // A transaction that has just been answered is not in progress, even
        // while its window waits to hide.
        if (DesarmaOcultacao()) FModoAdm = false;
        const bool adm = FComando == "ADM";
        if (!adm) FTefComercial = true;
        Entrega("intpos.sts", {"000-000 = " + FComando, "001-000 = " + FIdentificacao, "999-999 = 0"},
                [this, adm] {
                    if (adm) {
                        FTefComercial = true;
                        FModoAdm = true;
                    }
                    FAberta = TransacaoAtual();
                    FAberta->inicioMs = MilissegundosDe(Application.Agora());
                    if (adm) IniciaAdm();
                    else IniciaVenda();
                });
    } else if (FComando == "CNC") {
        CancelaTef();
    } else {
        TLinhas ack{"000-000 = " + FComando, "001-000 = " + FIdentificacao};
        if (!FCampo012.empty() && FComando != "CNF") ack.push_back("012-000 = " + FCampo012);
        ack.push_back("999-999 = 0");
        Entrega("intpos.sts", std::move(ack));
    }
}

void TfrmPrincipal::EncerraTelaAnterior() {
    // Whatever the page shown until now hands over belongs to the earlier
    // screen.
    if (FTelaAberta || C.tmShow->Enabled()) FDescartaAte = FDocumentoAtual;
    if (FAberta) {
        // Answered at once, as "Cancelar TEF" would answer it, so that its
        // commercial application is released and never takes this request's
        // answer for its own.
        const TTransacao anterior = *FAberta;
        FAberta.reset();
        Entrega("intpos.001", LinhasCancelamento(anterior, textos::TefCancelado));
    }
    FTelaAberta = false;
    FModoAdm = false;
}

void TfrmPrincipal::IniciaVenda() {
    if (FValor > 0 || !FTefComercial) {
        AbreTela("Venda");
        return;
    }
    Application.MessageBox(TipoMensagem::Erro, textos::ValorZerado);
    CancelaTef();
}

void TfrmPrincipal::IniciaAdm() { AbreTela("Adm"); }

void TfrmPrincipal::Restaurar1Click() {
    if (DesarmaOcultacao()) FModoAdm = false;
    FTefComercial = false;
    LimpaTransacao();
    IniciaVenda();
}

void TfrmPrincipal::Administrao1Click() {
    DesarmaOcultacao();
    FTefComercial = false;
    FModoAdm = true;
    IniciaAdm();
}

// ---- responses ------------------------------------------------------------------------

TTransacao TfrmPrincipal::TransacaoAtual() const {
    TTransacao t;
    t.comando = FComando;
    t.identificacao = FIdentificacao;
    t.documento = FDocumento;
    t.valorTexto = FValorTexto;
    t.numCupom = FNumCupom;
    t.cpf = FCpf;
    t.modoAdm = FModoAdm;
    t.tefComercial = FTefComercial;
    return t;
}

TLinhas TfrmPrincipal::LinhasCancelamento(const TTransacao& t, const std::string& mensagem) {
    TLinhas linhas;
    if (t.modoAdm) {
        linhas = {"000-000 = ADM", "001-000 = " + t.identificacao};
    } else {
        linhas = {"000-000 = CRT", "001-000 = " + t.identificacao, "002-000 = " + t.documento,
                  "003-000 = " + t.valorTexto};
    }
    linhas.insert(linhas.end(), {"011-000 = 0", "028-000 = 0", "030-000 = " + mensagem, "999-999 = 0"});
    return linhas;
}

void TfrmPrincipal::CancelaTef() { CancelaTef(TransacaoAtual()); }

void TfrmPrincipal::CancelaTef(const TTransacao& t) {
    C.panEsconde->SetCaption(textos::AguardandoAplicativo);
    C.panEsconde->SetVisible(true);
    FAberta.reset();
    if (t.tefComercial) {
        // The window hides once the commercial application can read the answer.
        Entrega("intpos.001", LinhasCancelamento(t, textos::TefCancelado), [this] { C.tmOculta->SetEnabled(true); });
        return;
    }
    C.tmOculta->SetEnabled(true);
}

void TfrmPrincipal::RespondeVenda(TLinhas& linhas) { RespondeVenda(linhas, TransacaoAtual()); }

void TfrmPrincipal::RespondeVenda(TLinhas& linhas, const TTransacao& t) {
    if (linhas.size() >= 2 && linhas[0].find("CRT") != std::string::npos) {
        for (auto& linha : linhas) {
            if (linha.find("003-000") != std::string::npos) {
                linha = "003-000 = " + t.valorTexto;
                break;
            }
        }
    }
    const auto substitui = [&linhas](const char* marcador, const std::string& valor) {
        linhas = DivideLinhas(SubstituiTodos(TextoLinhas(linhas), marcador, valor));
    };
    substitui("#001#", t.identificacao);
    substitui("#002#", t.documento);
    substitui("#016#", DataHoraCompacta(Application.Agora()));

    TLinhas resposta;
    for (const auto& linha : linhas)
        if (TemByteVisivel(linha)) resposta.push_back(linha);
    FAberta.reset();
    // The payment is already made at the web system: its answer is kept
    // until it can be written, and the window hides only then.
    Entrega("intpos.001", std::move(resposta), [this] { C.tmOculta->SetEnabled(true); });
}

// ---- exchange files ---------------------------------------------------------------------

void TfrmPrincipal::GravaResposta(const std::string& nome, const TLinhas& linhas) {
    if (!DiretorioExiste(FDirTemp)) CriaDiretorio(FDirTemp);
    const TDataHora t = Application.Agora();
    const std::string temporario = "ArqTemp_" + std::to_string(t.hora) + "_" + std::to_string(t.minuto) + "_" +
                                   std::to_string(t.segundo) + "_" + std::to_string(t.milissegundo) + ".tef";
    const std::string destino = FDirResp + nome;
    std::optional<TArquivoDeTrabalho> arquivo;
    try {
        // temp/ and resp/ are open to the whole group: the copy is made new,
        // never through whatever someone left under its name.
        arquivo.emplace(FDirTemp, temporario, [this](const std::string& c, const std::string& o) { RelataOcupado(c, o); });
        arquivo->Escreve(TextoLinhas(linhas));
    } catch (const Exception& e) {
        // The error names the file the commercial application waits for.
        const std::string motivo = e.Causa.empty() ? e.Message() : e.Causa;
        throw EFCreateError("Cannot create file \"" + destino + "\". " + motivo, e.Message());
    }
    // One rename puts the complete file in place: the commercial application
    // sees the old file or the new one, never none or half of one.
    arquivo->PoeNoLugar(destino);

    if (nome != "Ativo.001") GravaDebug("Resp", linhas, destino);
}

void TfrmPrincipal::RelataOcupado(const std::string& caminho, const std::string& oQue) {
    if (!FOcupadosRelatados.insert(caminho + "\n" + oQue).second) return;
    Relata(Exception("\"" + caminho + "\" is " + oQue + ", not a staging copy of the manager: it is left alone and "
                     "another name is used"),
           "GravaResposta");
}

void TfrmPrincipal::GravaAtivo() {
    // A rewrite keeps the moment the manager started.
    if (!FInicio) FInicio = Application.Agora();
    GravaResposta("Ativo.001", {"000-000 = TEF", "016-000 = " + DataHoraCompacta(*FInicio), "999-999 = 0"});
    // Commercial applications written for Windows look for it in lower case.
    CriaApelido(FDirResp + "Ativo.001", FDirResp + "ativo.001");
}

void TfrmPrincipal::GaranteAtivo() {
    if (FFechando || FDirResp.empty()) return;
    const std::string ativo = FDirResp + "Ativo.001";
    if (ArquivoExiste(ativo)) {
        CriaApelido(ativo, FDirResp + "ativo.001");
        return;
    }
    try {
        GravaAtivo();
        FAtivoRelatado = false;
    } catch (Exception& e) {
        // Without the marker commercial applications take the manager for
        // stopped: the operator hears of it once, and every tick tries again.
        if (FAtivoRelatado) return;
        FAtivoRelatado = true;
        e.MostraAoOperador = true;
        Relata(e, "GravaAtivo");
    }
}

void TfrmPrincipal::Entrega(const std::string& nome, TLinhas linhas, std::function<void()> depois) {
    FPendentes.push_back({nome, std::move(linhas), std::move(depois)});
    EscrevePendentes();
}

bool TfrmPrincipal::EscrevePendentes() {
    while (!FPendentes.empty()) {
        TEscritaPendente& pendente = FPendentes.front();
        try {
            GravaResposta(pendente.nome, pendente.linhas);
        } catch (Exception& e) {
            if (pendente.relatada) return false;
            pendente.relatada = true;
            e.MostraAoOperador = true;
            throw;
        }
        const bool atrasada = pendente.relatada;
        auto depois = std::move(pendente.depois);
        const std::string nome = pendente.nome;
        FPendentes.pop_front();
        if (atrasada) {
            try {
                GravaLogErro("\"" + FDirResp + nome + "\" written after all");
            } catch (...) {
                // the answer is out; the log line is only a note
            }
        }
        if (depois) depois();
    }
    return true;
}

bool TfrmPrincipal::DesarmaOcultacao() {
    if (!C.tmOculta->Enabled()) return false;
    C.tmOculta->SetEnabled(false);
    C.tmOculta->SetInterval(1000);
    // The page shown belongs to the transaction just answered.
    if (FTelaAberta) FDescartaAte = FDocumentoAtual;
    FTelaAberta = false;
    return true;
}

void TfrmPrincipal::PreparaDiretorios() {
    const std::string b = DiretorioExe();
    FDirResp = b + "resp/";
    FDirReq = b + "req/";
    FDirTemp = b + "temp/";
    FDirDebug = b + "debug/";
    if (!DiretorioExiste(FDirResp)) CriaDiretorio(FDirResp);
    if (!DiretorioExiste(FDirReq)) CriaDiretorio(FDirReq);
    for (const auto& dir : {FDirResp, FDirReq}) {
        TLinhas arquivos;
        ListaArquivos(dir, arquivos, false);
        for (const auto& arquivo : arquivos) ApagaArquivo(arquivo);
    }
    // Staging copies left by a run that was killed in the middle of a write.
    TLinhas sobras;
    try {
        if (DiretorioExiste(FDirTemp)) sobras = ListaArquivosMascara(FDirTemp, "ArqTemp_*.tef");
    } catch (const EInOutError&) {
    }
    for (const auto& nome : sobras) ApagaArquivo(FDirTemp + nome);
}

// ---- trace and error log ------------------------------------------------------------------

void TfrmPrincipal::GravaDebug(const std::string& tipo, const TLinhas& linhas, const std::string& caminho) {
    if (FDirDebug.empty() || !DiretorioExiste(FDirDebug)) return;
    try {
        const std::string arquivo = FDirDebug + "Debug.txt";
        TLinhas lista;
        // Only the trace itself is read: never what a link there leads to.
        if (const auto e = plataforma::Consulta(arquivo, false); e && e->tipo == plataforma::TTipoEntrada::Regular)
            lista = CarregaLinhasRegular(arquivo);
        lista.push_back(std::string(56, '-'));
        lista.push_back("Tipo: " + tipo);
        lista.push_back("Nome do Arquivo: " + caminho);
        lista.push_back("Data: " + DataHoraRegional(Application.Agora()));
        // The lone CR becomes the empty line between header and content.
        const TLinhas corpo = DivideLinhas("\r" + TextoLinhas(linhas));
        lista.insert(lista.end(), corpo.begin(), corpo.end());
        // debug/ may be open to a group: the new trace is made beside it and
        // renamed over it, never written through a link.
        TArquivoDeTrabalho novo(FDirDebug, ".Debug.txt.novo");
        novo.Escreve(TextoLinhas(lista), /*sincroniza=*/false);
        novo.PoeNoLugar(arquivo);
    } catch (...) {
        // The trace must never disturb the exchange.
    }
}

void AnexaLogErro(const std::string& arquivo, const std::string& texto) {
    TLinhas lista;
    if (ArquivoExiste(arquivo)) lista = CarregaLinhas(arquivo);
    lista.push_back(texto);
    SalvaLinhas(arquivo, lista);
}

void TfrmPrincipal::GravaLogErro(const std::string& texto) {
    AnexaLogErro(DiretorioExe() + "LogErro.txt", MascaraSenha(texto));
}

void TfrmPrincipal::EurekaLog1ExceptionNotify(const std::string& relatorio) { GravaLogErro(relatorio); }

namespace {
// Handlers run because the operator did something: the operator waits for
// the outcome and must see an error, not only the log.
bool HandlerDoOperador(const std::string& handler) {
    static const std::set<std::string> nomes = {
        "SpeedButton1Click",        "Restaurar1Click",   "Administrao1Click",
        "ParmetrosdoSistema1Click", "FecharSistema1Click", "btnConfiguraClick",
        "TfrmParametro.FormShow",   "JvApplicationHotKey1HotKey"};
    return nomes.count(handler) != 0;
}
}  // namespace

void TfrmPrincipal::NotificaExcecao(const componentes::TRelatorioExcecao& relatorio) {
    // The box first: when the disk is full the log cannot be written either.
    if (relatorio.paraOperador || HandlerDoOperador(relatorio.handler))
        MostraErro(relatorio.causa.empty() ? relatorio.mensagem : relatorio.mensagem + "\r" + relatorio.causa);
    EurekaLog1ExceptionNotify(relatorio.texto);
}

void TfrmPrincipal::Relata(const std::exception& e, const std::string& handler) {
    Application.Reporter().RelataExcecao(handler, e, Application.Agora());
}

void TfrmPrincipal::MostraErro(const std::string& texto) {
    const std::string t = MascaraSenha(texto);
    if (FAvisosAbertos.count(t) || std::find(FAvisos.begin(), FAvisos.end(), t) != FAvisos.end()) return;
    FAvisos.push_back(t);
    tmAvisos->SetEnabled(true);
}

void TfrmPrincipal::tmAvisosTimer() {
    if (FAvisos.empty()) {
        tmAvisos->SetEnabled(false);
        return;
    }
    const std::string texto = FAvisos.front();
    FAvisos.pop_front();
    if (FAvisos.empty()) tmAvisos->SetEnabled(false);
    FAvisosAbertos.insert(texto);
    Application.MessageBox(TipoMensagem::Erro, texto);
    FAvisosAbertos.erase(texto);
}

bool TfrmPrincipal::Inicia() {
    std::string texto;
    const bool iniciou = Application.ExecutaHandler("FormCreate", [&] {
        try {
            FormCreate();
        } catch (const std::exception& e) {
            texto = TextoFalhaInicio(e);
            throw;
        }
    });
    if (iniciou) return true;
    FormClose();
    std::fprintf(stderr, "%s\n", Cp1252ParaUtf8(SubstituiTodos(texto, "\r", "\n")).c_str());
    Application.MessageBox(TipoMensagem::Erro, texto);
    return false;
}

std::string TfrmPrincipal::TextoFalhaInicio(const std::exception& e) {
    std::string t = textos::InicioFalhou + "\r" + MascaraSenha(e.what());
    if (const auto* ex = dynamic_cast<const Exception*>(&e); ex && !ex->Causa.empty())
        t += "\r" + MascaraSenha(ex->Causa);
    return t;
}

// ---- configuration --------------------------------------------------------------------------

void TfrmPrincipal::CarregaParametros() {
    if (MaiusculasAnsi(Application.ExeName()).find("TEFORVEXHOMOLOGA.EXE") == std::string::npos) {
        TRegistry reg;
        try {
            if (!reg.KeyExists(FChaveRegistro)) {
                Application.MessageBox(TipoMensagem::Erro, textos::NaoParametrizado);
                AbreParametros();
                return;
            }
            AbreSemFalhar(reg, FChaveRegistro, false);
            FUrl = reg.ReadString("Url");
            FLojCodigo = reg.ReadInteger("Lojcodigo");
            FUsuLogin = Cifra(reg.ReadString("Usulogin"));
            FUsuSenha = Cifra(reg.ReadString("Ususenha"));
        } catch (ERegistryException& e) {
            // Which file and key: the operator has to find them to mend them.
            const std::string onde = "Registry store " + reg.Armazem().Descricao() + ", key HKEY_LOCAL_MACHINE" +
                                     FChaveRegistro;
            if (e.Causa.find(onde) == std::string::npos) e.Causa = e.Causa.empty() ? onde : e.Causa + "\r" + onde;
            throw;
        }
        return;
    }
    FUrl = servidor::BaseHomologacao();
    FLojCodigo = 1;
    FUsuLogin = Cifra(servidor::LoginHomologacaoCifrado);
    FUsuSenha = Cifra(servidor::SenhaHomologacaoCifrada);
    C.ParmetrosdoSistema1->SetEnabled(false);
    C.Administrao1->SetEnabled(false);
    C.lblHomologa->SetVisible(true);
    Application.MessageBox(TipoMensagem::Informacao, textos::Homologacao);
}

void TfrmPrincipal::AbreParametros() {
    {
        std::unique_ptr<componentes::IDialogoParametro> dialogo = C.CriaDialogoParametro();
        TfrmParametro parametro(*dialogo, FChaveRegistro);
        dialogo->ShowModal();
    }
    CarregaParametros();
}
