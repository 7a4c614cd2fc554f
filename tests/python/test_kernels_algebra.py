"""octonion_mul_n and geometric_product_n: agreement with the reference model,
algebraic identities with exact integer coefficients, and native faults."""

import itertools
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import zor_core
from kernel_model import (
    INF,
    NAN,
    SPECIAL,
    IndexFault,
    assert_same,
    from_bits,
    geometric_product,
    octonion_mul,
)


def panic_type():
    try:
        zor_core.geometric_product_n([[0.0, 1.0]], [[0.0, 1.0]], [])
    except BaseException as exc:  # noqa: B036 - the class is what we want
        return type(exc)
    raise AssertionError("the faulting product did not raise")


PanicException = panic_type()


def unit(k, size=8):
    v = [0.0] * size
    v[k] = 1.0
    return v


# --- octonions ----------------------------------------------------------------

coefficient = st.one_of(
    st.just(0.0),
    st.just(-0.0),
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(min_value=0, max_value=2**64 - 1).map(from_bits),
    st.sampled_from(SPECIAL),
)
octets = st.lists(coefficient, min_size=8, max_size=8)


@settings(max_examples=200, deadline=None)
@given(a=st.lists(octets, max_size=6), b=st.lists(octets, max_size=6))
def test_octonion_matches_model(a, b):
    assert_same(zor_core.octonion_mul_n(a, b), [octonion_mul(x, y) for x, y in zip(a, b)])


@pytest.mark.parametrize("n", [1, 4095, 4097, 9000])
def test_octonion_batches_match_model(n):
    rng = random.Random(n)
    a = [[rng.choice([0.0, rng.uniform(-3, 3)]) for _ in range(8)] for _ in range(n)]
    b = [[rng.choice([0.0, rng.uniform(-3, 3)]) for _ in range(8)] for _ in range(n)]
    assert_same(zor_core.octonion_mul_n(a, b), [octonion_mul(x, y) for x, y in zip(a, b)])


@pytest.mark.parametrize(
    "a, b, expected",
    [
        (unit(1), unit(2), unit(4)),
        (unit(2), unit(1), [0.0, 0.0, 0.0, 0.0, -1.0, 0.0, 0.0, 0.0]),
        (unit(1), unit(1), [-1.0] + [0.0] * 7),
        ([1.0] + [0.0] * 7, [INF] + [0.0] * 7, [INF] + [0.0] * 7),
        ([0.0] * 8, [INF] * 8, [0.0] * 8),
        ([-0.0] * 8, [NAN] * 8, [0.0] * 8),
    ],
)
def test_octonion_documented_cases(a, b, expected):
    assert_same(zor_core.octonion_mul_n([a], [b]), [expected])


# The seven quaternionic triples e_a e_b = e_c.
TRIPLES = [(1, 2, 4), (2, 3, 5), (3, 4, 6), (4, 5, 7), (5, 6, 1), (6, 7, 2), (7, 1, 3)]


@pytest.mark.parametrize("a, b, c", TRIPLES)
def test_octonion_triples_cycle_and_anticommute(a, b, c):
    for p, q, r in ((a, b, c), (b, c, a), (c, a, b)):
        forward, backward = zor_core.octonion_mul_n([unit(p), unit(q)], [unit(q), unit(p)])
        assert forward == unit(r)
        assert backward == [-v for v in unit(r)]


def test_octonion_unit_products_cover_the_whole_table():
    # Every product of two distinct imaginary units is ± another imaginary
    # unit, and each unit squares to -1.
    lefts = [unit(i) for i in range(8) for j in range(8)]
    rights = [unit(j) for i in range(8) for j in range(8)]
    products = zor_core.octonion_mul_n(lefts, rights)
    for (i, j), p in zip(itertools.product(range(8), repeat=2), products):
        nonzero = [k for k, v in enumerate(p) if v != 0.0]
        assert len(nonzero) == 1 and abs(p[nonzero[0]]) == 1.0
        k = nonzero[0]
        if i == 0 or j == 0:
            assert (k, p[k]) == (i + j, 1.0)
        elif i == j:
            assert (k, p[k]) == (0, -1.0)
        else:
            assert k not in (0, i, j)


def _norm2(v):
    return sum(x * x for x in v)


@settings(max_examples=100, deadline=None)
@given(
    a=st.lists(st.integers(-20, 20).map(float), min_size=8, max_size=8),
    b=st.lists(st.integers(-20, 20).map(float), min_size=8, max_size=8),
)
def test_octonion_norm_is_multiplicative_and_product_alternative(a, b):
    # Small integers keep every sum exact, so these identities hold exactly.
    ab, aa = zor_core.octonion_mul_n([a, a], [b, a])
    assert _norm2(ab) == _norm2(a) * _norm2(b)
    (aa_b, a_ab) = zor_core.octonion_mul_n([aa, a], [b, ab])
    assert aa_b == a_ab


