// tef-comercial.exe, a Windows program, against a req/ and resp/ pair that
// this test answers with the manager's own controller (on the virtual
// layer, with real files): a sale approved by the page, a cancellation, and
// a request left unanswered.
#include "Gerente.h"

#include <gtest/gtest.h>
// Neither min/max macros nor the rarely used parts of the headers.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

// Linux paths reach Windows programs under Wine through drive Z:.
std::string CaminhoWindows(const std::string& caminho) {
    return !caminho.empty() && caminho[0] == '/' ? "Z:" + caminho : caminho;
}

// tef-comercial.exe running with its output in a file.
struct TComercial {
    PROCESS_INFORMATION pi{};
    HANDLE saida = INVALID_HANDLE_VALUE;
    std::string arquivoSaida;

    TComercial(const std::string& diretorio, const std::string& argumentos) : arquivoSaida(diretorio + "saida.txt") {
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        saida = CreateFileA(arquivoSaida.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        STARTUPINFOA si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = si.hStdError = saida;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        std::string linha = "\"" + CaminhoWindows(TEF_COMERCIAL_EXE) + "\" --dir \"" + diretorio + "\" " + argumentos;
        if (!CreateProcessA(nullptr, linha.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
            ADD_FAILURE() << "tef-comercial.exe did not start: " << GetLastError();
    }
    ~TComercial() {
        if (pi.hProcess) {
            TerminateProcess(pi.hProcess, 99);
            CloseHandle(pi.hProcess);
            CloseHandle(pi.hThread);
        }
        if (saida != INVALID_HANDLE_VALUE) CloseHandle(saida);
    }
    bool Terminou() const { return pi.hProcess && WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0; }
    DWORD Codigo() const {
        DWORD c = 0;
        GetExitCodeProcess(pi.hProcess, &c);
        return c;
    }
    std::string Saida() const { return LeBytes(arquivoSaida); }
};

struct ComercialWindows : ::testing::Test {
    TGerenteVirtual g;
    void SetUp() override {
        g.frm.FUrl = "http://loja.exemplo/";
        g.frm.GaranteAtivo();
        g.Inicia();
    }
    // The manager's time runs while the program works; each step lets the
    // other process on for a moment. Bounded by the virtual time.
    bool Ate(TComercial& c, const std::function<bool()>& condicao, int limiteMs = 60000) {
        for (int t = 0; t < limiteMs && !condicao() && !c.Terminou(); t += 50) {
            g.app.Avanca(50);
            WaitForSingleObject(c.pi.hProcess, 10);
        }
        return condicao();
    }
};

TEST_F(ComercialWindows, VendaAprovadaPelaPagina) {
    TComercial c(g.B, "crt --valor 1000 --documento 77 --id 501");
    ASSERT_TRUE(Ate(c, [&] { return !g.form.GeckoBrowser1.Enderecos.empty(); })) << c.Saida();
    g.form.GeckoBrowser1.Canal =
        u"000-000 = CRT\u00A7001-000 = #001#\u00A7002-000 = #002#\u00A7003-000 = 0\u00A7009-000 = 0\u00A7"
        u"030-000 = Transa\u00E7\u00E3o aprovada\u00A7999-999 = 0";
    ASSERT_TRUE(Ate(c, [&] { return c.Terminou(); })) << c.Saida();
    EXPECT_EQ(c.Codigo(), 0u) << c.Saida();
    const std::string saida = c.Saida();
    EXPECT_NE(saida.find("001-000 = 501"), std::string::npos) << saida;
    EXPECT_NE(saida.find("002-000 = 77"), std::string::npos) << saida;
    EXPECT_NE(saida.find("Resposta: venda aprovada"), std::string::npos) << saida;
    EXPECT_FALSE(g.TemResp("intpos.001")) << "the application consumed the answer";
    EXPECT_FALSE(g.TemResp("intpos.sts"));
}

TEST_F(ComercialWindows, CancelamentoPeloOperador) {
    TComercial c(g.B, "crt --valor 250 --id 502");
    ASSERT_TRUE(Ate(c, [&] { return !g.form.GeckoBrowser1.Enderecos.empty(); })) << c.Saida();
    g.app.ExecutaHandler("SpeedButton1Click", g.form.Eventos.SpeedButton1Click);
    ASSERT_TRUE(Ate(c, [&] { return c.Terminou(); })) << c.Saida();
    EXPECT_EQ(c.Codigo(), 4u) << c.Saida();
    EXPECT_NE(c.Saida().find("TEF Marel Raruveda foi cancelado"), std::string::npos);
}

TEST_F(ComercialWindows, SemGerenteOPedidoFicaEOProgramaDesiste) {
    g.form.tmVerifica->SetEnabled(false);  // a manager that does not poll
    TComercial c(g.B, "cnf --id 503 --espera-sts 1");
    ASSERT_EQ(WaitForSingleObject(c.pi.hProcess, 60000), WAIT_OBJECT_0);
    EXPECT_EQ(c.Codigo(), 5u) << c.Saida();
    EXPECT_TRUE(Existe(g.B + "req/intpos.001")) << "the request waits in req/";
}

}  // namespace
