#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "fec/reed_solomon.hpp"

extern "C" {
#include <fec.h>
}

namespace {

using kavro::fec::ReedSolomon;

constexpr std::size_t kWords = 64;

// kWords RS(204, 188) codewords, each with `errors` byte errors at random positions; `sent`
// receives the codewords as sent.
std::vector<std::vector<std::uint8_t>> received_words(const ReedSolomon& rs, std::size_t errors,
                                                      std::vector<std::vector<std::uint8_t>>* sent = nullptr) {
    std::mt19937 rng(static_cast<unsigned>(errors));
    std::uniform_int_distribution<int> byte(0, 255), nonzero(1, 255);
    std::vector<std::vector<std::uint8_t>> words;
    for (std::size_t w = 0; w < kWords; ++w) {
        std::vector<std::uint8_t> word(rs.k());
        for (auto& b : word) b = static_cast<std::uint8_t>(byte(rng));
        const auto parity = rs.encode(word);
        word.insert(word.end(), parity.begin(), parity.end());
        if (sent) sent->push_back(word);
        std::vector<std::size_t> pos(word.size());
        for (std::size_t i = 0; i < pos.size(); ++i) pos[i] = i;
        std::shuffle(pos.begin(), pos.end(), rng);
        for (std::size_t e = 0; e < errors; ++e) word[pos[e]] ^= static_cast<std::uint8_t>(nonzero(rng));
        words.push_back(std::move(word));
    }
    return words;
}

// True when `decode` (in place on a copy) restores every sent word; both decoders are checked
// so before timing.
template <class Decode>
bool restores_every_word(const std::vector<std::vector<std::uint8_t>>& received,
                         const std::vector<std::vector<std::uint8_t>>& sent, Decode decode) {
    for (std::size_t w = 0; w < received.size(); ++w) {
        std::vector<std::uint8_t> buf = received[w];
        decode(buf);
        if (buf != sent[w]) return false;
    }
    return true;
}

// Bytes counted are codeword bytes (204 per word). Each iteration decodes a fresh copy.
void rs204_decode(benchmark::State& state) {
    const ReedSolomon rs = *ReedSolomon::construct(204, 16);
    std::vector<std::vector<std::uint8_t>> sent;
    const auto words = received_words(rs, static_cast<std::size_t>(state.range(0)), &sent);
    if (!restores_every_word(words, sent, [&](std::vector<std::uint8_t>& b) { (void)rs.decode_in_place(b); }))
        return state.SkipWithError("kavro_sdr's decoder does not restore the words");
    std::vector<std::uint8_t> buf(204);
    std::size_t w = 0;
    for (auto _ : state) {
        std::copy(words[w].begin(), words[w].end(), buf.begin());
        benchmark::DoNotOptimize(rs.decode_in_place(buf));
        w = (w + 1) % kWords;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 204));
}
BENCHMARK(rs204_decode)->Arg(0)->Arg(8);

// libfec's RS decoder for the same code (shortened by 51 from RS(255, 239)).
void libfec_rs204_decode(benchmark::State& state) {
    const ReedSolomon rs = *ReedSolomon::construct(204, 16);
    std::vector<std::vector<std::uint8_t>> sent;
    const auto words = received_words(rs, static_cast<std::size_t>(state.range(0)), &sent);
    void* oracle = init_rs_char(8, 0x11d, 0, 1, 16, 51);
    if (!restores_every_word(words, sent, [&](std::vector<std::uint8_t>& b) { decode_rs_char(oracle, b.data(), nullptr, 0); })) {
        free_rs_char(oracle);
        return state.SkipWithError("libfec's decoder does not restore the words");
    }
    std::vector<std::uint8_t> buf(204);
    std::size_t w = 0;
    for (auto _ : state) {
        std::copy(words[w].begin(), words[w].end(), buf.begin());
        benchmark::DoNotOptimize(decode_rs_char(oracle, buf.data(), nullptr, 0));
        w = (w + 1) % kWords;
    }
    free_rs_char(oracle);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 204));
}
BENCHMARK(libfec_rs204_decode)->Arg(0)->Arg(8);

void rs204_encode(benchmark::State& state) {
    const ReedSolomon rs = *ReedSolomon::construct(204, 16);
    std::vector<std::uint8_t> message(188, 0x5A), parity(16);
    for (auto _ : state) {
        rs.encode_into(message, parity);
        benchmark::DoNotOptimize(parity.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 188));
}
BENCHMARK(rs204_encode);

void rs_construct(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(ReedSolomon::construct(204, 16));
}
BENCHMARK(rs_construct);

}  // namespace
