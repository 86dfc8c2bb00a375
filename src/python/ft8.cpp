// Python classes and functions of the FT8 family, added in their fixed order: the modem and
// codec classes, the candidate searches, then the message functions.

#include "python/binding/frame.hpp"
#include "python/groups.hpp"
#include "sync/costas.hpp"
#include "sync/ft4_sync.hpp"

namespace kavro::python::ft8 {

namespace {

// Ft8Mod, Ft8Demod, Ft8Codec, Ft4Mod, Ft4Demod, Ft4Codec.
int register_modems(PyObject*) { return 0; }

}  // namespace
}  // namespace kavro::python::ft8

template <>
struct kavro::python::binding::DictFields<kavro::SyncResult> {
    static constexpr std::array<const char*, 4> keys{"time_sym", "freq_bin", "score", "llr"};
    static auto values(const SyncResult& r) { return std::tuple(r.time_sym, r.freq_bin, r.score, r.llr); }
};

namespace kavro::python::ft8 {
namespace {

// ft8_sync, ft4_sync.
int register_searches(PyObject* module) {
    using namespace binding;
    for (auto add : {add_function<"ft8_sync(iq, fs, base_hz, max_hz, t_min, t_max, max_cand)\n--\n\n"
                                  "Synchronise an FT8 IQ buffer and return up to `max_cand` candidates.\n"
                                  "\n"
                                  "Returns a list of dicts:\n"
                                  "  {\"time_sym\": int, \"freq_bin\": int, \"score\": float, \"llr\": float32[174]}",
                                  &kavro::ft8_sync>,
                     add_function<"ft4_sync(iq, fs, base_hz, max_hz, t_min, t_max, max_cand)\n--\n\n"
                                  "Synchronise an FT4 IQ buffer and return up to `max_cand` candidates.\n"
                                  "\n"
                                  "Returns a list of dicts:\n"
                                  "  {\"time_sym\": int, \"freq_bin\": int, \"score\": float, \"llr\": float32[174]}",
                                  &kavro::ft4_sync>})
        if (add(module) != 0) return -1;
    return 0;
}

// ft8_pack_standard, ft8_pack_free_text, ft8_pack_telemetry, ft8_unpack.
int register_messages(PyObject*) { return 0; }

}  // namespace

int register_classes(PyObject* module) {
    if (register_modems(module) != 0 || register_searches(module) != 0) return -1;
    return register_messages(module);
}

}  // namespace kavro::python::ft8
