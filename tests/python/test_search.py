# pelund.search against the real pelund binary: on generated configurations (small and
# large bases, both signs, periods, candidate bounds, ranges up to 10^18, engines,
# threads, algebraic factors) the module must yield exactly the lines the binary
# writes to covering.txt; and a search cut at next_k and continued from there must
# yield the same lines as one search.
import os
import random

import pytest

from conftest import load_pelund, run_pelund

pelund = load_pelund()

SEED = int(os.environ.get("PELUND_TEST_SEED", "20261207"))
PERIODS = [2, 4, 6, 8, 10, 12, 16, 18, 20, 24, 30, 36, 48, 60, 72, 144]
E18 = 10**18


def generated_configurations():
    rng = random.Random(SEED)
    configs = []

    def add(kind, base, c, mink, width, period, maxfact, algebraic=False):
        maxk = min(E18, mink + width - 1)
        configs.append(dict(kind=kind, base=base, c=c, mink=mink, maxk=maxk, period=period, maxfact=maxfact,
                            threads=rng.choice([0, 1, 2, 3]), engine=rng.choice(["auto", "sieve", "residue"]),
                            algebraic=algebraic))

    for _ in range(20):  # small bases anywhere below 10^15
        add("small", rng.randint(2, 60), rng.choice([-1, 1]), int(10 ** rng.uniform(0, 15)),
            rng.randint(2000, 300000), rng.choice(PERIODS), rng.choice([50, 500, 5000, 100000]))
    for _ in range(8):  # large bases
        add("large", rng.randint(10**6, 10**9), rng.choice([-1, 1]), int(10 ** rng.uniform(0, 12)),
            rng.randint(10000, 200000), rng.choice([12, 24, 36, 48, 60, 72, 144]), rng.choice([1000, 100000]))
    for _ in range(6):  # ranges ending at 10^18
        width = rng.randint(10000, 300000)
        add("top", rng.randint(2, 1000), rng.choice([-1, 1]), E18 - width + 1, width, rng.choice(PERIODS),
            rng.choice([500, 100000]))
    for _ in range(10):  # algebraic factors beside the covering sets; perfect powers as bases too
        base = rng.choice([rng.randint(2, 40), rng.randint(2, 12) ** rng.randint(2, 3)])
        add("algebraic", base, rng.choice([-1, 1]), rng.randint(1, 100), rng.randint(10000, 200000),
            rng.choice([12, 24, 36, 48, 72, 144]), 100000, algebraic=True)
    # Dense searches: tens of thousands of lines, several of the module's batches.
    add("dense", 14, 1, 1, 300000, 4, 1000000)
    add("dense", 2, -1, 10**12, 1000000, 24, 1000)
    return configs


CONFIGS = generated_configurations()


def settings_of(config):
    return {key: value for key, value in config.items() if key != "kind"}


def config_id(config):
    return "{kind}-b{base}c{c}-P{period}-k{mink}".format(**config)


def module_lines(config):
    items = list(pelund.search(**settings_of(config)))
    # Every line of a search with algebraic factors has its classes; the others have three parts.
    assert all(len(item) == (4 if config["algebraic"] else 3) for item in items)
    return [item if len(item) == 4 else item + ([],) for item in items]


@pytest.mark.parametrize("config", CONFIGS, ids=config_id)
def test_search_yields_the_lines_of_the_binary(config, tmp_path):
    run = run_pelund(tmp_path, settings_of(config))
    assert run.returncode == 0, run.console
    assert module_lines(config) == [tuple(line) for line in run.lines]


def test_generated_configurations_find_lines():
    # The comparisons above mean little if most searches find nothing.
    counts = [sum(1 for _ in pelund.search(**settings_of(config))) for config in CONFIGS]
    assert sum(1 for count in counts if count > 0) >= len(CONFIGS) // 2, counts
    assert sum(counts) > 20000, counts
    algebraic = [list(pelund.search(**settings_of(c))) for c in CONFIGS if c["algebraic"]]
    assert any(item[3] for items in algebraic for item in items), "no algebraic line generated"


CUTS = [
    dict(base=10, c=-1, maxk=10**6),
    dict(base=14, c=1, period=4, maxk=200000),
    dict(base=2, c=1, period=36, mink=1000, maxk=10**6, engine="residue"),
    dict(base=12, c=-1, maxk=3000, algebraic=True),
]


@pytest.mark.parametrize("settings", CUTS, ids=lambda s: "b{base}c{c}".format(**s))
def test_search_goes_on_from_next_k(settings):
    whole = list(pelund.search(**settings))
    assert len(whole) >= 3
    for taken in [0, 1, len(whole) // 2, len(whole) - 1, len(whole)]:
        first = pelund.search(**settings)
        assert first.next_k == settings.get("mink", 1)
        head = [next(first) for _ in range(taken)]
        if taken:
            # Every k below next_k was searched, the one yielded last included.
            assert head[-1][0] < first.next_k <= (whole[taken][0] if taken < len(whole) else settings["maxk"] + 1)
        first.close()
        cut = first.next_k
        assert next(first, None) is None  # nothing after close
        rest = list(pelund.search(**dict(settings, mink=cut))) if cut <= settings["maxk"] else []
        assert head + rest == whole, taken
    exhausted = pelund.search(**settings)
    assert list(exhausted) == whole
    assert exhausted.next_k == settings["maxk"] + 1
