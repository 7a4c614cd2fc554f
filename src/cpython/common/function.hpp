// Table-driven entry points. A callable is described by its Signature and a
// plain C++ function taking native values; the templates here bind and
// convert the Python arguments for it, call it, and keep C++ exceptions from
// escaping. Trailing std::optional (and NoneOr) parameters are the optional ones.
#pragma once

#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "cpython/common/binder.hpp"
#include "cpython/common/convert_arguments.hpp"
#include "cpython/common/errors.hpp"
#include "cpython/common/wrapped_class.hpp"

namespace zor::py {

// A parameter typed as one of the module's classes takes an instance of it.
template <WrappedClass Native>
struct Converter<Native> {
  static bool convert(PyObject* obj, Native& out) {
    Native* value = native_of<Native>(obj);
    if (value == nullptr) return false;
    out = *value;
    return true;
  }
};

namespace detail {

template <class F>
struct FnTraits;
template <class R, class... A>
struct FnTraits<R (*)(A...)> {
  using Args = std::tuple<std::remove_cvref_t<A>...>;
};
template <class F>
struct SplitReceiver;
template <class R, class Self, class... A>
struct SplitReceiver<R (*)(Self, A...)> {
  using Receiver = std::remove_cvref_t<Self>;
  using Args = std::tuple<std::remove_cvref_t<A>...>;
};

template <class T>
inline constexpr bool is_optional = false;
template <class T>
inline constexpr bool is_optional<std::optional<T>> = true;
template <class T>
inline constexpr bool is_optional<NoneOr<T>> = true;

template <class Tuple, std::size_t... I>
constexpr std::size_t count_required(std::index_sequence<I...>) {
  std::size_t required = 0;
  bool done = false;
  ((done = done || is_optional<std::tuple_element_t<I, Tuple>>, required += done ? 0 : 1), ...);
  return required;
}

template <class Tuple>
constexpr std::size_t required_of() {
  return count_required<Tuple>(std::make_index_sequence<std::tuple_size_v<Tuple>>{});
}

template <class T>
bool convert_slot(const char* name, PyObject* obj, T& out) {
  if (obj == nullptr) return true;  // an optional parameter that was not given
  if (Converter<T>::convert(obj, out)) return true;
  name_argument_error(name);
  return false;
}

template <class Tuple, std::size_t... I>
bool convert_slots(const Signature& sig, PyObject** slots, Tuple& values, std::index_sequence<I...>) {
  return (convert_slot(sig.params[I], slots[I], std::get<I>(values)) && ...);
}

// Binds with `bind` and converts every given argument into a tuple of
// natives; nullopt with an error set on failure.
template <class Tuple, class Bind>
std::optional<Tuple> bind_and_convert(const Signature& sig, Bind&& bind) {
  constexpr std::size_t n = std::tuple_size_v<Tuple>;
  static_assert(n <= kMaxParams);
  PyObject* slots[n == 0 ? 1 : n];
  if (!bind(required_of<Tuple>(), slots)) return std::nullopt;
  Tuple values{};
  if (!convert_slots(sig, slots, values, std::make_index_sequence<n>{})) return std::nullopt;
  return values;
}

}  // namespace detail

// METH_FASTCALL | METH_KEYWORDS module function.
template <const Signature& Sig, auto Impl>
PyObject* module_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    using Args = typename detail::FnTraits<decltype(Impl)>::Args;
    auto values = detail::bind_and_convert<Args>(Sig, [&](std::size_t required, PyObject** slots) {
      return bind_vector(Sig, required, args, nargs, kwnames, slots);
    });
    if (!values) return nullptr;
    return std::apply(Impl, std::move(*values));
  });
}

// METH_FASTCALL | METH_KEYWORDS method; Impl's first parameter receives the
// receiver's native value.
template <const Signature& Sig, auto Impl>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    using Split = detail::SplitReceiver<decltype(Impl)>;
    auto* receiver = native_of<typename Split::Receiver>(self);
    if (receiver == nullptr) return nullptr;
    auto values =
        detail::bind_and_convert<typename Split::Args>(Sig, [&](std::size_t required, PyObject** slots) {
          return bind_vector(Sig, required, args, nargs, kwnames, slots);
        });
    if (!values) return nullptr;
    return std::apply([&](auto&&... a) { return Impl(*receiver, std::forward<decltype(a)>(a)...); },
                      std::move(*values));
  });
}

// METH_NOARGS method.
template <auto Impl>
PyObject* noargs_method(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    using Split = detail::SplitReceiver<decltype(Impl)>;
    auto* receiver = native_of<typename Split::Receiver>(self);
    if (receiver == nullptr) return nullptr;
    return Impl(*receiver);
  });
}

// METH_FASTCALL | METH_KEYWORDS | METH_STATIC method.
template <const Signature& Sig, auto Impl>
PyObject* static_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return module_function<Sig, Impl>(nullptr, args, nargs, kwnames);
}

// Unary type slot (repr, abs): Impl receives the native value.
template <auto Impl>
PyObject* unary_slot(PyObject* self) {
  return noargs_method<Impl>(self, nullptr);
}

// Property getter.
template <auto Impl>
PyObject* getter(PyObject* self, void*) {
  return noargs_method<Impl>(self, nullptr);
}

// tp_new: binds the argument tuple and keyword dict; Impl returns the new object.
template <const Signature& Sig, auto Impl>
PyObject* constructor(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    using Args = typename detail::FnTraits<decltype(Impl)>::Args;
    auto values = detail::bind_and_convert<Args>(Sig, [&](std::size_t required, PyObject** slots) {
      return bind_tuple(Sig, required, args, kwargs, slots);
    });
    if (!values) return nullptr;
    return std::apply(Impl, std::move(*values));
  });
}

// The PyCFunction-compatible pointer of a fast-call entry.
template <class F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace zor::py
