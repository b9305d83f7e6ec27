"""Read and write W1X1 weights files with numpy.

Layout (all integers little-endian, offsets absolute from the start of the file):

    header   12 bytes   b"W1X1", version u32, num_entries u32
    index    80 bytes   per entry: name (64 bytes, NUL-terminated, at most 63 used),
                        record offset u64, record size u32, reserved u32 (0)
    records             per tensor: dtype code u8, ordering code u8, ndim u16,
                        ndim x int32 dims (outermost first), raw element bytes

The engine does not interpret the two codes; this module uses:

    dtype code   numpy dtype          ordering code   meaning
    0            float32              0               row-major (C order)
    1            int8
    2            int32
    3            int64
    4            uint8
    5            float16
    6            float64

`save` places every record so that its element data starts at a 64-byte aligned
file offset, which lets `load` hand out aligned zero-copy views of a memory map.
`load` accepts any layout the engine accepts (unaligned records, shared records;
a repeated name keeps the later entry) but checks every size against the file.
"""

from __future__ import annotations

import os
import struct
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Iterator, NoReturn

import numpy as np

MAGIC = b"W1X1"
HEADER_SIZE = 12
ENTRY_SIZE = 80
NAME_FIELD_SIZE = 64
MAX_NAME_BYTES = NAME_FIELD_SIZE - 1
DATA_ALIGNMENT = 64
MAX_RECORD_SIZE = 2**32 - 1
ROW_MAJOR = 0

DTYPE_CODES = {
    np.dtype("float32"): 0,
    np.dtype("int8"): 1,
    np.dtype("int32"): 2,
    np.dtype("int64"): 3,
    np.dtype("uint8"): 4,
    np.dtype("float16"): 5,
    np.dtype("float64"): 6,
}
CODE_DTYPES = {code: dtype.newbyteorder("<") for dtype, code in DTYPE_CODES.items()}

_HEADER = struct.Struct("<4sII")
_ENTRY = struct.Struct("<64sQII")
_RECORD_HEAD = struct.Struct("<BBH")


class W1X1Error(ValueError):
    """A weights file whose bytes do not describe a valid set of tensors. `engine_fails` is False
    for faults the engine's reader does not check (codes, a data size that disagrees with the
    shape): it loads such a record and leaves the layer to judge its bytes."""

    def __init__(self, message: str, tensor: str | None = None, engine_fails: bool = True):
        super().__init__(message)
        self.tensor = tensor
        self.engine_fails = engine_fails


@dataclass(frozen=True)
class Entry:
    """Where one tensor lives in the file and how it is coded."""

    offset: int
    record_size: int
    dtype_code: int
    ordering_code: int
    data_offset: int


def _check_name(name: object) -> bytes:
    if not isinstance(name, str):
        raise ValueError(f"tensor name {name!r} is not a string")
    raw = name.encode("utf-8")
    if not raw:
        raise ValueError("tensor name is empty")
    if b"\0" in raw:
        raise ValueError(f"tensor name {name!r} contains a NUL byte")
    if len(raw) > MAX_NAME_BYTES:
        raise ValueError(
            f"tensor name {name!r} is {len(raw)} bytes long; at most {MAX_NAME_BYTES} fit")
    return raw


def _check_array(name: str, value: object) -> np.ndarray:
    array = np.asarray(value)
    if array.dtype.newbyteorder("=") not in DTYPE_CODES:
        supported = ", ".join(str(d) for d in DTYPE_CODES)
        raise ValueError(f"tensor {name!r} has dtype {array.dtype}; supported: {supported}")
    for dim in array.shape:
        if dim > 0x7FFFFFFF:
            raise ValueError(f"tensor {name!r} has dimension {dim}; at most 2147483647 fits")
    return array


def _record_head(array: np.ndarray) -> bytes:
    code = DTYPE_CODES[array.dtype.newbyteorder("=")]
    head = _RECORD_HEAD.pack(code, ROW_MAJOR, array.ndim)
    return head + struct.pack(f"<{array.ndim}i", *array.shape)


def _little_endian_c_order(array: np.ndarray) -> np.ndarray:
    # np.asarray keeps 0-d arrays 0-d (np.ascontiguousarray would make them 1-d).
    return np.asarray(array, dtype=array.dtype.newbyteorder("<"), order="C")


def _align_up(value: int, alignment: int) -> int:
    return (value + alignment - 1) // alignment * alignment


def save(path: str | os.PathLike, tensors: Mapping[str, object], version: int = 1) -> None:
    """Write `tensors` (name -> array-like) to a W1X1 file at `path`."""
    if not 0 <= version <= 0xFFFFFFFF:
        raise ValueError(f"version {version} does not fit an unsigned 32-bit field")
    if len(tensors) > 0xFFFFFFFF:
        raise ValueError("too many tensors for one file")

    # Validate everything and lay the file out before writing a byte.
    plan = []
    cursor = HEADER_SIZE + ENTRY_SIZE * len(tensors)
    written: dict[int, tuple[int, int]] = {}  # id of a value given twice -> its record
    for name, value in tensors.items():
        raw_name = _check_name(name)
        if id(value) in written:  # one array under two names (tied tables): one record
            plan.append((raw_name, None, b"", *written[id(value)]))
            continue
        array = _check_array(name, value)  # converted only when written: no copy yet
        head = _record_head(array)
        record_size = len(head) + array.nbytes
        if record_size > MAX_RECORD_SIZE:
            raise ValueError(
                f"tensor {name!r} needs a {record_size}-byte record; at most {MAX_RECORD_SIZE} fit")
        offset = _align_up(cursor + len(head), DATA_ALIGNMENT) - len(head)
        plan.append((raw_name, array, head, offset, record_size))
        written[id(value)] = (offset, record_size)
        cursor = offset + record_size

    with open(path, "wb") as f:
        f.write(_HEADER.pack(MAGIC, version, len(plan)))
        for raw_name, _, _, offset, record_size in plan:
            f.write(_ENTRY.pack(raw_name, offset, record_size, 0))
        for _, array, head, offset, _ in plan:
            if array is None:
                continue
            f.write(b"\0" * (offset - f.tell()))
            f.write(head)
            if array.nbytes:
                data = _little_endian_c_order(array)
                f.write(memoryview(data.reshape(-1)).cast("B"))


