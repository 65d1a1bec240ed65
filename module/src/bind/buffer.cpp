#include "bind/out.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <string>

namespace bind {

namespace {

// The item code of a struct-module format naming one item in native order:
// the code alone, after "@" or "=", or after the explicit byte order of this
// machine; 0 for any other format.
char native_code(const char* format) {
    constexpr char own_order = std::endian::native == std::endian::little ? '<' : '>';
    if (!format) return 0;
    if (*format == '@' || *format == '=' || *format == own_order || (own_order == '>' && *format == '!')) ++format;
    return format[0] != '\0' && format[1] == '\0' ? format[0] : 0;
}

// Whether the format names one item of one of `codes` in native order.
bool native_format(const char* format, const char* codes) {
    const char code = native_code(format);
    return code != 0 && std::strchr(codes, code);
}

std::string shape_text(const Py_buffer& view) {
    if (view.ndim == 0) return "()";
    std::string text = "(";
    for (int i = 0; i < view.ndim; ++i)
        text += (i ? ", " : "") + std::to_string(view.shape[i]);
    return text + (view.ndim == 1 ? ",)" : ")");
}

// Where the export's shape and strides live until its release.
struct ExportLayout {
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
};

// Some address for an empty export: consumers may not like a null buffer.
const double no_rows[1] = {0.0};

// A one-dimensional buffer, with the argument's name for the ValueError.
bool check_one_dimensional(const Py_buffer& view, const char* name) {
    if (view.ndim == 1) return true;
    PyErr_Format(PyExc_ValueError, "argument '%s': a one-dimensional buffer is required, not shape %s", name,
                 shape_text(view).c_str());
    return false;
}

// Calls add(item) for each item of a sequence, in order, until it returns
// false. A list is read by position, each item held while it is added, since
// converting it may run Python code that changes the list.
template <class Add>
bool each_item(PyObject* seq, Add add) {
    if (PyTuple_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq); ++i) {
            if (!add(PyTuple_GET_ITEM(seq, i))) return false;
        }
        return true;
    }
    if (PyList_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < PyList_Size(seq); ++i) {
            PyObject* item = PyList_GetItemRef(seq, i);
            if (!item) return false;
            const bool ok = add(item);
            Py_DECREF(item);
            if (!ok) return false;
        }
        return true;
    }
    PyObject* iter = PyObject_GetIter(seq);
    if (!iter) return false;
    bool ok = true;
    while (PyObject* item = PyIter_Next(iter)) {
        ok = add(item);
        Py_DECREF(item);
        if (!ok) break;
    }
    Py_DECREF(iter);
    return ok && !PyErr_Occurred();
}

// Item i of a range (negative i counting from its end), converted by the
// unsigned rule: an OverflowError for an item below 0 or beyond 2^64 - 1.
bool range_item(PyObject* range, long i, std::uint64_t* value) {
    PyObject* position = PyLong_FromLong(i);
    PyObject* item = position ? PyObject_GetItem(range, position) : nullptr;
    Type<std::uint64_t> index;
    const bool ok = item && index.load(item);
    Py_XDECREF(item);
    Py_XDECREF(position);
    if (ok) *value = index.get();
    return ok;
}

} // namespace

bool check_read_only(const char* class_name, int flags) {
    if (!(flags & PyBUF_WRITABLE)) return true;
    PyErr_Format(PyExc_BufferError, "%s exports a read-only buffer", class_name);
    return false;
}

