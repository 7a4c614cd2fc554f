"""Plain-Python model of formula discovery, used as an oracle for find_formula.

Expressions are lists of tokens in postfix order:

    ("const", value)        a numeric constant
    ("param", index, value) a numbered coefficient with a stored value
    ("var", index)          input variable `index` (its column)
    ("op", code)            an operator, see the OP_* codes below

Everything is computed with Python floats, whose math functions are the C
library's, so values agree bit for bit with the native module.
"""

from __future__ import annotations

import math
import struct
from dataclasses import dataclass, field

NEG, RECIP, EXP, LN, SQRT, SIN, COS, ABS, ZOR, ADD, SUB, MUL, DIV = range(13)
OP_NAMES = ["Neg", "Recip", "Exp", "Ln", "Sqrt", "Sin", "Cos", "Abs", "Zor", "Add", "Sub", "Mul", "Div"]

TINY = 1e-300

PROBE_POINTS = (
    0.5772156649015328,
    1.2824271291006226,
    1.618033988749895,
    0.6931471805599453,
    1.2020569031595942,
)


def const(v):
    return ("const", float(v))


def var(k):
    return ("var", k)


def param(index, stored):
    return ("param", index, float(stored))


def op(code):
    return ("op", code)


# The numeric helpers (C-library exp/log/sin/cos with IEEE results and the
# zor guards) are shared with the kernel model.
from kernel_model import c_cos, c_exp, c_log, c_sin, safe_exp, safe_ln, zor  # noqa: E402


def _apply(code: int, stack: list) -> float | None:
    """Pops the operands of `code`, returns its result or None on a guard."""
    if code < ZOR:
        x = stack.pop()
        if code == NEG:
            return -x
        if code == RECIP:
            return None if abs(x) < TINY else 1.0 / x
        if code == EXP:
            return c_exp(x)
        if code == LN:
            return None if x <= 0 else c_log(x)
        if code == SQRT:
            return None if x < 0 else math.sqrt(x)
        if code == SIN:
            return c_sin(x)
        if code == COS:
            return c_cos(x)
        if code == ABS:
            return abs(x)
        raise ValueError(code)
    b = stack.pop()
    a = stack.pop()
    if code == ZOR:
        return zor(a, b)
    if code == ADD:
        return a + b
    if code == SUB:
        return a - b
    if code == MUL:
        return a * b
    if code == DIV:
        return None if abs(b) < TINY else a / b
    raise ValueError(code)


def evaluate(expr, row, params=()):
    """Value of `expr` on one row, or None when the evaluation fails."""
    if not expr:
        return None
    stack: list[float] = []
    for tok in expr:
        kind = tok[0]
        if kind == "const":
            stack.append(tok[1])
        elif kind == "param":
            stack.append(params[tok[1]] if tok[1] < len(params) else tok[2])
        elif kind == "var":
            if tok[1] >= len(row):
                return None
            stack.append(row[tok[1]])
        else:
            code = tok[1]
            if len(stack) < (1 if code < ZOR else 2):
                return None
            value = _apply(code, stack)
            if value is None or not math.isfinite(value):
                return None
            stack.append(value)
    return stack[0] if len(stack) == 1 else None


def evaluate_columns(expr, columns, params=()):
    out = []
    for i in range(len(columns[0])):
        value = evaluate(expr, [col[i] for col in columns], params)
        if value is None:
            return None
        out.append(value)
    return out


# --- text forms --------------------------------------------------------------


def fixed4(v: float) -> str:
    if math.isnan(v):
        return "NaN"
    if math.isinf(v):
        return "inf" if v > 0 else "-inf"
    return format(v, ".4f")


def exponent2(v: float) -> str:
    """One digit, point, two digits, 'e', exponent without '+' or leading zeros."""
    if math.isnan(v):
        return "NaN"
    if math.isinf(v):
        return "inf" if v > 0 else "-inf"
    mantissa, exp = format(v, ".2e").split("e")
    return f"{mantissa}e{int(exp)}"


