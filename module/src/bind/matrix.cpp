#include "bind/matrix.hpp"

#include <bit>
#include <cstring>
#include <string>

namespace bind {

namespace {

// "d" with at most a prefix that keeps the native byte order and size.
bool is_native_double(const char* format) {
    if (!format) return false; // no format means unsigned bytes
    constexpr char native_order = std::endian::native == std::endian::little ? '<' : '>';
    if (*format == '@' || *format == '=' || *format == native_order) ++format;
    return std::strcmp(format, "d") == 0;
}

// 1 when obj is a buffer of NxN doubles, now read into rows; 0 when it is
// some other buffer (nothing read, no error); -1 with the exporter's error.
template <std::size_t N>
int read_buffer(PyObject* obj, std::array<std::array<double, N>, N>& rows) {
    constexpr auto n = static_cast<Py_ssize_t>(N);
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) < 0) return -1;
    const bool fits = view.ndim == 2 && view.shape[0] == n && view.shape[1] == n && view.itemsize == sizeof(double) &&
                      is_native_double(view.format);
    if (fits) {
        const char* base = static_cast<const char*>(view.buf);
        for (Py_ssize_t r = 0; r < n; ++r) {
            for (Py_ssize_t c = 0; c < n; ++c)
                std::memcpy(&rows[r][c], base + r * view.strides[0] + c * view.strides[1], sizeof(double));
        }
    }
    PyBuffer_Release(&view);
    return fits ? 1 : 0;
}

// Checks that obj is a sequence of exactly N. `where` begins each message;
// `what` names the items, `shape` what obj should have been.
// A ValueError names the argument itself; a TypeError is named by the caller.
template <std::size_t N>
bool check_length(PyObject* obj, const char* name, const std::string& where, const char* what,
                  const std::string& shape) {
    if (!PyUnicode_Check(obj) && !PyBytes_Check(obj) && !PyByteArray_Check(obj) && PySequence_Check(obj)) {
        const Py_ssize_t n = PySequence_Size(obj);
        if (n == static_cast<Py_ssize_t>(N)) return true;
        if (n >= 0) {
            if (N == 4) {
                PyErr_Format(PyExc_ValueError, "argument '%s': %sexpected %zu %s, got %zd", name, where.c_str(), N,
                             what, n);
            } else {
                PyErr_Format(PyExc_TypeError, "%sexpected %zu %s, got %zd", where.c_str(), N, what, n);
            }
            return false;
        }
        // A sequence without a length is reported like a non-sequence.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();
    }
    PyObject* qualname = PyType_GetQualName(Py_TYPE(obj));
    if (!qualname) return false;
    PyErr_Format(PyExc_TypeError, "%s'%U' object is not a sequence of %s", where.c_str(), qualname, shape.c_str());
    Py_DECREF(qualname);
    return false;
}

template <std::size_t N>
bool read_row(PyObject* matrix, const char* name, Py_ssize_t r, std::array<double, N>& out) {
    PyObject* row = PySequence_GetItem(matrix, r);
    if (!row) return false;
    const std::string where = "row " + std::to_string(r) + ": ";
    bool ok = check_length<N>(row, name, where, "items", std::to_string(N) + " floats");
    for (Py_ssize_t c = 0; ok && c < static_cast<Py_ssize_t>(N); ++c) {
        PyObject* item = PySequence_GetItem(row, c);
        ArgFor<double> number;
        ok = item && number.load(item);
        Py_XDECREF(item);
        if (ok) {
            out[c] = number.get();
        } else {
            prefix_type_error("row " + std::to_string(r) + ", column " + std::to_string(c) + ": ");
        }
    }
    Py_DECREF(row);
    return ok;
}

} // namespace

template <std::size_t N>
bool Type<Matrix<N>>::load(PyObject* obj, const char* name) {
    if (PyObject_CheckBuffer(obj)) {
        const int read = read_buffer<N>(obj, value.rows);
        if (read != 0) return read > 0;
    }
    const std::string n = std::to_string(N);
    if (!check_length<N>(obj, name, "", "rows",
                         n + " rows of " + n + " floats or a buffer of " + n + "x" + n + " doubles"))
        return false;
    for (Py_ssize_t r = 0; r < static_cast<Py_ssize_t>(N); ++r) {
        if (!read_row<N>(obj, name, r, value.rows[r])) return false;
    }
    return true;
}

template struct Type<Matrix<3>>;
template struct Type<Matrix<4>>;

} // namespace bind
