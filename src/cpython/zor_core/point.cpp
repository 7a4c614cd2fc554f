#include <string>

#include "core/format.hpp"
#include "cpython/common/build_results.hpp"
#include "cpython/common/function.hpp"
#include "cpython/zor_core/value_classes.hpp"

namespace zor::py {
namespace {

PyObject* construct(double x, double y) { return wrap(Point{x, y}); }

PyObject* point_tension(Point self) { return build_float(tension(self)); }
PyObject* point_mirror_pulse(Point self) { return wrap(mirror_pulse(self)); }
PyObject* point_frame_shift(Point self) { return wrap(frame_shift(self)); }
PyObject* point_is_slipping(Point self) { return build_bool(is_slipping(self)); }
PyObject* point_pair(Point self) { return wrap(canonical_pair(self)); }
PyObject* point_euclidean_delta(Point self) { return build_float(euclidean_delta(self)); }
PyObject* point_x(Point self) { return build_float(self.x); }
PyObject* point_y(Point self) { return build_float(self.y); }

PyObject* point_conserves_tension(Point self, Point next, double tol) {
  return build_bool(conserves_tension(self, next, tol));
}

PyObject* point_minkowski_delta(Point self, bool plus_signature, double c) {
  return build_float(minkowski_delta(self, plus_signature, c));
}

PyObject* point_boost(Point self, double phi, double c) { return wrap(boost(self, phi, c)); }

PyObject* point_repr(Point self) {
  return build_str("ZORPoint(x=" + format_fixed(self.x, 6) + ", y=" + format_fixed(self.y, 6) + ")");
}

constexpr Signature kNew{"ZORPoint.__new__", {"x", "y"}};
constexpr Signature kConservesTension{"ZORPoint.conserves_tension", {"next", "tol"}};
constexpr Signature kMinkowskiDelta{"ZORPoint.minkowski_delta", {"plus_signature", "c"}};
constexpr Signature kBoost{"ZORPoint.boost", {"phi", "c"}};

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"tension", noargs_method<point_tension>, METH_NOARGS, "tension($self)\n--\n\n"},
    {"zor", noargs_method<point_tension>, METH_NOARGS,
     "zor($self)\n--\n\nAlias for tension() \u2014 zor(x, y) = exp(x) - ln(y)."},
    {"mirror_pulse", noargs_method<point_mirror_pulse>, METH_NOARGS, "mirror_pulse($self)\n--\n\n"},
    {"pulse", noargs_method<point_mirror_pulse>, METH_NOARGS,
     "pulse($self)\n--\n\nAlias for mirror_pulse()."},
    {"frame_shift", noargs_method<point_frame_shift>, METH_NOARGS, "frame_shift($self)\n--\n\n"},
    {"is_slipping", noargs_method<point_is_slipping>, METH_NOARGS, "is_slipping($self)\n--\n\n"},
    {"conserves_tension", as_cfunction(method<kConservesTension, point_conserves_tension>), kFastcall,
     "conserves_tension($self, next, tol)\n--\n\n"},
    {"pair", noargs_method<point_pair>, METH_NOARGS,
     "pair($self)\n--\n\nReturns (exp(x), ln(|y|)) as an ZORPair \u2014 canonical frame coordinates."},
    {"euclidean_delta", noargs_method<point_euclidean_delta>, METH_NOARGS,
     "euclidean_delta($self)\n--\n\nEuclidean delta: sqrt(exp(2x) + (ln y)^2)."},
    {"minkowski_delta", as_cfunction(method<kMinkowskiDelta, point_minkowski_delta>), kFastcall,
     "minkowski_delta($self, plus_signature, c)\n--\n\nMinkowski interval sqrt(|exp(2x) - (c*ln y)^2|).\n"
     "plus_signature=true means (+---): time-like when exp(2x) > (c*ln y)^2."},
    {"boost", as_cfunction(method<kBoost, point_boost>), kFastcall,
     "boost($self, phi, c)\n--\n\nLorentz boost by rapidity phi. Returns new ZORPoint with identical "
     "\u0394_M.\n"
     "Boost: t' = t*cosh(phi) - (x/c)*sinh(phi), x' = x*cosh(phi) - t*c*sinh(phi)\n"
     "where t = exp(x_coord), x = ln(y_coord)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"x", getter<point_x>, nullptr, nullptr, nullptr},
    {"y", getter<point_y>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("ZORPoint(x, y)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(constructor<kNew, construct>)},
    {Py_tp_repr, reinterpret_cast<void*>(unary_slot<point_repr>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<Point>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    {0, nullptr},
};

PyType_Spec type_definition = {"zor_core.ZORPoint", sizeof(Instance<Point>), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyType_Spec* ClassTraits<Point>::type_spec() { return &type_definition; }

}  // namespace zor::py
