// The main window's controller: state of the current transaction, intake of
// requests from the commercial application, the exchange files it writes,
// cancellation, the trace and the error log. It reaches the desktop only
// through the component layer.
#pragma once

#include "Componentes.h"
#include "untFuncao.h"

#include <cstdint>
#include <string>

// Texts the manager writes or shows (Windows-1252).
namespace textos {
inline const std::string AguardandoAplicativo = "TEF, Aguardando Aplicativo Comercial....";
inline const std::string TefCancelado = "TEF Marel Raruveda foi cancelado";
inline const std::string ValorZerado =
    "O Aplicado Comercial passou o valor da venda zerado.\rO TEF ser\xE1 cancelado.";
}  // namespace textos

class TfrmPrincipal {
public:
    TfrmPrincipal(componentes::IAplicacao& app, const componentes::TComponentesPrincipal& componentes);
    TfrmPrincipal(const TfrmPrincipal&) = delete;
    TfrmPrincipal& operator=(const TfrmPrincipal&) = delete;

    // ---- components of the window's design ----
    componentes::IAplicacao& Application;
    componentes::TComponentesPrincipal C;

    // ---- private state (public so the tests can see it) ----
    std::string FTela;
    std::string FUrl;
    std::string FDirResp;
    std::string FDirReq;
    std::string FDirTemp;
    std::string FDirDebug;
    std::string FChaveRegistro;
    std::string FComando;
    std::string FIdentificacao;
    std::string FDocumento;
    std::string FValorTexto;
    std::string FCampo012;
    std::string FNumCupom;
    std::string FCpf;
    TCurrency FValor = 0;
    bool FModoAdm = false;
    bool FTelaAberta = false;
    bool FTefComercial = false;
    std::int32_t FLojCodigo = 0;
    std::string FUsuLogin;
    std::string FUsuSenha;

    // The executable's directory with its trailing "/".
    std::string DiretorioExe() const;

    // ---- event handlers ----
    void tmVerificaTimer();
    void Restaurar1Click();
    void Administrao1Click();
    void EurekaLog1ExceptionNotify(const std::string& relatorio);

    // ---- operations ----
    void LimpaTransacao();
    void IniciaVenda();
    void IniciaAdm();
    void AbreTela(const std::string& nome);
    void CancelaTef();
    void RespondeVenda(TLinhas& linhas);
    void GravaResposta(const std::string& nome, const TLinhas& linhas);
    void GravaAtivo();
    void GravaDebug(const std::string& tipo, const TLinhas& linhas, const std::string& caminho);
    void GravaLogErro(const std::string& texto);

    // The exchange directories: sets the four directory fields, creates resp/
    // and req/ when missing, and deletes the files directly inside them.
    void PreparaDiretorios();

private:
    void LeCampo(const std::string& linha);
    void DespachaComando();
};
