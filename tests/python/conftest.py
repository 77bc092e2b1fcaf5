# Shared pieces of the Python module's tests: loading the module under test (or
# skipping, with the reason, where it was not built), and running the real pelund
# binary in a temporary directory to read back covering.txt, pelund.log and its
# console messages, which the module's results are compared with.
import os
import pathlib
import re
import subprocess

import pytest


def load_pelund():
    """The module just built. PELUND_MODULE_BUILT=1 (set by CTest) makes a failed
    import an error; without it, a missing module skips the calling test file."""
    built = os.environ.get("PELUND_MODULE_BUILT")
    if built == "0":
        pytest.skip("the pelund module was not built (PELUND_PYTHON is OFF: install pybind11-dev and "
                    "python3-dev, then configure with -DPELUND_PYTHON=ON)", allow_module_level=True)
    try:
        import pelund
    except ImportError as error:
        if built == "1":
            raise
        pytest.skip(f"the pelund module cannot be imported ({error}): build it and put its directory "
                    "on PYTHONPATH", allow_module_level=True)
    if built == "1":
        # The build's module, not one installed earlier.
        first = pathlib.Path(os.environ["PYTHONPATH"].split(os.pathsep)[0]).resolve()
        assert pathlib.Path(pelund.__file__).resolve().parent == first, pelund.__file__
    return pelund


def binary():
    path = os.environ.get("PELUND_BINARY")
    if not path or not os.access(path, os.X_OK):
        pytest.skip("PELUND_BINARY does not name the pelund program (CTest sets it)")
    return os.path.abspath(path)


def ini_text(settings):
    """pelund.ini for a dict of settings; booleans as 0/1."""
    return "".join(f"{key}={int(value) if isinstance(value, bool) else value}\n" for key, value in settings.items())


def parse_covering(text):
    """covering.txt's lines as the module yields them: (k, period, [primes]) and,
    with classes after the ']', a fourth element with their texts."""
    lines = []
    for line in text.splitlines():
        match = re.fullmatch(r"(\d+)  (\d+)  \[([0-9, ]*)\](.*)", line)
        assert match, f"unexpected line in covering.txt: {line!r}"
        primes = [int(p) for p in match.group(3).split(", ")] if match.group(3) else []
        classes = match.group(4).split("  + ")[1:] if match.group(4) else []
        assert "".join("  + " + c for c in classes) == match.group(4), line
        lines.append((int(match.group(1)), int(match.group(2)), primes, classes))
    return lines


def parse_factor_list(log):
    """pelund.log's "factor and period list" as [(factor, period)]; [] when absent."""
    lines = log.splitlines()
    if "factor and period list:" not in lines:
        return []
    table = []
    for line in lines[lines.index("factor and period list:") + 1:]:
        match = re.fullmatch(r"(\d+)  (\d+)", line)
        if not match:
            break
        table.append((int(match.group(1)), int(match.group(2))))
    return table


class Run:
    def __init__(self, directory, completed):
        self.returncode = completed.returncode
        self.console = re.sub(r"\x1b\[[0-9;]*m", "", completed.stdout)
        covering = directory / "covering.txt"
        self.lines = parse_covering(covering.read_text()) if covering.exists() else []
        log = directory / "pelund.log"
        self.log = log.read_text() if log.exists() else ""

    def log_factor_list(self):
        return parse_factor_list(self.log)

    def error(self):
        """The console's red message, without "Error:  "; None when there is none."""
        match = re.search(r"^Error:  (.*)$", self.console, re.MULTILINE)
        return match.group(1) if match else None


def run_pelund(directory, settings, timeout=120):
    """Runs the real binary in `directory` with these pelund.ini settings."""
    directory = pathlib.Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    (directory / "pelund.ini").write_text(ini_text(settings))
    completed = subprocess.run([binary()], cwd=directory, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               stdin=subprocess.DEVNULL, text=True, timeout=timeout)
    return Run(directory, completed)


def child_environment(pelund):
    """The environment for a child interpreter that imports the same module."""
    environment = dict(os.environ)
    paths = [str(pathlib.Path(pelund.__file__).parent)] + environment.get("PYTHONPATH", "").split(os.pathsep)
    environment["PYTHONPATH"] = os.pathsep.join(p for p in paths if p)
    return environment
