// Python classes and functions of the PSK31 family.

#include "python/groups.hpp"

namespace kavro::python::psk31 {

int register_classes(PyObject*) { return 0; }

}  // namespace kavro::python::psk31
