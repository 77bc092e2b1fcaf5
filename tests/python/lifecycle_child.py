# A child interpreter for test_lifecycle.py: runs one scene with the pelund module
# and reports on standard output, one line per event, so that the parent can signal
# it at the right moment and judge what happened (memory, threads, exceptions).
import json
import os
import resource
import signal
import sys
import threading
import time

import pelund


def threads():
    return len(os.listdir("/proc/self/task"))


def rss_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def say(*words):
    print(*words, flush=True)


def sparse_search():
    """A search whose first line comes at once and whose next one is half an hour of
    the sieve away: S7 from its first covered k."""
    first = next(pelund.search(7, 1, maxk=10**18, maxfact=10**5, engine="residue"))
    return pelund.search(7, 1, mink=first[0], maxk=10**18, maxfact=10**5, engine="sieve")


def interrupt(scene):
    """Waits for SIGINT inside the scene; reports the thread count after it."""
    before = threads()
    try:
        if scene == "after-first-line":
            iterator = sparse_search()
            say("ready", next(iterator))
            for item in iterator:
                say("line", item)
        elif scene == "table-phase":
            iterator = pelund.search(10, -1, maxk=10**18, period=5040, maxfact=10**9)
            say("ready")
            next(iterator, None)
        elif scene == "candidates":
            say("ready")
            pelund.candidates(10, 5040, 10**9)
        elif scene == "list-reader":
            # list() pulls the lines in C, with no bytecode between them: a steady
            # stream of lines, read for far longer than the test waits.
            say("ready")
            list(pelund.search(2, 1, maxk=10**13, period=36, maxfact=1000, engine="sieve", threads=1))
        elif scene == "dense-with":
            with pelund.search(14, 1, maxk=10**18, period=4) as iterator:
                for count, item in enumerate(iterator):
                    if count == 1000:
                        say("ready")
        say("completed")
    except KeyboardInterrupt:
        say("interrupted", threads() - before)


def slow_consumer(seconds):
    """Consumes a dense search slowly; reports memory at the start, after a second and
    at the end, and the bytes of one yielded item as Python objects."""
    before = rss_kib()
    iterator = pelund.search(14, 1, maxk=10**18, period=4)
    start = time.monotonic()
    count, last, early = 0, 0, None
    for item in iterator:
        count += 1
        assert item[0] > last
        last = item[0]
        if count % 100 == 0:
            time.sleep(0.002)
            elapsed = time.monotonic() - start
            if early is None and elapsed > 1:
                early = rss_kib()
            if elapsed > seconds:
                break
    item_bytes = sys.getsizeof(item) + sys.getsizeof(item[0]) + sys.getsizeof(item[2])
    say(json.dumps(dict(before=before, early=early, late=rss_kib(), count=count, item_bytes=item_bytes,
                        peak_growth=resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)))


def waits_without_the_gil():
    """One thread waits in next() for the sparse search; the main thread runs Python
    meanwhile, finds the iterator busy, and closes it, which ends the wait."""
    iterator = sparse_search()
    next(iterator)
    outcome = []

    def wait():
        try:
            outcome.append(("line", next(iterator)))
        except StopIteration:
            outcome.append(("stopped",))

    waiter = threading.Thread(target=wait)
    waiter.start()
    time.sleep(0.2)
    try:
        next(iterator)
        busy = "no error"
    except ValueError as error:
        busy = str(error)
    counted, end = 0, time.monotonic() + 0.5
    while time.monotonic() < end:
        counted += 1
    iterator.close()
    waiter.join(10)
    say(json.dumps(dict(counted=counted, busy=busy, outcome=outcome, alive=waiter.is_alive())))


def memory_runs_out(extra_mib):
    """A dense search with the address space limited to this many MiB more than the
    process has: reports the error it ends with (None when it ends without one),
    whether the lines before it match those of an unlimited search, and what the
    iterator does next."""
    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) * 1024
    before = threads()
    got, report = [], dict(error=None)
    resource.setrlimit(resource.RLIMIT_AS, (size + (extra_mib << 20), resource.RLIM_INFINITY))
    try:
        iterator = pelund.search(14, 1, maxk=10**18, period=4, engine="residue", threads=1)
        for item in iterator:
            got.append(item[0])
            if len(got) == 300000:
                break
    except pelund.Error as error:
        report = dict(error=str(error), runtime=isinstance(error, RuntimeError), after=next(iterator, "ended"))
        if str(error).startswith("a thread cannot be started"):
            report = dict(error=None, other=repr(error))  # starting the search's thread ran short first
    except (MemoryError, RuntimeError) as error:
        report = dict(error=None, other=repr(error))  # Python ran short first
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    expected = [item[0] for item, _ in zip(pelund.search(14, 1, maxk=10**18, period=4), range(len(got)))]
    say(json.dumps(dict(report, count=len(got), prefix=got == expected, threads=threads() - before)))


