#pragma once

#include <Python.h>

#include <functional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "python/binding/arguments.hpp"
#include "python/binding/convert.hpp"
#include "python/binding/default_value.hpp"
#include "python/binding/errors.hpp"
#include "python/binding/fixed_text.hpp"
#include "python/binding/instance.hpp"
#include "python/binding/result.hpp"

// The call road: every constructor, method, property and module function is a compile-time
// instantiation of one entry below, from its docstring (whose first line is its text signature)
// and the C++ callable it forwards to. A method's use of its object follows the C++ signature:
// a non-const object (a non-const member function or a `T&` first parameter) is taken
// exclusively, a const one shared.

namespace kavro::python::binding {

template <class F>
struct CallableTraits;

template <class R, class... A>
struct CallableTraits<R (*)(A...)> {
    using Result = R;
    using Arguments = std::tuple<A...>;
};
template <class R, class... A>
struct CallableTraits<R (*)(A...) noexcept> : CallableTraits<R (*)(A...)> {};

template <class R, class C, class... A>
struct CallableTraits<R (C::*)(A...)> {
    using Result = R;
    using Arguments = std::tuple<A...>;
    using Self = C;
    static constexpr bool exclusive = true;
};
template <class R, class C, class... A>
struct CallableTraits<R (C::*)(A...) const> : CallableTraits<R (C::*)(A...)> {
    static constexpr bool exclusive = false;
};
template <class R, class C, class... A>
struct CallableTraits<R (C::*)(A...) noexcept> : CallableTraits<R (C::*)(A...)> {};
template <class R, class C, class... A>
struct CallableTraits<R (C::*)(A...) const noexcept> : CallableTraits<R (C::*)(A...) const> {};

// Lambdas and other function objects: their call operator, without the object itself.
template <class F>
    requires requires { &F::operator(); }
struct CallableTraits<F> {
    using Inner = CallableTraits<decltype(&F::operator())>;
    using Result = typename Inner::Result;
    using Arguments = typename Inner::Arguments;
};

template <class Tuple>
struct DropFirst;
template <class First, class... Rest>
struct DropFirst<std::tuple<First, Rest...>> {
    using Type = std::tuple<Rest...>;
};

// A method given as a member function or as a free function whose first parameter is the object.
template <auto Fn, bool IsMember = std::is_member_function_pointer_v<decltype(Fn)>>
struct MethodTraits;

template <auto Fn>
struct MethodTraits<Fn, true> {
    using Traits = CallableTraits<decltype(Fn)>;
    using Self = typename Traits::Self;
    using Arguments = typename Traits::Arguments;
    static constexpr bool exclusive = Traits::exclusive;
};

template <auto Fn>
struct MethodTraits<Fn, false> {
    using Traits = CallableTraits<decltype(Fn)>;
    using First = std::tuple_element_t<0, typename Traits::Arguments>;
    using Self = std::remove_cvref_t<First>;
    using Arguments = typename DropFirst<typename Traits::Arguments>::Type;
    static constexpr bool exclusive = !std::is_const_v<std::remove_reference_t<First>>;
};

template <class T>
inline constexpr bool is_optional_v = is_a<std::remove_cvref_t<T>, std::optional>;

// Types whose defaults are literals of the text signature.
template <class T>
inline constexpr bool has_literal_default = std::is_arithmetic_v<T> || std::is_same_v<T, std::string_view>;

// The value a parameter receives when it is left out. A plain parameter receives its signature
// literal, which must read as a value of its type. A std::optional parameter receives its literal
// when that reads as a value, else nothing: for None, and for "..." (a default the callee states).
template <class V>
consteval std::optional<V> optional_default(std::string_view text) {
    if constexpr (has_literal_default<V>) {
        const auto parsed = parse_default<V>(text);
        if (parsed.ok) return parsed.value;
    }
    return std::nullopt;
}

template <class P>
consteval bool parameter_matches(const Parameter& parameter) {
    if (!parameter.has_default) return !is_optional_v<P>;
    if constexpr (is_optional_v<P>) {
        return true;
    } else if constexpr (has_literal_default<std::remove_cvref_t<P>>) {
        return parse_default<std::remove_cvref_t<P>>(parameter.default_text).ok;  // None included: not a value
    } else {
        return false;
    }
}

// Every parameter with a default in the text is a std::optional or a plain type its literal
// converts to; every parameter without one is neither optional nor defaulted.
template <const Signature& S, class Arguments>
consteval bool signature_matches() {
    if (S.count != std::tuple_size_v<Arguments>) return false;
    return []<std::size_t... I>(std::index_sequence<I...>) {
        return (parameter_matches<std::tuple_element_t<I, Arguments>>(S.parameters[I]) && ...);
    }(std::make_index_sequence<std::tuple_size_v<Arguments>>{});
}

template <const Signature& S, std::size_t I, class P>
void store_default(typename ConverterOf<P>::Storage& storage) {
    using T = std::remove_cvref_t<P>;
    if constexpr (is_optional_v<T>) {
        using V = typename T::value_type;
        if constexpr (has_literal_default<V>) {
            static constexpr std::optional<V> value = optional_default<V>(S.parameters[I].default_text);
            if (value) storage.emplace(*value);
        }
    } else if constexpr (has_literal_default<T>) {  // a required parameter is never left out
        static constexpr ParsedDefault<T> value = parse_default<T>(S.parameters[I].default_text);
        storage = value.value;
    }
}

// The first phase of one argument: anything that can run Python code.
template <const Signature& S, std::size_t I, class P>
bool load_argument(PyObject* object, typename ConverterOf<P>::Storage& storage) {
    static constexpr const Parameter& parameter = S.parameters[I];
    if (object == nullptr) {  // left out: its default
        store_default<S, I, P>(storage);
        return true;
    }
    if constexpr (is_optional_v<P>) {
        if (object == Py_None && parameter.default_is_none) return true;
    }
    const Converted status = ConverterOf<P>::load(object, storage);
    if (status == Converted::Failed) prefix_argument_error(parameter.name);
    return status == Converted::Ok;
}

// The second phase of one argument: taking array data pointers, running no Python code.
template <const Signature& S, std::size_t I, class P>
bool borrow_argument(typename ConverterOf<P>::Storage& storage) {
    if constexpr (HasBorrow<ConverterOf<P>>) {
        const Converted status = ConverterOf<P>::borrow(storage);
        if (status == Converted::Failed) prefix_argument_error(S.parameters[I].name);
        return status == Converted::Ok;
    } else {
        return true;
    }
}

template <class Result, class Call>
PyObject* call_and_convert(Call&& call) {
    if constexpr (std::is_void_v<Result>) {
        call();
        Py_RETURN_NONE;
    } else {
        return to_python(call());
    }
}

template <class Arguments>
inline constexpr bool borrows_arrays = []<std::size_t... I>(std::index_sequence<I...>) {
    return (HasBorrow<ConverterOf<std::tuple_element_t<I, Arguments>>> || ...);
}(std::make_index_sequence<std::tuple_size_v<Arguments>>{});

template <class Arguments>
inline constexpr bool hands_objects = []<std::size_t... I>(std::index_sequence<I...>) {
    return (hands_objects_v<std::tuple_element_t<I, Arguments>> || ...);
}(std::make_index_sequence<std::tuple_size_v<Arguments>>{});

// Converts every matched argument in signature order, then borrows the arrays among them, then
// calls `invoke` with the values. From the first borrow until the callee returns no Python code
// runs, so no array can be freed or resized under the callee.
template <const Signature& S, class Arguments, class Invoke>
PyObject* convert_and_call(PyObject** slots, Invoke&& invoke) {
    static_assert(!(borrows_arrays<Arguments> && hands_objects<Arguments>),
                  "a callee that reads Python objects itself may run Python code, so it cannot take arrays");
    return [&]<std::size_t... I>(std::index_sequence<I...>) -> PyObject* {
        std::tuple<typename ConverterOf<std::tuple_element_t<I, Arguments>>::Storage...> storage;
        const bool loaded = (load_argument<S, I, std::tuple_element_t<I, Arguments>>(slots[I], std::get<I>(storage)) && ...);
        if (!loaded) return nullptr;
        const bool borrowed = (borrow_argument<S, I, std::tuple_element_t<I, Arguments>>(std::get<I>(storage)) && ...);
        if (!borrowed) return nullptr;
        return invoke(ConverterOf<std::tuple_element_t<I, Arguments>>::get(std::get<I>(storage))...);
    }(std::make_index_sequence<std::tuple_size_v<Arguments>>{});
}

template <FixedText Doc>
inline constexpr Signature signature_of = parse_signature(Doc.view());

template <FixedText Doc, auto Fn>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    using M = MethodTraits<Fn>;
    using T = typename M::Self;
    static constexpr const Signature& S = signature_of<Doc>;
    static_assert(S.is_method, "a method's signature starts with $self");
    static_assert(signature_matches<S, typename M::Arguments>(), "signature and C++ parameters disagree");
    return guarded([&]() -> PyObject* {
        PyObject* slots[S.count + 1];
        if (!match_arguments({Py_TYPE(self), S.name}, S, args, nargs, kwnames, nullptr, slots)) return nullptr;
        auto& object = instance_of<T>(self);
        BorrowGuard borrow;
        if (!borrow.acquire(object.borrow, M::exclusive)) return nullptr;
        using Result = typename M::Traits::Result;
        return convert_and_call<S, typename M::Arguments>(slots, [&](auto&&... values) {
            return call_and_convert<Result>([&]() -> Result { return std::invoke(Fn, object.value, std::forward<decltype(values)>(values)...); });
        });
    });
}

