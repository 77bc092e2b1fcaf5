# pelund.smallest against the first line of the pelund binary with the same
# parameters, on generated bases and bounds (algebraic factors on and off), and None
# exactly when the binary finds nothing.
import random

import pytest

from conftest import load_pelund, run_pelund

pelund = load_pelund()

rng = random.Random(720)
CASES = [(rng.randint(2, 300), rng.choice([1, -1]), rng.randint(1, 3000), rng.choice([100, 10**4, 10**6]),
          rng.choice([12, 36, 144, 720]), rng.choice([100, 10**4, 10**6]), rng.choice([False, True]))
         for _ in range(16)] + [(2, 1, 1, 1000, 720, 10**6, False), (14, -1, 1, 1000, 720, 10**6, True)]


@pytest.mark.parametrize("base,c,mink,span,period,maxfact,algebraic", CASES)
def test_smallest_is_the_first_line_of_the_binary(base, c, mink, span, period, maxfact, algebraic, tmp_path):
    settings = dict(base=base, c=c, mink=mink, maxk=mink + span, period=period, maxfact=maxfact,
                    algebraic=int(algebraic))
    run = run_pelund(tmp_path, settings)
    assert run.returncode == 0, run.console
    found = pelund.smallest(base, c, mink=mink, maxk=mink + span, period=period, maxfact=maxfact,
                            algebraic=algebraic)
    first = run.lines[0] if run.lines else None
    assert found == (None if first is None else tuple(first) if algebraic else tuple(first[:3]))


def test_smallest_defaults_give_the_conjectured_k():
    assert pelund.smallest(10, -1) == (10176, 6, [7, 11, 13, 37])
    assert pelund.smallest(2, 1, maxk=1000) is None
