# pelund.candidates against the "factor and period list" that the binary logs, on
# generated bases, periods and bounds; pelund.verify on the binary's own lines (all
# good) and on altered ones, judged by a direct Python computation of the terms
# k*b^n+c modulo each prime.
import math
import random

import pytest

from conftest import load_pelund, run_pelund

pelund = load_pelund()

rng = random.Random(5040)
TABLES = ([(rng.randint(2, 100), rng.choice([2, 6, 12, 24, 36, 60, 144, 720]), rng.choice([5, 100, 10**4, 10**5]))
           for _ in range(10)]
          + [(rng.randint(10**6, 10**9), rng.choice([12, 144, 5040]), 10**5) for _ in range(4)]
          + [(2, 2, 5), (3, 2, 5), (10, 5040, 10**6), (10**9, 144, 10**6)])


@pytest.mark.parametrize("base,period,maxfact", TABLES)
def test_candidates_are_the_logged_factor_list(base, period, maxfact, tmp_path):
    run = run_pelund(tmp_path, dict(base=base, mink=1, maxk=1, c=1, period=period, maxfact=maxfact))
    assert run.returncode == 0, run.console
    table = pelund.candidates(base, period, maxfact)
    assert table == run.log_factor_list()
    # Sorted primes, none dividing b or b-1, each period the order of b and dividing P.
    for factor, order in table:
        assert factor < maxfact and base % factor != 0 and (base - 1) % factor != 0
        assert period % order == 0 and pow(base, order, factor) == 1
        assert all(pow(base, order // q, factor) != 1 for q in range(2, order + 1) if order % q == 0)
    assert [f for f, _ in table] == sorted({f for f, _ in table})


def test_candidates_defaults_are_those_of_the_console(tmp_path):
    run = run_pelund(tmp_path, dict(base=10, mink=1, maxk=1, c=-1))
    assert pelund.candidates(10) == run.log_factor_list() != []


def is_prime(n):
    return n >= 2 and all(n % d for d in range(2, math.isqrt(n) + 1))


def order(base, p):
    """The multiplicative order of base modulo the prime p (p not dividing base)."""
    result, rest, q = p - 1, p - 1, 2
    while rest > 1:
        if q * q > rest:
            q = rest
        if rest % q == 0:
            while rest % q == 0:
                rest //= q
            while result % q == 0 and pow(base, result // q, p) == 1:
                result //= q
        q += 1
    return result


LONGEST = 10**6  # the longest pattern of hits that pelund.verify follows


def covers(base, c, k, primes):
    """The oracle: every p prime, and each n of one common period of the primes not
    dividing b (a p dividing b divides no term) has some p dividing k*b^n+c, no term
    being one of the primes itself (terms grow with n: n < 40 holds all below 2^32).
    None when that period is longer than pelund.verify follows."""
    if not primes or not all(is_prime(p) for p in primes):
        return False
    if any(k * base**n + c in primes for n in range(1, 40)):
        return False
    useful = [p for p in primes if base % p]
    if not useful:
        return False
    span = math.lcm(*(order(base, p) for p in useful))
    if span > LONGEST:
        return None
    residues = [k % p for p in useful]
    for _ in range(span):
        residues = [r * base % p for r, p in zip(residues, useful)]
        if not any((r + c) % p == 0 for r, p in zip(residues, useful)):
            return False
    return True


def verified(base, c, k, primes):
    """pelund.verify, or None where it refuses a pattern longer than it follows."""
    try:
        return pelund.verify(base, c, k, primes)
    except pelund.Error as error:
        assert str(error) == "the primes' pattern of hits is longer than 10^6 exponents"
        assert not isinstance(error, ValueError)
        return None


SEARCHES = [dict(base=10, c=-1, maxk=10**6), dict(base=2, c=1, period=36, maxk=10**6), dict(base=2, c=-1, period=24,
            maxfact=1000, maxk=10**6), dict(base=14, c=1, period=4, maxk=2000), dict(base=43, c=-1, mink=10**17,
            maxk=10**17 + 10**6, period=4, maxfact=10**5)]


def alterations(base, k, primes, rng):
    """Lines near a good one: each prime dropped, a prime replaced by its neighbours
    (prime or not), k moved, the base's factors and non-primes added."""
    yield k, primes[1:]
    yield k, primes[:-1]
    for i in range(len(primes)):
        yield k, primes[:i] + primes[i + 1:]
        for delta in (-2, -1, 1, 2):
            if primes[i] + delta > 0:
                yield k, sorted(primes[:i] + [primes[i] + delta] + primes[i + 1:])
    for step in (1, 2, rng.randint(3, 10**6)):
        yield k + step, primes
        if k > step:
            yield k - step, primes
    yield k * base, primes  # b | k*b: the terms are those of k shifted by one n
    yield k, primes + [primes[-1] * 3]
    yield k, [1] + primes
    yield k, []


@pytest.mark.parametrize("settings", SEARCHES, ids=lambda s: "b{base}c{c}".format(**s))
def test_verify_good_and_altered_lines(settings, tmp_path):
    run = run_pelund(tmp_path, dict(dict(mink=1, period=144), **settings))
    assert run.returncode == 0 and run.lines, run.console
    base, c = settings["base"], settings["c"]
    rng = random.Random(settings["base"])
    verdicts = {True: 0, False: 0, None: 0}
    for k, _, primes, _ in rng.sample(run.lines, min(len(run.lines), 12)):
        assert pelund.verify(base, c, k, primes) and covers(base, c, k, primes), (k, primes)
        assert verified(base, -c, k, primes) is covers(base, -c, k, primes)
        for k2, primes2 in alterations(base, k, primes, rng):
            expected = covers(base, c, k2, primes2)
            assert verified(base, c, k2, primes2) is expected, (k2, primes2)
            verdicts[expected] += 1
    assert verdicts[False] >= 20 and verdicts[True] >= 1, verdicts  # both answers were exercised


@pytest.mark.parametrize("call,expected", [
    (lambda: pelund.verify(10, -1, 2**256, [7, 11, 13, 37]), "k is larger than 2^256-1"),
    (lambda: pelund.verify(10, -1, 10**300, [7]), "k is larger than 2^256-1"),
    (lambda: pelund.verify(10, -1, 10176, [7, 11, 2**64 + 15]), "prime is larger than 18446744073709551615"),
])
def test_verify_refuses_numbers_it_cannot_hold(call, expected):
    with pytest.raises(ValueError) as raised:
        call()
    assert str(raised.value) == expected
    assert isinstance(raised.value, pelund.Error)


@pytest.mark.parametrize("base,c,k,primes", [
    (4, -1, 1, [3]), (3, -1, 1, [2]), (8, -1, 1, [3, 7]), (14, -1, 1, [13]),  # 1*b^1-1 is the prime itself
])
def test_verify_refuses_a_term_that_is_a_listed_prime(base, c, k, primes):
    assert covers(base, c, k, primes) is False
    assert pelund.verify(base, c, k, primes) is False
    product = math.prod(primes)
    assert pelund.verify(base, c, k + product, primes) is True  # the same hits, no term prime


@pytest.mark.parametrize("base,c,k,primes", [
    (1, -1, 10176, [7, 11, 13, 37]), (10**9 + 1, -1, 10176, [7, 11, 13, 37]), (10, 0, 10176, [7, 11, 13, 37]),
    (10, 3, 10176, [7, 11, 13, 37]), (10, -1, 0, [7, 11, 13, 37]), (10, -1, -10176, [7, 11, 13, 37]),
    (10, -1, 10176, [-7, 11, 13, 37]), (10, -1, 10176, [0, 7, 11, 13, 37]),
])
def test_verify_is_false_outside_its_domain(base, c, k, primes):
    assert pelund.verify(10, -1, 10176, [7, 11, 13, 37])
    assert pelund.verify(base, c, k, primes) is False


@pytest.mark.parametrize("base,primes", [(10, [999979, 999983]), (3, [7, 999961, 999979])])
def test_verify_refuses_patterns_longer_than_it_follows(base, primes):
    assert covers(base, 1, 1, primes) is None  # the orders' lcm passes 10^6
    with pytest.raises(pelund.Error) as raised:
        pelund.verify(base, 1, 1, primes)
    assert str(raised.value) == "the primes' pattern of hits is longer than 10^6 exponents"
    assert not isinstance(raised.value, ValueError)


def test_verify_takes_k_of_any_size_up_to_2_256():
    """k beyond 2^63 (once refused) is proved as a small one: shifted by multiples of
    the primes' product, up to just below 2^256, the verdict follows the oracle."""
    rng = random.Random(256)
    base, c, primes = 10, -1, [7, 11, 13, 37]
    product = math.prod(primes)
    verdicts = {True: 0, False: 0}
    wide = [rng.choice([rng.randrange(2**63, 2**256), 10176 + rng.randrange(2**63, 2**240) * product]) for _ in range(40)]
    for k in [2**63, 10**30] + wide:
        expected = covers(base, c, k, primes)
        assert pelund.verify(base, c, k, primes) is expected, k
        verdicts[expected] += 1
        top = k + (2**256 - 1 - k) // product * product  # the same k mod every prime
        assert pelund.verify(base, c, top, primes) is expected, top
    assert verdicts[True] >= 1 and verdicts[False] >= 10, verdicts


def test_verify_takes_primes_up_to_2_64():
    """10^17-1 = 9 * 2071723 * 5363222357: a prime above 2^32 of order 17 joins a
    cover of period 6, for k wide or not, covering or not as the oracle says."""
    rng = random.Random(64)
    primes = [7, 11, 13, 37, 2071723, 5363222357]
    verdicts = {True: 0, False: 0}
    for _ in range(30):
        k = rng.choice([10176 + rng.randrange(2**200) * 7 * 11 * 13 * 37, rng.randrange(1, 2**100)])
        for chosen in (primes, primes[1:]):
            expected = covers(10, -1, k, chosen)
            assert pelund.verify(10, -1, k, chosen) is expected, (k, chosen)
            verdicts[expected] += 1
    assert verdicts[True] >= 5 and verdicts[False] >= 5, verdicts