// A module function, or with an Owner class a static method named "<Owner>.<name>()" in messages.
template <FixedText Doc, auto Fn, class Owner = void>
PyObject* function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    using Traits = CallableTraits<decltype(Fn)>;
    static constexpr const Signature& S = signature_of<Doc>;
    static_assert(signature_matches<S, typename Traits::Arguments>(), "signature and C++ parameters disagree");
    return guarded([&]() -> PyObject* {
        PyTypeObject* owner = nullptr;
        if constexpr (!std::is_void_v<Owner>) owner = type_object<Owner>();
        PyObject* slots[S.count + 1];
        if (!match_arguments({owner, S.name}, S, args, nargs, kwnames, nullptr, slots)) return nullptr;
        using Result = typename Traits::Result;
        return convert_and_call<S, typename Traits::Arguments>(slots, [&](auto&&... values) {
            return call_and_convert<Result>([&]() -> Result { return std::invoke(Fn, std::forward<decltype(values)>(values)...); });
        });
    });
}

template <class T, FixedText Doc, auto Factory>
PyObject* constructor_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    using Traits = CallableTraits<decltype(Factory)>;
    static constexpr const Signature& S = signature_of<Doc>;
    static_assert(signature_matches<S, typename Traits::Arguments>(), "signature and C++ parameters disagree");
    return guarded([&]() -> PyObject* {
        PyObject* positional[max_parameters];
        const Py_ssize_t given = PyTuple_Size(args);
        for (Py_ssize_t i = 0; i < given && i < static_cast<Py_ssize_t>(S.count); ++i) positional[i] = PyTuple_GetItem(args, i);
        PyObject* slots[S.count + 1];
        if (!match_arguments({type, "__new__"}, S, positional, given, nullptr, kwargs, slots)) return nullptr;
        return convert_and_call<S, typename Traits::Arguments>(slots, [&](auto&&... values) -> PyObject* {
            return to_python(std::invoke(Factory, std::forward<decltype(values)>(values)...));
        });
    });
}

// The class a getter reads: the object of a method, or the owner of a data member.
template <auto Getter, bool IsData = std::is_member_object_pointer_v<decltype(Getter)>>
struct GetterSelf {
    using Type = typename MethodTraits<Getter>::Self;
};

template <class Member>
struct MemberOwner;
template <class R, class C>
struct MemberOwner<R C::*> {
    using Type = C;
};

template <auto Getter>
struct GetterSelf<Getter, true> {
    using Type = typename MemberOwner<decltype(Getter)>::Type;
};

// A property reads the object shared, through a const method, a function of the object or a data
// member (copied: the Python value never shares storage with the object).
template <auto Getter>
PyObject* property_entry(PyObject* self, void*) noexcept {
    using Self = typename GetterSelf<Getter>::Type;
    return guarded([&]() -> PyObject* {
        auto& object = instance_of<Self>(self);
        BorrowGuard borrow;
        if (!borrow.acquire(object.borrow, false)) return nullptr;
        std::remove_cvref_t<std::invoke_result_t<decltype(Getter), const Self&>> value =
            std::invoke(Getter, std::as_const(object.value));
        return to_python(std::move(value));
    });
}

}  // namespace kavro::python::binding
