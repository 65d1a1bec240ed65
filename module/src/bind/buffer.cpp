#include "bind/buffer.hpp"

#include <bit>
#include <cstring>
#include <string>

namespace bind {

namespace {

// A struct-module format naming one item of one of `codes` in native order:
// the code alone, "@" or "=", or the explicit byte order of this machine.
bool native_format(const char* format, const char* codes) {
    constexpr char own_order = std::endian::native == std::endian::little ? '<' : '>';
    if (!format) return false;
    if (*format == '@' || *format == '=' || *format == own_order || (own_order == '>' && *format == '!')) ++format;
    return format[0] != '\0' && std::strchr(codes, format[0]) && format[1] == '\0';
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

} // namespace bind
