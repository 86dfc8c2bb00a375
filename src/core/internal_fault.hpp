#pragma once

#include <stdexcept>
#include <string>

// A broken invariant inside the library. Expected failures are returned as values; this is
// thrown only for states that valid input cannot reach, and the Python boundary turns it into
// PanicException.

namespace kavro {

struct InternalFault : std::logic_error {
    using std::logic_error::logic_error;
};

[[noreturn]] inline void internal_fault(const std::string& message) { throw InternalFault(message); }

}  // namespace kavro