@pytest.mark.parametrize("la, lb", [(3, 1), (1, 3), (0, 2), (2, 0)])
def test_octonion_length_is_the_shorter_batch(la, lb):
    got = zor_core.octonion_mul_n([unit(1)] * la, [unit(2)] * lb)
    assert got == [unit(4)] * min(la, lb)


@pytest.mark.parametrize(
    "octet",
    [
        tuple(unit(3)),
        range(8),
        [0, 0, 0, True, 0, 0, 0, 0],
    ],
    ids=["tuple", "range", "ints-and-bool"],
)
def test_octonion_accepts_any_sequence_of_eight_numbers(octet):
    as_floats = [float(v) for v in octet]
    got = zor_core.octonion_mul_n([octet], [unit(0)])
    assert got == [as_floats]
    assert all(type(v) is float for v in got[0])


# --- geometric product ----------------------------------------------------------

blade_value = st.one_of(
    st.just(0.0), st.just(-0.0), st.integers(-5, 5).map(float), st.sampled_from([INF, -INF, NAN, 1e308, 5e-324])
)
signature_entry = st.sampled_from([1, -1, 0, 2, -3, 127, -128])


@st.composite
def products(draw):
    dims = draw(st.integers(0, 4))
    m = draw(st.sampled_from([2**dims, 2**dims, max(0, 2**dims + draw(st.integers(-2, 2)))]))
    a = draw(st.lists(blade_value, min_size=m, max_size=m))
    b_len = draw(st.sampled_from([m, m, m + 2, max(0, m - 1)]))
    b = draw(st.lists(blade_value, min_size=b_len, max_size=b_len))
    sig = draw(st.lists(signature_entry, min_size=max(0, dims - draw(st.integers(0, 1))), max_size=dims + 1))
    return a, b, sig


def expected_batch(a_batch, b_batch, sig):
    """Model results, or the message of the lowest-index fault."""
    out = []
    for a, b in zip(a_batch, b_batch):
        try:
            out.append(geometric_product(a, b, sig))
        except IndexFault as fault:
            return str(fault)
    return out


def check_batch(a_batch, b_batch, sig):
    expected = expected_batch(a_batch, b_batch, sig)
    if isinstance(expected, str):
        with pytest.raises(PanicException) as info:
            zor_core.geometric_product_n(a_batch, b_batch, sig)
        assert info.value.args == (expected,)
    else:
        assert_same(zor_core.geometric_product_n(a_batch, b_batch, sig), expected)


@settings(max_examples=300, deadline=None)
@given(case=products())
def test_geometric_product_matches_model(case):
    a, b, sig = case
    check_batch([a], [b], sig)


@settings(max_examples=50, deadline=None)
@given(cases=st.lists(products(), min_size=1, max_size=80), data=st.data())
def test_geometric_batches_with_mixed_shapes_match_model(cases, data):
    # One signature for the whole batch; each pair keeps its own lengths.
    sig = data.draw(st.lists(signature_entry, max_size=5))
    check_batch([c[0] for c in cases], [c[1] for c in cases], sig)


G = [[0, 1, 0, 0]]


@pytest.mark.parametrize(
    "a, b, sig, expected",
    [
        ([[0, 1, 0, 0]], [[0, 1, 0, 0]], [1, 1], [[1.0, 0.0, 0.0, 0.0]]),
        ([[0, 1, 0, 0]], [[0, 1, 0, 0]], [-1, 1], [[-1.0, 0.0, 0.0, 0.0]]),
        ([[0, 1, 0, 0]], [[0, 0, 1, 0]], [1, 1], [[0.0, 0.0, 0.0, 1.0]]),
        ([[0, 0, 1, 0]], [[0, 1, 0, 0]], [1, 1], [[0.0, 0.0, 0.0, -1.0]]),
        ([[0, 0, 0, 1]], [[0, 0, 0, 1]], [1, 1], [[-1.0, 0.0, 0.0, 0.0]]),
        ([[0, 0]], [[5]], [], [[0.0, 0.0]]),
        ([[1, 0, 0, 0]], [[1, 2, 3, 4, 5]], [1, 1], [[1.0, 2.0, 3.0, 4.0]]),
        ([[1, 2, 3, 4]], [], [1, 1], []),
        ([], [[1.0]], [1, 1], []),
        ([[]], [[]], [], [[]]),
        ([[0, 0, 0, 1]], [[0, 0, 0, 1]], [127, -128], [[16256.0, 0.0, 0.0, 0.0]]),
        ([[0, 1]], [[0, 1]], [True], [[1.0, 0.0]]),
    ],
)
def test_geometric_documented_cases(a, b, sig, expected):
    assert_same(zor_core.geometric_product_n(a, b, sig), expected)


