"""The fingerprint of a state: the SHA-256 of its doubles, the same 64 hex
digits that ``stellix --fingerprint`` prints, so that two machines, or a
machine and a cluster, can show that they computed the same bits."""

import hashlib

import numpy as np

from ._checks import as_bodies

# A NaN's sign and payload carry no meaning, and x86-64 and aarch64 make
# different ones: every NaN is hashed as this quiet NaN.
_CANONICAL_NAN = np.uint64(0x7FF8000000000000)


def canonical_bytes(values):
    """The bytes that are hashed: each double's binary64 pattern, least
    significant byte first, in the order given, every NaN canonical."""
    doubles = np.ascontiguousarray(values, dtype=np.float64).reshape(-1)
    bits = doubles.view(np.uint64).copy()
    bits[np.isnan(doubles)] = _CANONICAL_NAN
    return bits.astype("<u8", copy=False).tobytes()


def fingerprint(bodies):
    """The SHA-256 of the bodies' seven fields, body after body, as 64
    lower-case hex digits: equal for equal states on every machine."""
    view = as_bodies(bodies)
    doubles = view.view(np.float64).reshape(-1) if view.size else np.zeros(0)
    return hashlib.sha256(canonical_bytes(doubles)).hexdigest()
