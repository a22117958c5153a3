"""The program's version, from its one home: project() in CMakeLists.txt."""

import os
import re

_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def _read_version():
    with open(os.path.join(_ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        found = re.search(r"^project\(korvane VERSION ([0-9.]+)", f.read(), re.M)
    if not found:
        raise RuntimeError("CMakeLists.txt has no project(korvane VERSION ...)")
    return found.group(1)


VERSION = _read_version()
BANNER = "Korvane " + VERSION
