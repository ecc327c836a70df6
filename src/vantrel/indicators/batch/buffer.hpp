// The buffer of an array argument of the batch module, held for one call and checked for
// the item type and the dimensions that the call expects.
#pragma once

#include <cstddef>

#include "framework/framework.hpp"

namespace vi::batch {

// A buffer view held for the call.
class View {
public:
    View() noexcept = default;
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    ~View() {
        if (view_.obj) PyBuffer_Release(&view_);
    }
    // `item`: 'd' (float64) or 'q' (int64); `ndim`: the dimensions expected.
    void acquire(PyObject* o, char item, int ndim, bool writable, const char* what) {
        check_status(PyObject_GetBuffer(o, &view_, PyBUF_STRIDES | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0)));
        const char* f = view_.format ? view_.format : "B";
        if (*f == '@' || *f == '=' || *f == '<') ++f;
        const bool integer = item == 'q' && (f[0] == 'q' || (f[0] == 'l' && sizeof(long) == 8));
        if (view_.ndim != ndim || view_.itemsize != 8 || !(f[0] == item || integer) || f[1] != '\0') {
            PyErr_Format(PyExc_ValueError, "%s: expected a %d-dimensional %s buffer", what, ndim,
                         item == 'd' ? "float64" : "int64");
            throw PythonError{};
        }
    }
    // Key codes: a 1-D int32 or int64 buffer (itemsize() says which).
    void acquire_codes(PyObject* o, bool writable, const char* what) {
        check_status(PyObject_GetBuffer(o, &view_, PyBUF_STRIDES | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0)));
        const char* f = view_.format ? view_.format : "B";
        if (*f == '@' || *f == '=' || *f == '<') ++f;
        const bool int32 = view_.itemsize == 4 && (f[0] == 'i' || (f[0] == 'l' && sizeof(long) == 4));
        const bool int64 = view_.itemsize == 8 && (f[0] == 'q' || (f[0] == 'l' && sizeof(long) == 8));
        if (view_.ndim != 1 || !(int32 || int64) || f[1] != '\0') {
            PyErr_Format(PyExc_ValueError, "%s: expected a 1-dimensional int32 or int64 buffer", what);
            throw PythonError{};
        }
    }
    // Any item type (the caller reads format() and itemsize()), read-only.
    void acquire_any(PyObject* o) { check_status(PyObject_GetBuffer(o, &view_, PyBUF_STRIDES | PyBUF_FORMAT)); }
    int ndim() const noexcept { return view_.ndim; }
    Py_ssize_t itemsize() const noexcept { return view_.itemsize; }
    Py_ssize_t shape(int k) const noexcept { return view_.shape[k]; }
    std::ptrdiff_t stride(int k) const noexcept { return view_.strides[k]; }
    unsigned char* data() const noexcept { return static_cast<unsigned char*>(view_.buf); }
    const char* format() const noexcept { return view_.format ? view_.format : "B"; }

private:
    Py_buffer view_{};
};

}  // namespace vi::batch
