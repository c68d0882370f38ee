"""Builds the stellix shared library (and the command-line program, when the
checkout has it) with CMake and puts them inside the package.

The metadata lives in pyproject.toml; this file only adds the build step and
the platform tag. Works offline with Debian's python3-setuptools and
python3-pip:

    pip install --no-build-isolation ./python

Environment variables, all optional:
  STELLIX_PREBUILT_LIBRARY  use this library file instead of building one
  STELLIX_PREBUILT_PROGRAM  with it, the command-line program to bundle
  STELLIX_CMAKE_BUILD_DIR   the CMake build directory to use (and reuse)
  CMAKE_BUILD_PARALLEL_LEVEL  build jobs (default: all cores)
"""

import glob
import json
import os
import re
import shutil
import subprocess
import sys

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
LIBRARY_TARGET = "stellix"
PROGRAM_TARGET = "stellix_cli"


class BinaryDistribution(Distribution):
    """The package holds a native library: never a pure-Python wheel."""

    def has_ext_modules(self):
        return True


def _library_name(path):
    """The file name the library gets in the package: the name the loader
    asks for (libstellix.so.1 for libstellix.so.1.0.0), so that the bundled
    program finds it by its soname."""
    name = os.path.basename(path)
    match = re.match(r"(lib\w+\.so\.[0-9]+)(\.[0-9]+)*$", name)
    if match:
        return match.group(1)
    match = re.match(r"(lib\w+)\.([0-9]+)(\.[0-9]+)*\.dylib$", name)
    if match:
        return "%s.%s.dylib" % (match.group(1), match.group(2))
    return name


def _run(command):
    sys.stderr.write("+ %s\n" % " ".join(command))
    # CMake's chatter goes to standard error like pip's own.
    subprocess.check_call(command, stdout=sys.stderr)


def _artifacts(build_dir):
    """{target name: absolute artifact path} of the Release configuration,
    from the CMake file API reply of the last configure."""
    reply = os.path.join(build_dir, ".cmake", "api", "v1", "reply")
    indexes = sorted(glob.glob(os.path.join(reply, "index-*.json")))
    if not indexes:
        raise RuntimeError("CMake wrote no file API reply in %s" % reply)
    with open(indexes[-1]) as handle:
        index = json.load(handle)
    codemodel_file = None
    for response in index["objects"]:
        if response["kind"] == "codemodel":
            codemodel_file = response["jsonFile"]
    with open(os.path.join(reply, codemodel_file)) as handle:
        codemodel = json.load(handle)
    configurations = codemodel["configurations"]
    configuration = next((c for c in configurations if c["name"] == "Release"), configurations[0])
    found = {}
    for target in configuration["targets"]:
        with open(os.path.join(reply, target["jsonFile"])) as handle:
            details = json.load(handle)
        paths = [a["path"] for a in details.get("artifacts", [])]
        # A DLL's import library comes with it; the library itself is wanted.
        paths = [p for p in paths if not p.endswith((".lib", ".a"))] or paths
        if paths:
            found[target["name"]] = os.path.join(build_dir, paths[0])
    return found


def cmake_build(build_dir):
    """Configures and builds the library (and the program, if the checkout has
    it) in `build_dir`: returns (library path, program path or None)."""
    if not os.path.isfile(os.path.join(ROOT, "CMakeLists.txt")) or not os.path.isfile(
        os.path.join(ROOT, "include", "stellix", "stellix.h")
    ):
        raise RuntimeError(
            "the stellix sources are not beside this package (%s); install from a checkout "
            "of the repository, or set STELLIX_PREBUILT_LIBRARY to a built library" % ROOT
        )
    query = os.path.join(build_dir, ".cmake", "api", "v1", "query", "codemodel-v2")
    os.makedirs(os.path.dirname(query), exist_ok=True)
    open(query, "a").close()
    configure = ["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                 "-DSTELLIX_BUILD_TESTS=OFF", "-DSTELLIX_BUILD_PROGRAM=ON",
                 "-DSTELLIX_BUILD_BENCHMARKS=OFF", "-DSTELLIX_INSTALL=OFF"]
    if sys.platform != "win32":
        # The bundled program (stellix/bin/) finds the library one directory
        # up, never in this build directory, which may be gone.
        origin = "@loader_path" if sys.platform == "darwin" else "$ORIGIN"
        configure += ["-DCMAKE_BUILD_WITH_INSTALL_RPATH=ON", "-DCMAKE_INSTALL_RPATH=%s/.." % origin]
    if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")) and shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    try:
        _run(configure)
    except FileNotFoundError:
        raise RuntimeError("building stellix needs CMake (and a C++20 compiler)") from None
    artifacts = _artifacts(build_dir)
    targets = [t for t in (LIBRARY_TARGET, PROGRAM_TARGET) if t in artifacts]
    if LIBRARY_TARGET not in targets:
        raise RuntimeError("the CMake project has no target %r" % LIBRARY_TARGET)
    jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
    command = ["cmake", "--build", build_dir, "--config", "Release", "--parallel", jobs,
               "--target"] + targets
    _run(command)
    return artifacts[LIBRARY_TARGET], artifacts.get(PROGRAM_TARGET)


class BuildPy(build_py):
    """Copies the Python files, then the native library and program."""

    def run(self):
        super().run()
        library = os.environ.get("STELLIX_PREBUILT_LIBRARY")
        if library:
            program = os.environ.get("STELLIX_PREBUILT_PROGRAM") or None
        else:
            build_dir = os.environ.get("STELLIX_CMAKE_BUILD_DIR") or os.path.join(
                os.path.abspath(self.get_finalized_command("build").build_temp), "cmake"
            )
            library, program = cmake_build(os.path.abspath(build_dir))
        package = os.path.join(self.build_lib, "stellix")
        # Whatever an earlier build left here would ship too.
        for stale in glob.glob(os.path.join(package, "*stellix*.*")):
            if not stale.endswith(".py"):
                os.remove(stale)
        shutil.rmtree(os.path.join(package, "bin"), ignore_errors=True)
        library = os.path.realpath(library)
        shutil.copyfile(library, os.path.join(package, _library_name(library)))
        if program:
            os.makedirs(os.path.join(package, "bin"))
            shutil.copy2(os.path.realpath(program), os.path.join(package, "bin",
                                                                 os.path.basename(program)))
        else:
            sys.stderr.write("stellix: no command-line program built; `python -m stellix` "
                             "will say so\n")


commands = {"build_py": BuildPy}
try:
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:
    try:
        from wheel.bdist_wheel import bdist_wheel
    except ImportError:
        bdist_wheel = None

if bdist_wheel is not None:

    class BdistWheel(bdist_wheel):
        """A platform wheel for any Python 3: the library is loaded through
        ctypes, so the interpreter's version and ABI do not matter."""

        def finalize_options(self):
            super().finalize_options()
            self.root_is_pure = False

        def get_tag(self):
            _, _, platform = super().get_tag()
            return "py3", "none", platform

    commands["bdist_wheel"] = BdistWheel

setup(distclass=BinaryDistribution, cmdclass=commands)
