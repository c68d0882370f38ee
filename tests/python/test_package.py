"""The package as pip installs it: offline, into a throwaway virtual
environment, then imported with no environment variables at all; and which
library a package finds where."""

import os
import shutil
import subprocess
import sys
import time

import pytest

import stellix
from stellix import _library

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), os.pardir, os.pardir))

# Runs inside the installed package: where it came from, which library it
# loaded, and the bits of a short run.
PROBE = """
import stellix, stellix._library as L
b = stellix.make_bodies([[0, 0, 0, 0, 0, 0, 1988500], [1.496e11, 0, 0, 0, 29780, 0, 5.9722]])
stellix.simulate(b, 3600.0, 100, store=False)
print(stellix.__file__)
print(stellix.library()._name)
print(L.source_tree())
print(b.tobytes().hex())
"""


def reference_bits():
    b = stellix.make_bodies([[0, 0, 0, 0, 0, 0, 1988500], [1.496e11, 0, 0, 0, 29780, 0, 5.9722]])
    stellix.simulate(b, 3600.0, 100, store=False)
    return b.tobytes().hex()


def pip_install(tmp_path, build_env):
    if subprocess.run([sys.executable, "-c", "import setuptools, wheel, pip"]).returncode:
        pytest.skip("pip, setuptools and wheel are needed")
    venv = tmp_path / "venv"
    # The system's pip, setuptools and numpy serve the environment.
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", "--system-site-packages",
                    str(venv)], check=True)
    python = str(venv / "bin" / "python")
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("STELLIX_", "PYTHON", "LD_PRELOAD"))}
    env.update(build_env)
    subprocess.run([python, "-m", "pip", "install", "--quiet", "--no-build-isolation", "--no-index",
                    "--no-deps", os.path.join(REPO, "python")], check=True, env=env, cwd=tmp_path)
    return python


def check_installed(python, tmp_path):
    site = subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"],
                          check=True, capture_output=True, text=True, env={}).stdout.strip()
    wheel_file = os.path.join(site, "stellix-%s.dist-info" % stellix.__version__, "WHEEL")
    with open(wheel_file) as handle:
        wheel = handle.read().splitlines()
    assert "Root-Is-Purelib: false" in wheel
    tags = [line.split(": ")[1] for line in wheel if line.startswith("Tag: ")]
    assert len(tags) == 1 and tags[0].startswith("py3-none-") and not tags[0].endswith("-any")

    out = subprocess.run([python, "-c", PROBE], check=True, capture_output=True, text=True,
                         env={}, cwd=tmp_path).stdout.splitlines()
    package = os.path.join(site, "stellix")
    assert out[0] == os.path.join(package, "__init__.py")
    assert os.path.dirname(out[1]) == package
    assert out[2] == "None"
    assert out[3] == reference_bits()

    run = subprocess.run([python, "-m", "stellix", "--version"], capture_output=True, text=True,
                         env={}, cwd=tmp_path)
    if os.path.isdir(os.path.join(package, "bin")):
        assert run.returncode == 0, run.stderr
        assert stellix.__version__ in run.stdout
    else:
        assert run.returncode != 0 and "was not built" in run.stderr
    return package


def test_prebuilt_library_installs_into_a_venv(tmp_path):
    library = os.environ["STELLIX_LIBRARY"]
    if _library._sanitized(library):
        pytest.skip("a library built with a sanitizer cannot be loaded by a plain interpreter")
    program = os.environ.get("STELLIX_PROGRAM", "")
    python = pip_install(tmp_path, {"STELLIX_PREBUILT_LIBRARY": library,
                                    "STELLIX_PREBUILT_PROGRAM": program})
    package = check_installed(python, tmp_path)
    assert os.path.isdir(os.path.join(package, "bin")) == bool(program)


