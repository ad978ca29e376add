// Zone resolution plus override lookup, the per-read cost of a proxy.
#include "support/capabilities.hpp"
#include "support/zones.hpp"

#include <benchmark/benchmark.h>

#include <string>

namespace {

using namespace olvex::support;

void fill_overrides(int n) {
    clear_physics_overrides();
    for (int i = 0; i < n; ++i) register_physics_override("domain.p" + std::to_string(i) + ".x", 5);
}

// A miss walks every prefix, so it is the slow case.
void lookup_loop(benchmark::State& state, const char* path) {
    fill_overrides(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        const ContextZone zone = resolve_zone(path);
        const auto caps = get_physics_override(path);
        benchmark::DoNotOptimize(zone);
        benchmark::DoNotOptimize(caps);
    }
    clear_physics_overrides();
}

void BM_ZoneAndOverride_Bracketed(benchmark::State& state) { lookup_loop(state, "domain.items[0].name"); }
void BM_ZoneAndOverride_Dotted(benchmark::State& state) { lookup_loop(state, "domain.items.first.name"); }

// A hit on the shortest prefix, after three misses.
void BM_ZoneAndOverride_PrefixHit(benchmark::State& state) {
    fill_overrides(static_cast<int>(state.range(0)));
    register_physics_override("domain", 1);
    const char* path = "domain.items[0].name";
    for (auto _ : state) {
        benchmark::DoNotOptimize(path_physics(path));
    }
    clear_physics_overrides();
}

BENCHMARK(BM_ZoneAndOverride_Bracketed)->Arg(0)->Arg(1000);
BENCHMARK(BM_ZoneAndOverride_Dotted)->Arg(0)->Arg(1000);
BENCHMARK(BM_ZoneAndOverride_PrefixHit)->Arg(1000);

}  // namespace
