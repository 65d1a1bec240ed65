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

// 1 when obj is a buffer of 3x3 doubles, now read into rows; 0 when it is
// some other buffer (nothing read, no error); -1 with the exporter's error.
int read_buffer(PyObject* obj, std::array<std::array<double, 3>, 3>& rows) {
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) < 0) return -1;
    const bool fits = view.ndim == 2 && view.shape[0] == 3 && view.shape[1] == 3 && view.itemsize == sizeof(double) &&
                      is_native_double(view.format);
    if (fits) {
        const char* base = static_cast<const char*>(view.buf);
        for (Py_ssize_t r = 0; r < 3; ++r) {
            for (Py_ssize_t c = 0; c < 3; ++c)
                std::memcpy(&rows[r][c], base + r * view.strides[0] + c * view.strides[1], sizeof(double));
        }
    }
    PyBuffer_Release(&view);
    return fits ? 1 : 0;
}

// Checks that obj is a sequence of exactly three. `where` begins each
// message; `what` names the items, `shape` what obj should have been.
bool check_three(PyObject* obj, const std::string& where, const char* what, const char* shape) {
    if (!PyUnicode_Check(obj) && !PyBytes_Check(obj) && !PyByteArray_Check(obj) && PySequence_Check(obj)) {
        const Py_ssize_t n = PySequence_Size(obj);
        if (n == 3) return true;
        if (n >= 0) {
            PyErr_Format(PyExc_TypeError, "%sexpected 3 %s, got %zd", where.c_str(), what, n);
            return false;
        }
        // A sequence without a length is reported like a non-sequence.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();
    }
    PyObject* qualname = PyType_GetQualName(Py_TYPE(obj));
    if (!qualname) return false;
    PyErr_Format(PyExc_TypeError, "%s'%U' object is not a sequence of %s", where.c_str(), qualname, shape);
    Py_DECREF(qualname);
    return false;
}

bool read_row(PyObject* matrix, Py_ssize_t r, std::array<double, 3>& out) {
    PyObject* row = PySequence_GetItem(matrix, r);
    if (!row) return false;
    const std::string where = "row " + std::to_string(r) + ": ";
    bool ok = check_three(row, where, "items", "3 floats");
    for (Py_ssize_t c = 0; ok && c < 3; ++c) {
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

bool Type<Matrix3x3>::load(PyObject* obj) {
    if (PyObject_CheckBuffer(obj)) {
        const int read = read_buffer(obj, value.rows);
        if (read != 0) return read > 0;
    }
    if (!check_three(obj, "", "rows", "3 rows of 3 floats or a buffer of 3x3 doubles")) return false;
    for (Py_ssize_t r = 0; r < 3; ++r) {
        if (!read_row(obj, r, value.rows[r])) return false;
    }
    return true;
}

} // namespace bind
