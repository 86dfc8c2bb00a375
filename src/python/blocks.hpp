#pragma once

#include "python/binding/frame.hpp"

// The calls that sample blocks (modulators, demodulators) share, declared once: `process` over
// the block's input, named as Python callers pass it ("iq", "audio", "bits"), `set_gain` and
// `reset`.

namespace kavro::python::binding {

template <class T, FixedText Input>
inline constexpr auto process_call = method<joined<"process($self, ", Input, ")\n--\n\n">, &T::process>();

template <class T>
inline constexpr auto reset_call = method<"reset($self)\n--\n\n", &T::reset>();

template <class T>
inline constexpr auto set_gain_call = method<"set_gain($self, g)\n--\n\n", &T::set_gain>();

// A block with its gain.
template <class T, FixedText Input>
inline constexpr auto block_calls = method_table(process_call<T, Input>, set_gain_call<T>);

}  // namespace kavro::python::binding
