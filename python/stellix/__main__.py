"""``python -m stellix``: the stellix command-line program, with the same
arguments and exit status.

pip builds the program with the library and installs it inside the package;
from a source checkout the newest build's program is run.
"""

import os
import subprocess
import sys

from ._library import package_directory, source_tree
from ._program import built_program, bundled_program, program_name


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    bundled = bundled_program()
    program = bundled or built_program()
    if program is None:
        repo = source_tree()
        if repo is None:
            where = "this package (%s) has no bin/%s" % (package_directory(), program_name())
        else:
            where = "no build of the source tree (%s) has it" % os.path.join(repo, "build")
        sys.stderr.write(
            "stellix: the command-line program was not built: %s. CMake builds it with the "
            "library when STELLIX_BUILD_PROGRAM is on; `pip install --no-build-isolation "
            "./python` from a checkout that has it bundles it in the package.\n" % where
        )
        return 2
    environment = dict(os.environ)
    if program == bundled:
        # The program finds the library the package holds, not another one.
        here = package_directory()
        variable = {"win32": "PATH", "darwin": "DYLD_LIBRARY_PATH"}.get(
            sys.platform, "LD_LIBRARY_PATH"
        )
        old = environment.get(variable)
        environment[variable] = here + (os.pathsep + old if old else "")
    sys.stdout.flush()
    sys.stderr.flush()
    if sys.platform == "win32":
        return subprocess.call([program] + argv, env=environment)
    os.execve(program, [program] + argv, environment)


if __name__ == "__main__":
    sys.exit(main())
