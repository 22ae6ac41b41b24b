#include "AplicacaoQt.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <QMessageBox>
#include <QThread>
#include <climits>
#include <cstdlib>

namespace componentes {

QString ParaQString(const std::string& textoCp1252) {
    return QString::fromStdU16String(Cp1252ParaUtf16(textoCp1252));
}

std::string DeQString(const QString& texto) { return Utf16ParaCp1252(texto.toStdU16String()); }

TAplicacaoQt::TAplicacaoQt(std::string exeName, std::string primeiroParametro)
    : exeName_(std::move(exeName)), primeiroParametro_(std::move(primeiroParametro)) {}

std::string TAplicacaoQt::CaminhoExecutavel(const char* argv0) { return CaminhoDoExecutavel(argv0); }

void TAplicacaoQt::ProcessMessages() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void TAplicacaoQt::Sleep(int ms) { QThread::msleep(static_cast<unsigned long>(ms)); }

void TAplicacaoQt::SetTitle(const std::string& titulo) {
    // The main window carries the title; as the application's display name
    // it would also be appended to every message box's title.
    titulo_ = titulo;
}

void TAplicacaoQt::Terminate() { QCoreApplication::quit(); }

void TAplicacaoQt::MessageBox(TipoMensagem tipo, const std::string& texto) {
    // Line breaks of the system's texts are CR or CR LF.
    QString t = ParaQString(texto);
    t.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(QChar('\r'), QChar('\n'));
    const bool erro = tipo == TipoMensagem::Erro;
    // The operator reads Portuguese, the box's title included.
    QMessageBox caixa(erro ? QMessageBox::Critical : QMessageBox::Information,
                      erro ? QStringLiteral("Erro") : QString::fromUtf8("Informa\xC3\xA7\xC3\xA3o"), t, QMessageBox::Ok);
    caixa.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    caixa.exec();
}

bool TAplicacaoQt::EsperaAte(const std::function<bool()>& pronto, int limiteMs) {
    QElapsedTimer relogio;
    relogio.start();
    while (!pronto()) {
        const qint64 resta = limiteMs - relogio.elapsed();
        if (resta <= 0) return false;
        // Wakes for every event, and at least every 10 ms to look again.
        QEventLoop laco;
        QTimer::singleShot(static_cast<int>(std::min<qint64>(resta, 10)), &laco, &QEventLoop::quit);
        laco.exec();
    }
    return true;
}

std::unique_ptr<ITimer> TAplicacaoQt::CriaTimer(const std::string& nome) {
    return std::make_unique<TTimerQt>(*this, nome);
}

bool TAplicacaoQt::ExecutaHandler(const std::string& nome, const std::function<void()>& handler) {
    return reporter_.Executa(nome, handler, [] { return DataHoraLocal(); });
}

TTimerQt::TTimerQt(IAplicacao& app, std::string nome) : app_(app), nome_(std::move(nome)) {
    timer_.setInterval(1000);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
        if (handler_) app_.ExecutaHandler(nome_ + "Timer", handler_);
    });
}

void TTimerQt::SetEnabled(bool ativo) {
    if (ativo == timer_.isActive()) return;  // enabling an enabled timer keeps its count
    if (ativo) timer_.start();
    else timer_.stop();
}

void TTimerQt::SetInterval(int ms) {
    if (ms == timer_.interval()) return;
    timer_.setInterval(ms);  // restarts the count of a running timer
}

}  // namespace componentes
