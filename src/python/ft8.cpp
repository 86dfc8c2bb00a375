// Python classes and functions of the FT8 family.

#include "python/groups.hpp"

namespace kavro::python::ft8 {

int register_classes(PyObject*) { return 0; }

}  // namespace kavro::python::ft8
