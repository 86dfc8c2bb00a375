// Python classes and functions of the ofdm group, added in their fixed order.

#include "python/groups.hpp"

namespace kavro::python::ofdm {

int register_group(PyObject*) { return 0; }

}  // namespace kavro::python::ofdm
