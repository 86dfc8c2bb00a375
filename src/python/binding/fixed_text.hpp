#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

// Compile-time text: docstrings are template arguments, so every callable's parameter names and
// defaults are read from its text signature while compiling and checked against its C++ arity.

namespace kavro::python::binding {

template <std::size_t N>
struct FixedText {
    char chars[N]{};

    constexpr FixedText(const char (&text)[N]) { std::copy_n(text, N, chars); }
    constexpr std::string_view view() const { return {chars, N - 1}; }
};

// Texts joined end to end, as one compile-time text: "process($self, " + "iq" + ")\n--\n\n".
template <FixedText... Parts>
inline constexpr auto joined = [] {
    char chars[(Parts.view().size() + ...) + 1]{};
    std::size_t at = 0;
    ((at = std::ranges::copy(Parts.view(), chars + at).out - chars), ...);
    return FixedText(chars);
}();

// One of two texts, chosen while compiling: the first when First holds. A binding shared by two
// modes of one class gives each text for both modes in this way.
template <bool First, std::size_t A, std::size_t B>
consteval auto pick(const char (&first)[A], const char (&second)[B]) {
    if constexpr (First) return FixedText<A>(first);
    else return FixedText<B>(second);
}

inline constexpr std::size_t max_parameters = 16;

struct Parameter {
    std::string_view name;
    bool has_default = false;
    bool default_is_none = false;
    std::string_view default_text;  // the literal after '=', as written
};

// The first line of a docstring such as "with_scrambler($self, poly, width, seed=1)".
struct Signature {
    std::string_view name;
    bool is_method = false;
    std::array<Parameter, max_parameters> parameters{};
    std::size_t count = 0;
    std::size_t required = 0;
};

constexpr std::string_view trim(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

// Splits the parameter list at top-level commas (commas inside quotes or brackets stay).
consteval Signature parse_signature(std::string_view doc) {
    Signature signature;
    const std::size_t open = doc.find('(');
    signature.name = doc.substr(0, open);
    std::size_t depth = 0;
    char quote = 0;
    std::size_t start = open + 1;
    for (std::size_t i = open + 1; i < doc.size(); ++i) {
        const char c = doc[i];
        if (quote) {
            if (c == quote) quote = 0;
            continue;
        }
        if (c == '\'' || c == '"') quote = c;
        else if (c == '(' || c == '[') ++depth;
        else if ((c == ')' || c == ']') && depth > 0) --depth;
        else if (c == ',' || c == ')') {
            const std::string_view item = trim(doc.substr(start, i - start));
            start = i + 1;
            if (item == "$self") signature.is_method = true;
            else if (!item.empty()) {
                const std::size_t equals = item.find('=');
                Parameter& parameter = signature.parameters[signature.count++];
                parameter.name = trim(item.substr(0, equals));
                parameter.has_default = equals != std::string_view::npos;
                if (parameter.has_default) parameter.default_text = trim(item.substr(equals + 1));
                parameter.default_is_none = parameter.has_default && parameter.default_text == "None";
                if (!parameter.has_default) signature.required = signature.count;
            }
            if (c == ')') break;
        }
    }
    return signature;
}

// The callable's own name as a null-terminated compile-time string.
template <FixedText Doc>
struct SignatureName {
    static constexpr Signature signature = parse_signature(Doc.view());
    static constexpr auto text = [] {
        std::array<char, signature.name.size() + 1> chars{};
        std::copy(signature.name.begin(), signature.name.end(), chars.begin());
        return chars;
    }();
};

}  // namespace kavro::python::binding
