// Test-only extension module: reaches the converters, results and borrows of the binding frame
// that the public classes do not use yet, and runs a toy block stage and stream stage.

#include <Python.h>

#include <array>
#include <cstdint>
#include <expected>
#include <numeric>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "core/block.hpp"
#include "core/internal_fault.hpp"
#include "python/binding/frame.hpp"

namespace testing_types {

struct Counter {
    std::uint32_t count = 0;

    void increment(std::uint8_t by) { count += by; }
    std::uint32_t value() const { return count; }
    std::uint32_t sum_with(const Counter& other) const { return count + other.count; }
    void absorb(const Counter& other) { count += other.count; }
};

struct Snapshot {
    std::uint32_t count;
    std::uint32_t value() const { return count; }
};

Snapshot snapshot(const Counter& counter) { return {counter.count}; }

// Sums four samples into one: a block stage.
struct BlockSum {
    using Input = float;
    using Output = float;
    std::size_t input_block_size() const { return 4; }
    std::size_t output_block_size() const { return 1; }
    std::size_t process(std::span<const float> input, std::span<float> output) {
        if (!kavro::holds_one_block(*this, input.size(), output.size())) return 0;
        output[0] = input[0] + input[1] + input[2] + input[3];
        return 1;
    }
};

// Emits one value per two samples, keeping a half-finished pair between calls: a stream stage.
struct PairSum {
    using Input = float;
    using Output = float;
    float pending = 0.0f;
    bool has_pending = false;
    std::size_t process(std::span<const float> input, std::span<float> output) {
        std::size_t written = 0;
        for (float x : input) {
            if (has_pending && written == output.size()) break;
            if (!has_pending) {
                pending = x;
                has_pending = true;
                continue;
            }
            output[written++] = pending + x;
            has_pending = false;
        }
        return written;
    }
};
static_assert(kavro::BlockStage<BlockSum>);
static_assert(kavro::Block<PairSum>);

template <class Stage>
std::vector<float> run_stage(std::span<const float> input, std::uint64_t output_size) {
    Stage stage;
    std::vector<float> output(output_size, -1.0f);
    output.resize(stage.process(input, output));
    return output;
}

std::uint8_t echo_u8(std::uint8_t v) { return v; }
std::int32_t echo_i32(std::int32_t v) { return v; }
std::uint32_t echo_u32(std::uint32_t v) { return v; }
std::uint64_t echo_size(std::uint64_t v) { return v; }
bool echo_bool(bool v) { return v; }
std::string echo_str(std::string_view v) { return std::string(v); }
kavro::python::binding::ByteString echo_bytes(kavro::python::binding::BytesArg v) {
    return {std::vector<std::uint8_t>(v.data.begin(), v.data.end())};
}
std::optional<std::uint64_t> echo_optional(std::optional<std::uint64_t> v) { return v; }
double sum_list(const kavro::python::binding::ListArg<double>& values) {
    double total = 0;
    for (double v : values.items) total += v;
    return total;
}
std::vector<std::int32_t> echo_int32(std::span<const std::int32_t> a) { return {a.begin(), a.end()}; }
std::vector<float> echo_float32(std::span<const float> a) { return {a.begin(), a.end()}; }
std::uintptr_t buffer_address(std::span<const kavro::Complex> a) { return reinterpret_cast<std::uintptr_t>(a.data()); }
std::tuple<std::int32_t, double, std::string, std::optional<int>> make_tuple() { return {1, 2.5, "three", std::nullopt}; }
std::vector<std::string> make_list() { return {"a", "b"}; }
std::vector<kavro::Complex> huge_allocation() { return std::vector<kavro::Complex>(std::size_t{1} << 60); }
std::uint32_t fault(std::string_view message) { kavro::internal_fault(std::string(message)); }
std::uint32_t no_arguments() { return 42; }

// Hands back what it received, so that a test can hold it against the signature's defaults.
auto echo_defaults(double f, float g, double h, std::int32_t i, std::uint32_t j, std::uint8_t k, std::string_view s,
                   std::string_view t, bool yes, bool no, std::optional<std::uint64_t> none) {
    return std::tuple(f, g, h, i, j, k, std::string(s), std::string(t), yes, no, none);
}

// Defaults given as std::optional: a literal arrives as a value, "..." as nothing.
std::tuple<std::optional<double>, std::optional<float>> echo_optional_defaults(std::optional<double> a,
                                                                               std::optional<float> b) {
    return {a, b};
}

// Sums item["gain"] * item["count"] over a list of dictionaries.
std::expected<double, kavro::python::binding::ErrorAlreadySet> weighted_sum(
    const kavro::python::binding::ListArg<PyObject*>& items) {
    using namespace kavro::python::binding;
    double total = 0.0;
    for (PyObject* item : items.items) {
        if (!check_dict(item)) return std::unexpected(ErrorAlreadySet{});
        const auto gain = dict_item<double>(item, "gain");
        if (!gain) return std::unexpected(ErrorAlreadySet{});
        const auto count = dict_item<std::uint64_t>(item, "count");
        if (!count) return std::unexpected(ErrorAlreadySet{});
        total += *gain * static_cast<double>(*count);
    }
    return total;
}

struct Pair {
    std::int32_t a = 0;
    float b = 0.0f;
    friend bool operator==(const Pair&, const Pair&) = default;
};

struct Reading {
    std::uint64_t start;
    float score;
    std::optional<std::int32_t> offset;
};

Reading make_reading() { return {12, 0.5f, std::nullopt}; }

// Checks the second array's layout before the first's, as a callee with its own order would.
std::expected<std::size_t, kavro::python::binding::ErrorAlreadySet> lazy_lengths(
    const kavro::python::binding::LazyArray<std::int32_t>& first, const kavro::python::binding::LazyArray<float>& second) {
    const auto second_span = second.span();
    if (!second_span) return std::unexpected(kavro::python::binding::ErrorAlreadySet{});
    const auto first_span = first.span();
    if (!first_span) return std::unexpected(kavro::python::binding::ErrorAlreadySet{});
    return first_span->size() + second_span->size();
}

}  // namespace testing_types

