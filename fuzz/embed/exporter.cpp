// _fuzz.Exporter: a buffer exporter whose format, item size, shape, strides,
// offset and read-only flag are whatever a driver makes of its input. It
// answers requests as a conforming exporter does (numpy's rules: a refused
// writable request, no strides only for C-contiguous memory, format, shape
// and strides only when asked for), so what goes wrong past it is the
// consumer's doing. Its memory is its own heap block of exactly the bytes
// the description reaches, so that AddressSanitizer sees any read or write
// beyond them.

#include "embed/runner.hpp"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Exporter {
    PyObject_HEAD char* block;
    Py_ssize_t size;
    Py_ssize_t offset;
    std::string* format;
    bool has_format;
    Py_ssize_t itemsize;
    std::vector<Py_ssize_t>* shape;
    std::vector<Py_ssize_t>* strides;
    bool readonly;
};

bool read_sizes(PyObject* seq, std::vector<Py_ssize_t>& out) {
    PyObject* fast = PySequence_Fast(seq, "shape and strides are tuples of ints");
    if (!fast) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast); ++i) {
        const Py_ssize_t v = PyLong_AsSsize_t(PySequence_Fast_GET_ITEM(fast, i));
        if (v == -1 && PyErr_Occurred()) {
            Py_DECREF(fast);
            return false;
        }
        out.push_back(v);
    }
    Py_DECREF(fast);
    return true;
}

// The description must keep every item it addresses inside the memory
// given: otherwise the exporter itself would lie.
bool check_extent(const Exporter* e, Py_ssize_t* len) {
    __int128 lo = e->offset, hi = e->offset + static_cast<__int128>(e->itemsize), count = 1;
    for (std::size_t d = 0; d < e->shape->size(); ++d) {
        const __int128 n = (*e->shape)[d];
        if (n < 0) return false;
        count *= n;
        if (count > (__int128{1} << 62)) return false;
        if (n == 0) continue;
        const __int128 reach = (n - 1) * static_cast<__int128>((*e->strides)[d]);
        (reach < 0 ? lo : hi) += reach;
    }
    *len = static_cast<Py_ssize_t>(count * e->itemsize);
    return count == 0 || (lo >= 0 && hi <= e->size);
}

int exporter_init(PyObject* self, PyObject* args, PyObject*) {
    auto* e = reinterpret_cast<Exporter*>(self);
    Py_buffer memory;
    PyObject *format, *shape, *strides;
    int readonly;
    if (!PyArg_ParseTuple(args, "y*nOnOOp", &memory, &e->offset, &format, &e->itemsize, &shape, &strides, &readonly))
        return -1;
    e->format = new std::string;
    e->shape = new std::vector<Py_ssize_t>;
    e->strides = new std::vector<Py_ssize_t>;
    e->size = memory.len;
    e->block = static_cast<char*>(std::malloc(memory.len ? memory.len : 1));
    std::memcpy(e->block, memory.buf, memory.len);
    PyBuffer_Release(&memory);
    e->has_format = format != Py_None;
    e->readonly = readonly;
    if (e->has_format) {
        char* text;
        Py_ssize_t n;
        if (PyBytes_AsStringAndSize(format, &text, &n) < 0) return -1;
        e->format->assign(text, n);
    }
    if (!read_sizes(shape, *e->shape)) return -1;
    if (strides == Py_None) {
        Py_ssize_t step = e->itemsize;
        e->strides->resize(e->shape->size());
        for (std::size_t d = e->shape->size(); d-- > 0;) {
            (*e->strides)[d] = step;
            if (__builtin_mul_overflow(step, (*e->shape)[d] ? (*e->shape)[d] : 1, &step)) {
                PyErr_SetString(PyExc_ValueError, "the packed strides overflow");
                return -1;
            }
        }
    } else if (!read_sizes(strides, *e->strides)) {
        return -1;
    }
    Py_ssize_t len;
    if (e->itemsize < 1 || e->shape->size() > PyBUF_MAX_NDIM || e->strides->size() != e->shape->size() ||
        !check_extent(e, &len)) {
        PyErr_SetString(PyExc_ValueError, "the description reaches beyond its memory");
        return -1;
    }
    return 0;
}

void exporter_dealloc(PyObject* self) {
    auto* e = reinterpret_cast<Exporter*>(self);
    std::free(e->block);
    delete e->format;
    delete e->shape;
    delete e->strides;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

int exporter_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* e = reinterpret_cast<Exporter*>(self);
    if ((flags & PyBUF_WRITABLE) && e->readonly) {
        PyErr_SetString(PyExc_BufferError, "read-only");
        return -1;
    }
    view->buf = e->block + e->offset;
    view->obj = nullptr;
    view->itemsize = e->itemsize;
    view->ndim = static_cast<int>(e->shape->size());
    view->shape = e->shape->data();
    view->strides = e->strides->data();
    view->suboffsets = nullptr;
    view->readonly = e->readonly;
    view->internal = nullptr;
    Py_ssize_t len;
    check_extent(e, &len);
    view->len = len;
    const bool c = PyBuffer_IsContiguous(view, 'C'), f = PyBuffer_IsContiguous(view, 'F');
    if (((flags & PyBUF_C_CONTIGUOUS) == PyBUF_C_CONTIGUOUS && !c) ||
        ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && !f) ||
        ((flags & PyBUF_ANY_CONTIGUOUS) == PyBUF_ANY_CONTIGUOUS && !c && !f) ||
        ((flags & PyBUF_STRIDES) != PyBUF_STRIDES && !c)) {
        PyErr_SetString(PyExc_BufferError, "not contiguous as asked");
        return -1;
    }
    view->format = (flags & PyBUF_FORMAT) && e->has_format ? e->format->data() : nullptr;
    if ((flags & PyBUF_FORMAT) && !e->has_format) view->format = const_cast<char*>("B");
    if ((flags & PyBUF_ND) != PyBUF_ND) {
        view->ndim = 0;
        view->shape = nullptr;
    }
    if ((flags & PyBUF_STRIDES) != PyBUF_STRIDES) view->strides = nullptr;
    view->obj = Py_NewRef(self);
    return 0;
}

// The memory as it is now, for a driver to see what a call wrote.
PyObject* exporter_memory(PyObject* self, PyObject*) {
    auto* e = reinterpret_cast<Exporter*>(self);
    return PyBytes_FromStringAndSize(e->block, e->size);
}

PyMethodDef exporter_methods[] = {
    {"memory", exporter_memory, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot exporter_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(exporter_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(exporter_dealloc)},
    {Py_tp_methods, exporter_methods},
    {Py_bf_getbuffer, reinterpret_cast<void*>(exporter_getbuffer)},
    {0, nullptr},
};

PyType_Spec exporter_spec = {"_fuzz.Exporter", sizeof(Exporter), 0, Py_TPFLAGS_DEFAULT, exporter_slots};

int fuzz_exec(PyObject* module) {
    PyObject* type = PyType_FromSpec(&exporter_spec);
    if (!type) return -1;
    const int rc = PyModule_AddObjectRef(module, "Exporter", type);
    Py_DECREF(type);
    return rc;
}

PyModuleDef_Slot fuzz_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(fuzz_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef fuzz_def = {PyModuleDef_HEAD_INIT, "_fuzz", nullptr, 0, nullptr, fuzz_slots, nullptr, nullptr, nullptr};

} // namespace

PyObject* init_fuzz_module() { return PyModuleDef_Init(&fuzz_def); }
