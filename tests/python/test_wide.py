# wide=True: within the 64-bit caps the ordinary search, item for item; beyond them the
# wide engine. Whether k is covered, and by which primes, depends on k modulo
# Q*b*(b-1) alone, Q the product of the candidate primes: so the covered k of a range
# raised by a multiple of that modulus (above 2^64, near 2^256) are those of the range
# below, raised, and the ordinary search is the oracle of the wide one.
import random

import pytest

from conftest import load_pelund

pelund = load_pelund()

TOP = 2**256
E18 = 10**18

# (base, c, period, maxfact, mink, maxk): small searches with a small modulus.
SMALL = [(2, 1, 24, 300, 1, 3000000), (2, -1, 36, 200, 1000, 2000000), (11, 1, 12, 200, 1, 200000),
         (10, -1, 12, 200, 1, 1000000), (6, 1, 24, 400, 5000, 2500000)]


def modulus(base, period, maxfact):
    q = base * (base - 1)
    for prime, _ in pelund.candidates(base, period, maxfact):
        q *= prime
    return q


def heights(base, period, maxfact, maxk):
    q = modulus(base, period, maxfact)
    return [10**23 // q * q, (TOP - maxk - 1) // q * q]


def raised(items, shift):
    return [(k + shift, period, primes) for k, period, primes in items]


@pytest.mark.parametrize("case", SMALL, ids=lambda case: "b{}c{}P{}".format(*case))
def test_covered_k_above_the_caps_are_those_below_raised(case):
    base, c, period, maxfact, mink, maxk = case
    below = list(pelund.search(base, c, mink=mink, maxk=maxk, period=period, maxfact=maxfact))
    assert below
    for shift in heights(base, period, maxfact, maxk):
        assert shift + mink > 2**64 and shift + maxk < TOP
        above = list(pelund.search(base, c, mink=shift + mink, maxk=shift + maxk, period=period, maxfact=maxfact,
                                   wide=True, threads=2))
        assert above == raised(below, shift)
        assert pelund.smallest(base, c, mink=shift + mink, maxk=shift + maxk, period=period, maxfact=maxfact,
                               wide=True) == above[0]


def test_within_the_caps_the_items_of_the_ordinary_search():
    rng = random.Random(20261208)
    for _ in range(12):
        base, c = rng.randint(2, 60), rng.choice([-1, 1])
        period, maxfact = rng.choice([12, 24, 36, 144]), rng.randint(50, 20000)
        mink = rng.choice([1, rng.randint(1, E18 - 10**6)])
        maxk = mink + rng.randint(1000, 200000)
        ordinary = list(pelund.search(base, c, mink=mink, maxk=maxk, period=period, maxfact=maxfact))
        wide = list(pelund.search(base, c, mink=mink, maxk=maxk, period=period, maxfact=maxfact, wide=True))
        assert wide == ordinary, (base, c, period, maxfact, mink, maxk)
        assert pelund.smallest(base, c, mink=mink, maxk=maxk, period=period, maxfact=maxfact, wide=True) == \
            (ordinary[0] if ordinary else None)
        assert pelund.candidates(base, period, maxfact, wide=True) == pelund.candidates(base, period, maxfact)


def test_a_wide_search_cut_at_next_k_goes_on_where_it_stood():
    base, c, period, maxfact, mink, maxk = SMALL[0]
    for shift in heights(base, period, maxfact, maxk):
        settings = dict(period=period, maxfact=maxfact, wide=True)
        whole = list(pelund.search(base, c, mink=shift + mink, maxk=shift + maxk, **settings))
        for cut in [1, len(whole) // 3, len(whole) - 1]:
            search = pelund.search(base, c, mink=shift + mink, maxk=shift + maxk, **settings)
            head = [next(search) for _ in range(cut)]
            search.close()
            assert search.next_k == whole[cut][0]
            rest = list(pelund.search(base, c, mink=search.next_k, maxk=shift + maxk, **settings))
            assert head + rest == whole
        search = pelund.search(base, c, mink=shift + mink, maxk=shift + maxk, **settings)
        assert list(search) == whole and search.next_k == shift + maxk + 1


def test_a_search_up_to_two_to_the_256_ends_with_next_k_two_to_the_256():
    base, c, period, maxfact, mink, maxk = SMALL[2]
    shift = heights(base, period, maxfact, maxk)[1]
    search = pelund.search(base, c, mink=TOP - 2000, maxk=TOP - 1, period=period, maxfact=maxfact, wide=True)
    items = list(search)
    assert search.next_k == TOP
    below = list(pelund.search(base, c, mink=TOP - 2000 - shift, maxk=TOP - 1 - shift, period=period,
                               maxfact=maxfact))
    assert items == raised(below, shift)
    assert all(type(k) is int and k > 2**255 for k, _, _ in items)


def order(base, prime):
    power, n = base % prime, 1
    while power != 1:
        power, n = power * base % prime, n + 1
    return n


def test_larger_periods_and_their_candidates():
    # The primes below maxfact, but those of b and b-1, whose order of b divides P.
    for base, period in [(2, 5544), (3, 65520), (10, 7920)]:
        primes = [p for p in range(2, 4000) if all(p % q for q in range(2, int(p**0.5) + 1))]
        expected = [(p, order(base, p)) for p in primes if base % p and (base - 1) % p and
                    period % order(base, p) == 0]
        assert pelund.candidates(base, period, 4000, wide=True) == expected
    items = list(pelund.search(2, 1, mink=1, maxk=20000, period=5544, maxfact=3000, wide=True))
    for k, period, primes in items:
        assert 5544 % period == 0 and pelund.verify(2, 1, k, primes)


def test_primes_above_1e9_come_from_factoring():
    # Phi_4(b) = b^2+1 and Phi_6(b) = b^2-b+1 of a base near 1e9 have prime factors above it.
    base = 999999937
    try:
        listed = pelund.candidates(base, 12, 2**64 - 1, wide=True, factoreffort=2)
    except pelund.Error as error:
        assert str(error) == "primes above 1e9 need pelund built with FLINT"
        return
    assert [pair for pair in listed if pair[0] < 10**9] == pelund.candidates(base, 12, 10**9)
    large = [pair for pair in listed if pair[0] > 10**9]
    assert large and large == sorted(large)
    for prime, period in large:
        assert pow(base, period, prime) == 1 and 12 % period == 0
        assert all(pow(base, period // q, prime) != 1 for q in (2, 3) if period % q == 0)
    bounded = pelund.candidates(base, 12, large[0][0] + 1, wide=True, factoreffort=2)  # primes below maxfact
    assert bounded == [pair for pair in listed if pair[0] <= large[0][0]]


WIDE_FAULTS = [
    (dict(base=1), "base cannot be less than 2"),
    # The range's own checks are the library's (tested through pelund's configuration):
    # a k past 2^256, as Python gives it, and the caps' order.
    (dict(maxk=2**300), "maxk cannot be greater than 2^256-1"),
    (dict(mink=10**30, maxk=10**29, period=1), "mink cannot be greater than maxk"),
    (dict(maxk=10**19, algebraic=True), "algebraic needs maxk up to 1e18, maxfact up to 1e9 and period up to 5040"),
    (dict(period=5041, algebraic=True), "algebraic needs maxk up to 1e18, maxfact up to 1e9 and period up to 5040"),
    (dict(maxk=10**19, engine="sieve", threads=1025),
     "engine=sieve needs maxk up to 1e18, maxfact up to 1e9 and period up to 5040"),
    (dict(maxk=10**19, threads=1025), "threads cannot be greater than 1024"),
    (dict(maxk=10**19, engine="fast"), "engine must be auto, sieve or residue"),
    (dict(maxk=10**19, factoreffort=-1), "factoreffort cannot be negative"),
    (dict(maxk=10**19, factoreffort=86401), "factoreffort cannot be greater than 86400"),
    (dict(factoreffort=86401), "factoreffort cannot be greater than 86400"),
]


@pytest.mark.parametrize("changes,message", WIDE_FAULTS, ids=[m for _, m in WIDE_FAULTS])
def test_wide_parameter_faults_have_the_console_texts(changes, message):
    settings = dict(base=2, c=1, mink=1, maxk=1000, period=24, maxfact=300, wide=True)
    settings.update(changes)
    for call in (pelund.search, pelund.smallest):
        with pytest.raises(pelund.ParameterError) as raised_error:
            call(**settings)
        assert str(raised_error.value) == message


def test_without_wide_the_caps_and_messages_stay():
    for changes, message in [(dict(maxk=10**19), "maxk cannot be greater than 1e18"),
                             (dict(maxk=TOP), "maxk cannot be greater than 1e18"),
                             (dict(period=5041), "period cannot be greater than 5040"),
                             (dict(maxfact=10**9 + 1), "maxfact cannot be greater than 1e9")]:
        settings = dict(base=2, c=1, mink=1, maxk=1000, period=24, maxfact=300)
        settings.update(changes)
        with pytest.raises(pelund.ParameterError) as raised_error:
            pelund.search(**settings)
        assert str(raised_error.value) == message
    with pytest.raises(pelund.ParameterError) as raised_error:
        pelund.candidates(2, 65520, 300)
    assert str(raised_error.value) == "period cannot be greater than 5040"
    with pytest.raises(pelund.ParameterError) as raised_error:
        pelund.candidates(2, 65521, 300, wide=True)
    assert str(raised_error.value) == "period cannot be greater than 65520"