class WeightsFile(Mapping):
    """A read-only mapping name -> numpy array whose data stays in a memory map of the file.

    The arrays are views (no copy) into `mmap`, the whole file as read-only bytes. With
    strict=False a bad record does not stop the reading: it is left out of the mapping and its
    error kept in `errors` (name -> W1X1Error); a bad header or index still raises.
    """

    def __init__(self, path: str | os.PathLike, strict: bool = True):
        self.path = os.fspath(path)
        self.file_size = os.path.getsize(self.path)
        if self.file_size < HEADER_SIZE:
            raise W1X1Error(
                f"{self.path}: file is {self.file_size} bytes, shorter than the 12-byte header")
        self.mmap = np.memmap(self.path, dtype=np.uint8, mode="r")
        magic, self.version, count = _HEADER.unpack(self.mmap[:HEADER_SIZE].tobytes())
        if magic != MAGIC:
            raise W1X1Error(f"Bad magic in {self.path} (expected W1X1)")
        index_end = HEADER_SIZE + ENTRY_SIZE * count
        if index_end > self.file_size:
            raise W1X1Error(
                f"{self.path}: index of {count} entries needs {index_end} bytes, "
                f"file has {self.file_size}")
        index: dict[str, tuple[int, int]] = {}
        for k in range(count):
            start = HEADER_SIZE + ENTRY_SIZE * k
            raw_name, offset, size, _ = _ENTRY.unpack(self.mmap[start:start + ENTRY_SIZE].tobytes())
            index[self._entry_name(k, raw_name)] = (offset, size)  # a repeated name: later wins
        self.entries: dict[str, Entry] = {}
        self._arrays: dict[str, np.ndarray] = {}
        self.errors: dict[str, W1X1Error] = {}
        for name, (offset, size) in index.items():
            try:
                self.entries[name], self._arrays[name] = self._read_record(name, offset, size)
            except W1X1Error as e:
                if strict:
                    raise
                self.errors[name] = e

    def _entry_name(self, k: int, raw_name: bytes) -> str:
        # The engine treats byte 63 as NUL whatever it holds.
        raw_name = raw_name[:MAX_NAME_BYTES].split(b"\0", 1)[0]
        try:
            return raw_name.decode("utf-8")
        except UnicodeDecodeError:
            raise W1X1Error(f"{self.path}: index entry {k} has a name that is not UTF-8: "
                            f"{raw_name!r}") from None

    def _read_record(self, name: str, offset: int, size: int) -> tuple[Entry, np.ndarray]:
        where = f"{self.path}: tensor {name!r}"

        def fail(what: str, engine_fails: bool = True) -> NoReturn:
            raise W1X1Error(f"{where}: {what}", name, engine_fails)

        if size < _RECORD_HEAD.size:
            fail(f"record size {size} is shorter than the 4-byte record head")
        if offset + size > self.file_size:
            fail(f"record at offset {offset} of {size} bytes runs past the end of the file "
                 f"({self.file_size} bytes)")
        dtype_code, ordering, ndim = _RECORD_HEAD.unpack(
            self.mmap[offset:offset + _RECORD_HEAD.size].tobytes())
        head_size = _RECORD_HEAD.size + 4 * ndim
        if head_size > size:
            fail(f"{ndim} dimensions need {head_size} bytes, record has {size}")
        shape = struct.unpack(f"<{ndim}i", self.mmap[offset + 4:offset + head_size].tobytes())
        if any(dim < 0 for dim in shape):
            fail(f"negative dimension in shape {list(shape)}")
        if dtype_code not in CODE_DTYPES:
            fail(f"unknown dtype code {dtype_code}", engine_fails=False)
        if ordering != ROW_MAJOR:
            fail(f"unknown ordering code {ordering}", engine_fails=False)
        dtype = CODE_DTYPES[dtype_code]
        expected = int(np.prod(shape, dtype=object)) * dtype.itemsize
        data_start = offset + head_size
        data_size = size - head_size
        if data_size != expected:
            fail(f"{data_size} data bytes, but shape {list(shape)} of {dtype.name} needs "
                 f"{expected}", engine_fails=False)
        array = self.mmap[data_start:data_start + data_size].view(dtype).reshape(shape)
        array = array.view(np.ndarray)  # a plain view; memmap keeps the file mapped through .base
        return Entry(offset, size, dtype_code, ordering, data_start), array

    def __getitem__(self, name: str) -> np.ndarray:
        return self._arrays[name]

    def __iter__(self) -> Iterator[str]:
        return iter(self._arrays)

    def __len__(self) -> int:
        return len(self._arrays)

    @property
    def nbytes(self) -> int:
        """Total element bytes of all tensors (shared records counted once per name)."""
        return sum(a.nbytes for a in self._arrays.values())

    def __repr__(self) -> str:
        return f"WeightsFile({self.path!r}, {len(self)} tensors)"


def load(path: str | os.PathLike, strict: bool = True) -> WeightsFile:
    """Open a W1X1 file; raises OSError when it cannot be read and W1X1Error when it is invalid
    (with strict=False, bad records are kept aside in `errors` instead; see WeightsFile)."""
    return WeightsFile(path, strict)
