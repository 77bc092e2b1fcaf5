# The module's promises under stress: next_k names the first k not yielded however a
# close() from another thread falls; the interpreter exits cleanly with daemon threads
# inside a search or the table phase; a forked child that iterates an inherited
# search gets an error, not a wait; verify() counts a listed prime once, bounds its
# work and stops at Ctrl-C; an engine name that is not UTF-8 has the console's message.
import json
import os
import pathlib
import random
import shutil
import subprocess
import sys
import threading
import time

import pytest

from conftest import child_environment, load_pelund, run_pelund

pelund = load_pelund()

CHILD = str(pathlib.Path(__file__).with_name("lifecycle_child.py"))


def run_child(*arguments, timeout=60):
    return subprocess.run([sys.executable, CHILD, *arguments], capture_output=True, text=True,
                          env=child_environment(pelund), timeout=timeout)


DENSE = dict(base=14, c=1, maxk=4 * 10**6, period=4, engine="sieve")


def test_close_from_another_thread_leaves_no_gap():
    begin = time.monotonic()
    whole = [item[0] for item in pelund.search(**DENSE)]
    elapsed = time.monotonic() - begin  # the close() falls anywhere in such a run, or after it
    rng = random.Random(24)
    for trial in range(30):
        iterator = pelund.search(**DENSE)
        seen = []

        def consume():
            for item in iterator:
                seen.append(item[0])

        consumer = threading.Thread(target=consume)
        consumer.start()
        time.sleep(rng.uniform(0, 1.5 * elapsed))
        iterator.close()
        consumer.join(30)
        assert not consumer.is_alive()
        cut = iterator.next_k
        assert seen == whole[:len(seen)], trial
        following = whole[len(seen)] if len(seen) < len(whole) else DENSE["maxk"] + 1
        assert (seen[-1] if seen else 0) < cut <= following, (trial, len(seen), cut)
        rest = [item[0] for item in pelund.search(**dict(DENSE, mink=cut))] if cut <= DENSE["maxk"] else []
        assert seen + rest == whole, (trial, len(seen), cut)


@pytest.mark.parametrize("where", ["iterating", "candidates", "keywords"])
def test_interpreter_exits_cleanly_with_daemon_threads_inside(where):
    for _ in range(12 if where != "keywords" else 4):  # "keywords" ends its threads every time
        done = run_child(f"exit-{where}")
        assert (done.returncode, done.stdout, done.stderr) == (0, "exiting\n", "")


def test_a_forked_child_raises_instead_of_waiting():
    done = run_child("fork")
    assert done.returncode == 0, done.stderr
    child, parent = (json.loads(line) for line in done.stdout.splitlines())
    assert child["error"] == "this search runs in the process that started it: a forked child cannot go on with it"
    assert child["first"] < child["next_k"]  # it yielded the lines it held, and next_k follows them
    assert parent == dict(status=0, more=True)


def test_a_thread_the_system_refuses_raises_pelund_error():
    """RLIMIT_NPROC refuses the module's own thread (root is exempt, so the child drops to
    nobody): each call raises pelund.Error, as other faults of the library do."""
    drop = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if os.geteuid() == 0 else []
    if any(shutil.which(tool) is None for tool in (drop[:1] or []) + ["prlimit"]):
        pytest.skip("setpriv or prlimit is missing")
    done = subprocess.run(drop + ["prlimit", "--nproc=1", sys.executable, CHILD, "threads-refused"],
                          capture_output=True, text=True, env=child_environment(pelund), timeout=60, cwd="/")
    if "Permission denied" in done.stderr or "No module named" in done.stderr:
        pytest.skip(f"the user nobody cannot run the module here: {done.stderr.strip()}")
    # search(), smallest(), candidates() and verify() alike
    assert json.loads(done.stdout) == ["pelund.Error: a thread cannot be started: Resource temporarily unavailable"] * 4


def primes_of_order_dividing(base, order, below):
    sieve = bytearray([1]) * below
    sieve[:2] = b"\0\0"
    for i in range(2, int(below**0.5) + 1):
        if sieve[i]:
            sieve[i * i::i] = bytearray(len(range(i * i, below, i)))
    return [p for p in range(2, below) if sieve[p] and base % p and pow(base, order, p) == 1]


# 7, 11, 13 and 37 among them: a cover of 10176 (base 10, c=-1) with a long pattern.
OF_ORDER = primes_of_order_dividing(10, 997920, 2 * 10**6)


def test_verify_counts_a_listed_prime_once_and_bounds_its_work():
    begin = time.process_time()
    assert pelund.verify(10, -1, 10176, [7, 11, 13, 37] + [300007] * 30000)
    assert not pelund.verify(10, -1, 10177, [7, 11, 13, 37] + [300007] * 30000)
    assert time.process_time() - begin < 3  # 30004 primes followed over 100002 exponents take 13 s
    with pytest.raises(pelund.Error) as raised:
        pelund.verify(10, -1, 10176, OF_ORDER)
    assert str(raised.value) == "the primes' pattern of hits times their number is above 2^27"


def test_verify_stops_at_ctrl_c():
    done = run_child("verify", json.dumps(OF_ORDER[:130]))
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    assert report["outcome"] == "interrupted"
    assert report["interrupted"] < report["whole"] / 2, report


@pytest.mark.parametrize("name", ["\udc80", "sieve\udc80", "\ud800auto"])
@pytest.mark.parametrize("given", [dict(base=10, c=-1, mink=1, maxk=1000),
                                   dict(base=10, c=-1, mink=10**30, maxk=10**30 + 10, period=12, maxfact=200,
                                        wide=True)], ids=["ordinary", "beyond-the-caps"])
def test_an_engine_name_that_is_not_utf8_has_the_consoles_message(name, given, tmp_path):
    expected = run_pelund(tmp_path, dict(given, engine="x")).error()
    for call in (lambda: list(pelund.search(**given, engine=name)), lambda: pelund.smallest(**given, engine=name)):
        with pytest.raises(pelund.ParameterError) as raised:
            call()
        assert str(raised.value) == expected
