"""Finds and loads the stellix shared library and declares its eight functions.

The library trusts its arguments, so every signature is declared here once;
the wrappers in ``stellix`` check shapes and types before any call.
"""

import ctypes
import ctypes.util
import glob
import os
import sys

ENV_VARIABLE = "STELLIX_LIBRARY"


class CBody(ctypes.Structure):
    """The C ``Body`` record: seven doubles."""

    _fields_ = [(name, ctypes.c_double) for name in ("x", "y", "z", "vx", "vy", "vz", "mass")]


_bodies = ctypes.POINTER(CBody)
_doubles = ctypes.POINTER(ctypes.c_double)
_i32 = ctypes.c_int32

# name: (result type, argument types), in the order of the C declarations.
SIGNATURES = {
    "getInverseDistanceCubedMatrix": (None, [_bodies, _i32, _doubles]),
    "invsqrt": (ctypes.c_double, [ctypes.c_double]),
    "getAccelerationVectorArray": (None, [_bodies, _i32, _doubles, _doubles]),
    "simulate": (
        None,
        [_bodies, _i32, ctypes.c_double, _i32, _i32, _i32, _i32, _i32, _doubles],
    ),
    "printBodies": (None, [_bodies, _i32]),
    "recordBodies": (None, [ctypes.c_void_p, _bodies, _i32]),
    "printSquareMatrix": (None, [_doubles, _i32]),
    "printVector": (None, [_doubles, _i32]),
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


def _sanitized(path):
    """Whether the library at `path` needs an AddressSanitizer or
    ThreadSanitizer runtime, which only a program started with it can load:
    loading one into a plain interpreter aborts the process."""
    try:
        with open(path, "rb") as handle:
            data = handle.read()
    except OSError:
        return False
    return b"__asan_init" in data or b"__tsan_init" in data


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


def _candidates():
    """(description, [paths]) in the order they are tried."""
    here = os.path.dirname(os.path.abspath(__file__))
    names = _file_names()
    beside = _matches(here, names)
    # Imported from a source checkout: python/stellix -> <repo>/build/*/src.
    repo = os.path.dirname(os.path.dirname(here))
    built = []
    if os.path.isfile(os.path.join(repo, "include", "stellix", "stellix.h")):
        built = _built_libraries(repo, names)
    system = [ctypes.util.find_library("stellix") or names[1]]
    return [
        ("next to the package (%s)" % here, beside),
        ("in the build directories of the source tree (%s)" % os.path.join(repo, "build"), built),
        ("on the system library path", system),
    ]


def _declare(library):
    for name, (restype, argtypes) in SIGNATURES.items():
        function = getattr(library, name)
        function.restype = restype
        function.argtypes = argtypes
    return library


def load(path=None):
    """Loads the library from `path`, else from $STELLIX_LIBRARY, else from
    the package directory, a source-tree build, or the system path."""
    path = path or os.environ.get(ENV_VARIABLE)
    if path:
        try:
            return _declare(ctypes.CDLL(os.path.abspath(path)))
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
                return _declare(ctypes.CDLL(candidate))
            except OSError as error:
                tried.append("%s: %s" % (candidate, error))
        tried.append("nothing usable " + where)
    raise LibraryNotFoundError(
        "the stellix shared library was not found. Looked in:\n  "
        + "\n  ".join(tried)
        + "\nBuild it (cmake --preset default && cmake --build --preset default) and set "
        + ENV_VARIABLE
        + " to the library file, or copy it next to the package."
    )


def c_runtime():
    """The C runtime whose stdio the library writes through (for fopen,
    fclose and fflush of its streams)."""
    if sys.platform == "win32":
        return ctypes.cdll.msvcrt
    return ctypes.CDLL(None)
