// Numbering the keys of a long table (the `by=` of the batch functions): every row gets the
// code of its key, the keys numbered from 0 in the order of their first appearance. Missing
// keys (an Arrow null, NaN, NaT) are one key of their own, as any other key is.
#pragma once

#include "framework/framework.hpp"

namespace vi::batch {

// factorize(keys, codes) -> the number of keys. keys is a 1-D buffer of integers of any
// width (dates as int64), float32/float64 (every NaN one key, -0.0 the key 0.0), fixed-width
// byte strings (numpy's S and U: equal bytes one key) or objects (equal objects one key, as
// in a dict, and NaN floats one key); codes a writable int64 buffer of the same length.
PyObject* factorize(PyObject*, PyObject* const* args, Py_ssize_t nargs);

// factorize_arrow(chunks, codes) -> the number of keys, for the chunks of an Arrow string or
// binary array one after the other: each chunk a tuple (length, offset, validity, offsets,
// data, large) of the chunk's length and offset, its three buffers (validity and data may be
// None) and whether its offsets are 64-bit (large_string, large_binary). Equal bytes are one
// key; the nulls are one key.
PyObject* factorize_arrow(PyObject*, PyObject* const* args, Py_ssize_t nargs);

}  // namespace vi::batch
