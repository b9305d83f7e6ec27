"""W1X1 writer and memory-mapped reader: byte layout, round trips, zero-copy views, bad files."""

import struct

import numpy as np
import pytest

from trevalon import w1x1

ENTRY = struct.Struct("<64sQII")


def entry(raw: bytes, k: int):
    name, offset, size, reserved = ENTRY.unpack_from(raw, 12 + 80 * k)
    return name, offset, size, reserved


def test_byte_layout_matches_the_engine_format(tmp_path):
    path = tmp_path / "m.w1x1"
    w = np.arange(6, dtype=np.float32).reshape(2, 3)
    w1x1.save(path, {"fc.weight": w, "fc.bias": np.array([7, -8], dtype=np.int8)}, version=7)
    raw = path.read_bytes()
    assert raw[:4] == b"W1X1"
    assert struct.unpack_from("<II", raw, 4) == (7, 2)

    name, offset, size, reserved = entry(raw, 0)
    assert name == b"fc.weight".ljust(64, b"\0") and reserved == 0
    assert struct.unpack_from("<BBHii", raw, offset) == (0, 0, 2, 2, 3)
    assert size == 4 + 8 + 24
    assert raw[offset + 12:offset + size] == w.tobytes()

    name, offset, size, _ = entry(raw, 1)
    assert name.rstrip(b"\0") == b"fc.bias"
    assert struct.unpack_from("<BBHi", raw, offset) == (1, 0, 1, 2)
    assert raw[offset + 8:offset + size] == b"\x07\xf8"


@pytest.mark.parametrize("dtype", ["float32", "int8", "int32", "int64", "uint8", "float16",
                                   "float64"])
def test_round_trip_every_dtype_and_rank(tmp_path, dtype):
    rng = np.random.default_rng(1)
    tensors = {
        "scalar": np.array(3, dtype=dtype),
        "empty": np.zeros((0, 5), dtype=dtype),
        "vector": (rng.standard_normal(13) * 50).astype(dtype),
        "cube": (rng.standard_normal((3, 4, 5)) * 50).astype(dtype),
    }
    w1x1.save(tmp_path / "t.w1x1", tensors)
    loaded = w1x1.load(tmp_path / "t.w1x1")
    assert list(loaded) == list(tensors)
    for name, expected in tensors.items():
        got = loaded[name]
        assert got.shape == expected.shape and got.dtype == expected.dtype, name
        np.testing.assert_array_equal(got, expected)


def test_writer_normalises_byte_order_and_memory_layout(tmp_path):
    base = np.arange(12, dtype=np.int32).reshape(3, 4)
    tensors = {
        "big_endian": base.astype(">i4"),
        "transposed": base.T,  # not C-contiguous
        "strided": base[:, ::2],
        "list": [[1.5, 2.5]],  # array-likes are accepted (float64)
    }
    w1x1.save(tmp_path / "t.w1x1", tensors)
    loaded = w1x1.load(tmp_path / "t.w1x1")
    for name, value in tensors.items():
        np.testing.assert_array_equal(loaded[name], np.asarray(value))
    assert loaded["big_endian"].dtype == np.dtype("<i4")


def test_records_start_on_64_byte_boundaries_and_views_are_aligned(tmp_path):
    # Odd sizes and ranks so that the unpadded layout would be misaligned.
    tensors = {f"t{i}": np.ones((i + 1,) * (i % 4), dtype=np.int8) for i in range(9)}
    w1x1.save(tmp_path / "t.w1x1", tensors)
    loaded = w1x1.load(tmp_path / "t.w1x1")
    for name, e in loaded.entries.items():
        assert e.data_offset % 64 == 0, name
        assert loaded[name].ctypes.data % 64 == 0, name


def test_load_maps_the_file_without_copying(tmp_path):
    path = tmp_path / "t.w1x1"
    w1x1.save(path, {"a": np.zeros(16, np.float32), "b": np.zeros((4, 4), np.float32)})
    loaded = w1x1.load(path)
    a, b = loaded["a"], loaded["b"]
    assert not a.flags.writeable
    with pytest.raises(ValueError):
        a[0] = 1.0
    assert np.shares_memory(a, loaded.mmap) and np.shares_memory(b, loaded.mmap)

    # A change to the file shows through the views that are already open: they are the file.
    offset = loaded.entries["b"].data_offset
    with open(path, "r+b") as f:
        f.seek(offset + 4 * 5)
        f.write(np.float32(2.5).tobytes())
    assert b[1, 1] == 2.5


