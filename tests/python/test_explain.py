# pelund.explain and pelund-verify --json: the JSON Lines, read back by Python's json
# module, are pelund.explain of the same lines; their classes agree with exact integer
# arithmetic (each prime's class by brute force, each algebraic class's y^m = k*b^n and
# its factor); altered lines give verdict "bad" with the plain output's reason.
import json
import os
import random
import re
import subprocess

import pytest

from conftest import binary, load_pelund, run_pelund

pelund = load_pelund()


def run_verify(directory, *arguments):
    if os.environ.get("PELUND_JSON_BUILT") == "0":
        pytest.skip("pelund-verify was built without --json (no nlohmann-json header)")
    completed = subprocess.run([binary() + "-verify", *arguments], cwd=directory, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, timeout=120)
    return completed.returncode, completed.stdout.decode("utf-8", "replace"), completed.stderr.decode()


def order(base, p):
    return next(d for d in range(1, p) if pow(base, d, p) == 1)


def check_classes(line):
    """A line's object against exact arithmetic: each prime's period and class, each
    algebraic class's y and factor, and whether the classes cover 1 .. span."""
    b, c, k, span = line["base"], line["c"], line["k"], line["span"]
    for prime in line["primes"]:
        p, d = prime["prime"], prime["period"]
        assert d == order(b, p), prime
        assert prime["residues"] == sorted({r % d for r in range(1, d + 1) if (k * pow(b, r, p) + c) % p == 0}), prime
    for claim in line["classes"]:
        n, y, form = claim["n"], claim["y"], claim["form"]
        assert n == (claim["residue"] or claim["modulus"]), claim
        assert (4 * y**4 if form == "4y^4+1" else y ** int(form[2:-2])) == k * b**n, claim
        factor = {"y-1": y - 1, "y+1": y + 1, "2y^2-2y+1": 2 * y * y - 2 * y + 1}[claim["factor"]]
        assert int(claim["factor_value"]) == factor and 1 < factor < k * b**n + c, claim
        assert (k * b**n + c) % factor == 0, claim
    covered = all(any(n % q["period"] in q["residues"] for q in line["primes"])
                  or any(n % a["modulus"] == a["residue"] for a in line["classes"]) for n in range(1, span + 1))
    assert covered == ("is not covered" not in (line["reason"] or "")), line


def line_parts(text):
    """(k, period, primes, classes) of a line in the layout of covering.txt, or None."""
    match = re.fullmatch(r"(\d+)  (\d+)  \[((?:\d+, )*\d+)?\](.*)", text)
    classes = match.group(4).split("  + ")[1:] if match else []
    if not match or "".join("  + " + c for c in classes) != match.group(4):
        return None
    primes = [int(p) for p in match.group(3).split(", ")] if match.group(3) else []
    return int(match.group(1)), int(match.group(2)), primes, classes


def without_position(line):
    return {key: value for key, value in line.items() if key not in ("line", "text")}


SEARCHES = [dict(base=2, c=1, mink=1, maxk=300000, period=36), dict(base=10, c=-1, mink=1, maxk=100000),
            dict(base=12, c=-1, mink=1, maxk=5000, algebraic=True), dict(base=16, c=1, mink=1, maxk=3000, algebraic=True),
            dict(base=30, c=-1, mink=1, maxk=2000, algebraic=True)]


@pytest.mark.parametrize("settings", SEARCHES)
def test_json_lines_of_a_search_are_pelund_explain(settings, tmp_path):
    run = run_pelund(tmp_path, settings)
    assert run.returncode == 0, run.console
    texts = (tmp_path / "covering.txt").read_text().splitlines()
    assert texts, "the search found no line"
    status, out, err = run_verify(tmp_path, "--json")
    assert (status, err) == (0, f"{len(texts)} line{'s' if len(texts) > 1 else ''} checked, 0 bad\n")
    lines = [json.loads(text) for text in out.splitlines()]
    assert [(line["line"], line["text"], line["verdict"]) for line in lines] == \
           [(i + 1, text, "ok") for i, text in enumerate(texts)]
    for line, (k, period, primes, classes) in zip(lines, map(line_parts, texts)):
        assert without_position(line) == pelund.explain(settings["base"], settings["c"], k, primes, period, classes)
        check_classes(line)
    assert any(line["classes"] for line in lines) == settings.get("algebraic", False)