bool fill_export(PyObject* self, Py_buffer* view, int flags, DoubleRows rows) {
    if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && rows.rows > 1) {
        PyErr_SetString(PyExc_BufferError, "the buffer is C-contiguous, not Fortran-contiguous");
        return false;
    }
    auto* layout = static_cast<ExportLayout*>(PyMem_Malloc(sizeof(ExportLayout)));
    if (!layout) {
        PyErr_NoMemory();
        return false;
    }
    const auto row_bytes = static_cast<Py_ssize_t>(rows.cols * sizeof(double));
    *layout = {{static_cast<Py_ssize_t>(rows.rows), static_cast<Py_ssize_t>(rows.cols)},
               {row_bytes, static_cast<Py_ssize_t>(sizeof(double))}};
    view->buf = const_cast<double*>(rows.rows ? rows.data : no_rows);
    view->obj = Py_NewRef(self);
    view->len = static_cast<Py_ssize_t>(rows.rows) * row_bytes;
    view->readonly = 1;
    // Asked for neither format nor shape, the consumer sees plain bytes; a
    // shape keeps the item size, so that the shape still spans the length.
    const bool typed = flags & PyBUF_FORMAT;
    const bool shaped = (flags & PyBUF_ND) == PyBUF_ND;
    view->itemsize = typed || shaped ? sizeof(double) : 1;
    view->format = typed ? const_cast<char*>("d") : nullptr;
    view->ndim = shaped ? 2 : 1;
    view->shape = shaped ? layout->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? layout->strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = layout;
    return true;
}

void free_export(Py_buffer* view) { PyMem_Free(view->internal); }

bool check_items(const Py_buffer& view, const char* codes, std::size_t itemsize) {
    if (native_format(view.format, codes) && view.itemsize == static_cast<Py_ssize_t>(itemsize)) return true;
    const char* what = codes[0] == 'd' ? "doubles" : codes[0] == '?' ? "bools" : "64-bit integers";
    PyErr_Format(PyExc_TypeError, "a buffer of %s (item format '%c') is required, not item format '%s'", what, codes[0],
                 view.format ? view.format : "B");
    return false;
}

bool check_rows(const Py_buffer& view, std::size_t cols, const char* name, const char** base, std::size_t* rows,
                Py_ssize_t* row_stride, Py_ssize_t* col_stride) {
    const auto item = static_cast<Py_ssize_t>(sizeof(double));
    const auto width = static_cast<Py_ssize_t>(cols);
    *base = static_cast<const char*>(view.buf);
    if (view.ndim == 2 && view.shape[1] == width) {
        *rows = static_cast<std::size_t>(view.shape[0]);
        *row_stride = view.strides ? view.strides[0] : width * item;
        *col_stride = view.strides ? view.strides[1] : item;
        return true;
    }
    if (view.ndim == 1 && view.shape[0] % width == 0 && (!view.strides || view.strides[0] == item)) {
        *rows = static_cast<std::size_t>(view.shape[0] / width);
        *row_stride = width * item;
        *col_stride = item;
        return true;
    }
    PyErr_Format(PyExc_ValueError,
                 "argument '%s': a buffer shaped (n, %zu), or one-dimensional and contiguous with a length divisible "
                 "by %zu, is required, not %s%s",
                 name, cols, cols, view.ndim == 1 && view.shape[0] % width == 0 ? "a strided one of shape " : "shape ",
                 shape_text(view).c_str());
    return false;
}

bool check_out_shape(const Py_buffer& view, const char* name, std::size_t rank, std::size_t* shape) {
    if (view.ndim == static_cast<int>(rank) && PyBuffer_IsContiguous(&view, 'C')) {
        for (std::size_t d = 0; d < rank; ++d)
            shape[d] = static_cast<std::size_t>(view.shape[d]);
        return true;
    }
    PyErr_Format(PyExc_ValueError, "argument '%s': a %s buffer is required, not %s%s", name,
                 rank == 1 ? "one-dimensional contiguous" : "two-dimensional C-contiguous",
                 view.ndim == static_cast<int>(rank) ? "a strided one of shape " : "shape ", shape_text(view).c_str());
    return false;
}

void raise_out_shape(const char* name, const std::size_t* wanted, const std::size_t* given, std::size_t rank) {
    if (rank == 1) {
        PyErr_Format(PyExc_ValueError, "argument '%s': a buffer of %zu items is required, not %zu", name, wanted[0],
                     given[0]);
    } else {
        PyErr_Format(PyExc_ValueError, "argument '%s': a buffer of shape (%zu, %zu) is required, not (%zu, %zu)", name,
                     wanted[0], wanted[1], given[0], given[1]);
    }
}

