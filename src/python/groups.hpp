#pragma once

#include <Python.h>

// The module's registration: the execution step adds the modems, the FT8/FT4 family and the
// PSK31 family through the family files' functions below; the OFDM, frame-link and DVB-T groups
// register themselves.

namespace kavro::python {

namespace modems { int register_classes(PyObject* module); }
namespace ft8 { int register_classes(PyObject* module); }
namespace psk31 { int register_classes(PyObject* module); }

namespace ofdm { int register_group(PyObject* module); }
namespace ofdm_frame { int register_group(PyObject* module); }
namespace dvb_t_frame { int register_group(PyObject* module); }

}  // namespace kavro::python
