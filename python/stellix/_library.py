"""Finds and loads the stellix shared library and declares its eight functions.

The library trusts its arguments, so every signature is declared here once;
the wrappers in ``stellix`` check shapes and types before any call.
"""

import ctypes
import ctypes.util
import errno
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


def _mtime(path):
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
    newest_build = max((_mtime(p) for p in built), default=0.0)
    fresh = [p for p in beside if _mtime(p) > newest_build]
    stale = [p for p in beside if p not in fresh]
    return [
        ("copied next to the package (%s), newer than every build" % here, fresh),
        ("in the build directories of the source tree (%s)" % os.path.join(repo, "build"), built),
        ("copied next to the package (%s)" % here, stale),
        ("on the system library path", system),
    ]


# Where a build puts the command-line program, relative to a build directory.
_PROGRAM_PLACES = ["examples", "bin", "."]


def program_name():
    return "stellix.exe" if sys.platform == "win32" else "stellix"


def bundled_program():
    """The command-line program installed inside the package, or None."""
    path = os.path.join(package_directory(), "bin", program_name())
    return path if os.path.isfile(path) else None


def built_program():
    """The newest command-line program of the source tree's builds, or None."""
    repo = source_tree()
    if repo is None:
        return None
    found = []
    for place in _PROGRAM_PLACES:
        pattern = os.path.join(repo, "build", "*", place, program_name())
        found += [p for p in glob.glob(pattern) if os.path.isfile(p) and os.access(p, os.X_OK)]
    return max(found, key=_mtime, default=None)


def _refuse_unloadable(path):
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


_size = ctypes.c_size_t
_stream = ctypes.c_void_p

# The stdio calls made on the library's streams (names as in C).
C_SIGNATURES = {
    "fopen": (_stream, [ctypes.c_char_p, ctypes.c_char_p]),
    "fclose": (ctypes.c_int, [_stream]),
    "fflush": (ctypes.c_int, [_stream]),
    "ferror": (ctypes.c_int, [_stream]),
    "clearerr": (None, [_stream]),
    "tmpfile": (_stream, []),
    "ftell": (ctypes.c_long, [_stream]),
    "rewind": (None, [_stream]),
    "fread": (_size, [ctypes.c_void_p, _size, _size, _stream]),
}

_runtime = None


def c_runtime():
    """The C runtime whose stdio the library writes through, with the calls
    of C_SIGNATURES declared. errno is kept across its calls (ctypes.get_errno)."""
    global _runtime
    if _runtime is None:
        if sys.platform == "win32":
            runtime = ctypes.CDLL("ucrtbase", use_errno=True)
        else:
            runtime = ctypes.CDLL(None, use_errno=True)
        for name, (restype, argtypes) in C_SIGNATURES.items():
            function = getattr(runtime, name)
            function.restype = restype
            function.argtypes = argtypes
        _runtime = runtime
    return _runtime


def c_stdout():
    """The C runtime's current `stdout` stream."""
    runtime = c_runtime()
    if sys.platform == "win32":
        iob = runtime.__acrt_iob_func
        iob.restype = _stream
        iob.argtypes = [ctypes.c_uint]
        return iob(1)
    name = "__stdoutp" if sys.platform == "darwin" else "stdout"
    return _stream.in_dll(runtime, name).value


def stream_error(code, fallback=errno.EIO):
    """An errno value for a failed stream operation: `code` when the C
    library left one, else `fallback`."""
    return code if code else fallback
