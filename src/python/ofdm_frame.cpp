// Python classes and functions of the ofdm_frame group, added in their fixed order.

#include "python/groups.hpp"

namespace kavro::python::ofdm_frame {

int register_group(PyObject*) { return 0; }

}  // namespace kavro::python::ofdm_frame