// ---------------------------------------------------------------- indices

bool Indices::load(PyObject* obj, const char* name) {
    if (PyRange_Check(obj)) return load_range(obj);
    if (PyObject_CheckBuffer(obj)) return load_buffer(obj, name);
    return load_ints(obj);
}

bool Indices::load_range(PyObject* range) {
    kind_ = Kind::range;
    const int nonempty = PyObject_IsTrue(range);
    if (nonempty <= 0) return nonempty == 0;
    // Its length may be too large for a size; its items never are, once
    // the first and the last fit.
    const Py_ssize_t n = PyObject_Size(range);
    if (n < 0) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
    }
    size_ = n < 0 ? std::numeric_limits<std::size_t>::max() : static_cast<std::size_t>(n);
    std::uint64_t last = 0, second = 0;
    if (!range_item(range, 0, &first_) || !range_item(range, -1, &last)) return false;
    if (size_ > 1 && !range_item(range, 1, &second)) return false;
    step_ = second - first_;
    largest_ = std::max(first_, last);
    return true;
}

bool Indices::load_ints(PyObject* obj) {
    kind_ = Kind::ints;
    if (!PySequence_Check(obj)) {
        raise_not_instance(obj, "Sequence");
        return false;
    }
    (void)ints_.try_reserve(length_hint(obj));
    const bool ok = each_item(obj, [this](PyObject* item) {
        Type<std::uint64_t> index;
        if (!index.load(item)) return false;
        if (!ints_.try_push_back(index.get())) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    });
    size_ = ints_.size();
    return ok;
}

bool Indices::load_buffer(PyObject* obj, const char* name) {
    kind_ = Kind::buffer;
    if (!buffer_.get(obj, PyBUF_STRIDES | PyBUF_FORMAT)) return false;
    const Py_buffer& view = buffer_.view();
    const char code = native_code(view.format ? view.format : "B");
    const bool integer = code && std::strchr("bBhHiIlLqQnN", code);
    const std::size_t item = static_cast<std::size_t>(view.itemsize);
    if (!integer || (item != 1 && item != 2 && item != 4 && item != 8)) {
        PyErr_Format(PyExc_TypeError, "a buffer of integers is required, not item format '%s'",
                     view.format ? view.format : "B");
        return false;
    }
    if (!check_one_dimensional(view, name)) return false;
    base_ = static_cast<const char*>(view.buf);
    size_ = static_cast<std::size_t>(view.shape[0]);
    stride_ = view.strides ? view.strides[0] : view.itemsize;
    item_size_ = item;
    signed_ = code >= 'a' && code <= 'z';
    return true;
}

bool Indices::any_negative() const {
    if (kind_ != Kind::buffer || !signed_) return false;
    return visit([this](auto at) {
        for (std::size_t i = 0; i < size_; ++i) {
            if (at(i) >> 63) return true;
        }
        return false;
    });
}

// ---------------------------------------------------------------- masks

bool Mask::load(PyObject* obj, const char* name) {
    if (PyObject_CheckBuffer(obj)) {
        if (!buffer_.get(obj, PyBUF_STRIDES | PyBUF_FORMAT)) return false;
        const Py_buffer& view = buffer_.view();
        if (!check_items(view, "?", sizeof(bool)) || !check_one_dimensional(view, name)) return false;
        base_ = static_cast<const unsigned char*>(view.buf);
        size_ = static_cast<std::size_t>(view.shape[0]);
        stride_ = view.strides ? view.strides[0] : 1;
        return true;
    }
    if (!PySequence_Check(obj)) {
        raise_not_instance(obj, "Sequence");
        return false;
    }
    (void)own_.try_reserve(length_hint(obj));
    const bool ok = each_item(obj, [this](PyObject* item) {
        Type<bool> truth;
        if (!truth.load(item)) return false;
        if (!own_.try_push_back(truth.get() ? 1 : 0)) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    });
    base_ = own_.data();
    size_ = own_.size();
    return ok;
}

} // namespace bind
