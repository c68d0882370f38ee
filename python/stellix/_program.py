"""Finds the stellix command-line program that ``python -m stellix`` runs: the
one pip installed inside the package, else the newest of a source checkout's
builds."""

import glob
import os
import sys

from ._library import mtime, package_directory, source_tree

# Where a build puts the program, relative to a build directory: its own
# folder, or the bin/ of a build that gathers its programs there.
_PROGRAM_PLACES = [os.path.join("tools", "stellix"), "bin", "."]


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
    return max(found, key=mtime, default=None)
