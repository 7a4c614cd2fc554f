import ast
import importlib
import inspect
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest
import zor_core

ALL = [
    "ZORPoint", "ZORPair", "ZORKnot", "schrodinger_step_n", "rotate_phase_n", "simulate_pulses_n", "boost_n",
    "exp_n", "ln_n", "add_n", "sub_n", "mul_n", "div_n", "sqrt_n", "sin_n", "cos_n", "tension_n", "pow_n",
    "christoffel_batch_n", "octonion_mul_n", "geometric_product_n", "PySearchResult", "find_formula",
]


def test_all_lists_the_names_in_registration_order():
    assert zor_core.__all__ == ALL
    assert zor_core.__doc__ == ""
    public = [name for name in vars(zor_core) if not name.startswith("__")]
    assert public == ALL


@pytest.mark.parametrize(
    "name, signature",
    [
        ("boost_n", "(points, phis, c)"),
        ("exp_n", "(xs)"),
        ("add_n", "(as_, bs)"),
        ("christoffel_batch_n", "(points, lam, mu, nu, rs)"),
        ("geometric_product_n", "(a_batch, b_batch, signature)"),
        ("simulate_pulses_n", "(x0, y0, n_pulses)"),
        ("schrodinger_step_n", "(psi, v, dt, hbar)"),
        (
            "find_formula",
            "(x_data, y_data, max_complexity=8, beam_width=2000, precision_goal=1e-10, use_trig=True, "
            "use_zor=True, complexity_penalty=0.001)",
        ),
    ],
)
def test_functions_carry_text_signatures(name, signature):
    function = getattr(zor_core, name)
    assert str(inspect.signature(function)) == signature
    assert function.__self__ is zor_core
    assert function.__module__ == "zor_core"


@pytest.mark.parametrize(
    "name, doc",
    [
        ("exp_n", "Batch exp: [exp(x) for x in xs] \u2014 Rayon parallel."),
        ("div_n", "Batch div: [a / b] \u2014 NaN for |b| < 1e-300 \u2014 Rayon parallel."),
        ("rotate_phase_n", "Batch rotate_phase for a list of ZORPairs."),
        (
            "schrodinger_step_n",
            "Batch Schr\u00f6dinger potential-phase step: \u03c8_n \u2192 e^{-iV_n\u00b7dt/\u0127}\u00b7\u03c8_n "
            "for all n.\nReturns list of (real, imag) tuples.",
        ),
    ],
)
def test_function_docs(name, doc):
    assert getattr(zor_core, name).__doc__ == doc


@pytest.mark.parametrize(
    "cls, signature", [("ZORPoint", "(x, y)"), ("ZORPair", "(real, imag)"), ("ZORKnot", "(point, n=0, theta=0.0)")]
)
def test_classes_have_signature_and_empty_doc(cls, signature):
    klass = getattr(zor_core, cls)
    assert str(inspect.signature(klass)) == signature
    assert klass.__doc__ == ""
    assert klass.__module__ == "zor_core"


REPO = pathlib.Path(__file__).resolve().parents[2]
STUBS = {"zor_core": REPO / "src" / "cpython" / "zor_core" / "zor_core.pyi", "zor._native": REPO / "python" / "zor" / "_native.pyi"}


def stub_default(node):
    return inspect.Parameter.empty if node is None else ast.literal_eval(node)


def stub_parameters(node, bound):
    """(name, kind, default) per parameter of a stub def; `bound` drops self or cls."""
    args = node.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    found = [(a.arg, inspect.Parameter.POSITIONAL_ONLY if a in args.posonlyargs else inspect.Parameter.POSITIONAL_OR_KEYWORD,
              stub_default(d)) for a, d in zip(positional, defaults)]
    found += [(a.arg, inspect.Parameter.KEYWORD_ONLY, stub_default(d)) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    return found[1:] if bound else found


def stub_callables(module):
    """(dotted name, stub parameters) for every public function, method and constructor of a stub."""
    tree = ast.parse(STUBS[module].read_text())
    found = []
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            found.append((node.name, stub_parameters(node, False)))
        elif isinstance(node, ast.ClassDef) and not node.name.startswith("_") and hasattr(importlib.import_module(module), node.name):
            for item in node.body:
                if not isinstance(item, ast.FunctionDef):
                    continue
                decorators = {d.id for d in item.decorator_list if isinstance(d, ast.Name)}
                if item.name == "__new__":
                    found.append((node.name, stub_parameters(item, True)))
                elif not item.name.startswith("__") and "property" not in decorators:
                    found.append((f"{node.name}.{item.name}", stub_parameters(item, "staticmethod" not in decorators)))
    return found


def runtime_parameters(module, dotted):
    obj = importlib.import_module(module)
    for part in dotted.split("."):
        obj = getattr(obj, part)
    parameters = list(inspect.signature(obj).parameters.values())
    if parameters and parameters[0].name == "self" and parameters[0].kind is inspect.Parameter.POSITIONAL_ONLY:
        parameters = parameters[1:]  # an instance method's receiver
    return [(p.name, p.kind, p.default) for p in parameters]


def typed(parameters):
    # 0 and 0.0, or 1 and True, are different defaults
    return [(name, kind, type(default), default) for name, kind, default in parameters]


@pytest.mark.parametrize("module", sorted(STUBS))
def test_every_callable_has_its_stub_signature(module):
    callables = stub_callables(module)
    assert len(callables) >= 6
    mismatched = [(name, stub, runtime_parameters(module, name)) for name, stub in callables
                  if typed(stub) != typed(runtime_parameters(module, name))]
    assert mismatched == []


def test_reimport_yields_the_identical_module():
    first = zor_core
    exp_n = zor_core.exp_n
    del sys.modules["zor_core"]
    import zor_core as again

    assert again is first
    assert again.exp_n is exp_n


def test_sub_interpreter_import_is_refused():
    # Runs in a fresh process so the main interpreter imports first.
    script = textwrap.dedent(
        """
        import os, zor_core, _testcapi
        r, w = os.pipe()
        code = f'''
        import os
        try:
            import zor_core
            os.write({w}, b"imported")
        except ImportError as error:
            os.write({w}, b"ImportError")
        '''
        _testcapi.run_in_subinterp(code)
        os.close(w)
        print(os.read(r, 100).decode())
        """
    )
    pytest.importorskip("_testcapi")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60, env=os.environ)
    assert out.stdout.strip() == "ImportError", out.stderr


def test_panic_exception_is_a_base_exception():
    with pytest.raises(BaseException) as info:
        zor_core.geometric_product_n([[0, 1]], [[0, 1]], [])
    panic = type(info.value)
    assert panic.__name__ == "PanicException"
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    assert str(info.value) == "index out of bounds: the len is 0 but the index is 0"
    # The class is created once: a second fault raises the same type.
    with pytest.raises(panic):
        zor_core.geometric_product_n([[1, 2, 3]], [[1, 1, 1]], [1, 1])
