"""The distribution as a user gets it: `python -m build` makes an sdist and a
wheel from the sdist, the wheel installs into a fresh Python 3.12 venv, imports,
runs its console scripts, and mypy finds its types there."""

import configparser
import email
import pathlib
import subprocess
import sys
import tarfile
import textwrap
import tomllib
import zipfile

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]

pytestmark = pytest.mark.slow


def run(command, **kwargs):
    result = subprocess.run(command, capture_output=True, text=True, timeout=900, **kwargs)
    assert result.returncode == 0, f"{command}\n{result.stdout}\n{result.stderr}"
    return result


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    pytest.importorskip("build")
    out = tmp_path_factory.mktemp("dist")
    # Without isolation the build uses this venv's scikit-build-core, CMake and
    # Ninja instead of downloading them again; the wheel is built from the sdist.
    run([sys.executable, "-m", "build", "--no-isolation", "--outdir", str(out), str(REPO)])
    (sdist,) = out.glob("*.tar.gz")
    (wheel,) = out.glob("*.whl")
    return sdist, wheel


@pytest.fixture(scope="module")
def wheel_metadata(dist):
    with zipfile.ZipFile(dist[1]) as archive:
        names = archive.namelist()
        info = next(n for n in names if n.endswith(".dist-info/METADATA"))
        metadata = email.message_from_string(archive.read(info).decode())
        entry_points = configparser.ConfigParser()
        points = [n for n in names if n.endswith(".dist-info/entry_points.txt")]
        if points:
            entry_points.read_string(archive.read(points[0]).decode())
    return names, metadata, entry_points


@pytest.fixture(scope="module")
def fresh_venv(dist, tmp_path_factory):
    venv = tmp_path_factory.mktemp("venv") / "env"
    run([sys.executable, "-m", "venv", str(venv)])
    python = venv / "bin" / "python"
    run([str(python), "-m", "pip", "install", "-q", "--disable-pip-version-check", str(dist[1])])
    return venv


def test_metadata_is_complete_and_matches_pyproject(wheel_metadata):
    _, metadata, _ = wheel_metadata
    project = tomllib.loads((REPO / "pyproject.toml").read_text())["project"]
    assert metadata["Name"] == project["name"]
    assert metadata["Version"] == project["version"]
    assert metadata["Summary"] == project["description"]
    assert metadata["Requires-Python"].replace(" ", "") in {">=3.12,<3.13", "<3.13,>=3.12"}
    assert metadata["License-Expression"] == "MIT"
    assert metadata["Author"]
    assert metadata["Description-Content-Type"] == "text/markdown"
    assert metadata.get_payload().strip() == (REPO / "README.md").read_text().strip()
    assert "Programming Language :: Python :: 3.12" in metadata.get_all("Classifier")


def test_sdist_holds_the_sources_and_no_build_output(dist):
    with tarfile.open(dist[0]) as archive:
        names = [name.split("/", 1)[1] for name in archive.getnames() if "/" in name]
    for needed in ("LICENSE", "README.md", "pyproject.toml", "CMakeLists.txt", "src/cpython/zor_core/zor_core.pyi",
                   "src/cpython/zor_core/module.cpp", "src/core/pool.cpp"):
        assert needed in names
    assert not [n for n in names if n.startswith((".venv/", "build/")) or n.endswith(".so")]


def test_wheel_carries_module_stubs_and_license(wheel_metadata):
    names, _, _ = wheel_metadata
    assert any(n.startswith("zor_core.cpython-312-") and n.endswith(".so") for n in names)
    assert {"zor_core.pyi", "zor_core-stubs/__init__.pyi", "zor_core.libs/libzor_pool.so"} <= set(names)
    assert any(n.endswith(".dist-info/licenses/LICENSE") for n in names)


def test_installed_wheel_imports_and_computes_in_a_fresh_venv(fresh_venv):
    program = textwrap.dedent(
        """
        import zor_core
        from zor import _native
        assert "site-packages" in zor_core.__file__, zor_core.__file__
        print(zor_core.tension_n([0.0], [1.0]), zor_core.find_formula([[1.0, 2.0, 3.0]], [2.0, 4.0, 6.0]))
        print(_native.evaluate([("var", 0), ("op", "Neg")], [[2.0]]))
        """
    )
    out = run([str(fresh_venv / "bin" / "python"), "-c", program], cwd=fresh_venv).stdout
    # both modules load the worker pool's library from the wheel
    assert out.startswith("[1.0] SearchResult(formula='(x + x)'")
    assert out.splitlines()[1] == "[-2.0]"


def test_console_scripts_run_in_the_fresh_venv(wheel_metadata, fresh_venv):
    _, _, entry_points = wheel_metadata
    scripts = list(entry_points["console_scripts"]) if entry_points.has_section("console_scripts") else []
    if not scripts:
        pytest.skip("the distribution declares no console script")
    for name in scripts:
        out = run([str(fresh_venv / "bin" / name), "--help"], cwd=fresh_venv).stdout
        assert "usage" in out.lower()


def test_mypy_finds_the_types_of_the_installed_wheel(fresh_venv, tmp_path):
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", f"--python-executable={fresh_venv / 'bin' / 'python'}",
         f"--cache-dir={tmp_path / 'cache'}", str(REPO / "examples" / "typed_usage.py")],
        capture_output=True, text=True, cwd=tmp_path, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
