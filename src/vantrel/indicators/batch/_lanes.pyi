"""The compiled loops of vantrel.indicators.batch."""

import sys
from typing import Any, final

import numpy as np

def run(indicator: str, inputs: tuple[np.ndarray[Any, Any], ...], outputs: tuple[np.ndarray[Any, Any], ...],
        params: np.ndarray[Any, Any], order: np.ndarray[Any, Any] | None,
        starts: np.ndarray[Any, Any] | None, threads: int, /) -> None:
    """run(indicator, inputs, outputs, params, order, starts, threads): fill the outputs."""

def group(codes: np.ndarray[Any, Any], order: np.ndarray[Any, Any], starts: np.ndarray[Any, Any], /) -> None:
    """group(codes, order, starts): the rows of each key, in order."""

def factorize(keys: np.ndarray[Any, Any], codes: np.ndarray[Any, Any], threads: int, /) -> int:
    """factorize(keys, codes, threads): number each row's key; returns the number of keys."""

def factorize_arrow(chunks: list[tuple[int, int, Any, Any, Any, bool]], codes: np.ndarray[Any, Any],
                    threads: int, /) -> int:
    """factorize_arrow(chunks, codes, threads): number each row's key of Arrow string chunks; returns the number of keys."""

def has_avx() -> bool:
    """Whether the four-lane loops run on this processor."""

def to_int32(value: object, /) -> int:
    """to_int32(value): an integer parameter, as the functions convert it."""

def to_double(value: object, /) -> float:
    """to_double(value): a real parameter, as the functions convert it."""

BLOCK_MIN: int
"""Results of this many bytes or more take their memory from block()."""

STREAM_MIN: int
"""Wide results of this many bytes or more are written past the caches."""

SHARED_STREAM_MIN: int
"""On several threads, wide results of this many bytes or more are written past the caches."""

@final
class Block:
    """The memory of a result, given back to be kept for a later call when freed."""
    if sys.version_info >= (3, 12):
        def __buffer__(self, flags: int, /) -> memoryview: ...

def block(nbytes: int, /) -> Block:
    """block(nbytes): writable memory for one result, kept for a later call when freed."""
