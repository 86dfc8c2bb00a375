#include <Python.h>

#include "python/binding/errors.hpp"
#include "python/binding/registry.hpp"
#include "python/groups.hpp"

namespace kavro::python {

namespace {

// Adds every name in registration order (which is also the order of __all__); the first
// failure aborts the import with its exception, leaving earlier names in the discarded module.
int execute(PyObject* module) {
    return binding::guarded([&]() -> int {
        if (!PyModule_Check(module)) {
            PyErr_SetString(PyExc_TypeError, "kavro_sdr: the execution step needs a module object");
            return -1;
        }
        return binding::add_all(module, {modems::register_classes, ft8::register_classes, psk31::register_classes,
                                         ofdm::register_group, ofdm_frame::register_group, dvb_t_frame::register_group});
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&execute)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "kavro_sdr", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace kavro::python

PyMODINIT_FUNC PyInit_kavro_sdr() { return PyModuleDef_Init(&kavro::python::module_definition); }