_OP_FORMS = {
    NEG: lambda a: f"(-{a})",
    RECIP: lambda a: f"(1/{a})",
    EXP: lambda a: f"exp({a})",
    LN: lambda a: f"ln({a})",
    SQRT: lambda a: f"sqrt({a})",
    SIN: lambda a: f"sin({a})",
    COS: lambda a: f"cos({a})",
    ABS: lambda a: f"abs({a})",
}
_BIN_FORMS = {ZOR: "zor({a}, {b})", ADD: "({a} + {b})", SUB: "({a} - {b})", MUL: "({a} * {b})", DIV: "({a} / {b})"}


def render_formula(expr) -> str:
    stack: list[str] = []

    def pop():
        return stack.pop() if stack else ""

    for tok in expr:
        kind = tok[0]
        if kind == "const":
            v = tok[1]
            if v == math.pi:
                stack.append("π")
            elif v == math.e:
                stack.append("e")
            else:
                stack.append(fixed4(v))
        elif kind == "param":
            stack.append(f"c{tok[1]}({fixed4(tok[2])})")
        elif kind == "var":
            stack.append(chr((120 + tok[1]) % 256))
        else:
            code = tok[1]
            if code < ZOR:
                stack.append(_OP_FORMS[code](pop()))
            else:
                b = pop()
                a = pop()
                stack.append(_BIN_FORMS[code].format(a=a, b=b))
    return stack[-1] if stack else "?"


def _latex_sqrt(text: str) -> str:
    """'sqrt(' becomes '\\sqrt{' and the ')' matching its '(' becomes '}'."""
    out = []
    opened: list[bool] = []  # one entry per open '(' : is it a sqrt's?
    i = 0
    while i < len(text):
        if text.startswith("sqrt(", i):
            out.append("\\sqrt{")
            opened.append(True)
            i += 5
            continue
        ch = text[i]
        if ch == "(":
            opened.append(False)
            out.append(ch)
        elif ch == ")":
            out.append("}" if (opened and opened.pop()) else ")")
        else:
            out.append(ch)
        i += 1
    return "".join(out)


def to_latex(formula: str) -> str:
    s = formula.replace("exp(", "\\exp(")
    s = s.replace("ln(", "\\ln(")
    s = _latex_sqrt(s)
    s = s.replace("sin(", "\\sin(")
    s = s.replace("cos(", "\\cos(")
    s = s.replace("zor(", "\\mathrm{zor}(")
    s = s.replace("pi", "\\pi")
    return s


def to_python(formula: str) -> str:
    s = formula
    for name, repl in (("exp(", "math.exp("), ("ln(", "math.log("), ("sqrt(", "math.sqrt("),
                       ("sin(", "math.sin("), ("cos(", "math.cos(")):
        s = s.replace(name, repl)
    return "import math\nf = lambda x: " + s


def result_repr(formula: str, error: float, complexity: int) -> str:
    return f"SearchResult(formula='{formula}', error={exponent2(error)}, complexity={complexity})"


# --- fingerprint ----------------------------------------------------------------


