// qzb_micro: Google Benchmark timings of the line parser's number conversions against the C
// library's, on the numbers of a generated model ("-12.345678", "4096").
#include <cstdlib>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "qz_filefunc.h"

namespace {

std::vector<std::string> float_texts() {
    std::vector<std::string> v;
    uint64_t s = 1;
    char buf[32];
    for (int i = 0; i < 4096; i++) {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        snprintf(buf, sizeof buf, " %.6f", static_cast<double>(s >> 40) / 8388608.0 - 1.0);
        v.emplace_back(buf);
    }
    return v;
}

std::vector<std::string> uint_texts() {
    std::vector<std::string> v;
    for (unsigned i = 0; i < 4096; i++)
        v.push_back(std::to_string(i * 8 + 1) + "/");
    return v;
}

void read_float_parser(benchmark::State &state) {
    std::vector<std::string> texts = float_texts();
    parser ps{};
    for (auto _ : state)
        for (std::string &t : texts) {
            char *end = nullptr;
            benchmark::DoNotOptimize(read_float(t.data(), &end, &ps));
        }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(texts.size()));
}
BENCHMARK(read_float_parser);

void read_float_strtof(benchmark::State &state) {
    std::vector<std::string> texts = float_texts();
    for (auto _ : state)
        for (std::string &t : texts) {
            char *end = nullptr;
            benchmark::DoNotOptimize(strtof(t.data(), &end));
        }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(texts.size()));
}
BENCHMARK(read_float_strtof);

void read_uint_parser(benchmark::State &state) {
    std::vector<std::string> texts = uint_texts();
    parser ps{};
    for (auto _ : state)
        for (std::string &t : texts) {
            char *end = nullptr;
            benchmark::DoNotOptimize(read_uint(t.data(), &end, &ps));
        }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(texts.size()));
}
BENCHMARK(read_uint_parser);

void read_uint_strtoul(benchmark::State &state) {
    std::vector<std::string> texts = uint_texts();
    for (auto _ : state)
        for (std::string &t : texts) {
            char *end = nullptr;
            benchmark::DoNotOptimize(strtoul(t.data(), &end, 10));
        }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(texts.size()));
}
BENCHMARK(read_uint_strtoul);

} // namespace

BENCHMARK_MAIN();
