#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core/complex.hpp"
#include "python/binding/frame.hpp"

// What a streaming receiver's calls return to Python: the decoded values alone, or every attempt
// as a (value, None) or (None, failure text) pair. `value_of` takes a successful attempt's value
// out of its outcome; failures are described by their `error_message`.

namespace kavro::python::binding {

template <class Outcome, class ValueOf>
auto successes_of(std::vector<Outcome> outcomes, ValueOf value_of) {
    std::vector<decltype(value_of(std::move(*outcomes.front())))> values;
    for (auto& outcome : outcomes)
        if (outcome) values.push_back(value_of(std::move(*outcome)));
    return values;
}

template <class Outcome, class ValueOf>
auto tuples_of(std::vector<Outcome> outcomes, ValueOf value_of) {
    using Value = decltype(value_of(std::move(*outcomes.front())));
    std::vector<std::tuple<std::optional<Value>, std::optional<std::string>>> tuples;
    for (auto& outcome : outcomes) {
        if (outcome) tuples.emplace_back(value_of(std::move(*outcome)), std::nullopt);
        else tuples.emplace_back(std::nullopt, error_message(outcome.error()));
    }
    return tuples;
}

// The calls of a streaming receiver R, whose `drain` runs its final pass: `feed`,
// `feed_with_errors` and `flush` with the receiver's own texts after their signatures, and `clear`.
template <class R, auto value_of, auto drain, FixedText FeedText, FixedText FeedWithErrorsText, FixedText FlushText>
inline constexpr auto stream_calls = method_table(
    method<joined<"feed($self, iq)\n--\n\n", FeedText>,
           [](R& r, std::span<const Complex> iq) { return successes_of(r.feed(iq), value_of); }>(),
    method<joined<"feed_with_errors($self, iq)\n--\n\n", FeedWithErrorsText>,
           [](R& r, std::span<const Complex> iq) { return tuples_of(r.feed(iq), value_of); }>(),
    method<joined<"flush($self)\n--\n\n", FlushText>, [](R& r) { return successes_of(std::invoke(drain, r), value_of); }>(),
    method<"clear($self)\n--\n\nDiscards the accumulated buffer.", &R::clear>());

template <class R>
inline constexpr auto buffered_property = property<"buffered", &R::buffered>("Number of accumulated (not-yet-consumed) samples.");

}  // namespace kavro::python::binding
