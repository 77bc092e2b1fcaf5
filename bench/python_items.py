# The Python module's yield rate side by side: a dense search (base 14, c = 1, P = 4,
# k up to 3e6, tens of thousands of lines) through two builds of the module, in
# alternating runs, each in a fresh interpreter; prints the median items per second of
# each and the median of the per-pair ratios, which a busy machine disturbs least.
#
#   /usr/bin/python3 bench/python_items.py NEW_MODULE_DIR BASE_MODULE_DIR [PAIRS]
#
# (a module directory is a build's build/python).
import statistics
import subprocess
import sys

RUN = """
import sys, time
sys.path.insert(0, sys.argv[1])
import pelund
start, count = time.perf_counter(), 0
for item in pelund.search(14, 1, mink=1, maxk=3000000, period=4, maxfact=1000000, threads=1):
    count += 1
print(count / (time.perf_counter() - start))
"""


def rate(directory):
    out = subprocess.run([sys.executable, "-c", RUN, directory], capture_output=True, text=True, check=True).stdout
    return float(out)


def main():
    if len(sys.argv) < 3:
        sys.exit("usage: python_items.py NEW_MODULE_DIR BASE_MODULE_DIR [PAIRS]")
    new, base = sys.argv[1], sys.argv[2]
    pairs = int(sys.argv[3]) if len(sys.argv) > 3 else 7
    rates = {"new": [], "base": []}
    for _ in range(pairs):
        rates["new"].append(rate(new))
        rates["base"].append(rate(base))
    ratios = [a / b for a, b in zip(rates["new"], rates["base"])]
    for name in ("new", "base"):
        print(f"{name}: median {statistics.median(rates[name]):.0f} items/s")
    print(f"new/base: median ratio {statistics.median(ratios):.3f} over {pairs} pairs "
          f"({', '.join(f'{r:.2f}' for r in ratios)})")


if __name__ == "__main__":
    main()
