# The binding is tested from the source tree, against the library that
# STELLIX_LIBRARY names (CTest points it at the freshly built one).
import os
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "python"))


@pytest.fixture
def small_disk(tmp_path):
    """A directory on a 64 KiB tmpfs: a real full disk. Mounting needs root;
    where it is refused, the test is skipped."""
    disk = tmp_path / "disk"
    disk.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(disk)],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if mounted.returncode != 0:
        pytest.skip("cannot mount a tmpfs here (needs root)")
    try:
        yield disk
    finally:
        subprocess.run(["umount", "-l", str(disk)], check=False)