def bits(v: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", v))[0]


def fingerprint(expr, n_vars):
    """Tuple of the bit patterns at the five probes, or None."""
    out = []
    for p in PROBE_POINTS:
        row = [float(k + 1) * p for k in range(n_vars)]
        v = evaluate(expr, row)
        if v is None or not math.isfinite(v):
            return None
        out.append(bits(v))
    return tuple(out)


def fingerprint_words(fp):
    """The ten signed integers: upper half sign-extended, lower half unsigned."""
    words = []
    for b in fp:
        hi = b >> 32
        words.append(hi - (1 << 32) if hi >= 1 << 31 else hi)
        words.append(b & 0xFFFFFFFF)
    return words


# --- scoring and search -----------------------------------------------------------


@dataclass
class Scored:
    expr: list
    formula: str
    score: float
    complexity: int
    params: list = field(default_factory=list)


def score_candidate(expr, columns, y, penalty):
    preds = evaluate_columns(expr, columns)
    if preds is None:
        return None
    sse = -0.0
    for i in range(min(len(preds), len(y))):
        d = preds[i] - y[i]
        sse += d * d
    m = float(len(y))
    ratio = sse / m if m != 0 else math.nan  # only -0.0 / 0 can occur here
    rmse = math.sqrt(ratio)
    complexity = len(expr)
    score = rmse * (float(complexity) * penalty + 1.0)
    return Scored(list(expr), render_formula(expr), score, complexity)


class Undetermined(Exception):
    """The outcome depends on where a sort puts NaN scores, which is not fixed."""


@dataclass
class Options:
    max_complexity: int = 8
    beam_width: int = 2000
    precision_goal: float = 1e-10
    use_trig: bool = True
    use_zor: bool = True
    complexity_penalty: float = 0.001


def beam_search(columns, y, options: Options | None = None, stats: dict | None = None):
    """Best Scored candidate (None for data without columns)."""
    o = options or Options()
    if not columns:
        return None
    n_vars = len(columns)
    unary = [NEG, RECIP, EXP, LN, SQRT] + ([SIN, COS] if o.use_trig else [])
    binary = [ADD, SUB, MUL, DIV] + ([ZOR] if o.use_zor else [])
    both_orders = {SUB, DIV, ZOR}
    seen: set = set()
    best = None
    stats = stats if stats is not None else {}
    stats.setdefault("levels", 0)
    stats.setdefault("admitted", 0)

    def admit(expr, into):
        fp = fingerprint(expr, n_vars)
        if fp is None or fp in seen:
            return
        seen.add(fp)
        into.append(expr)

    def score_all(cands):
        out = []
        for c in cands:
            s = score_candidate(c, columns, y, o.complexity_penalty)
            if s is not None:
                out.append(s)
        return out

    def update(scored):
        nonlocal best
        for s in scored:
            if best is None or best.score > s.score:
                best = s

    def done():
        return best is not None and o.precision_goal >= best.score

    seeds: list = []
    for e in ([const(0.0)], [const(1.0)], *[[var(k)] for k in range(n_vars)]):
        admit(e, seeds)
    stats["levels"] = 1
    stats["admitted"] += len(seeds)
    update(score_all(seeds))
    if done():
        return best
    pool = list(seeds)
    keep = o.beam_width // 4
    level = 2
    while level <= o.max_complexity:
        new: list = []
        for a in pool:
            for u in unary:
                admit(a + [op(u)], new)
        for i in range(len(pool)):
            for j in range(i + 1):
                a, b = pool[i], pool[j]
                if len(a) + len(b) >= o.max_complexity:
                    continue
                for bop in binary:
                    admit(a + b + [op(bop)], new)
                    if bop in both_orders:
                        admit(b + a + [op(bop)], new)
        if not new:
            break
        stats["levels"] = level
        stats["admitted"] += len(new)
        scored = score_all(new)
        update(scored)
        if done():
            return best
        if keep > 0 and len(scored) > 1:
            nan = [math.isnan(s.score) for s in scored]
            if any(nan) and not all(nan):
                raise Undetermined("NaN and numeric scores in one level")
        ordered = sorted(scored, key=lambda s: s.score)  # stable, compares with <
        pool.extend(list(s.expr) for s in ordered[: min(keep, len(ordered))])
        level += 1
    return best


def as_core_text(text: str) -> str:
    """A formula text of the zor package with its integers written as the core writes them (1 as 1.0000),
    to compare with find_formula's text."""
    import re

    # the core's own operator texts hold digits too: (1/x) and (x^2)
    return re.sub(r"(?<![\w.^])(\d+)(?![\w./])", r"\1.0000", text)
