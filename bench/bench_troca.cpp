// Cost of the manager's own work per exchange: one request tick (without the
// half-second wait the commercial application is given), one response write
// with fsync, and one trace entry on a large "Debug.txt".
#include "Gerente.h"

#include <benchmark/benchmark.h>

namespace {

const TLinhas kPedido = {"000-000 = CRT", "001-000 = 4711", "002-000 = 123456", "003-000 = 1000",
                         "007-000 = 12345678909", "999-999 = 0"};

void BM_TickDePedido(benchmark::State& estado) {
    TGerenteVirtual g;
    g.Inicia();
    g.form.tmShow->SetEnabled(false);
    for (auto _ : estado) {
        estado.PauseTiming();
        g.Pedido(kPedido);
        estado.ResumeTiming();
        // The tick: list, read, parse, acknowledge (the virtual 500 ms sleep costs nothing).
        g.app.Avanca(500);
    }
}
BENCHMARK(BM_TickDePedido)->Unit(benchmark::kMicrosecond);

void BM_GravaRespostaComFsync(benchmark::State& estado) {
    TGerenteVirtual g;
    const TLinhas resposta = {"000-000 = CRT", "001-000 = 4711", "002-000 = 123456", "003-000 = 1000",
                              "009-000 = 0",  "010-000 = VISA", "999-999 = 0"};
    for (auto _ : estado) g.frm.GravaResposta("intpos.001", resposta);
}
BENCHMARK(BM_GravaRespostaComFsync)->Unit(benchmark::kMicrosecond);

void BM_GravaDebug(benchmark::State& estado) {
    TGerenteVirtual g;
    CriaDir(g.B + "debug");
    const std::size_t tamanho = static_cast<std::size_t>(estado.range(0)) * 1024 * 1024;
    std::string conteudo;
    conteudo.reserve(tamanho + 64);
    while (conteudo.size() < tamanho) conteudo += "003-000 = 1000 linha antiga do traco de exemplo\r\n";
    for (auto _ : estado) {
        estado.PauseTiming();
        GravaBytes(g.B + "debug/Debug.txt", conteudo);
        estado.ResumeTiming();
        g.frm.GravaDebug("Resp", kPedido, g.B + "resp/intpos.sts");
    }
    estado.SetLabel(std::to_string(estado.range(0)) + " MB Debug.txt");
}
BENCHMARK(BM_GravaDebug)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
