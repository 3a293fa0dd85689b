"""What `vrim info` reads from an index file's header and meta section
without the library's help: the stored flags, field boosts and pipeline."""

from __future__ import annotations

import struct
from dataclasses import dataclass

from .errors import CliError

_HEADER = struct.Struct("<4sHHIIIIddIIIIII")
_POSITIONS_FLAG = 1


@dataclass
class IndexHeader:
    version: int
    positions: bool
    language: str
    fields: list[tuple[str, float]]
    pipeline: list[str]


class _Reader:
    def __init__(self, data: bytes, pos: int, end: int) -> None:
        self.data, self.pos, self.end = data, pos, end

    def varint(self) -> int:
        value, shift = 0, 0
        while True:
            if self.pos >= self.end or shift > 63:
                raise ValueError("truncated meta section")
            byte = self.data[self.pos]
            self.pos += 1
            value |= (byte & 0x7F) << shift
            if byte < 0x80:
                return value
            shift += 7

    def string(self) -> str:
        size = self.varint()
        if size > self.end - self.pos:
            raise ValueError("truncated meta section")
        text = self.data[self.pos:self.pos + size].decode("utf-8")
        self.pos += size
        return text

    def f64(self) -> float:
        if self.end - self.pos < 8:
            raise ValueError("truncated meta section")
        (value,) = struct.unpack_from("<d", self.data, self.pos)
        self.pos += 8
        return float(value)


def read_header(data: bytes, path: str) -> IndexHeader:
    """The header and meta section of an index the library has loaded."""
    try:
        (magic, version, flags, _, _, field_count, _, _, _, meta, docs, *_
         ) = _HEADER.unpack_from(data, 0)
        if magic != b"VRIM" or not _HEADER.size <= meta <= docs <= len(data):
            raise ValueError("bad header")
        reader = _Reader(data, meta, docs)
        language = reader.string()
        names = [reader.string() for _ in range(field_count)]
        boosts = [reader.f64() for _ in range(field_count)]
        pipeline = [reader.string() for _ in range(reader.varint())]
    except (ValueError, struct.error, UnicodeDecodeError) as e:
        raise CliError(f"{path}: unreadable index header: {e}") from None
    return IndexHeader(version, bool(flags & _POSITIONS_FLAG), language,
                       list(zip(names, boosts)), pipeline)
