# Parameter faults: pelund.search and pelund.candidates raise ParameterError (a
# ValueError and a pelund.Error) with the very text the console shows in red for the
# same settings in pelund.ini, integers past 64 bits included (saturated, as the
# configuration reader does); arguments of the wrong type raise TypeError.
import pytest

from conftest import load_pelund, run_pelund

pelund = load_pelund()

GOOD = dict(base=10, c=-1, mink=1, maxk=1000)
HUGE = 2**80

# (settings that replace GOOD's, the console's message)
FAULTS = [
    (dict(base=1), "base cannot be less than 2"),
    (dict(base=-HUGE), "base cannot be less than 2"),
    (dict(base=10**9 + 1), "base cannot be greater than 1e9"),
    (dict(base=HUGE), "base cannot be greater than 1e9"),
    (dict(base=2**32 + 10), "base cannot be greater than 1e9"),
    (dict(mink=1001), "mink cannot be greater than maxk"),
    (dict(mink=HUGE, maxk=10), "mink cannot be greater than maxk"),
    (dict(mink=0), "mink cannot be less than 1"),
    (dict(mink=-HUGE, maxk=-HUGE), "mink cannot be less than 1"),
    (dict(maxk=10**18 + 1), "maxk cannot be greater than 1e18"),
    (dict(maxk=2**64), "maxk cannot be greater than 1e18"),
    (dict(mink=HUGE, maxk=HUGE), "maxk cannot be greater than 1e18"),
    (dict(c=0), "c must be -1 or 1"),
    (dict(c=2), "c must be -1 or 1"),
    (dict(c=2**64 - 1), "c must be -1 or 1"),
    (dict(c=-HUGE), "c must be -1 or 1"),
    (dict(period=1), "period cannot be less than 2"),
    (dict(period=-HUGE), "period cannot be less than 2"),
    (dict(period=5041), "period cannot be greater than 5040"),
    (dict(period=HUGE), "period cannot be greater than 5040"),
    (dict(maxfact=4), "maxfact cannot be less than 5"),
    (dict(maxfact=10**9 + 1), "maxfact cannot be greater than 1e9"),
    (dict(maxfact=HUGE), "maxfact cannot be greater than 1e9"),
    (dict(threads=-1), "threads cannot be negative"),
    (dict(threads=1025), "threads cannot be greater than 1024"),
    (dict(threads=HUGE), "threads cannot be greater than 1024"),
    (dict(engine="fast"), "engine must be auto, sieve or residue"),
    (dict(engine="Sieve"), "engine must be auto, sieve or residue"),
    (dict(algebraic=2), "algebraic must be 0 or 1"),
    (dict(algebraic=-1), "algebraic must be 0 or 1"),
    (dict(wide=2), "wide must be 0 or 1"),
    (dict(wide=-1), "wide must be 0 or 1"),
    (dict(factoreffort=-5), "factoreffort cannot be negative"),
    (dict(factoreffort=86401), "factoreffort cannot be greater than 86400"),
    # Several faults: the first in the console's order.
    (dict(base=1, c=0, period=1), "base cannot be less than 2"),
    (dict(c=5, period=1, threads=-1), "c must be -1 or 1"),
    (dict(maxfact=1, threads=2000, engine="x"), "maxfact cannot be less than 5"),
    (dict(threads=2000, engine="x", algebraic=7), "threads cannot be greater than 1024"),
    (dict(engine="x", algebraic=7), "engine must be auto, sieve or residue"),
    (dict(wide=2, period=6000), "period cannot be greater than 5040"),
    (dict(algebraic=7, wide=3, factoreffort=-1), "algebraic must be 0 or 1"),
    (dict(wide=3, factoreffort=-1), "wide must be 0 or 1"),
]


def case_id(case):
    return ",".join(f"{k}={v}" for k, v in case[0].items())


@pytest.mark.parametrize("changes,message", FAULTS, ids=[case_id(f) for f in FAULTS])
def test_parameter_faults_have_the_console_texts(changes, message, tmp_path):
    settings = dict(GOOD, **changes)
    with pytest.raises(ValueError) as raised:
        pelund.search(**settings)
    assert str(raised.value) == message
    assert isinstance(raised.value, pelund.ParameterError) and isinstance(raised.value, pelund.Error)
    assert run_pelund(tmp_path, settings).error() == message


TABLE_FAULTS = [
    (dict(base=1), "base cannot be less than 2"),
    (dict(base=HUGE), "base cannot be greater than 1e9"),
    (dict(period=1), "period cannot be less than 2"),
    (dict(period=5041), "period cannot be greater than 5040"),
    (dict(maxfact=4), "maxfact cannot be less than 5"),
    (dict(maxfact=-HUGE), "maxfact cannot be less than 5"),
    (dict(maxfact=10**9 + 1), "maxfact cannot be greater than 1e9"),
    (dict(wide=2), "wide must be 0 or 1"),
    (dict(factoreffort=-1), "factoreffort cannot be negative"),
]


@pytest.mark.parametrize("changes,message", TABLE_FAULTS, ids=[case_id(f) for f in TABLE_FAULTS])
def test_candidates_faults_have_the_console_texts(changes, message):
    arguments = dict(dict(base=10, period=144, maxfact=1000), **changes)
    with pytest.raises(pelund.ParameterError) as raised:
        pelund.candidates(**arguments)
    assert str(raised.value) == message


# Values the console cannot be given: wrong types, and a missing maxk.
TYPE_FAULTS = [
    (lambda: pelund.search(10, -1, 1), "missing required argument 'maxk'"),
    (lambda: pelund.search(10.0, -1, maxk=10), "base must be an integer, not float"),
    (lambda: pelund.search("10", -1, maxk=10), "base must be an integer, not str"),
    (lambda: pelund.search(10, -1, maxk=1e6), "maxk must be an integer, not float"),
    (lambda: pelund.search(10, -1, maxk=10, engine=1), "engine must be a str, not int"),
    (lambda: pelund.search(10, -1, maxk=10, algebraic=None), "algebraic must be an integer, not NoneType"),
    (lambda: pelund.search(10, -1, maxk=10, wide=0.5), "wide must be an integer, not float"),
    (lambda: pelund.search(10, -1, maxk=10, factoreffort="5"), "factoreffort must be an integer, not str"),
    (lambda: pelund.candidates(10, period=None), "period must be an integer, not NoneType"),
    (lambda: pelund.verify(10, -1, "1", [7]), "k must be an integer, not str"),
    (lambda: pelund.verify(10, -1, 1, [7.0]), "prime must be an integer, not float"),
]


@pytest.mark.parametrize("call,message", TYPE_FAULTS, ids=[m for _, m in TYPE_FAULTS])
def test_wrong_types_raise_type_error(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert message in str(raised.value)


def test_good_parameters_pass_at_every_bound():
    # The bounds themselves are accepted, as by the console; True and False count as 1 and 0.
    for settings in [dict(base=2, c=1, mink=1, maxk=1), dict(base=10**9, c=-1, mink=10**18, maxk=10**18),
                     dict(base=10, c=1, maxk=10, period=2, maxfact=5, threads=1024, engine="residue",
                          algebraic=True),
                     dict(base=10, c=-1, maxk=10, period=5040, maxfact=10**9, threads=0, engine="sieve",
                          algebraic=0)]:
        iterator = pelund.search(**settings)
        iterator.close()
        assert iterator.next_k == settings.get("mink", 1)