namespace kavro::python::binding {

// Literals the default reader must refuse rather than approximate or wrap.
static_assert(!parse_default<double>("0.12345678901234567").ok);  // more digits than a double holds exactly
static_assert(!parse_default<double>("1e-23").ok);
static_assert(!parse_default<std::uint8_t>("256").ok);
static_assert(!parse_default<std::uint32_t>("-1").ok);
static_assert(!parse_default<std::int32_t>("2147483648").ok);
static_assert(!parse_default<std::uint64_t>("1.0").ok);
static_assert(!parse_default<std::uint64_t>("007").ok);
static_assert(!parse_default<bool>("1").ok);
static_assert(!parse_default<std::string_view>("'a\\'").ok);
static_assert(parse_default<std::uint64_t>("18446744073709551615").value == 18446744073709551615u);
static_assert(parse_default<double>("-0.0").value == 0.0 && parse_default<double>("12.50e1").value == 125.0);
static_assert(joined<"f($self, ", "iq", ")">.view() == "f($self, iq)" && joined<"", "">.view().empty());

using testing_types::Counter;
using testing_types::Snapshot;
using testing_types::Pair;
using testing_types::Reading;

template <>
struct Binding<Pair> {
    static constexpr FixedText doc = "Pair(a, b)\n--\n\nA value with equality.";
    static constexpr auto constructor = construct<Pair, std::int32_t, float>;
    static constexpr bool equality = true;
};

template <>
struct DictFields<Reading> {
    static constexpr std::array<const char*, 3> keys{"start", "score", "offset"};
    static auto values(const Reading& r) { return std::tuple(r.start, r.score, r.offset); }
};

template <>
struct Binding<Counter> {
    static constexpr FixedText doc = "Counter(start=0)\n--\n\nA counter for borrow tests.";
    static constexpr auto constructor = construct<Counter, std::uint32_t>;
    static constexpr auto methods = method_table(
        method<"increment($self, by)\n--\n\n", &Counter::increment>(),
        method<"sum_with($self, other)\n--\n\n", &Counter::sum_with>(),
        method<"absorb($self, other)\n--\n\n", &Counter::absorb>(),
        method<"snapshot($self)\n--\n\n", &testing_types::snapshot>(),
        static_method<Counter, "starting_at(start)\n--\n\n", [](std::uint32_t start) { return Counter{start}; }>());
    static constexpr auto properties = property_table(property<"value", &Counter::value>());
};

template <>
struct Binding<Snapshot> {
    static constexpr FixedText name = "Snapshot";
    static constexpr FixedText doc = "A counter's value at one moment.";
    static constexpr auto properties = property_table(property<"value", &Snapshot::value>());
};

}  // namespace kavro::python::binding

