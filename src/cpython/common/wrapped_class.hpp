// How a native value type becomes a Python class: the instance layout, the
// type object (created from its PyType_Spec on first use and cached for the
// process), and wrapping and unwrapping of values. The classes themselves are
// declared by the module that defines them (zor_core/value_classes.hpp).
#pragma once

#include <new>
#include <utility>

#include "cpython/common/errors.hpp"

namespace zor::py {

// Specialised next to each class: `static constexpr const char* name` and
// `static PyType_Spec* type_spec()`.
template <class Native>
struct ClassTraits;

template <class Native>
concept WrappedClass = requires {
  { ClassTraits<Native>::name } -> std::convertible_to<const char*>;
};

template <class Native>
struct Instance {
  PyObject_HEAD Native value;
};

// The class's type object (borrowed), or null with the creation error set.
template <WrappedClass Native>
PyTypeObject* class_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr)
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(ClassTraits<Native>::type_spec()));
  return type;
}

// For native code that needs the type outside the module body: a creation
// failure is printed and becomes PanicException.
template <WrappedClass Native>
PyTypeObject* class_type_or_panic() {
  PyTypeObject* type = class_type<Native>();
  if (type == nullptr) {
    PyErr_Print();
    std::string message = std::string("failed to create type object for ") + ClassTraits<Native>::name;
    raise_panic(message.c_str());
  }
  return type;
}

// The native value inside `obj`, or null with TypeError set when obj is not
// an instance of the class.
template <WrappedClass Native>
Native* native_of(PyObject* obj) {
  PyTypeObject* type = class_type_or_panic<Native>();
  if (type == nullptr) return nullptr;
  if (!PyObject_TypeCheck(obj, type)) {
    raise_cannot_convert(obj, ClassTraits<Native>::name);
    return nullptr;
  }
  return &reinterpret_cast<Instance<Native>*>(obj)->value;
}

// A new instance holding `value`.
template <WrappedClass Native>
PyObject* wrap(Native value) {
  PyTypeObject* type = class_type_or_panic<Native>();
  if (type == nullptr) return nullptr;
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) return nullptr;
  new (&reinterpret_cast<Instance<Native>*>(obj)->value) Native(std::move(value));
  return obj;
}

template <WrappedClass Native>
void dealloc_instance(PyObject* obj) {
  reinterpret_cast<Instance<Native>*>(obj)->value.~Native();
  PyTypeObject* type = Py_TYPE(obj);
  type->tp_free(obj);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

}  // namespace zor::py
