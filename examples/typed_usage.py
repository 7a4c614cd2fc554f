"""A small typed program over zor_core; `mypy --strict examples/typed_usage.py`
checks it against the installed stubs, and it runs as it stands:

    .venv/bin/python examples/typed_usage.py
"""

from __future__ import annotations

import math

import zor_core
from zor_core import PySearchResult, ZORKnot, ZORPair, ZORPoint


def tensions(points: list[tuple[float, float]]) -> list[float]:
    xs = [x for x, _ in points]
    ys = [y for _, y in points]
    return zor_core.tension_n(xs, ys)


def orbit(start: ZORPoint, steps: int) -> list[ZORPoint]:
    path = [start]
    for _ in range(steps):
        path.append(path[-1].mirror_pulse())
    return path


def rotated(pair: ZORPair, angle: float) -> tuple[float, float]:
    turned = pair.rotate_phase(angle) * ZORPair.one()
    return turned.real, turned.imag


def describe(result: PySearchResult | None) -> str:
    if result is None:
        return "no formula"
    return f"{result.formula} (complexity {result.complexity}, error {result.error:.3g})"


def main() -> None:
    print(tensions([(0.0, 1.0), (1.0, math.e)]))
    print([round(p.tension(), 6) for p in orbit(ZORPoint(0.0, 2.0), 3)])
    print(rotated(ZORPair(1.0, 0.0), math.pi / 2))
    knot: ZORKnot = ZORKnot(ZORPoint(0.0, 1.0), n=3, theta=1.0).flip()
    print(knot.flip_count, knot.tread_yield(), knot.rho)
    boosted: list[tuple[float, float]] = zor_core.boost_n([(0.0, 1.0)], [0.5], 1.0)
    print(boosted)
    product: list[list[float]] = zor_core.octonion_mul_n([[0, 1, 0, 0, 0, 0, 0, 0]], [(0, 0, 1, 0, 0, 0, 0, 0)])
    print(product)
    xs = [0.5, 1.0, 1.5, 2.0, 2.5]
    print(describe(zor_core.find_formula([xs], [x * x + 1.0 for x in xs], max_complexity=5)))


if __name__ == "__main__":
    main()