namespace {

using namespace kavro::python::binding;
using namespace testing_types;

int execute(PyObject* module) {
    return guarded([&]() -> int {
        for (auto add : {add_class<Counter>, add_class<Snapshot>, add_class<Pair>,
                         add_function<"make_reading()\n--\n\n", &make_reading>,
                         add_function<"weighted_sum(items)\n--\n\n", &weighted_sum>,
                         add_function<"lazy_lengths(first, second)\n--\n\n", &lazy_lengths>,
                         add_function<"echo_u8(v)\n--\n\n", &echo_u8>,
                         add_function<"echo_i32(v)\n--\n\n", &echo_i32>,
                         add_function<"echo_u32(v)\n--\n\n", &echo_u32>,
                         add_function<"echo_size(v)\n--\n\n", &echo_size>,
                         add_function<"echo_bool(v)\n--\n\n", &echo_bool>,
                         add_function<"echo_str(v)\n--\n\n", &echo_str>,
                         add_function<"echo_bytes(v)\n--\n\n", &echo_bytes>,
                         add_function<"echo_optional(v=None)\n--\n\n", &echo_optional>,
                         add_function<"sum_list(values)\n--\n\n", &sum_list>,
                         add_function<"echo_int32(a)\n--\n\n", &echo_int32>,
                         add_function<"echo_float32(a)\n--\n\n", &echo_float32>,
                         add_function<"buffer_address(a)\n--\n\n", &buffer_address>,
                         add_function<"make_tuple()\n--\n\n", &make_tuple>,
                         add_function<"make_list()\n--\n\n", &make_list>,
                         add_function<"huge_allocation()\n--\n\n", &huge_allocation>,
                         add_function<"fault(message)\n--\n\n", &fault>,
                         add_function<"no_arguments()\n--\n\n", &no_arguments>,
                         add_function<"echo_defaults(f=0.1, g=-2.5e-3, h=1e23, i=-2147483648, j=4294967295, k=0, "
                                      "s=\"before_outer\", t='a, (b)', yes=True, no=False, none=None)\n--\n\n",
                                      &echo_defaults>,
                         add_function<"echo_optional_defaults(a=2.5, b=...)\n--\n\n", &echo_optional_defaults>,
                         add_function<"three(a, b, c, d=1)\n--\n\n", [](double, double, double, std::optional<double>) {}>,
                         add_function<"block_sum(x, output_size)\n--\n\n", &run_stage<BlockSum>>,
                         add_function<"pair_sum(x, output_size)\n--\n\n", &run_stage<PairSum>>}) {
            if (add(module) != 0) return -1;
        }
        return 0;
    });
}

PyModuleDef_Slot slots[] = {{Py_mod_exec, reinterpret_cast<void*>(&execute)}, {0, nullptr}};
PyModuleDef definition = {PyModuleDef_HEAD_INIT, "_kavro_testing", "", 0, nullptr, slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__kavro_testing() { return PyModuleDef_Init(&definition); }
