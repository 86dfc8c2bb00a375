// Python classes and functions of the dvb_t_frame group, added in their fixed order.

#include "python/groups.hpp"

namespace kavro::python::dvb_t_frame {

int register_group(PyObject*) { return 0; }

}  // namespace kavro::python::dvb_t_frame
