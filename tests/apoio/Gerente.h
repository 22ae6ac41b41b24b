// A manager on the virtual component layer, in a private directory, for the
// controller's tests; a timer that watches it between messages.
#pragma once

#include "Ambiente.h"
#include "ComponentesVirtuais.h"
#include "untPrincipal.h"

#include <functional>
#include <memory>
#include <utility>

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

// Another run of the manager on the same installation: what a restart finds
// (after a stop, or after the process ended in the middle of a sale).
struct TNovaExecucao {
    explicit TNovaExecucao(const std::string& b) : B(b), app(B + "TefOrvex"), form(app), frm(app, form.Componentes()) {}
    // The start's handling of the exchange directories.
    void Prepara() { frm.PreparaDiretorios(); }
    std::string Resp(const std::string& nome) const { return LeBytes(B + "resp/" + nome); }
    bool TemResp(const std::string& nome) const { return Existe(B + "resp/" + nome); }

    std::string B;
    componentes::TAplicacaoVirtual app;
    componentes::TFormPrincipalVirtual form;
    TfrmPrincipal frm;
};

// A timer that is due at every ProcessMessages (interval 0) and records what
// it sees. Only for direct calls: never left enabled across Avanca, which
// would spin on it.
struct Espiao {
    Espiao(componentes::TAplicacaoVirtual& app, std::function<void()> f) : t(app.CriaTimer("espiao")) {
        t->SetInterval(0);
        t->SetOnTimer(std::move(f));
        t->SetEnabled(true);
    }
    ~Espiao() { t->SetEnabled(false); }
    std::unique_ptr<componentes::ITimer> t;
};
