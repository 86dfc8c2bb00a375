#include <benchmark/benchmark.h>

#include "message/message.hpp"

namespace {

using namespace kavro::message;

// No peer packs messages in process (the reference's encoder is a whole program), so these stand
// alone: medians over 10^5 calls.
void BM_Pack77Unpack77Standard(benchmark::State& state) {
    const Ft8Message message = Standard{"K1ABC", "W9XYZ", grid_field::Grid{"EN37"}};
    for (auto _ : state) {
        CallsignHashTable table;  // each call starts with an empty table, as the Python functions do
        const auto payload = pack77(message, table);
        benchmark::DoNotOptimize(unpack77(*payload, table));
    }
}
BENCHMARK(BM_Pack77Unpack77Standard)->Iterations(100000)->Repetitions(9)->ReportAggregatesOnly(true);

void BM_Pack77Unpack77FreeText(benchmark::State& state) {
    const Ft8Message message = FreeText{"TNX BOB 73 GL"};
    CallsignHashTable table;
    for (auto _ : state) {
        const auto payload = pack77(message, table);
        benchmark::DoNotOptimize(unpack77(*payload, table));
    }
}
BENCHMARK(BM_Pack77Unpack77FreeText)->Iterations(100000)->Repetitions(9)->ReportAggregatesOnly(true);

}  // namespace
