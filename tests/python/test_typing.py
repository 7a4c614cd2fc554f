"""The installed type information: stubtest against the built module, the doc
strings of the stubs against the runtime ones, and mypy --strict on user code."""

import ast
import importlib.util
import inspect
import pathlib
import subprocess
import sys
import textwrap

import pytest
import zor_core

REPO = pathlib.Path(__file__).resolve().parents[2]
SITE = pathlib.Path(zor_core.__file__).resolve().parent
STUB_PACKAGE = SITE / "zor_core-stubs" / "__init__.pyi"

pytest.importorskip("mypy")


def run_mypy(tmp_path, *args):
    command = [sys.executable, "-m", "mypy", "--strict", "--no-color-output", f"--cache-dir={tmp_path / 'cache'}"]
    return subprocess.run(command + list(args), capture_output=True, text=True, cwd=tmp_path, timeout=300)


def test_stubs_are_installed_beside_the_module_and_as_stub_package():
    source = (REPO / "src" / "cpython" / "zor_core" / "zor_core.pyi").read_text()
    assert (SITE / "zor_core.pyi").read_text() == source
    assert STUB_PACKAGE.read_text() == source


def importable(name):
    try:
        return importlib.util.find_spec(name) is not None
    except ModuleNotFoundError:
        return False


# zor._native is the companion package's private native module, with its own stub.
@pytest.mark.parametrize("module", ["zor_core", "zor._native"])
def test_stubtest_finds_no_difference_from_the_built_module(module, tmp_path):
    if not importable(module):
        pytest.skip(f"{module} is not installed")
    allowlist = ["--allowlist", str(pathlib.Path(__file__).with_name("stubtest_allowlist.txt"))]
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", module] + (allowlist if module == "zor._native" else []),
        capture_output=True, text=True, cwd=tmp_path, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_companion_package_passes_mypy_strict(tmp_path):
    sources = REPO / "python" / "zor"
    if not sources.is_dir() or not importable("zor"):
        pytest.skip("the zor package is not built")
    # scikit-learn, SymPy and tqdm ship no type information of their own.
    result = run_mypy(tmp_path, "--disable-error-code=import-untyped", str(sources))
    assert result.returncode == 0, result.stdout + result.stderr


def stub_docstrings():
    """(dotted name, doc string or None) for every class and def of the stubs."""
    tree = ast.parse(STUB_PACKAGE.read_text())
    found = []

    def visit(body, prefix):
        for node in body:
            if isinstance(node, (ast.ClassDef, ast.FunctionDef)) and not node.name.startswith("_"):
                found.append((prefix + node.name, ast.get_docstring(node)))
                if isinstance(node, ast.ClassDef):
                    visit(node.body, prefix + node.name + ".")

    visit(tree.body, "")
    return found


def runtime_doc(dotted):
    obj = zor_core
    for part in dotted.split("."):
        obj = getattr(obj, part)
    if isinstance(obj, property):
        return None
    doc = inspect.getdoc(obj) if not isinstance(obj, type) else obj.__doc__
    return doc or None


def test_stub_doc_strings_are_the_runtime_doc_strings():
    entries = stub_docstrings()
    assert {name for name, _ in entries if "." not in name} == set(zor_core.__all__)
    mismatched = [(name, doc, runtime_doc(name)) for name, doc in entries if doc != runtime_doc(name)]
    assert mismatched == []


def test_example_program_passes_mypy_strict(tmp_path):
    result = run_mypy(tmp_path, str(REPO / "examples" / "typed_usage.py"))
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_rejects_misuse_and_keeps_precise_types(tmp_path):
    # Each line marked "error" breaks a rule the module enforces at run time.
    program = textwrap.dedent(
        """
        import numpy as np
        import zor_core
        from zor_core import ZORKnot, ZORPair, ZORPoint

        zor_core.exp_n(np.linspace(0.0, 1.0, 5))
        zor_core.exp_n(range(3))
        zor_core.exp_n("abc")  # error
        ZORPair(1, 2) + 1.0  # error
        point = ZORPoint(0, 1)
        point.x = 2.0  # error
        zor_core.find_formula([[1.0]], [1.0]).formula  # error
        zor_core.boost_n([[1.0, 2.0]], [0.0], 1.0)  # error
        ZORKnot(point, n=1.5)  # error
        point.minkowski_delta(1, 1.0)  # error
        reveal_type(zor_core.simulate_pulses_n(0, 1, 2))
        reveal_type(ZORPair.unit_i() / ZORPair.one())
        """
    )
    script = tmp_path / "misuse.py"
    script.write_text(program)
    result = run_mypy(tmp_path, str(script))
    errors = {int(line.split(":")[1]) for line in result.stdout.splitlines() if ": error:" in line}
    expected = {number for number, line in enumerate(program.splitlines(), 1) if line.endswith("# error")}
    assert errors == expected, result.stdout
    assert 'Revealed type is "list[tuple[float, float, float]]"' in result.stdout
    assert 'Revealed type is "zor_core.ZORPair"' in result.stdout
