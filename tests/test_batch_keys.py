"""The keys of the batch functions' long form: whatever holds them (Arrow strings, pandas'
own strings, objects, numpy numbers and dates, categoricals), the rows of one key are computed
together, bit for bit the single function on that key's rows; missing keys form one key."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

from conftest import assert_same_bits, random_prices
from vantrel.indicators import EMA, batch
from vantrel.indicators.batch import _lanes

pa = pytest.importorskip("pyarrow")

# Byte lengths around the packing of short keys (0, 7, 8, 15, 16, 17 bytes), keys that differ
# only in their last byte or by a trailing NUL, and non-ASCII text.
TEXTS = ["", "a", "a\x00", "S0001", "abcdefg", "abcdefgh", "abcdefghijklmno", "abcdefghijklmnop",
         "abcdefghijklmnoq", "abcdefghijklmnopq", "é✓ünïcode, longer than sixteen bytes", "B"]


def check(by, ids, x, label, count=True):
    """The EMA of each logical key (ids) is the single function on that key's rows."""
    result = batch.EMA(x, 4, by=by)
    for k in np.unique(ids):
        mask = ids == k
        assert_same_bits(result[mask], EMA(x[mask], 4), f"{label} key {k}")
    # A key split in two would give a different first value somewhere: check the count too.
    if count:
        assert batch._key_codes(by, len(x))[1] == len(np.unique(ids)), label


def text_keys(rng, rows, texts, with_missing=True):
    """(ids, the texts or None of each row): ids number texts, None the last id."""
    n = len(texts) + with_missing
    ids = rng.integers(0, n, rows)
    values = [texts[i] if i < len(texts) else None for i in ids]
    return ids, values