def test_default_install_builds_the_library_with_cmake(tmp_path):
    if shutil.which("cmake") is None:
        pytest.skip("cmake is needed")
    # A build directory kept between runs makes the build incremental.
    build = os.environ.get("STELLIX_PACKAGE_BUILD_DIR") or str(tmp_path / "cmake")
    started = time.time()
    python = pip_install(tmp_path, {"STELLIX_CMAKE_BUILD_DIR": build,
                                    "CMAKE_BUILD_PARALLEL_LEVEL": "2"})
    sys.stderr.write("pip install with the CMake build: %.1f s\n" % (time.time() - started))
    package = check_installed(python, tmp_path)
    # This checkout has the command-line program, so the package carries it.
    assert os.path.isdir(os.path.join(package, "bin"))


def fake_checkout(root, library):
    """A source checkout holding the package, one build's library and a copy
    of it next to the package."""
    shutil.copytree(os.path.join(REPO, "python", "stellix"), root / "python" / "stellix",
                    ignore=shutil.ignore_patterns("__pycache__", "*.so*", "bin"))
    (root / "python" / "pyproject.toml").write_text("")
    (root / "include" / "stellix").mkdir(parents=True)
    (root / "include" / "stellix" / "stellix.h").write_text("")
    (root / "build" / "default" / "src").mkdir(parents=True)
    built = root / "build" / "default" / "src" / "libstellix.so"
    beside = root / "python" / "stellix" / "libstellix.so"
    shutil.copy(library, built)
    shutil.copy(library, beside)
    return str(built), str(beside)


def loaded_from(root):
    env = {k: v for k, v in os.environ.items() if k != "STELLIX_LIBRARY"}
    env["PYTHONPATH"] = str(root / "python")
    probe = "import stellix; print(stellix.library()._name)"
    return subprocess.run([sys.executable, "-c", probe], check=True, capture_output=True,
                          text=True, env=env, cwd=str(root)).stdout.strip()


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="file names of Linux")
def test_a_stale_copy_never_shadows_a_fresh_build(tmp_path):
    library = os.environ["STELLIX_LIBRARY"]
    if _library._sanitized(library):
        pytest.skip("a library built with a sanitizer is never taken from a build directory")
    built, beside = fake_checkout(tmp_path, library)
    now = time.time()
    os.utime(beside, (now - 100, now - 100))
    os.utime(built, (now, now))
    assert loaded_from(tmp_path) == built
    # Copied after the last build, by hand: that copy is what the user wants.
    os.utime(beside, (now + 10, now + 10))
    assert loaded_from(tmp_path) == beside


def fake_program(path, says, mtime):
    path.parent.mkdir(parents=True)
    path.write_text("#!/bin/sh\necho %s \"$@\"\n" % says)
    path.chmod(0o755)
    os.utime(path, (mtime, mtime))


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="a shell script as the program")
def test_python_m_stellix_runs_the_program_from_its_own_folder_of_a_build(tmp_path):
    fake_checkout(tmp_path, os.environ["STELLIX_LIBRARY"])
    now = time.time()
    # The program's old place in the build tree is stale, however new.
    fake_program(tmp_path / "build" / "old" / "examples" / "stellix", "examples", now + 10)
    fake_program(tmp_path / "build" / "default" / "tools" / "stellix" / "stellix", "tools", now)
    env = {k: v for k, v in os.environ.items() if k != "STELLIX_LIBRARY"}
    env["PYTHONPATH"] = str(tmp_path / "python")

    def run():
        return subprocess.run([sys.executable, "-m", "stellix", "--version", "a b"],
                              capture_output=True, text=True, env=env, cwd=str(tmp_path))

    found = run()
    assert (found.returncode, found.stdout) == (0, "tools --version a b\n"), found.stderr
    os.remove(tmp_path / "build" / "default" / "tools" / "stellix" / "stellix")
    missing = run()
    assert missing.returncode == 2 and missing.stdout == ""
    assert "was not built" in missing.stderr and "STELLIX_BUILD_PROGRAM" in missing.stderr
