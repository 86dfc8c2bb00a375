#pragma once

#include <Python.h>

#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/internal_fault.hpp"

// How failures cross into Python: library errors become ValueError with their message, an
// exhausted allocation becomes MemoryError, and a broken invariant becomes PanicException
// (reported on standard error first). Every entry point runs its body through `guarded`.

namespace kavro::python::binding {

// Sets PanicException with the message, after reporting it on standard error.
void raise_panic(std::string_view message);

void raise_value_error(std::string_view message);

// Replaces a pending TypeError by "argument '<name>': <message>", the original as its cause.
void prefix_argument_error(std::string_view name);

// The exception class of internal faults; created on first use.
PyObject* panic_exception_type();

template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const InternalFault& fault) {
        raise_panic(fault.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {  // a container asked for more than can ever be allocated
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_panic(error.what());
    } catch (...) {
        raise_panic("internal fault without a message");
    }
    if constexpr (std::is_same_v<decltype(body()), int>) return -1;
    else return nullptr;
}

}  // namespace kavro::python::binding
