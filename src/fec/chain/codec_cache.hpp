#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "fec/bch.hpp"
#include "fec/code_kinds.hpp"
#include "fec/ldpc_codes.hpp"
#include "fec/reed_solomon.hpp"

// Built LDPC, BCH and Reed-Solomon codes, shared by every frame object that holds the same cache.
//
// Building a code (an LDPC parity-check matrix above all) costs far more than a frame, and a code
// is a pure function of its parameters, so each is built once per cache on first request and
// handed out by reference count afterwards. Each of the three lists has its own mutex, held for
// the whole lookup-and-build of one request: two requests for the same missing code build it
// once. Entries are never removed.
//
// Building fails only for parameters no valid configuration produces; that is an internal fault,
// and it poisons the list it happened in: every later request on that list is an internal fault
// too, while the other two lists keep working.

namespace kavro::fec {

class CodecCache {
public:
    // Message length of every BCH code the cache builds.
    static constexpr std::size_t bch_message_bits = 120;

    CodecCache() = default;
    CodecCache(const CodecCache&) = delete;
    CodecCache& operator=(const CodecCache&) = delete;

    std::shared_ptr<const Ldpc> ldpc(LdpcCode code);

    // The BCH code of capability t carrying 120 message bits: n = 120 + deg, where deg is the
    // degree of the full-length code's generator. t must lie in 1..=19.
    std::shared_ptr<const Bch> bch(std::size_t t);

    // 1 <= n <= 255 and n_parity < n.
    std::shared_ptr<const ReedSolomon> rs(std::size_t n, std::size_t n_parity);

private:
    template <class Key, class Code>
    struct CodeList {
        std::mutex mutex;
        bool poisoned = false;  // a build failed while the list was locked
        std::vector<std::pair<Key, std::shared_ptr<const Code>>> entries;
    };

    template <class Key, class Code, class Build>
    static std::shared_ptr<const Code> fetch(CodeList<Key, Code>& list, const Key& key, Build&& build);

    using BchKey = std::pair<std::size_t, std::size_t>;  // t, k
    using RsKey = std::pair<std::size_t, std::size_t>;   // n, n_parity

    CodeList<LdpcCode, Ldpc> ldpc_;
    CodeList<BchKey, Bch> bch_;
    CodeList<RsKey, ReedSolomon> rs_;
};

}  // namespace kavro::fec
