#pragma once

#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

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

}  // namespace kavro::python::binding
