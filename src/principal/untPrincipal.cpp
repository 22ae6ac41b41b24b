#include "untPrincipal.h"

#include "Registro.h"
#include "Servidor.h"
#include "untParametro.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

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

void SincronizaDiretorio(const std::string& diretorio) {
    const int fd = ::open(diretorio.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    (void)::fsync(fd);
    ::close(fd);
}

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
    Application.Reporter().SetOnExceptionNotify([this](const std::string& r) { EurekaLog1ExceptionNotify(r); });
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

    TLinhas arquivos;
    ListaArquivos(FDirReq, arquivos, false);
    const std::string* pedido = nullptr;
    for (const auto& caminho : arquivos) {
        if (MaiusculasAnsi(caminho).find(".001") != std::string::npos) {
            pedido = &caminho;
            break;
        }
    }
    if (pedido == nullptr) return;

    // The commercial application may still be finishing the file.
    Application.Sleep(500);
    const TLinhas linhas = CarregaLinhas(*pedido);
    GravaDebug("Req", linhas, *pedido);
    ApagaArquivo(*pedido);
    LimpaTransacao();
    for (const auto& linha : linhas) LeCampo(linha);
    DespachaComando();
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
    if (FComando == "CRT") {
        FTefComercial = true;
        GravaResposta("intpos.sts", {"000-000 = CRT", "001-000 = " + FIdentificacao, "999-999 = 0"});
        IniciaVenda();
    } else if (FComando == "CNC") {
        CancelaTef();
    } else if (FComando == "ADM") {
        const bool admEmAndamento = FModoAdm;
        GravaResposta("intpos.sts", {"000-000 = ADM", "001-000 = " + FIdentificacao, "999-999 = 0"});
        if (!admEmAndamento) {
            FTefComercial = true;
            FModoAdm = true;
            IniciaAdm();
        }
    } else {
        TLinhas ack{"000-000 = " + FComando, "001-000 = " + FIdentificacao};
        if (!FCampo012.empty() && FComando != "CNF") ack.push_back("012-000 = " + FCampo012);
        ack.push_back("999-999 = 0");
        GravaResposta("intpos.sts", ack);
    }
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
    FTefComercial = false;
    LimpaTransacao();
    IniciaVenda();
}

void TfrmPrincipal::Administrao1Click() {
    FTefComercial = false;
    FModoAdm = true;
    IniciaAdm();
}

// ---- responses ------------------------------------------------------------------------

void TfrmPrincipal::CancelaTef() {
    C.panEsconde->SetCaption(textos::AguardandoAplicativo);
    C.panEsconde->SetVisible(true);
    if (FTefComercial) {
        TLinhas linhas;
        if (FModoAdm) {
            linhas = {"000-000 = ADM", "001-000 = " + FIdentificacao};
        } else {
            linhas = {"000-000 = CRT", "001-000 = " + FIdentificacao, "002-000 = " + FDocumento,
                      "003-000 = " + FValorTexto};
        }
        linhas.insert(linhas.end(),
                      {"011-000 = 0", "028-000 = 0", "030-000 = " + textos::TefCancelado, "999-999 = 0"});
        GravaResposta("intpos.001", linhas);
    }
    C.tmOculta->SetEnabled(true);
}

void TfrmPrincipal::RespondeVenda(TLinhas& linhas) {
    if (linhas.size() >= 2 && linhas[0].find("CRT") != std::string::npos) {
        for (auto& linha : linhas) {
            if (linha.find("003-000") != std::string::npos) {
                linha = "003-000 = " + FValorTexto;
                break;
            }
        }
    }
    const auto substitui = [&linhas](const char* marcador, const std::string& valor) {
        linhas = DivideLinhas(SubstituiTodos(TextoLinhas(linhas), marcador, valor));
    };
    substitui("#001#", FIdentificacao);
    substitui("#002#", FDocumento);
    substitui("#016#", DataHoraCompacta(Application.Agora()));

    TLinhas resposta;
    for (const auto& linha : linhas)
        if (TemByteVisivel(linha)) resposta.push_back(linha);
    GravaResposta("intpos.001", resposta);
    C.tmOculta->SetEnabled(true);
}

// ---- exchange files ---------------------------------------------------------------------

void TfrmPrincipal::GravaResposta(const std::string& nome, const TLinhas& linhas) {
    if (!DiretorioExiste(FDirTemp)) CriaDiretorio(FDirTemp);
    const TDataHora t = Application.Agora();
    const std::string temporario = FDirTemp + "ArqTemp_" + std::to_string(t.hora) + "_" + std::to_string(t.minuto) +
                                   "_" + std::to_string(t.segundo) + "_" + std::to_string(t.milissegundo) + ".tef";
    if (ArquivoExiste(temporario)) ApagaArquivo(temporario);
    SalvaLinhas(temporario, linhas, /*sincroniza=*/true);

    // One rename puts the complete file in place: the commercial application
    // sees the old file or the new one, never none or half of one.
    const std::string destino = FDirResp + nome;
    if (std::rename(temporario.c_str(), destino.c_str()) != 0) {
        const int erro = errno;
        ApagaArquivo(temporario);
        throw EFCreateError("Cannot create file \"" + destino + "\". " + std::strerror(erro));
    }
    SincronizaDiretorio(FDirResp);

    if (nome != "Ativo.001") GravaDebug("Resp", linhas, destino);
}

void TfrmPrincipal::GravaAtivo() {
    const std::string ativo = FDirResp + "Ativo.001";
    if (ArquivoExiste(ativo)) ApagaArquivo(ativo);
    const TDataHora agora = Application.Agora();
    GravaResposta("Ativo.001", {"000-000 = TEF", "016-000 = " + DataHoraCompacta(agora), "999-999 = 0"});
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
}

// ---- trace and error log ------------------------------------------------------------------

void TfrmPrincipal::GravaDebug(const std::string& tipo, const TLinhas& linhas, const std::string& caminho) {
    if (FDirDebug.empty() || !DiretorioExiste(FDirDebug)) return;
    try {
        const std::string arquivo = FDirDebug + "Debug.txt";
        TLinhas lista;
        if (ArquivoExiste(arquivo)) lista = CarregaLinhas(arquivo);
        lista.push_back(std::string(56, '-'));
        lista.push_back("Tipo: " + tipo);
        lista.push_back("Nome do Arquivo: " + caminho);
        lista.push_back("Data: " + DataHoraRegional(Application.Agora()));
        // The lone CR becomes the empty line between header and content.
        const TLinhas corpo = DivideLinhas("\r" + TextoLinhas(linhas));
        lista.insert(lista.end(), corpo.begin(), corpo.end());
        SalvaLinhas(arquivo, lista);
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

void TfrmPrincipal::GravaLogErro(const std::string& texto) { AnexaLogErro(DiretorioExe() + "LogErro.txt", texto); }

void TfrmPrincipal::EurekaLog1ExceptionNotify(const std::string& relatorio) { GravaLogErro(relatorio); }

// ---- configuration --------------------------------------------------------------------------

void TfrmPrincipal::CarregaParametros() {
    if (MaiusculasAnsi(Application.ExeName()).find("TEFORVEXHOMOLOGA.EXE") == std::string::npos) {
        TRegistry reg;
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
        TfrmParametro parametro(*dialogo, FChaveRegistro, TArmazemRegistro::CaminhoPadrao());
        dialogo->ShowModal();
    }
    CarregaParametros();
}