@pytest.mark.parametrize(
    "a, b, sig, message",
    [
        ([[1, 2, 3]], [[1, 1, 1]], [1, 1], "index out of bounds: the len is 3 but the index is 3"),
        ([[0, 1]], [[0, 1]], [], "index out of bounds: the len is 0 but the index is 0"),
        ([[0, 0, 0, 1]], [[0, 0, 0, 1]], [1], "index out of bounds: the len is 1 but the index is 1"),
        ([[1, 0, 0, 0]], [[1, 2]], [1, 1], "index out of bounds: the len is 2 but the index is 2"),
        ([[0, 0, 0, NAN]], [[1, 2, 3]], [1, 1], "index out of bounds: the len is 3 but the index is 3"),
    ],
)
def test_geometric_faults_raise_panic_with_exact_message(a, b, sig, message):
    with pytest.raises(PanicException) as info:
        zor_core.geometric_product_n(a, b, sig)
    assert info.value.args == (message,)
    assert str(info.value) == message


def test_panic_is_a_base_exception_not_an_exception():
    assert issubclass(PanicException, BaseException)
    assert not issubclass(PanicException, Exception)
    assert PanicException.__name__ == "PanicException"
    caught_by_except_exception = False
    try:
        try:
            zor_core.geometric_product_n([[1, 2, 3]], [[1, 1, 1]], [1, 1])
        except Exception:
            caught_by_except_exception = True
    except PanicException:
        pass
    assert not caught_by_except_exception
    # The interpreter and the pool carry on.
    assert zor_core.geometric_product_n(G, G, [1, 1]) == [[1.0, 0.0, 0.0, 0.0]]
    assert zor_core.exp_n([0.0] * 5000) == [1.0] * 5000


def _faulting_batch(n, faults):
    """n valid pairs in 2D, except the indexes in `faults`, which map to the
    length of a non-power-of-two a (fault message: the len is m but the index
    is m)."""
    a_batch, b_batch = [], []
    rng = random.Random(n)
    for i in range(n):
        if i in faults:
            m = faults[i]
            a_batch.append([1.0] * m)
            b_batch.append([1.0] * m)
        else:
            a_batch.append([float(rng.randint(-3, 3)) for _ in range(4)])
            b_batch.append([float(rng.randint(-3, 3)) for _ in range(4)])
    return a_batch, b_batch


@pytest.mark.parametrize(
    "n, faults",
    [
        (1000, {100: 3, 900: 5}),
        (1000, {900: 3, 100: 5}),
        (1000, {999: 7}),
        (1000, {0: 6, 1: 3, 500: 5}),
        (20, {5: 3, 19: 5}),
        (5000, {4000: 3, 4001: 5, 4999: 6}),
    ],
)
def test_several_faults_report_the_lowest_index(n, faults):
    a_batch, b_batch = _faulting_batch(n, faults)
    lowest = faults[min(faults)]
    with pytest.raises(PanicException) as info:
        zor_core.geometric_product_n(a_batch, b_batch, [1, 1])
    assert info.value.args == (f"index out of bounds: the len is {lowest} but the index is {lowest}",)


@pytest.mark.parametrize("n", [1, 63, 64, 65, 300, 2000])
def test_geometric_batch_equals_pairwise_products(n):
    rng = random.Random(n)
    sig = [1, -1, 1]
    a = [[float(rng.randint(-4, 4)) for _ in range(8)] for _ in range(n)]
    b = [[float(rng.randint(-4, 4)) for _ in range(8)] for _ in range(n)]
    whole = zor_core.geometric_product_n(a, b, sig)
    assert_same(whole, [geometric_product(x, y, sig) for x, y in zip(a, b)])
    for i in range(0, n, max(1, n // 7)):
        assert zor_core.geometric_product_n([a[i]], [b[i]], sig) == [whole[i]]


@pytest.mark.parametrize("sig", [[1, 1, 1], [1, 1, -1], [-1, -1, -1], [1, -1, 0]])
def test_geometric_product_is_associative(sig):
    rng = random.Random(sum(sig) + 17)
    vs = [[float(rng.randint(-3, 3)) for _ in range(8)] for _ in range(3 * 40)]
    x, y, z = vs[0::3], vs[1::3], vs[2::3]
    xy = zor_core.geometric_product_n(x, y, sig)
    yz = zor_core.geometric_product_n(y, z, sig)
    assert zor_core.geometric_product_n(xy, z, sig) == zor_core.geometric_product_n(x, yz, sig)


@pytest.mark.parametrize("i, j", [(i, j) for i in range(3) for j in range(3) if i != j])
def test_distinct_basis_vectors_anticommute(i, j):
    ei, ej = unit(1 << i), unit(1 << j)
    ij, ji = zor_core.geometric_product_n([ei, ej], [ej, ei], [1, -1, 1])
    assert ij == [-v for v in ji]
    assert ij[(1 << i) | (1 << j)] in (1.0, -1.0)