def test_reader_accepts_what_the_engine_accepts(tmp_path):
    # Hand-made file: unaligned records, two names sharing a record, a repeated name
    # (the later entry wins), a 64-byte name cut to 63 bytes, and any version number.
    rec_a = struct.pack("<BBHi", 0, 0, 1, 2) + np.array([1, 2], "<f4").tobytes()
    rec_b = struct.pack("<BBH", 2, 0, 0) + np.int32(-9).tobytes()
    names = [b"a", b"alias", b"dup", b"dup", b"n" * 64]
    header_end = 12 + 80 * len(names)
    off_a, off_b = header_end + 1, header_end + 1 + len(rec_a)
    # The first "dup" points past the end of the file: only the entry that wins is read.
    index = [(off_a, rec_a), (off_a, rec_a), (2**40, rec_a), (off_b, rec_b), (off_b, rec_b)]
    raw = struct.pack("<4sII", b"W1X1", 0xDEADBEEF, len(names))
    for name, (offset, rec) in zip(names, index):
        raw += ENTRY.pack(name, offset, len(rec), 12345)
    raw += b"\xff" + rec_a + rec_b
    (tmp_path / "h.w1x1").write_bytes(raw)

    loaded = w1x1.load(tmp_path / "h.w1x1")
    assert loaded.version == 0xDEADBEEF
    assert sorted(loaded) == ["a", "alias", "dup", "n" * 63]
    np.testing.assert_array_equal(loaded["alias"], [1.0, 2.0])
    assert loaded["dup"].shape == () and loaded["dup"] == -9
    assert loaded["n" * 63] == -9


def test_empty_file_of_no_tensors(tmp_path):
    w1x1.save(tmp_path / "e.w1x1", {})
    loaded = w1x1.load(tmp_path / "e.w1x1")
    assert len(loaded) == 0 and loaded.nbytes == 0 and loaded.file_size == 12


@pytest.mark.parametrize("name, value, message", [
    ("x" * 64, np.zeros(1, np.float32), "at most 63"),
    ("\u00e9" * 32, np.zeros(1, np.float32), "64 bytes long"),  # 32 characters, 64 bytes
    ("a\0b", np.zeros(1, np.float32), "NUL"),
    ("", np.zeros(1, np.float32), "empty"),
    ("flags", np.zeros(3, bool), "dtype bool"),
    ("pairs", np.zeros(3, np.int16), "dtype int16"),
    ("waves", np.zeros(3, np.complex64), "dtype complex64"),
    # 4 GiB of data without allocating it: the size is checked before any conversion.
    ("huge", np.broadcast_to(np.float32(0), (2**30,)), "at most 4294967295"),
])
def test_save_rejects_bad_tensors_and_writes_nothing(tmp_path, name, value, message):
    path = tmp_path / "bad.w1x1"
    with pytest.raises(ValueError, match=message) as info:
        w1x1.save(path, {"ok": np.zeros(2, np.float32), name: value})
    if name:
        assert repr(name) in str(info.value)
    assert not path.exists()


def test_save_accepts_a_63_byte_name_and_rejects_a_bad_version(tmp_path):
    w1x1.save(tmp_path / "a.w1x1", {"y" * 63: np.zeros(1, np.uint8)})
    assert list(w1x1.load(tmp_path / "a.w1x1")) == ["y" * 63]
    with pytest.raises(ValueError, match="version"):
        w1x1.save(tmp_path / "b.w1x1", {}, version=2**32)


def _valid_file(tmp_path):
    path = tmp_path / "w.w1x1"
    w1x1.save(path, {"w": np.arange(6, dtype=np.float32).reshape(2, 3)})
    raw = bytearray(path.read_bytes())
    _, offset, size, _ = entry(raw, 0)
    return path, raw, offset, size


