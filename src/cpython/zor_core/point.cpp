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
constexpr Signature kTension{"ZORPoint.tension", no_parameters};
constexpr Signature kZor{"ZORPoint.zor", no_parameters,
                         "Alias for tension() \u2014 zor(x, y) = exp(x) - ln(y)."};
constexpr Signature kMirrorPulse{"ZORPoint.mirror_pulse", no_parameters};
constexpr Signature kPulse{"ZORPoint.pulse", no_parameters, "Alias for mirror_pulse()."};
constexpr Signature kFrameShift{"ZORPoint.frame_shift", no_parameters};
constexpr Signature kIsSlipping{"ZORPoint.is_slipping", no_parameters};
constexpr Signature kConservesTension{"ZORPoint.conserves_tension", {"next", "tol"}};
constexpr Signature kPair{"ZORPoint.pair", no_parameters,
                          "Returns (exp(x), ln(|y|)) as an ZORPair \u2014 canonical frame coordinates."};
constexpr Signature kEuclideanDelta{"ZORPoint.euclidean_delta", no_parameters,
                                    "Euclidean delta: sqrt(exp(2x) + (ln y)^2)."};
constexpr Signature kMinkowskiDelta{"ZORPoint.minkowski_delta",
                                    {"plus_signature", "c"},
                                    "Minkowski interval sqrt(|exp(2x) - (c*ln y)^2|).\n"
                                    "plus_signature=true means (+---): time-like when exp(2x) > (c*ln y)^2."};
constexpr Signature kBoost{"ZORPoint.boost",
                           {"phi", "c"},
                           "Lorentz boost by rapidity phi. Returns new ZORPoint with identical \u0394_M.\n"
                           "Boost: t' = t*cosh(phi) - (x/c)*sinh(phi), x' = x*cosh(phi) - t*c*sinh(phi)\n"
                           "where t = exp(x_coord), x = ln(y_coord)."};

PyMethodDef methods[] = {
    method_def<kTension, point_tension>(),
    method_def<kZor, point_tension>(),
    method_def<kMirrorPulse, point_mirror_pulse>(),
    method_def<kPulse, point_mirror_pulse>(),
    method_def<kFrameShift, point_frame_shift>(),
    method_def<kIsSlipping, point_is_slipping>(),
    method_def<kConservesTension, point_conserves_tension>(),
    method_def<kPair, point_pair>(),
    method_def<kEuclideanDelta, point_euclidean_delta>(),
    method_def<kMinkowskiDelta, point_minkowski_delta>(),
    method_def<kBoost, point_boost>(),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"x", getter<point_x>, nullptr, nullptr, nullptr},
    {"y", getter<point_y>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    class_doc_slot<kNew>(),
    constructor_slot<kNew, construct>(),
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
