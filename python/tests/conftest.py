"""Shared fixtures of the korvex_graph_lib module tests.

The module is imported from wherever the interpreter finds it: a build
directory on PYTHONPATH or a pip installation. The scoring-graph documents
here are small: one that every build accepts and one that its YAML reader
refuses.
"""

import os
import pathlib

import pytest

# Debian's compiled packages serve only its own interpreter: scripts/test.sh
# also runs this suite on other CPython versions, where the tests that need
# one of them are skipped, and only those.
try:
    import numpy
except ImportError:
    numpy = None

REPO_ROOT = pathlib.Path(__file__).resolve().parents[2]

# Messages with equal field shapes (pkg.A and pkg.C are equivalent, pkg.B
# and pkg.D are not) so that minimisation has work to report: its progress
# calls are (0, 2), (1, 2), (2, 2).
VALID_DOCUMENT = """\
entries: [pkg.Root]
messages:
  pkg.Root:
    fields:
      - {number: 1, type: message, child: pkg.A}
      - {number: 2, type: message, child: pkg.B, label: repeated}
      - {number: 3, type: message, child: pkg.C}
      - {number: 4, type: enum, range: [0, 3], label: repeated, packed: true}
  pkg.A:
    fields:
      - {number: 1, type: int32}
      - {number: 2, type: message, child: pkg.A}
  pkg.B:
    fields:
      - {number: 1, type: string}
      - {number: 2, type: message, child: pkg.C}
  pkg.C:
    fields:
      - {number: 1, type: int32}
      - {number: 2, type: message, child: pkg.C}
  pkg.D:
    fields:
      - {number: 1, type: bytes}
      - {number: 2, type: message, child: pkg.A}
"""

# Unterminated flow sequence: a reading error, reported for its document.
INVALID_DOCUMENT = "bad: [\n"

NO_ENTRIES_MESSAGE = "no scoring-graph entries found in provided YAML strings"

# Set by the test script when the module is an AddressSanitizer build loaded
# with the sanitizer runtime preloaded.
SANITIZED = bool(os.environ.get("KORVEX_SANITIZED"))

needs_numpy = pytest.mark.skipif(numpy is None, reason="numpy is not installed")


def numpy_cases(make, width=1):
    """The parameter cases make(numpy) returns; where numpy is missing, one
    skipped case of `width` values stands for them all."""
    if numpy is None:
        return [pytest.param(*[None] * width, id="numpy", marks=needs_numpy)]
    return make(numpy)


@pytest.fixture(scope="session")
def kx():
    import korvex_graph_lib

    return korvex_graph_lib


@pytest.fixture(scope="session")
def valid_documents():
    return [VALID_DOCUMENT]


@pytest.fixture(scope="session")
def baseline(kx, valid_documents):
    """The result of a plain build of the valid documents, both dumps on."""
    return kx.build_graph(valid_documents, True, True)
