# The binding is tested from the source tree, against the library that
# STELLIX_LIBRARY names (CTest points it at the freshly built one).
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "python"))
