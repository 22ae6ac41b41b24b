// What the profile upkeep adds to a start when the production host cannot be
// reached: the certificate refresh with the real HTTP client, for a host name
// that does not resolve and for a loopback port where nothing listens, and the
// cache deletion of a small tree.
#include "ClienteHttp.h"
#include "Gerente.h"

#include <benchmark/benchmark.h>
#include <cstdlib>

namespace {

void Refresca(benchmark::State& estado, const char* base) {
    setenv("TEF_PRODUCAO", base, 1);
    TGerenteVirtual g;
    CriaDir(g.B + "mozembed");  // as installed
    componentes::TClienteHttpCurl cliente;
    auto c = g.form.Componentes();
    c.IdHTTP1 = &cliente;
    TfrmPrincipal frm(g.app, c);
    for (auto _ : estado) frm.AtualizaCertificados();
    if (!Existe(g.B + "mozembed/Profiles/default")) estado.SkipWithError("the profile directory was not made");
    unsetenv("TEF_PRODUCAO");
}

void BM_AtualizaCertificados_HostSemResolucao(benchmark::State& estado) {
    Refresca(estado, "https://tef.host-que-nao-existe.invalid");
}
BENCHMARK(BM_AtualizaCertificados_HostSemResolucao)->Unit(benchmark::kMillisecond);

void BM_AtualizaCertificados_PortaFechada(benchmark::State& estado) { Refresca(estado, "https://127.0.0.1:9"); }
BENCHMARK(BM_AtualizaCertificados_PortaFechada)->Unit(benchmark::kMillisecond);

void BM_LimpaCache_200Entradas(benchmark::State& estado) {
    TGerenteVirtual g;
    const std::string cache = g.B + "mozembed/Profiles/default/Cache/";
    for (auto _ : estado) {
        estado.PauseTiming();
        for (int d = 0; d < 10; ++d) {
            CriaDir(cache + "d" + std::to_string(d));
            for (int f = 0; f < 20; ++f) GravaBytes(cache + "d" + std::to_string(d) + "/f" + std::to_string(f), "x");
        }
        estado.ResumeTiming();
        g.frm.LimpaCache();
    }
}
BENCHMARK(BM_LimpaCache_200Entradas)->Unit(benchmark::kMillisecond);

}  // namespace
