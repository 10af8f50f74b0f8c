"""BinaryCIF files decoded into gemmi's mmCIF documents (gemmi reads text CIF only).

BinaryCIF is mmCIF stored column by column with MessagePack: each column is an array of
bytes and the list of encodings that made it, undone here in reverse order. The result is
the text form's document, so everything gemmi does with an mmCIF file applies unchanged.
"""

from __future__ import annotations

from typing import Any

import gemmi
import numpy as np

# ByteArray's type codes (little-endian).
_BYTE_TYPES = {1: "<i1", 2: "<i2", 3: "<i4", 4: "<u1", 5: "<u2", 6: "<u4", 32: "<f4", 33: "<f8"}


def is_binary_cif(data: bytes) -> bool:
    """Whether data starts like a BinaryCIF file: a MessagePack map (the format has no magic number)."""
    return bool(data) and (0x80 <= data[0] <= 0x8F or data[0] in (0xDE, 0xDF))


def _decode(data: Any, encodings: list[dict]) -> np.ndarray | list[str]:
    for encoding in reversed(encodings):
        kind = encoding["kind"]
        if kind == "ByteArray":
            data = np.frombuffer(data, dtype=_BYTE_TYPES[encoding["type"]])
        elif kind == "FixedPoint":
            data = np.asarray(data, dtype=np.float64) / encoding["factor"]
        elif kind == "IntervalQuantization":
            low, high, steps = encoding["min"], encoding["max"], encoding["numSteps"]
            data = low + (high - low) / (steps - 1) * np.asarray(data, dtype=np.float64)
        elif kind == "RunLength":
            pairs = np.asarray(data, dtype=np.int64).reshape(-1, 2)
            data = np.repeat(pairs[:, 0], pairs[:, 1])
        elif kind == "Delta":
            data = np.cumsum(np.asarray(data, dtype=np.int64)) + encoding["origin"]
        elif kind == "IntegerPacking":
            data = _unpack_integers(np.asarray(data, dtype=np.int64), encoding)
        elif kind == "StringArray":
            offsets = _decode(encoding["offsets"], encoding["offsetEncoding"])
            text = encoding["stringData"]
            strings = [text[a:b] for a, b in zip(offsets[:-1], offsets[1:])]
            indices = _decode(data, encoding["dataEncoding"])
            data = [strings[i] if i >= 0 else "" for i in indices]
        else:
            raise ValueError(f"unknown BinaryCIF encoding {kind!r}")
    return data


def _unpack_integers(packed: np.ndarray, encoding: dict) -> np.ndarray:
    """Values too large for the packed width are written as runs of its limit plus a remainder."""
    bits = 8 * encoding["byteCount"]
    if encoding["isUnsigned"]:
        upper, lower = 2**bits - 1, None
    else:
        upper, lower = 2 ** (bits - 1) - 1, -(2 ** (bits - 1))
    saturated = (packed == upper) if lower is None else (packed == upper) | (packed == lower)
    if not saturated.any():
        return packed
    ends = np.flatnonzero(~saturated)  # each value ends at its first unsaturated element
    totals = np.cumsum(packed)[ends]
    return np.diff(totals, prepend=0)


def _text(values: np.ndarray | list, mask: np.ndarray | None) -> list:
    """Column values as gemmi's set_mmcif_category takes them: None is '?', False is '.'."""
    if isinstance(values, np.ndarray):
        values = [repr(float(v)) if values.dtype.kind == "f" else str(int(v)) for v in values]
    if mask is None:
        return list(values)
    # The mask: 0 a value, 1 not applicable ('.'), 2 unknown ('?').
    return [value if m == 0 else (False if m == 1 else None) for value, m in zip(values, mask)]


def read_binary_cif(data: bytes) -> gemmi.cif.Document:
    """The mmCIF document of a BinaryCIF file's bytes (already decompressed)."""
    import msgpack

    try:
        content = msgpack.unpackb(data, raw=False)
        blocks = content["dataBlocks"]
    except (ValueError, KeyError, TypeError, msgpack.UnpackException) as error:
        raise ValueError(f"not a readable BinaryCIF file ({error})") from None
    document = gemmi.cif.Document()
    for source in blocks:
        block = document.add_new_block(source["header"])
        for category in source["categories"]:
            columns = {}
            for column in category["columns"]:
                mask = column.get("mask")
                if mask is not None:
                    mask = _decode(mask["data"], mask["encoding"])
                columns[column["name"]] = _text(_decode(column["data"]["data"], column["data"]["encoding"]), mask)
            name = category["name"]
            block.set_mmcif_category(name if name.startswith("_") else f"_{name}", columns)
    return document
