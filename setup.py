"""The Python module pelund as a package for pip: the extension is the CMake target
pelund_python (python/CMakeLists.txt), built by CMake from the library's own source
lists and copied where setuptools puts an extension. The version is the project's,
read from CMakeLists.txt.

Environment: CMAKE_BUILD_PARALLEL_LEVEL sets the build's jobs (default: the number of
processors); PELUND_CMAKE_ARGS adds arguments to the configure step (split on spaces).
"""
import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    match = re.search(r"project\(pelund\s+VERSION\s+([0-9.]+)", text)
    if not match:
        raise RuntimeError("CMakeLists.txt names no project version")
    return match.group(1)


def pybind11_hint():
    """The CMake files of the interpreter's pybind11 package (Debian: python3-pybind11),
    where it has one; else CMake looks in the system's places (pybind11-dev)."""
    try:
        import pybind11
        directory = pathlib.Path(pybind11.get_cmake_dir())
    except (ImportError, AttributeError, OSError):
        return []
    return [f"-Dpybind11_DIR={directory}"] if (directory / "pybind11Config.cmake").is_file() else []


class CMakeTarget(Extension):
    """An extension module that a CMake target builds."""

    def __init__(self, name, target):
        super().__init__(name, sources=[])
        self.target = target


class BuildWithCMake(build_ext):
    def build_extension(self, ext):
        if not isinstance(ext, CMakeTarget):
            return super().build_extension(ext)
        tree = pathlib.Path(self.build_temp).resolve() / "cmake"
        configure = ["cmake", "-S", str(ROOT), "-B", str(tree), "-DCMAKE_BUILD_TYPE=Release",
                     "-DPELUND_BUILD_TESTS=OFF", "-DPELUND_BUILD_BENCH=OFF", "-DPELUND_MPI=OFF",
                     "-DPELUND_PYTHON=ON", f"-DPython_EXECUTABLE={sys.executable}"]
        configure += pybind11_hint()
        configure += os.environ.get("PELUND_CMAKE_ARGS", "").split()
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(self.parallel or os.cpu_count() or 1)
        build = ["cmake", "--build", str(tree), "--target", ext.target, "-j", jobs]
        for command in (configure, build):
            print(" ".join(command), flush=True)
            subprocess.run(command, check=True)

        built = tree / "python" / (ext.name + sysconfig.get_config_var("EXT_SUFFIX"))
        if not built.is_file():
            raise RuntimeError(f"CMake did not build {built}")
        destination = pathlib.Path(self.get_ext_fullpath(ext.name))
        destination.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, destination)


setup(
    version=project_version(),
    ext_modules=[CMakeTarget("pelund", target="pelund_python")],
    cmdclass={"build_ext": BuildWithCMake},
    # setuptools' own build files go below build/, beside CMake's build trees.
    options={"build": {"build_base": "build/pip"}},
    zip_safe=False,
)
