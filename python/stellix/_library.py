"""Finds and loads the stellix shared library and declares its eight functions,
with the record, limit and constant of its boundary.

The library trusts its arguments, so every signature is declared here once;
the public functions check shapes and types before any call.
"""

import ctypes
import ctypes.util
import glob
import os
import sys

import numpy as np

ENV_VARIABLE = "STELLIX_LIBRARY"

# The library's version, which the package shares.
VERSION = "1.0.0"

_FIELDS = ("x", "y", "z", "vx", "vy", "vz", "mass")
BODY = np.dtype([(name, np.float64) for name in _FIELDS])
MAX_BODIES = 46340
# (c*c)*c with c = 40554.77018, exactly as the library forms it.
G = 66699999999906.078125


class CBody(ctypes.Structure):
    """The C ``Body`` record: seven doubles."""

    _fields_ = [(name, ctypes.c_double) for name in _FIELDS]


BodyPointer = ctypes.POINTER(CBody)
DoublePointer = ctypes.POINTER(ctypes.c_double)
_i32 = ctypes.c_int32

# name: (result type, argument types), in the order of the C declarations.
SIGNATURES = {
    "getInverseDistanceCubedMatrix": (None, [BodyPointer, _i32, DoublePointer]),
    "invsqrt": (ctypes.c_double, [ctypes.c_double]),
    "getAccelerationVectorArray": (None, [BodyPointer, _i32, DoublePointer, DoublePointer]),
    "simulate": (
        None,
        [BodyPointer, _i32, ctypes.c_double, _i32, _i32, _i32, _i32, _i32, DoublePointer],
    ),
    "printBodies": (None, [BodyPointer, _i32]),
    "recordBodies": (None, [ctypes.c_void_p, BodyPointer, _i32]),
    "printSquareMatrix": (None, [DoublePointer, _i32]),
    "printVector": (None, [DoublePointer, _i32]),
}


class LibraryNotFoundError(OSError):
    """The shared library could not be found or loaded."""


def _file_names():
    """Glob patterns of the library's file, preferred names first."""
    if sys.platform == "win32":
        return ["stellix.dll", "libstellix.dll", "libstellix-*.dll"]
    if sys.platform == "darwin":
        return ["libstellix.dylib", "libstellix.*.dylib"]
    return ["libstellix.so", "libstellix.so.1", "libstellix.so.1.*"]


def _matches(directory, names):
    found = []
    for name in names:
        found += [p for p in sorted(glob.glob(os.path.join(directory, name))) if p not in found]
    return found


# Preset build directories, the plain builds first.
_BUILD_PREFERENCE = ["default", "release", "test", "debug", "bench"]


# Sanitizer runtimes that must be in the process before a library built with
# them is loaded: loading one into a plain interpreter aborts the process.
# Symbol the library refers to -> (name, runtime file).
_SANITIZERS = {
    b"__asan_init": ("AddressSanitizer", "libasan.so"),
    b"__tsan_init": ("ThreadSanitizer", "libtsan.so"),
}


def _needed_sanitizers(path):
    """The sanitizer runtimes the library at `path` refers to."""
    try:
        with open(path, "rb") as handle:
            data = handle.read()
    except OSError:
        return []
    return [symbol for symbol in _SANITIZERS if symbol in data]


def _missing_sanitizer(path):
    """The (name, runtime file) of a sanitizer runtime that the library at
    `path` needs and this process has not loaded, or None."""
    if sys.platform == "win32":
        return None
    process = ctypes.CDLL(None)
    for symbol in _needed_sanitizers(path):
        if not hasattr(process, symbol.decode()):
            return _SANITIZERS[symbol]
    return None


def _sanitized(path):
    """Whether the library at `path` needs a sanitizer runtime at all."""
    return bool(_needed_sanitizers(path))


def _built_libraries(repo, names):
    """Libraries of the source tree's build directories that this interpreter
    can load, the plain preset builds first."""
    build = os.path.join(repo, "build")
    directories = sorted(glob.glob(os.path.join(build, "*", "src")))
    rank = {name: k for k, name in enumerate(_BUILD_PREFERENCE)}
    directories.sort(key=lambda d: rank.get(os.path.basename(os.path.dirname(d)), len(rank)))
    found = []
    for directory in directories:
        found += [p for p in _matches(directory, names) if not _sanitized(p)]
    return found


def package_directory():
    return os.path.dirname(os.path.abspath(__file__))


def source_tree():
    """The repository root when this package is imported from a source
    checkout (<repo>/python/stellix), else None: an installed package never
    looks at a source tree, wherever it is installed."""
    here = package_directory()
    python = os.path.dirname(here)
    repo = os.path.dirname(python)
    if os.path.basename(python) != "python" or not os.path.isfile(
        os.path.join(python, "pyproject.toml")
    ):
        return None
    if not os.path.isfile(os.path.join(repo, "include", "stellix", "stellix.h")):
        return None
    return repo


