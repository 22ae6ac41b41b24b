// A manager on the virtual component layer, in a private directory, for the
// controller's tests.
#pragma once

#include "Ambiente.h"
#include "ComponentesVirtuais.h"
#include "untPrincipal.h"

struct TGerenteVirtual {
    explicit TGerenteVirtual(const std::string& subdiretorio = "")
        : B(dir.Caminho() + subdiretorio),
          app((CriaDir(B), B + "TefOrvex")),
          form(app),
          frm(app, form.Componentes()) {
        frm.PreparaDiretorios();
    }

    // Starts polling, as the end of startup does.
    void Inicia() { form.tmVerifica->SetEnabled(true); }

    void Pedido(const TLinhas& linhas, const std::string& nome = "intpos.001") {
        SalvaLinhas(B + "req/" + nome, linhas);
    }
    std::string Resp(const std::string& nome) const { return LeBytes(B + "resp/" + nome); }
    bool TemResp(const std::string& nome) const { return Existe(B + "resp/" + nome); }

    TDiretorioTemporario dir;
    std::string B;
    componentes::TAplicacaoVirtual app;
    componentes::TFormPrincipalVirtual form;
    TfrmPrincipal frm;
};