def altered(texts, rng):
    """Lines of a search changed as a hand or a disk might change them."""
    for text in texts:
        k, period, primes, classes = line_parts(text)
        tail = "".join("  + " + c for c in classes)
        yield f"{k + rng.randint(1, 9)}  {period}  [{', '.join(map(str, primes))}]{tail}"
        if len(primes) > 1:
            drop = rng.randrange(len(primes))
            yield f"{k}  {period}  [{', '.join(str(p) for i, p in enumerate(primes) if i != drop)}]{tail}"
            yield f"{k}  {period}  [{', '.join(map(str, reversed(primes)))}]{tail}"
        yield f"{k}  {period * 5}  [{', '.join(map(str, primes + [primes[-1] * 3 if primes else 9]))}]{tail}"
        yield f"{k}  {max(period // 2, 1)}  [{', '.join(map(str, primes))}]{tail}"
        yield text + "  + n=1 (mod 2): y^2-1"
        yield text[:len(text) // 2] + "\x01\xff"


@pytest.mark.parametrize("settings", SEARCHES[1:3])
def test_altered_lines_are_bad_with_the_plain_reason(settings, tmp_path):
    run = run_pelund(tmp_path, settings)
    texts = (tmp_path / "covering.txt").read_text().splitlines()
    lines = list(altered(texts, random.Random(settings["base"])))
    (tmp_path / "altered.txt").write_bytes("".join(line + "\n" for line in lines).encode("latin-1"))
    plain_status, plain, _ = run_verify(tmp_path, "altered.txt")
    status, out, err = run_verify(tmp_path, "altered.txt", "--json")
    assert status == plain_status == 1 and err == plain.splitlines(keepends=True)[-1]
    reasons = {}
    for report in plain.splitlines()[:-1]:
        number, reason, shown = re.fullmatch(r"line (\d+): (.*) : (.*)", report).groups()
        reasons[int(number)] = (reason, shown)
    objects = [json.loads(text) for text in out.splitlines()]
    assert [o["line"] for o in objects] == list(range(1, len(lines) + 1))
    bad = {o["line"]: (o["reason"], o["text"]) for o in objects if o["verdict"] == "bad"}
    assert bad == reasons and len(bad) > len(lines) // 2
    for line in objects:
        assert (line["verdict"] == "ok") == (line["reason"] is None)
        if line["primes"] is not None:
            check_classes(line)
        parts = line_parts(line["text"])
        if parts and parts[2] == sorted(set(parts[2])) and not (line["reason"] or "").startswith("k is not above"):
            k, period, primes, classes = parts
            assert without_position(line) == pelund.explain(settings["base"], settings["c"], k, primes, period, classes)


def test_explain_parameters():
    with pytest.raises(pelund.ParameterError):
        pelund.explain(1, 1, 78557, [3, 5])
    with pytest.raises(pelund.ParameterError):
        pelund.explain(2, 0, 78557, [3, 5])
    with pytest.raises(pelund.ParameterError):
        pelund.explain(2, 1, 78557, [3, 2**64])
    with pytest.raises(pelund.ParameterError):
        pelund.explain(2, 1, 2**256, [3])
    # A wide line is explained: k as the integer it is, a prime up to 2^64 checked.
    assert pelund.explain(2, 1, 78557, [3, 2**32])["reason"] == "4294967296 is not prime"
    wide = pelund.explain(2, 1, 78557 + 3 * 5 * 7 * 13 * 19 * 37 * 73 * 2**190, [3, 5, 7, 13, 19, 37, 73])
    assert wide["k"] == 78557 + 3 * 5 * 7 * 13 * 19 * 37 * 73 * 2**190 and wide["verdict"] == "ok"
    assert wide["primes"] == pelund.explain(2, 1, 78557, [3, 5, 7, 13, 19, 37, 73])["primes"]
    with pytest.raises(TypeError):
        pelund.explain(2, 1, 78557, [3], classes=[2])
    # A class text that is not UTF-8 does not read, as the same text with '?' in place
    # of its faulty character does not.
    assert pelund.explain(4, -1, 9, [], 1, ["n=0 (mod 1): y^2-1"])["verdict"] == "ok"
    surrogate = pelund.explain(4, -1, 9, [], 1, ["n=0 (mod 1): y^2-1\udcff"])
    assert surrogate == pelund.explain(4, -1, 9, [], 1, ["n=0 (mod 1): y^2-1?"]) and surrogate["verdict"] == "bad"
    # The set as given: shuffled and repeated primes, the period their orders' lcm.
    assert pelund.explain(2, 1, 78557, [73, 3, 5, 7, 13, 19, 37, 3]) == \
        pelund.explain(2, 1, 78557, [3, 5, 7, 13, 19, 37, 73], 36)
    zero = pelund.explain(2, 1, 0, [3, 5])
    assert (zero["verdict"], zero["reason"], zero["primes"]) == ("bad", "k must be at least 1", None)


def test_json_of_wide_lines(tmp_path):
    """Lines of k past 2^63 (up to 2^256-1) and a prime past 2^32: k is a decimal
    string in the JSON, which pelund.explain gives as the int; the classes agree
    with exact arithmetic; the lines ascend in k as the check requires."""
    rng = random.Random(2**64)
    primes = [7, 11, 13, 37, 2071723, 5363222357]  # 10^17-1 = 9 * 2071723 * 5363222357
    product = 7 * 11 * 13 * 37
    ks = sorted({10176 + rng.randrange(2**60, 2**240) * product for _ in range(8)} | {2**63, 2**256 - 1})
    texts = ["%d  102  [%s]" % (k, ", ".join(map(str, primes))) for k in ks]
    (tmp_path / "pelund.ini").write_text("base=10\nc=-1\nmink=1\nmaxk=10\n")
    (tmp_path / "covering.txt").write_text("".join(text + "\n" for text in texts))
    status, out, err = run_verify(tmp_path, "--json")
    objects = [json.loads(text) for text in out.splitlines()]
    assert [line["k"] for line in objects] == [str(k) for k in ks]
    assert status == (0 if all(line["verdict"] == "ok" for line in objects) else 1), err
    assert sum(line["verdict"] == "ok" for line in objects) >= 8
    for line, k in zip(objects, ks):
        assert without_position(dict(line, k=k)) == pelund.explain(10, -1, k, primes, 102)
        check_classes(dict(line, k=k))
