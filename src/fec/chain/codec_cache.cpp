#include "fec/chain/codec_cache.hpp"

#include <string>

#include "core/internal_fault.hpp"

namespace kavro::fec {

template <class Key, class Code, class Build>
std::shared_ptr<const Code> CodecCache::fetch(CodeList<Key, Code>& list, const Key& key, Build&& build) {
    std::lock_guard lock(list.mutex);
    if (list.poisoned) internal_fault("codec cache list poisoned by an earlier failed build");
    for (const auto& [entry_key, code] : list.entries) {
        if (entry_key == key) return code;
    }
    try {
        auto code = std::make_shared<const Code>(build());
        list.entries.emplace_back(key, code);
        return code;
    } catch (...) {
        list.poisoned = true;
        throw;
    }
}

std::shared_ptr<const Ldpc> CodecCache::ldpc(LdpcCode code) {
    return fetch(ldpc_, code, [code] { return Ldpc::build(code); });
}

std::shared_ptr<const Bch> CodecCache::bch(std::size_t t) {
    return fetch(bch_, BchKey{t, bch_message_bits}, [t] {
        // The full-length code only tells the generator degree, and with it the length that
        // leaves exactly 120 message bits.
        auto full = Bch::shortened(255, t);
        if (!full) internal_fault("valid BCH t: " + error_message(full.error()));
        auto code = Bch::shortened(bch_message_bits + full->deg(), t);
        if (!code) internal_fault("valid shortened BCH: " + error_message(code.error()));
        return std::move(*code);
    });
}

std::shared_ptr<const ReedSolomon> CodecCache::rs(std::size_t n, std::size_t n_parity) {
    return fetch(rs_, RsKey{n, n_parity}, [n, n_parity] {
        auto code = ReedSolomon::construct(n, n_parity);
        if (!code) internal_fault("valid RS config: " + error_message(code.error()));
        return std::move(*code);
    });
}

}  // namespace kavro::fec
