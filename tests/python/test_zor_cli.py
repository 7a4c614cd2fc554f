"""zor-discover end to end: the installed console script in a subprocess."""

import json
import math
import os
import subprocess
import sys
from pathlib import Path

import pytest

from interrupt import interrupt, read_until

SCRIPT = Path(sys.executable).with_name("zor-discover")

PLANETS = """planet,a,T
Mercury,0.387098,0.240846
Venus,0.723332,0.615198
Earth,1.000000,1.000017
Mars,1.523679,1.880848
Jupiter,5.2044,11.862615
Saturn,9.5826,29.447498
Uranus,19.19126,84.016846
Neptune,30.07,164.79132
"""


def run(*args, stdin=None, timeout=60):
    return subprocess.run([str(SCRIPT), *args], input=stdin, capture_output=True, text=True, timeout=timeout)


@pytest.fixture
def planets(tmp_path):
    path = tmp_path / "planets.csv"
    path.write_text(PLANETS)
    return path


def test_report_names_the_columns_and_shows_every_form(planets):
    done = run(str(planets), "--features", "a", "--max-complexity", "6")
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""  # no progress bar when standard error is not a terminal
    lines = done.stdout.splitlines()
    assert lines[0] == "T = (sqrt(a) * a)"
    assert lines[1].startswith("  error (RMSE) 0.0867") and lines[1].endswith("complexity 4")
    assert r"T = \sqrt{a} \cdot a" in done.stdout and "def f(a: float) -> float:" in done.stdout
    assert "Simplified (SymPy):\n  T = a**(3/2)\n" in done.stdout
    front = lines[lines.index("Pareto front (error against complexity):") + 2:]
    # the simplest entry is the constant model: the mean of T, with R² 0
    assert front[0].split()[:2] == ["1", "55.2653"] and float(front[0].split()[-1]) == pytest.approx(36.7318985)
    assert abs(float(front[0].split()[3])) < 1e-9
    # without scaling, the error of `a`, and that error relative to the RMS of T and as R² over T's variance
    plain = run(str(planets), "--features", "a", "--max-complexity", "6", "--no-scaling")
    plain_lines = plain.stdout.splitlines()
    plain_front = plain_lines[plain_lines.index("Pareto front (error against complexity):") + 2:]
    T = [float(row.split(",")[2]) for row in PLANETS.splitlines()[1:]]
    mean = sum(T) / len(T)
    rms, variance = math.sqrt(sum(t * t for t in T) / len(T)), sum((t - mean) ** 2 for t in T) / len(T)
    assert plain_front[0].split() == ["1", "53.3752", f"{53.3752 / rms:.3g}", f"{1 - 53.3752**2 / variance:.6f}",
                                      "nan", "a"]  # no criterion without scaling


def test_json_from_standard_input():
    done = run("--target", "T", "--features", "a", "--max-complexity", "5", "--json", stdin=PLANETS)
    assert done.returncode == 0, done.stderr
    document = json.loads(done.stdout)
    assert document["target"] == "T" and document["features"] == ["a"]
    assert document["best"]["formula"] == "(sqrt(a) * a)" and document["best"]["complexity"] == 4
    assert [f["complexity"] for f in document["front"]] == sorted(f["complexity"] for f in document["front"])
    namespace = {}
    exec(document["best"]["python"], namespace)
    assert namespace["f"](4.0) == 8.0
    assert document["settings"]["max_complexity"] == 5 and not document["cut_short"]


def test_help_shows_examples():
    done = run("--help")
    assert done.returncode == 0 and "examples:" in done.stdout and "--time-limit" in done.stdout


@pytest.mark.parametrize(
    "content, args, message",
    [
        (None, [], "{f}: no such file"),
        ("", [], "{f}: the file is empty (a header row and data rows are needed)"),
        ("a,b\n", [], "{f}: no data rows below the header"),
        ("a,b,y\n1,2,3\n4,5\n", [], "{f}, row 3: 2 cells where the header has 3 columns"),
        ("a,y\n1,2\nx7,3\n", [], "{f}, row 3, column 'a': 'x7' is not a number"),
        ("a,y\n1,2\n3,\n", [], "{f}, row 3, column 'y': an empty cell is not a number"),
        ("a,y\n1,2\n3,inf\n", [], "{f}, row 3, column 'y': 'inf' is not a finite number"),
        ("a,y\n1,2\n", ["--target", "z"], "{f}: no column named 'z' (columns: a, y)"),
        ("a,y\n1,2\n", ["--features", "a,q"], "{f}: no column named 'q' (columns: a, y)"),
        ("y\n1\n2\n", [], "{f}: no feature column: the only column is the target 'y'"),
        ("a;y\n1;2\n", [], "{f}: no feature column: the only column is the target 'a;y' (cells separated by ';'? "
                         "use --delimiter)"),
        ("a,a\n1,2\n", [], "{f}, row 1: two columns are named 'a'"),
        (b"a,y\n1,2\n3,\xff\n", [], "{f}, row 3: not UTF-8 text (byte 0xff at position 3)"),
        (b"\0" * (2 << 20), [], "{f}, row 1: longer than 1048576 bytes"),
        ('a,y\n1,"2\n', [], "{f}, row 2: unexpected end of data"),
    ],
)
def test_bad_input_gets_one_line_and_status_1(tmp_path, content, args, message):
    path = tmp_path / "data.csv"
    if isinstance(content, bytes):
        path.write_bytes(content)
    elif content is not None:
        path.write_text(content)
    done = run(str(path), *args)
    assert done.returncode == 1
    assert done.stdout == ""
    assert done.stderr == "zor-discover: " + message.format(f=path) + "\n"


def test_features_may_leave_text_columns_out(planets):
    done = run(str(planets), "--features", "a", "--target", "T", "--max-complexity", "4")
    assert done.returncode == 0 and done.stdout.startswith("T = ")


def test_bad_option_values_are_usage_errors(planets):
    done = run(str(planets), "--max-complexity", "-3")
    assert done.returncode == 2 and "must not be negative" in done.stderr and "Traceback" not in done.stderr


@pytest.mark.clock
@pytest.mark.skipif(os.name != "posix", reason="needs POSIX signals")
def test_ctrl_c_exits_with_130(tmp_path):
    path = tmp_path / "hard.csv"
    rows = ["a,b,c,y"] + [f"{0.1 * i},{(i * 7919) % 101 / 17},{(i * 104729) % 97 / 13},{(i * i) % 89 / 7}"
                          for i in range(300)]
    path.write_text("\n".join(rows) + "\n")
    child = subprocess.Popen([str(SCRIPT), str(path), "--max-complexity", "12", "--beam-width", "40000", "--progress"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    # The bar is first drawn when the search starts, well inside the command's own handling of Ctrl-C.
    out, err, _ = interrupt(child, lambda: read_until(child.stderr, " levels"))
    assert child.returncode == 130
    assert err.endswith("zor-discover: interrupted\n") and "Traceback" not in err and out == ""