class SlowToFlush:
    """Standard output whose last flush, as the interpreter ends, lets go of the GIL for a
    second: every daemon thread that comes back from pelund meanwhile is ended."""
    def __init__(self, out):
        self.out, self.write, self.sleep, self.ending = out, out.write, time.sleep, sys.is_finalizing

    def flush(self):
        self.sleep(1.0 if self.ending() else 0)
        self.out.flush()


def exit_while_busy(where):
    """Daemon threads inside a search's next() or candidates() as the interpreter exits;
    with "keywords", threads call pelund over and over with keyword arguments, and the
    interpreter's end lasts long enough for them all to come back."""
    def iterate():
        for _ in pelund.search(14, 1, maxk=10**18, period=4):
            pass

    def table():
        pelund.candidates(10, 5040, 10**9)

    def keywords(call):
        return lambda: [call() for _ in iter(int, 1)]  # for ever

    targets = {"iterating": [iterate] * 3, "candidates": [table] * 3,
               "keywords": [keywords(lambda: pelund.candidates(10, period=5040, maxfact=3 * 10**7)),
                            keywords(lambda: pelund.smallest(3, 1, maxk=10**9, period=720, maxfact=10**5))] * 2}
    for target in targets[where]:
        threading.Thread(target=target, daemon=True).start()
    if where == "keywords":
        sys.stdout = SlowToFlush(sys.stdout)
    time.sleep(0.05)
    say("exiting")


def forked_child_iterates():
    """The parent takes a line of a dense search and forks; the child iterates what it
    inherited. Reports what the child saw (an alarm ends a child that waits)."""
    iterator = pelund.search(14, 1, maxk=10**18, period=4)
    first = next(iterator)
    child = os.fork()
    if child == 0:
        signal.alarm(20)
        count, error = 0, None
        try:
            for _ in iterator:
                count += 1
        except pelund.Error as raised:
            error = str(raised)
        last = iterator.next_k
        iterator.close()
        say(json.dumps(dict(count=count, error=error, next_k=last, first=first[0])))
        os._exit(0)
    _, status = os.waitpid(child, 0)
    more = next(iterator)[0]  # the parent's search goes on
    iterator.close()
    say(json.dumps(dict(status=status, more=more > first[0])))


def verify_interrupted(primes):
    """The CPU time of a long verify() run to its end, and of one that SIGINT
    interrupts once the call has begun."""
    begin = time.process_time()
    assert pelund.verify(10, -1, 10176, primes)
    whole = time.process_time() - begin
    inside = threading.Event()

    def interrupt():
        inside.wait()
        time.sleep(0.01)  # this thread runs once the call has released the GIL
        os.kill(os.getpid(), signal.SIGINT)

    threading.Thread(target=interrupt).start()
    begin = time.process_time()
    try:
        inside.set()
        pelund.verify(10, -1, 10176, primes)
        outcome = "completed"
    except KeyboardInterrupt:
        outcome = "interrupted"
    say(json.dumps(dict(whole=whole, interrupted=time.process_time() - begin, outcome=outcome)))


def threads_refused():
    """What each call on a thread of the module's own raises where the thread is refused."""
    def outcome(call):
        try:
            return repr(call())
        except Exception as error:  # noqa: BLE001 - what it raised is the report
            return f"{type(error).__module__}.{type(error).__name__}: {error}"
    say(json.dumps([outcome(call) for call in (lambda: next(pelund.search(10, -1, maxk=10**6)),
                                               lambda: pelund.smallest(10, -1, maxk=10**6),
                                               lambda: pelund.candidates(10, period=144),
                                               lambda: pelund.verify(10, -1, 10176, [7, 11, 13, 37]))]))


if __name__ == "__main__":
    scene = sys.argv[1]
    if scene.startswith("exit-"):
        exit_while_busy(scene[len("exit-"):])
    elif scene == "fork":
        forked_child_iterates()
    elif scene == "verify":
        verify_interrupted(json.loads(sys.argv[2]))
    elif scene == "slow-consumer":
        slow_consumer(float(sys.argv[2]))
    elif scene == "gil":
        waits_without_the_gil()
    elif scene == "memory":
        memory_runs_out(int(sys.argv[2]))
    elif scene == "threads-refused":
        threads_refused()
    else:
        interrupt(scene)
