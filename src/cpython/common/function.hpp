// Table-driven entry points. A callable is described by its Signature (its
// one declaration) and a plain C++ function taking native values; the
// templates here bind and convert the Python arguments for it, call it, keep
// C++ exceptions from escaping, and make its method table row.
#pragma once

#include <optional>
#include <string_view>
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

// A converter with `static constexpr bool kNamesValueErrors = true` has its
// ValueError and OverflowError, not only its TypeError, renamed after the
// argument (a settings object's, whose messages name the setting).
template <class T>
constexpr bool names_value_errors() {
  if constexpr (requires { Converter<T>::kNamesValueErrors; })
    return Converter<T>::kNamesValueErrors;
  else
    return false;
}

template <class T>
bool convert_slot(std::string_view name, PyObject* obj, T& out) {
  if (obj == nullptr) return true;  // an optional parameter that was not given
  if (Converter<T>::convert(obj, out)) return true;
  name_argument_error(name, names_value_errors<T>());
  return false;
}

template <const auto& Sig, class Tuple, std::size_t... I>
bool convert_slots(PyObject** slots, Tuple& values, std::index_sequence<I...>) {
  return (convert_slot(Sig.params[I].name, slots[I], std::get<I>(values)) && ...);
}

// The declaration and the native function agree: one native parameter per
// declared one, and a std::optional or NoneOr only where the declaration has
// a default.
template <const auto& Sig, class Tuple, std::size_t... I>
constexpr bool matches_declaration(std::index_sequence<I...>) {
  return sizeof...(I) == Sig.count &&
         ((!is_optional<std::tuple_element_t<I, Tuple>> || !Sig.params[I].required()) && ...);
}

// Binds with `bind` and converts every given argument into a tuple of
// natives; nullopt with an error set on failure. A parameter that was not
// given keeps its native's value-initialised state: nullopt for std::optional
// and NoneOr, T{} otherwise, which must then be the declared default.
template <const auto& Sig, class Tuple, class Bind>
std::optional<Tuple> bind_and_convert(Bind&& bind) {
  constexpr std::size_t n = std::tuple_size_v<Tuple>;
  static_assert(
      matches_declaration<Sig, Tuple>(std::make_index_sequence<n>{}),
      "the native function takes one value per declared parameter, optional only where declared so");
  PyObject* slots[n == 0 ? 1 : n];
  if (!bind(Parameters(Sig), slots)) return std::nullopt;
  Tuple values{};
  if (!convert_slots<Sig>(slots, values, std::make_index_sequence<n>{})) return std::nullopt;
  return values;
}

}  // namespace detail

// METH_FASTCALL | METH_KEYWORDS module function.
template <const auto& Sig, auto Impl>
PyObject* module_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    using Args = typename detail::FnTraits<decltype(Impl)>::Args;
    auto values = detail::bind_and_convert<Sig, Args>([&](const Parameters& params, PyObject** slots) {
      return bind_vector(params, args, nargs, kwnames, slots);
    });
    if (!values) return nullptr;
    return std::apply(Impl, std::move(*values));
  });
}

// METH_FASTCALL | METH_KEYWORDS method; Impl's first parameter receives the
// receiver's native value.
template <const auto& Sig, auto Impl>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    using Split = detail::SplitReceiver<decltype(Impl)>;
    auto* receiver = native_of<typename Split::Receiver>(self);
    if (receiver == nullptr) return nullptr;
    auto values =
        detail::bind_and_convert<Sig, typename Split::Args>([&](const Parameters& params, PyObject** slots) {
          return bind_vector(params, args, nargs, kwnames, slots);
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
template <const auto& Sig, auto Impl>
PyObject* static_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return module_function<Sig, Impl>(nullptr, args, nargs, kwnames);
}

// METH_NOARGS | METH_STATIC method, which receives (NULL, NULL).
template <auto Impl>
PyObject* noargs_static_method(PyObject*, PyObject*) {
  return guarded([] { return Impl(); });
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
template <const auto& Sig, auto Impl>
PyObject* constructor(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    using Args = typename detail::FnTraits<decltype(Impl)>::Args;
    auto values = detail::bind_and_convert<Sig, Args>(
        [&](const Parameters& params, PyObject** slots) { return bind_tuple(params, args, kwargs, slots); });
    if (!values) return nullptr;
    return std::apply(Impl, std::move(*values));
  });
}

// The PyCFunction-compatible pointer of a fast-call entry.
template <class F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Method table rows, each made from the callable's one declaration: its
// name, its entry, its calling convention and its doc string.
inline constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

template <const auto& Sig, auto Impl>
PyMethodDef function_def() {
  return {Sig.method_name(), as_cfunction(module_function<Sig, Impl>), kFastcall, doc_string<Sig>};
}

// An instance method; one without parameters takes METH_NOARGS.
template <const auto& Sig, auto Impl>
PyMethodDef method_def() {
  if constexpr (Sig.count == 0)
    return {Sig.method_name(), noargs_method<Impl>, METH_NOARGS, doc_string<Sig, true>};
  else
    return {Sig.method_name(), as_cfunction(method<Sig, Impl>), kFastcall, doc_string<Sig, true>};
}

template <const auto& Sig, auto Impl>
PyMethodDef static_method_def() {
  if constexpr (Sig.count == 0)
    return {Sig.method_name(), noargs_static_method<Impl>, METH_NOARGS | METH_STATIC, doc_string<Sig>};
  else
    return {Sig.method_name(), as_cfunction(static_method<Sig, Impl>), kFastcall | METH_STATIC,
            doc_string<Sig>};
}

// The slots of a class's constructor: tp_new and the class doc, whose text
// signature is the constructor's.
template <const auto& Sig, auto Impl>
PyType_Slot constructor_slot() {
  return {Py_tp_new, reinterpret_cast<void*>(constructor<Sig, Impl>)};
}
template <const auto& Sig>
PyType_Slot class_doc_slot() {
  return {Py_tp_doc, const_cast<char*>(doc_string<Sig>)};
}

}  // namespace zor::py
