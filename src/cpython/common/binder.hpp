// Declarations of callables and the binding of call arguments to their
// parameters, shared by every module function, method and constructor. One
// Signature per callable gives the parser its names (which are optional,
// which keyword-only) and gives Python the __text_signature__ and the doc;
// binding produces one borrowed object per parameter (null where an optional
// parameter was not given).
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "cpython/common/ref.hpp"

namespace zor::py {

struct Param {
  std::string_view name;
  // The default as the text signature shows it (Python source: "0", "None",
  // "'fast'"); empty for a required parameter.
  std::string_view default_text;
  bool keyword_only = false;

  constexpr bool required() const { return default_text.empty(); }
};

// Marks a callable that takes no arguments: Signature{"ZORPair.one", no_parameters, "doc"}.
struct NoParameters {};
inline constexpr NoParameters no_parameters{};

// A callable's declaration. `name` is the callable as messages show it
// ("add_n", "ZORPoint.boost", "ZORKnot.__new__"); each parameter is written
// as in a Python def, "name" or "name=default", and "*" makes the ones after
// it keyword-only. `doc` is the text that follows the signature line.
template <std::size_t N>
struct Signature {
  const char* name;
  const char* doc;
  std::array<Param, N> params{};
  std::size_t count = 0;       // parameters ("*" is not one)
  std::size_t positional = 0;  // of those, the ones that may be given by position

  consteval Signature(const char* callable, const char* const (&declared)[N == 0 ? 1 : N],
                      const char* text = "") requires(N > 0)
      : name(callable), doc(text) {
    bool keyword_only = false;
    bool optional_seen = false;
    for (std::string_view entry : declared) {
      if (entry == "*") {
        if (keyword_only) throw "a signature has one \"*\"";
        keyword_only = true;
        continue;
      }
      const std::size_t equals = entry.find('=');
      Param param{entry.substr(0, equals), equals == std::string_view::npos ? "" : entry.substr(equals + 1),
                  keyword_only};
      if (param.name.empty() || param.name.find_first_of(" *,") != std::string_view::npos ||
          (equals != std::string_view::npos && param.default_text.empty()))
        throw "a parameter is \"name\" or \"name=default\"";
      for (std::size_t i = 0; i < count; ++i)
        if (params[i].name == param.name) throw "parameter names are unique";
      if (!keyword_only) {
        if (param.required() && optional_seen) throw "a required parameter follows an optional one";
        optional_seen = optional_seen || !param.required();
        ++positional;
      }
      params[count++] = param;
    }
    if (keyword_only && count == positional) throw "\"*\" needs a parameter after it";
  }

  consteval Signature(const char* callable, NoParameters, const char* text = "") requires(N == 0)
      : name(callable), doc(text) {}

  // The name Python shows: the part after the last dot, or for a
  // constructor ("ZORKnot.__new__") the class's name.
  constexpr std::string_view python_name() const {
    std::string_view full = name;
    constexpr std::string_view kConstructor = ".__new__";
    if (full.ends_with(kConstructor)) full.remove_suffix(kConstructor.size());
    return full.substr(full.rfind('.') + 1);  // npos + 1 is 0: the whole name
  }

  // python_name() as a C string, for a method table; not for constructors.
  constexpr const char* method_name() const { return name + (std::string_view(name).rfind('.') + 1); }

  // Writes "name($self, a, b=1, *, c=None)\n--\n\n{doc}" through out.put(text):
  // the text signature line CPython reads __text_signature__ from, then the
  // doc. `bound` adds the "$self" of an instance method.
  template <class Out>
  constexpr void render(Out& out, bool bound) const {
    out.put(python_name());
    out.put("(");
    bool first = true;
    auto separate = [&] {
      if (!first) out.put(", ");
      first = false;
    };
    if (bound) {
      separate();
      out.put("$self");
    }
    for (std::size_t i = 0; i < count; ++i) {
      if (params[i].keyword_only && (i == 0 || !params[i - 1].keyword_only)) {
        separate();
        out.put("*");
      }
      separate();
      out.put(params[i].name);
      if (!params[i].required()) {
        out.put("=");
        out.put(params[i].default_text);
      }
    }
    out.put(")\n--\n\n");
    out.put(doc);
  }
};

template <std::size_t N>
Signature(const char*, const char* const (&)[N]) -> Signature<N>;
template <std::size_t N>
Signature(const char*, const char* const (&)[N], const char*) -> Signature<N>;
Signature(const char*, NoParameters)->Signature<0>;
Signature(const char*, NoParameters, const char*)->Signature<0>;

namespace detail {

struct TextLength {
  std::size_t size = 0;
  constexpr void put(std::string_view text) { size += text.size(); }
};

template <std::size_t Size>
struct TextWriter {
  std::array<char, Size> text{};
  std::size_t size = 0;
  constexpr void put(std::string_view part) {
    for (char c : part) text[size++] = c;
  }
};

template <const auto& Sig, bool Bound>
struct RenderedDoc {
  static constexpr std::size_t kLength = [] {
    TextLength length;
    Sig.render(length, Bound);
    return length.size;
  }();
  static constexpr std::array<char, kLength + 1> kText = [] {
    TextWriter<kLength + 1> writer;
    Sig.render(writer, Bound);
    return writer.text;  // NUL-terminated: the last char is never written
  }();
};

}  // namespace detail

// The doc string of a callable (PyMethodDef::ml_doc, a class's tp_doc):
// its text signature line and its doc, made at compile time.
template <const auto& Sig, bool Bound = false>
inline constexpr const char* doc_string = detail::RenderedDoc<Sig, Bound>::kText.data();

// What binding needs of a Signature, whatever its length.
struct Parameters {
  const char* callable;
  std::span<const Param> list;
  std::size_t positional;

  template <std::size_t N>
  constexpr Parameters(const Signature<N>& sig)  // NOLINT: a view of any Signature
      : callable(sig.name), list(sig.params.data(), sig.count), positional(sig.positional) {}
};

// Vectorcall form: args[0..nargs) positional, then one value per name in
// kwnames. `slots` receives one borrowed reference per parameter.
bool bind_vector(const Parameters& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** slots);

// Tuple-and-dict form, used by constructors.
bool bind_tuple(const Parameters& params, PyObject* args, PyObject* kwargs, PyObject** slots);

// Re-raises a pending exact TypeError as "argument '{name}': {text}", keeping
// the original's cause; with `value_errors_too`, an exact ValueError or
// OverflowError as well. Any other pending error is left as it is.
void name_argument_error(std::string_view name, bool value_errors_too = false);

}  // namespace zor::py
