// The schema configuration check against a bare libyaml event pass over the
// same generated 1,000-field schema (bench/data/schema_1000.yaml).
#include <benchmark/benchmark.h>
#include <yaml.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "support/schema_config.hpp"

namespace {

const std::string& schema_text() {
  static const std::string text = [] {
    auto path = std::filesystem::path(__FILE__).parent_path().parent_path() / "data" / "schema_1000.yaml";
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }();
  return text;
}

// Every event of the text, parsed and dropped: the least any reader pays.
std::size_t event_pass(const std::string& text) {
  yaml_parser_t p;
  yaml_parser_initialize(&p);
  yaml_parser_set_encoding(&p, YAML_UTF8_ENCODING);
  yaml_parser_set_input_string(&p, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  std::size_t events = 0;
  for (bool done = false; !done;) {
    yaml_event_t e;
    if (!yaml_parser_parse(&p, &e)) break;
    done = e.type == YAML_STREAM_END_EVENT;
    yaml_event_delete(&e);
    ++events;
  }
  yaml_parser_delete(&p);
  return events;
}

void BM_LibyamlEventPass_Schema1000(benchmark::State& state) {
  const std::string& text = schema_text();
  for (auto _ : state) benchmark::DoNotOptimize(event_pass(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_SchemaCheck_Schema1000(benchmark::State& state) {
  const std::string& text = schema_text();
  if (olvex::support::check_schema_config(text)) state.SkipWithError("the generated schema does not fit");
  for (auto _ : state) benchmark::DoNotOptimize(olvex::support::check_schema_config(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

BENCHMARK(BM_LibyamlEventPass_Schema1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SchemaCheck_Schema1000)->Unit(benchmark::kMicrosecond);

}  // namespace
