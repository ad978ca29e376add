// The contract check and interning, the per-access and per-construction
// costs of a guard.
#include "support/policy.hpp"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

using namespace olvex::support;

// 100 entries sharing a long prefix: domain.orders.itemN.qty.
std::vector<std::string> shared_prefix_entries() {
  std::vector<std::string> out;
  for (int i = 0; i < 100; ++i) out.push_back("domain.orders.item" + std::to_string(i) + ".qty");
  return out;
}

void check_loop(benchmark::State& state, const char* path) {
  std::vector<std::string> texts = shared_prefix_entries();
  std::vector<std::string_view> inputs(texts.begin(), texts.end());
  std::vector<std::uint64_t> words;
  for (std::string_view t : inputs) words.push_back(text_hash(t));
  PolicyRegistry registry;
  const SharedPolicy& policy = registry.intern({inputs, {}, false, words});
  for (auto _ : state) {
    benchmark::DoNotOptimize(check_permissions(policy, false, path, false));
  }
}

// A 4-segment path that only the last entry matches, and one that none does.
void BM_CheckPermissions_LastOf100(benchmark::State& state) { check_loop(state, "domain.orders.item99.qty"); }
void BM_CheckPermissions_NoneOf100(benchmark::State& state) { check_loop(state, "domain.orders.item100.qty"); }

// Looking up a contract that is already interned (10 inputs, 5 outputs).
void BM_InternKnownContract(benchmark::State& state) {
  std::vector<std::string> texts;
  for (int i = 0; i < 10; ++i) texts.push_back("domain.orders.in" + std::to_string(i));
  for (int i = 0; i < 5; ++i) texts.push_back("domain.orders.out" + std::to_string(i));
  std::vector<std::string_view> views(texts.begin(), texts.end());
  std::vector<std::uint64_t> words;
  for (std::string_view t : views) words.push_back(text_hash(t));
  PolicyKey key{std::span(views).first(10), std::span(views).subspan(10), false, words};
  PolicyRegistry registry;
  registry.intern(key);
  for (auto _ : state) {
    benchmark::DoNotOptimize(&registry.intern(key));
  }
}

BENCHMARK(BM_CheckPermissions_LastOf100);
BENCHMARK(BM_CheckPermissions_NoneOf100);
BENCHMARK(BM_InternKnownContract);

}  // namespace
