"""How much of an input file is ever read, and what is said when there is more.

Every input is read with a bound, so that an endless one (a pipe, a device,
/dev/zero) or a compression bomb fails at once instead of growing without
end: reading stops at the bound plus one byte. The bound of a YAML
document, of a .tar.gz member, of a payload, and of anything read from a
file that is not a regular one, is the caller's limit (max_input_size,
--max-input-size; 256 MiB by default); a .tar.gz may decompress to four
times the limit in all. A descriptor set, also one decompressed from a
.pb.gz, cannot exceed 2 GiB, as no protobuf message can. The default and
the wording are the archive readers' (_source), so that every verb says
the same.
"""

from __future__ import annotations

from typing import BinaryIO

from ._source import DEFAULT_MAX_INPUT_SIZE, check_limit, describe_size, too_large

__all__ = ["DEFAULT_MAX_INPUT_SIZE", "MAX_SET_SIZE", "TooLarge", "check_limit", "describe_size", "over_limit",
           "read_bounded"]

MAX_SET_SIZE = (1 << 31) - 1
"""The largest descriptor set: protobuf's own limit on a message."""

_CHUNK = 1 << 20


def over_limit(name: str, limit: int, what: str = "") -> str:
    """The one line said of an input larger than the limit; `what` names the
    part of it (a tar member)."""
    return f"{name}: {what}{too_large(limit)}"


class TooLarge(Exception):
    """More than the bound: `data` gives what was read, the bound plus one
    byte, for a caller that may go on reading (joined only then)."""

    def __init__(self, chunks: list[bytes]) -> None:
        super().__init__()
        self.chunks = chunks

    @property
    def data(self) -> bytes:
        return b"".join(self.chunks)


def read_bounded(file: BinaryIO, bound: int, first: int = _CHUNK) -> bytes:
    """Reads `file` to its end, if that is at most `bound` bytes; TooLarge
    otherwise, having read the bound plus one byte. `first` sizes the first
    read (a regular file's size, so that it is read in one)."""
    chunks: list[bytes] = []
    total, want = 0, max(first, 1)
    while True:
        chunk = file.read(min(want, bound + 1 - total))
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)
        total += len(chunk)
        if total > bound:
            raise TooLarge(chunks)
        want = _CHUNK
