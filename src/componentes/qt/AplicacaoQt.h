// The application object, timers and message boxes on Qt.
#pragma once

#include "Componentes.h"

#include <QString>
#include <QTimer>

namespace componentes {

// Windows-1252 <-> QString.
QString ParaQString(const std::string& textoCp1252);
std::string DeQString(const QString& texto);

class TAplicacaoQt : public IAplicacao {
public:
    TAplicacaoQt(std::string exeName, std::string primeiroParametro);
    void ProcessMessages() override;
    void Sleep(int ms) override;
    std::string ExeName() const override { return exeName_; }
    std::string PrimeiroParametro() const override { return primeiroParametro_; }
    void SetTitle(const std::string& titulo) override;
    std::string Title() const override { return titulo_; }
    void Terminate() override;
    TDataHora Agora() const override { return DataHoraLocal(); }
    void MessageBox(TipoMensagem tipo, const std::string& texto) override;
    bool EsperaAte(const std::function<bool()>& pronto, int limiteMs) override;
    std::unique_ptr<ITimer> CriaTimer(const std::string& nome) override;
    bool ExecutaHandler(const std::string& nome, const std::function<void()>& handler) override;
    TReporterExcecao& Reporter() override { return reporter_; }

    // The executable's path as invoked: absolute, symbolic links kept.
    static std::string CaminhoExecutavel(const char* argv0);

private:
    std::string exeName_, primeiroParametro_, titulo_;
    TReporterExcecao reporter_;
};

class TTimerQt : public ITimer {
public:
    TTimerQt(IAplicacao& app, std::string nome);
    void SetEnabled(bool ativo) override;
    bool Enabled() const override { return timer_.isActive(); }
    void SetInterval(int ms) override;
    int Interval() const override { return timer_.interval(); }
    void SetOnTimer(std::function<void()> handler) override { handler_ = std::move(handler); }

private:
    IAplicacao& app_;
    std::string nome_;
    QTimer timer_;
    std::function<void()> handler_;
};

}  // namespace componentes
