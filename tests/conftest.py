"""Shared test setup.

The tests exercise the installed package, whose quenlith/ directory holds the
compiled extension. The source tree's quenlith/ directory has no extension in
it, so when the repository root is on sys.path (as with `python -m pytest` run
from the root) it would shadow the installed package and every import of
quenlith would fail. Unless the source tree holds a build of its own, its root
is taken off sys.path before any test module imports quenlith.
"""

import sys
from pathlib import Path

_REPOSITORY_ROOT = Path(__file__).resolve().parent.parent


def _has_compiled_extension(package: Path) -> bool:
    return any(package.glob("quenlith_runtime.*.so")) or any(package.glob("quenlith_runtime.*.pyd"))


def _is_repository_root(entry: str) -> bool:
    try:
        return Path(entry or ".").resolve() == _REPOSITORY_ROOT
    except OSError:
        return False


if not _has_compiled_extension(_REPOSITORY_ROOT / "quenlith"):
    sys.path[:] = [entry for entry in sys.path if not _is_repository_root(entry)]
