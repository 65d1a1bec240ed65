// libFuzzer's entry points for a driver in Python. The driver is a file
// defining one(data: bytes): it makes its calls out of the input, refuses
// quietly what lumora refuses cleanly, and checks what it accepts against an
// oracle of its own. Anything that leaves one() as an exception (a wrong
// result, an error of a kind lumora must never raise, an internal failure)
// stops the run like a crash, with its traceback, so that the input is kept.

#include "embed/runner.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" PyObject* PyInit_lumora();

namespace {

PyObject* one = nullptr;

[[noreturn]] void stop(const char* what) {
    if (PyErr_Occurred()) PyErr_Print();
    std::fprintf(stderr, "fuzz: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

void start_interpreter() {
    if (PyImport_AppendInittab("lumora", PyInit_lumora) < 0 || PyImport_AppendInittab("_fuzz", init_fuzz_module) < 0)
        stop("cannot register the built-in modules");
    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    // libFuzzer and the sanitizers handle the signals.
    config.install_signal_handlers = 0;
    config.site_import = 0;
    // Nothing written beside the drivers in the source tree.
    config.write_bytecode = 0;
    PyStatus status = PyConfig_SetBytesString(&config, &config.home, LUMORA_FUZZ_HOME);
    if (!PyStatus_Exception(status)) status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    start_interpreter();
    // The drivers' shared helpers live beside this runner.
    const std::string driver = lumora_fuzz_driver;
    PyObject* helpers = PyUnicode_FromString((driver.substr(0, driver.rfind('/')) + "/embed").c_str());
    PyObject* path = PySys_GetObject("path");
    if (!helpers || !path || PyList_Insert(path, 0, helpers) < 0) stop("cannot find the drivers' helpers");
    Py_DECREF(helpers);
    PyObject* runpy = PyImport_ImportModule("runpy");
    PyObject* globals = runpy ? PyObject_CallMethod(runpy, "run_path", "s", lumora_fuzz_driver) : nullptr;
    Py_XDECREF(runpy);
    one = globals ? PyDict_GetItemString(globals, "one") : nullptr;
    if (!one) stop("the driver defines no one(data)");
    Py_INCREF(one);
    Py_DECREF(globals);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    PyObject* input = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size));
    PyObject* result = input ? PyObject_CallOneArg(one, input) : nullptr;
    Py_XDECREF(input);
    if (!result) stop("the driver's checks failed on this input");
    Py_DECREF(result);
    return 0;
}
