# The search's thread and its queue: Ctrl-C in the interpreter ends a search (or the
# table phase) with KeyboardInterrupt promptly and joins the thread; a slow caller
# keeps the memory bounded on a dense search; every way of leaving an iterator early
# stops the search and joins its thread; the caller waits without holding the GIL;
# and a fault on the search's thread reaches the caller as pelund.Error. The scenes
# that need a fresh process or a signal run lifecycle_child.py.
import functools
import json
import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest

from conftest import binary, child_environment, ini_text, load_pelund

pelund = load_pelund()

CHILD = str(pathlib.Path(__file__).with_name("lifecycle_child.py"))


def child(*arguments, **options):
    return subprocess.Popen([sys.executable, CHILD, *arguments], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            stdin=subprocess.DEVNULL, text=True, env=child_environment(pelund), **options)


def threads():
    return len(os.listdir("/proc/self/task"))


@pytest.mark.parametrize("scene", ["after-first-line", "table-phase", "candidates", "dense-with", "list-reader"])
def test_ctrl_c_raises_keyboard_interrupt_promptly(scene):
    process = child(scene)
    try:
        ready = process.stdout.readline()
        assert ready.startswith("ready"), ready + process.stderr.read()
        time.sleep(0.2)  # well inside the wait (the table phase takes over a second)
        sent = time.monotonic()
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=10)
        elapsed = time.monotonic() - sent
    finally:
        process.kill()
    assert out.split() == ["interrupted", "0"], out + err  # and no thread left behind
    assert process.returncode == 0, err
    assert elapsed < 2, elapsed


def test_slow_caller_keeps_memory_bounded(tmp_path):
    seconds = 4
    consumer = child("slow-consumer", str(seconds))
    # Meanwhile the binary runs the same search for as long: what it writes is what
    # the results would amount to if nothing held the search back.
    (tmp_path / "pelund.ini").write_text(ini_text(dict(base=14, c=1, mink=1, maxk=10**18, period=4)))
    search = subprocess.Popen([binary()], cwd=tmp_path, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(seconds)
    search.send_signal(signal.SIGINT)
    search.wait(timeout=30)
    out, err = consumer.communicate(timeout=60)
    assert consumer.returncode == 0, err
    report = json.loads(out)
    with open(tmp_path / "covering.txt") as covering:
        produced = sum(1 for _ in covering)
    would_take_kib = produced * report["item_bytes"] // 1024
    assert report["count"] > 10000  # it did consume, slowly
    assert produced > 20 * report["count"]  # the search alone would have gone far ahead
    assert report["peak_growth"] < 160 * 1024, report
    assert report["peak_growth"] < would_take_kib / 4, (report, would_take_kib)
    assert report["late"] - report["early"] < 16 * 1024, report  # no growth while consuming slowly


def take(iterator, count):
    for _ in range(count):
        next(iterator)


def leave_by_break(iterator, count):
    for seen, _ in enumerate(iterator, 1):
        if seen == count:
            break


def leave_with_exception(iterator, count):
    with pytest.raises(ZeroDivisionError):
        with iterator:
            take(iterator, count)
            1 / 0


def leave_by_close(iterator, count):
    take(iterator, count)
    iterator.close()
    iterator.close()
    assert next(iterator, None) is None


LEAVES = {"break": leave_by_break, "close": leave_by_close, "with": leave_with_exception, "dropped": take}


@functools.lru_cache
def first_sierpinski7():
    return next(pelund.search(7, 1, maxk=10**18, maxfact=10**5, engine="residue"))[0]


# Searches that would run for hours, and how many lines each yields at once.
LONG_SEARCHES = {
    "dense": (lambda: dict(base=14, c=1, period=4, maxk=10**18), 100),
    "sparse": (lambda: dict(base=7, c=1, maxfact=10**5, mink=first_sierpinski7(), maxk=10**18, engine="sieve"), 1),
    "table-phase": (lambda: dict(base=10, c=-1, period=5040, maxfact=10**9, maxk=10**18), 0),
}
# A loop is left by a break only after a line.
CASES = [(leave, search) for leave in LEAVES for search in LONG_SEARCHES
         if leave != "break" or LONG_SEARCHES[search][1] > 0]


@pytest.mark.parametrize("leave,search", CASES, ids=[f"{leave}-{search}" for leave, search in CASES])
def test_leaving_early_stops_and_joins(leave, search):
    settings, count = LONG_SEARCHES[search]
    settings = settings()
    before = threads()
    begin = time.monotonic()
    LEAVES[leave](pelund.search(**settings), count)
    assert threads() == before
    assert time.monotonic() - begin < 10


def test_caller_waits_without_the_gil():
    process = child("gil")
    out, err = process.communicate(timeout=60)
    assert process.returncode == 0, err
    report = json.loads(out)
    assert report["counted"] > 1000  # the main thread ran while the other waited
    assert report["busy"] == "generator already executing"
    assert report["outcome"] == [["stopped"]] and not report["alive"]  # close() ended the wait


def test_memory_running_out_reaches_the_caller():
    for extra in [16, 24, 32, 48, 64]:
        environment = dict(child_environment(pelund), MALLOC_ARENA_MAX="1")
        process = subprocess.run([sys.executable, CHILD, "memory", str(extra)], capture_output=True, text=True,
                                 env=environment, timeout=120)
        assert process.returncode == 0, process.stderr
        report = json.loads(process.stdout)
        if report["error"] is not None:
            break
    assert report["error"] == "not enough memory", report
    assert report["runtime"] and report["after"] == "ended", report  # a RuntimeError, then nothing
    assert report["prefix"] and report["threads"] == 0, report
