#include "cpython/zor_native/tokens_py.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace zor::py {

using discover::Expr;
using discover::Token;

namespace {

bool convert_token(PyObject* obj, Token& out) {
  if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) < 2 || PyTuple_GET_SIZE(obj) > 3) {
    PyErr_Format(PyExc_TypeError, "a token is a tuple such as ('var', 0) or ('op', 'Add'), not %R", obj);
    return false;
  }
  std::string kind;
  if (!convert_text(PyTuple_GET_ITEM(obj, 0), kind)) return false;
  PyObject* first = PyTuple_GET_ITEM(obj, 1);
  const bool three = PyTuple_GET_SIZE(obj) == 3;
  if (kind == "const" && !three) {
    double value = 0.0;
    if (!convert_float(first, value)) return false;
    out = Token::constant(value);
    return true;
  }
  if (kind == "var" && !three) {
    std::uint64_t index = 0;
    if (!convert_index(first, index)) return false;
    out = Token::var(index);
    return true;
  }
  if (kind == "param" && three) {
    std::uint64_t index = 0;
    double stored = 0.0;
    if (!convert_index(first, index) || !convert_float(PyTuple_GET_ITEM(obj, 2), stored)) return false;
    out = Token::param(index, stored);
    return true;
  }
  if (kind == "op" && !three) {
    std::string name;
    if (!convert_text(first, name)) return false;
    for (const discover::OperatorInfo& op : discover::kOperators) {
      if (name == op.name) {
        out = Token::op_token(op.code);
        return true;
      }
    }
    PyErr_Format(PyExc_ValueError, "unknown operator '%s'", name.c_str());
    return false;
  }
  PyErr_Format(PyExc_ValueError, "unknown token %R", obj);
  return false;
}

}  // namespace

// A postfix token list: ("const", value), ("var", index), ("param", index,
// stored value) and ("op", name).
bool Converter<Expr>::convert(PyObject* obj, Expr& out) {
  std::vector<Token> tokens;
  if (!convert_sequence(obj, tokens, convert_token)) return false;
  out.tokens = std::move(tokens);
  return true;
}

}  // namespace zor::py