def mtime(path):
    try:
        return os.stat(path).st_mtime
    except OSError:
        return 0.0


def _candidates():
    """(description, [paths]) in the order they are tried."""
    here = package_directory()
    names = _file_names()
    beside = _matches(here, names)
    system = [ctypes.util.find_library("stellix") or names[1]]
    repo = source_tree()
    if repo is None:
        return [
            ("in the package (%s)" % here, beside),
            ("on the system library path", system),
        ]
    # A library copied next to the source package by hand goes stale as soon
    # as the library is rebuilt: it is used before the builds only while it
    # is newer than every one of them.
    built = _built_libraries(repo, names)
    newest_build = max((mtime(p) for p in built), default=0.0)
    fresh = [p for p in beside if mtime(p) > newest_build]
    stale = [p for p in beside if p not in fresh]
    return [
        ("copied next to the package (%s), newer than every build" % here, fresh),
        ("in the build directories of the source tree (%s)" % os.path.join(repo, "build"), built),
        ("copied next to the package (%s)" % here, stale),
        ("on the system library path", system),
    ]


# ELF machine numbers of the architectures a library is likely built for.
_MACHINES = {3: "i386", 8: "MIPS", 20: "PowerPC", 21: "PowerPC 64", 22: "s390", 40: "ARM",
             62: "x86-64", 183: "aarch64", 243: "RISC-V", 258: "LoongArch"}


def _elf_target(path):
    """(word size, machine number) from an ELF file's header, or None for a
    file that is not ELF or cannot be read."""
    try:
        with open(path, "rb") as handle:
            header = handle.read(20)
    except OSError:
        return None
    if len(header) < 20 or header[:4] != b"\x7fELF" or header[5] not in (1, 2):
        return None
    order = "little" if header[5] == 1 else "big"
    return (32 if header[4] == 1 else 64), int.from_bytes(header[18:20], order)


def _describe(target):
    bits, machine = target
    return "%s (%d-bit)" % (_MACHINES.get(machine, "ELF machine %d" % machine), bits)


def _refuse_foreign(path):
    """Refuses a library built for another architecture than this
    interpreter's, whose loader would only say that it cannot open it."""
    theirs = _elf_target(path)
    ours = _elf_target(os.path.realpath(sys.executable))
    if theirs is not None and ours is not None and theirs != ours:
        raise LibraryNotFoundError(
            "%s is a library for %s, and this Python runs on %s: build stellix for this "
            "machine" % (path, _describe(theirs), _describe(ours)))


def _refuse_unloadable(path):
    _refuse_foreign(path)
    missing = _missing_sanitizer(path)
    if missing is not None:
        name, runtime = missing
        raise LibraryNotFoundError(
            "%s is built with %s, whose runtime must be in the process before the library is "
            "loaded (loading it into this interpreter would abort it). Start Python with "
            "LD_PRELOAD=$(cc -print-file-name=%s), or use a build without sanitizers."
            % (path, name, runtime)
        )


def _declare(library):
    missing = [name for name in SIGNATURES if not hasattr(library, name)]
    if missing:
        raise LibraryNotFoundError(
            "%s is not the stellix library: it lacks %s" % (library._name, ", ".join(missing)))
    for name, (restype, argtypes) in SIGNATURES.items():
        function = getattr(library, name)
        function.restype = restype
        function.argtypes = argtypes
    return library


def load(path=None):
    """Loads the library from `path`, else from $STELLIX_LIBRARY, else: an
    installed package from inside itself, then the system path; a package in
    a source checkout from the checkout's builds (a copy next to it only
    while it is newer than all of them), then the system path."""
    path = path or os.environ.get(ENV_VARIABLE)
    if path:
        path = os.path.abspath(path)
        _refuse_unloadable(path)
        try:
            return _declare(ctypes.CDLL(path, use_errno=True))
        except LibraryNotFoundError:
            raise
        except OSError as error:
            raise LibraryNotFoundError(
                "cannot load the stellix library from %s (%s): %s" % (path, ENV_VARIABLE, error)
            ) from None
    tried = []
    for where, paths in _candidates():
        for candidate in paths:
            if os.path.sep in candidate and not os.path.exists(candidate):
                continue
            try:
                _refuse_unloadable(candidate)
                return _declare(ctypes.CDLL(candidate, use_errno=True))
            except OSError as error:
                tried.append("%s: %s" % (candidate, error))
        tried.append("nothing usable " + where)
    raise LibraryNotFoundError(
        "the stellix shared library was not found. Looked in:\n  "
        + "\n  ".join(tried)
        + "\nInstall the package with `pip install --no-build-isolation ./python`, which builds "
        + "the library, or build it (cmake --preset default && cmake --build --preset default) "
        + "and set "
        + ENV_VARIABLE
        + " to the library file."
    )


_loaded = None


def library():
    """The loaded shared library (loaded on first use; see ``_library.load``)."""
    global _loaded
    if _loaded is None:
        _loaded = load()
    return _loaded