def arrow_forms(values):
    """The same keys as every Arrow layout that pandas or pyarrow hands over."""
    whole = pa.array(["pad", "pad"] + values, type=pa.string())[2:]  # a slice: offset 2
    cut = [len(values) // 3, len(values) // 3 + 1]
    chunked = pa.chunked_array([whole[:cut[0]], whole[cut[0]:cut[1]], whole[cut[1]:]])
    large = pa.chunked_array([c.cast(pa.large_string()) for c in chunked.chunks])
    binary = pa.array([None if v is None else v.encode() for v in values], type=pa.large_binary())
    return {
        "str[pyarrow]": pd.Series(values, dtype="string[pyarrow]"),
        "ArrowDtype(string)": pd.Series(values, dtype=pd.ArrowDtype(pa.string())),
        "ArrowDtype(large_string)": pd.Series(values, dtype=pd.ArrowDtype(pa.large_string())),
        "chunked, sliced": pd.Series(pd.arrays.ArrowExtensionArray(chunked)),
        "chunked large_string": pd.Series(pd.arrays.ArrowExtensionArray(large)),
        "Index": pd.Index(pd.Series(values, dtype="string[pyarrow]")),
        "pyarrow ChunkedArray": chunked,
        "pyarrow Array": whole,
        "pyarrow large_binary": binary,
    }


def test_arrow_strings_with_nulls_chunks_and_offsets(rng):
    rows = 600
    ids, values = text_keys(rng, rows, TEXTS)
    x = random_prices(rng, rows)
    for label, by in arrow_forms(values).items():
        check(by, ids, x, label)


def test_python_strings_and_objects(rng):
    rows = 600
    ids, values = text_keys(rng, rows, TEXTS)
    x = random_prices(rng, rows)
    # Equal texts as distinct objects, so that they are compared by their characters.
    fresh = np.array(["".join(list(v)) if v is not None else None for v in values], dtype=object)
    check(pd.Series(values, dtype="string[python]"), ids, x, "string[python]")
    check(fresh, ids, x, "object")
    check(pd.Series(fresh), ids, x, "object Series")
    if "na_value" in pd.StringDtype.__init__.__code__.co_varnames:  # the NaN-missing str dtype
        check(pd.Series(values, dtype=pd.StringDtype("python", na_value=np.nan)), ids, x, "str[python]")
    # numpy's fixed-width strings pad with NULs, so "a" and "a\0" are one key there.
    plain = [t for t in TEXTS if t != "a\x00"]
    ids, values = text_keys(rng, rows, plain, with_missing=False)
    check(np.array(values), ids, x, "numpy U")
    check(np.array([v.encode() for v in values]), ids, x, "numpy S")
    check(values, ids, x, "list")


def test_mixed_objects_group_as_a_dict_does_and_nans_are_one_key(rng):
    nan_bits = np.array([0x7FF8000000000001], dtype=np.uint64).view(np.float64)[0]
    groups = [[1, 1.0, np.int64(1)], ["1"], [None], [float("nan"), np.nan, np.float64(nan_bits)],
              [(1, "a")], [b"x"], ["x"], [pd.Timestamp("2024-01-02")], [2.5]]
    rows = 500
    ids = rng.integers(0, len(groups), rows)
    keys = np.empty(rows, dtype=object)
    for r, k in enumerate(ids):
        keys[r] = groups[k][rng.integers(0, len(groups[k]))]
    check(keys, ids, random_prices(rng, rows), "mixed objects")


@pytest.mark.parametrize("form", [
    "int8", "uint64", "float32", "float64", "bool", "datetime64", "datetime tz", "Int64", "big-endian",
    "categorical"])
def test_numbers_dates_and_categories(rng, form):
    rows = 500
    ids = rng.integers(0, 6, rows)
    if form in ("int8", "uint64", "big-endian"):
        table = {"int8": np.array([-128, -1, 0, 1, 7, 127], np.int8),
                 "uint64": np.array([0, 1, 2**63, 2**64 - 1, 2**63 - 1, 5], np.uint64),
                 "big-endian": np.array([-5, 0, 1, 2, 3, 2**40], ">i8")}[form]
        by = table[ids]
    elif form in ("float32", "float64"):
        # -0.0 and 0.0 one key; NaNs of any payload one key.
        values = np.array([0.0, -0.0, np.nan, 1.5, -np.inf, np.inf, 3.0], form)
        payload = values[2:3].view(np.uint32 if form == "float32" else np.uint64)
        payload |= payload.dtype.type(1)
        ids = rng.integers(0, 7, rows)
        by = values[ids]
        by[(ids == 2) & (np.arange(rows) % 2 == 0)] = np.nan  # the payload NaN and the usual one
        ids = np.where(ids == 1, 0, ids)
    elif form == "bool":
        ids = ids % 2
        by = ids.astype(bool)
    elif form == "datetime64":
        values = np.array(["2024-01-01", "NaT", "1970-01-01", "2024-01-01T00:00:01", "1900-01-01",
                           "2200-05-05"], "datetime64[ns]")
        by = pd.Series(values[ids])
    elif form == "datetime tz":
        values = pd.DatetimeIndex(["2024-01-01", None, "1970-01-01", "2024-06-01", "2024-01-02",
                                   "2024-01-03"], tz="Europe/Berlin")
        by = pd.Series(values[ids])
    elif form == "Int64":
        by = pd.Series(pd.array([3, None, -1, 0, 2**40, 7], dtype="Int64")[ids])
    else:
        by = pd.Series(pd.Categorical(np.array(["b", None, "a", "c", "d", "e"], dtype=object)[ids],
                                      categories=["e", "d", "c", "b", "a", "unused"]))
    check(by, ids, random_prices(rng, rows), form, count=form != "categorical")  # unused categories count


def test_many_keys_grow_the_tables(rng):
    # 3,000 distinct keys among 6,000 rows: every table grows several times.
    rows, n = 6000, 3000
    ids = rng.integers(0, n, rows)
    texts = [("k" * (i % 23)) + str(i) for i in range(n)]  # 1 to 26 bytes
    x = random_prices(rng, rows)
    values = [texts[i] for i in ids]
    check(pd.Series(values, dtype="string[pyarrow]"), ids, x, "arrow")
    check(np.array(values, dtype=object), ids, x, "object")
    check(ids * 1_000_003 - 2**40, ids, x, "int64")
    check(ids / 7.0, ids, x, "float64")


@pytest.mark.parametrize("chunk, message", [
    ((3, 0, None, np.array([0, 1, 2], np.int32), np.zeros(4, np.uint8), False), "offsets buffer is too short"),
    ((2, 0, None, np.array([0, 5, 3], np.int32), np.zeros(4, np.uint8), False), "outside the data buffer"),
    ((2, 0, None, np.array([0, 2, 9], np.int64), np.zeros(4, np.uint8), True), "outside the data buffer"),
    ((2, 0, None, np.array([0, 0, 0], np.int32), None, False), None),
    ((9, 0, np.zeros(1, np.uint8), np.zeros(10, np.int32), None, False), "validity buffer is too short"),
])
def test_arrow_buffers_are_checked_before_they_are_read(chunk, message):
    codes = np.zeros(chunk[0], dtype=np.int64)
    if message is None:
        assert _lanes.factorize_arrow([chunk], codes, 1) == 1
        return
    with pytest.raises(ValueError, match=message):
        _lanes.factorize_arrow([chunk], codes, 1)


@pytest.mark.parametrize("layout", ["late keys", "by date"])
def test_threads_number_the_keys_as_one_pass_does(layout, rng):
    # Enough rows for several threads, nulls in every part; keys that first appear late, or
    # a table sorted by date then key, whose later parts number their keys as the whole does.
    rows = 300_000
    if layout == "late keys":
        ids = np.minimum(rng.integers(0, 500, rows), np.arange(rows) // 200)
    else:
        ids = np.tile(np.arange(500), rows // 500)
    texts = np.array([f"key{i:03d}" if i % 50 else "a longer key, number %d" % i for i in range(500)],
                     dtype=object)
    values = texts[ids]
    values[ids == 7] = None
    forms = {"arrow": pd.Series(pa.chunked_array([pa.array(values[:1000]), pa.array(values[1000:])]),
                                dtype=pd.ArrowDtype(pa.string())),
             "int64": ids * 3 - 1000, "float64": ids / 3.0,
             "U": np.array([f"k{i}" for i in range(500)])[ids]}
    expected = pd.factorize(ids)[0]
    for label, by in forms.items():
        for threads in (1, 2, 3):
            codes, count = batch._key_codes(by, rows, threads)
            assert count == 500, label
            np.testing.assert_array_equal(codes, expected, err_msg=f"{label} threads={threads}")


def test_sorted_tables_number_as_shuffled_ones_do(rng):
    # Sorted by date then symbol (with symbols missing on some dates and new ones joining),
    # and by symbol then date: the layouts in which a row's key follows from the row before.
    n, dates = 40, 30
    by_date = np.tile(np.arange(n), dates)
    by_date = by_date[rng.random(len(by_date)) > 0.1]
    by_date = np.concatenate([by_date, np.arange(n + 5)])  # 5 new symbols, all at the end
    layouts = {"by date": by_date, "by symbol": np.repeat(np.arange(n), dates)}
    names = np.array(["AAPL", "MSFT", "BRK.B", "A"] + [f"SYM{i}" for i in range(4, n + 4)] +
                     [f"LONGER-NAME-NUMBER-{i}" for i in range(3)],
                     dtype=object)
    for label, ids in layouts.items():
        text = names[ids]
        text[ids == 3] = None  # a null key between others
        x = random_prices(rng, len(ids))
        copies = np.array([None if v is None else "".join(list(v)) for v in text], dtype=object)
        forms = {"arrow": pd.Series(text, dtype="string[pyarrow]"), "object": text,
                 "object, equal texts as distinct objects": copies,
                 "int64": ids * 10 - 7, "float64": ids * 0.5}
        for form, by in forms.items():
            check(by, ids, x, f"{label} {form}")
