"""What the drivers in Python share: reading decisions out of the input, and
buffers described by it (served by _fuzz.Exporter) with the rules their
consumers must follow written out as the oracle."""

import math
import struct

from _fuzz import Exporter

# Clean refusals: anything else leaving a call (SystemError, an internal
# failure) is a fault, as is a wrong answer.
REFUSALS = (TypeError, ValueError, BufferError, OverflowError, IndexError, MemoryError)


class Reader:
    """Decisions from the input, one byte at a time; zeros once it runs out."""

    def __init__(self, data):
        self.data = data
        self.at = 0

    def byte(self):
        if self.at >= len(self.data):
            return 0
        self.at += 1
        return self.data[self.at - 1]

    def chunk(self, n):
        part = self.data[self.at : self.at + n]
        self.at += len(part)
        return part


# Item formats: the native ones the module reads, byte orders spelled every
# way, and formats it must refuse; None is an exporter that names none.
FORMATS = [
    b"d", b"<d", b"@d", b"=d", b">d", b"!d", b"f", b"e", b"q", b"<q", b"l", b"Q", b"L", b"i", b"I",
    b"h", b"H", b"b", b"B", b"n", b"N", b"?", b"<?", b">?", b"dd", b"3d", b"", b"x", b"P", b"c",
    b"T{d:x:}", None,
]
# Lengths beyond a leaf of the index's tree, and, beside a dimension of
# zero, lengths whose products overflow.
LARGE = [13, 25, 100, 1000, 4097]
HUGE = [2**31, 2**32 + 3, 2**62, 2**63 - 1, 2**61 + 1]


def native_code(fmt):
    """The item code of a format naming one item in native (little-endian)
    order, else None; an exporter naming no format serves bytes. A format is
    a C string: it ends at its first NUL."""
    fmt = b"B" if fmt is None else fmt.split(b"\0")[0]
    if fmt[:1] in (b"@", b"=", b"<"):
        fmt = fmt[1:]
    return chr(fmt[0]) if len(fmt) == 1 else None


def c_contiguous(shape, strides, itemsize):
    """The interpreter's own rule: empty, or every dimension longer than one
    at the packed stride."""
    if math.prod(shape) == 0:
        return True
    step = itemsize
    for n, s in reversed(list(zip(shape, strides))):
        if n > 1 and s != step:
            return False
        step *= n
    return True


class Described:
    """A buffer as the input describes it, and its exporter."""

    def __init__(self, r):
        pick = r.byte()
        if pick < 0xF0:
            self.format = FORMATS[pick % len(FORMATS)]
        else:
            self.format = r.chunk(r.byte() % 5)
        try:
            natural = struct.calcsize(self.format.decode("latin-1")) if self.format else 1
        except (struct.error, UnicodeDecodeError):
            natural = 8
        size = r.byte()
        self.itemsize = size % 16 + 1 if size >= 0xE0 or natural == 0 else natural
        self.shape = []
        for _ in range(r.byte() % 4):
            b = r.byte()
            self.shape.append(HUGE[b % len(HUGE)] if b >= 0xF8 else LARGE[b % len(LARGE)] if b >= 0xF0 else b % 12)
        # Huge only beside an empty dimension; some thousands of items at most.
        if 0 not in self.shape:
            self.shape = [n if n < HUGE[0] else 1 for n in self.shape]
            while math.prod(self.shape) > 20000:
                self.shape[self.shape.index(max(self.shape))] = 1
        mode = r.byte()
        if mode % 4 == 0:
            self.given_strides = None
            self.strides, step = [], self.itemsize
            for n in reversed(self.shape):
                self.strides.insert(0, step)
                step *= n or 1
        else:
            self.strides = []
            for _ in self.shape:
                b = r.byte()
                unit = self.itemsize if mode % 4 == 1 else 1
                self.strides.append(((b >> 1) - 64) * unit if b & 1 else (b % 4) * self.itemsize)
            self.given_strides = tuple(self.strides)
        reach_lo = sum(min(0, (n - 1) * s) for n, s in zip(self.shape, self.strides) if n)
        reach_hi = sum(max(0, (n - 1) * s) for n, s in zip(self.shape, self.strides) if n)
        empty = math.prod(self.shape) == 0
        skew = r.byte()
        self.offset = (0 if empty else -reach_lo) + (skew % 8 if skew & 0x80 else 0)
        length = self.offset + (0 if empty else reach_hi + self.itemsize) + r.byte() % 3
        seed = r.chunk(r.byte() % 64 + 1) or b"\0"
        self.memory = (seed * (length // len(seed) + 1))[:length]
        self.readonly = bool(r.byte() & 1)
        self.exporter = Exporter(
            self.memory, self.offset, self.format, self.itemsize, tuple(self.shape), self.given_strides, self.readonly
        )

    def __repr__(self):
        return (
            f"Described(format={self.format!r}, itemsize={self.itemsize}, shape={self.shape}, "
            f"strides={self.strides}, offset={self.offset}, readonly={self.readonly}, length={len(self.memory)})"
        )

    @property
    def ndim(self):
        return len(self.shape)

    def code(self):
        return native_code(self.format)

    def has_code(self, codes):
        code = self.code()
        return code is not None and code in codes

    def contiguous(self):
        return c_contiguous(self.shape, self.strides, self.itemsize)

    def read(self, fmt, *index):
        """The item at that index, read from the memory as given."""
        at = self.offset + sum(i * s for i, s in zip(index, self.strides))
        return struct.unpack_from(fmt, self.memory, at)[0]

    def rows(self, cols):
        """The rows of doubles a rows-of-`cols` argument must read as packed
        bytes, or None where it must refuse the buffer."""
        if self.code() != "d" or self.itemsize != 8:
            return None
        if self.ndim == 2 and self.shape[1] == cols:
            return b"".join(
                self.memory[a : a + 8]
                for i in range(self.shape[0])
                for j in range(cols)
                for a in [self.offset + i * self.strides[0] + j * self.strides[1]]
            )
        if self.ndim == 1 and self.shape[0] % cols == 0 and self.strides[0] == 8:
            return self.memory[self.offset : self.offset + 8 * self.shape[0]]
        return None