def _set_entry(raw, offset=None, size=None):
    name, old_offset, old_size, reserved = ENTRY.unpack_from(raw, 12)
    ENTRY.pack_into(raw, 12, name, old_offset if offset is None else offset,
                    old_size if size is None else size, reserved)


CORRUPTIONS = [
    # (what, patch(raw, record_offset, record_size) -> bytes, expected message)
    ("bad magic", lambda r, o, s: b"W1X2" + r[4:], "Bad magic in {path} (expected W1X1)"),
    ("short header", lambda r, o, s: r[:11], "shorter than the 12-byte header"),
    ("index past end", lambda r, o, s: r[:8] + struct.pack("<I", 1000) + r[12:],
     "index of 1000 entries"),
    ("record past end", lambda r, o, s: r[:o + s - 1], "runs past the end of the file"),
    ("offset past end", lambda r, o, s: (_set_entry(r, offset=2**40), r)[1],
     "runs past the end of the file"),
    ("record shorter than its head", lambda r, o, s: (_set_entry(r, size=3), r)[1],
     "shorter than the 4-byte record head"),
    ("dims past record", lambda r, o, s: r[:o + 2] + struct.pack("<H", 40) + r[o + 4:],
     "40 dimensions need 164 bytes"),
    ("data size mismatch", lambda r, o, s: (_set_entry(r, size=s - 4), r)[1],
     "20 data bytes, but shape [2, 3] of float32 needs 24"),
    ("dim changed", lambda r, o, s: r[:o + 4] + struct.pack("<i", 3) + r[o + 8:],
     "24 data bytes, but shape [3, 3] of float32 needs 36"),
    ("negative dim", lambda r, o, s: r[:o + 4] + struct.pack("<i", -2) + r[o + 8:],
     "negative dimension"),
    ("dtype code", lambda r, o, s: r[:o] + b"\x09" + r[o + 1:], "unknown dtype code 9"),
    ("ordering code", lambda r, o, s: r[:o + 1] + b"\x01" + r[o + 2:], "unknown ordering code 1"),
]


@pytest.mark.parametrize("what, patch, message", CORRUPTIONS, ids=[c[0] for c in CORRUPTIONS])
def test_load_rejects_corrupt_files_naming_file_and_tensor(tmp_path, what, patch, message):
    path, raw, offset, size = _valid_file(tmp_path)
    path.write_bytes(bytes(patch(raw, offset, size)))
    with pytest.raises(w1x1.W1X1Error) as info:
        w1x1.load(path)
    text = str(info.value)
    assert message.format(path=path) in text
    assert str(path) in text
    if what not in ("bad magic", "short header", "index past end"):
        assert "tensor 'w'" in text


ENGINE_LOADS = ("data size mismatch", "dim changed", "dtype code", "ordering code")


@pytest.mark.parametrize("what, patch, message", CORRUPTIONS, ids=[c[0] for c in CORRUPTIONS])
def test_lenient_load_sets_bad_records_aside_and_tells_which_the_engine_refuses(tmp_path, what,
                                                                               patch, message):
    path, raw, offset, size = _valid_file(tmp_path)
    path.write_bytes(bytes(patch(raw, offset, size)))
    if what in ("bad magic", "short header", "index past end"):
        with pytest.raises(w1x1.W1X1Error):
            w1x1.load(path, strict=False)
        return
    tensors = w1x1.load(path, strict=False)
    assert "w" not in tensors and list(tensors.errors) == ["w"]
    error = tensors.errors["w"]
    assert message in str(error) and error.tensor == "w"
    assert error.engine_fails == (what not in ENGINE_LOADS)


def test_load_rejects_a_name_that_is_not_utf8_and_a_missing_file(tmp_path):
    path, raw, _, _ = _valid_file(tmp_path)
    raw[12] = 0xFF
    path.write_bytes(bytes(raw))
    with pytest.raises(w1x1.W1X1Error, match="index entry 0 has a name that is not UTF-8"):
        w1x1.load(path)
    with pytest.raises(FileNotFoundError):
        w1x1.load(tmp_path / "missing.w1x1")
