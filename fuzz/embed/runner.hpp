#pragma once
// The runner of the drivers written in Python: one interpreter per fuzzing
// process, started before the first input, with lumora linked in (so that
// its code is instrumented and counted) and the exporter module `_fuzz`.

#include <Python.h>

// The path of the driver a target runs; each target defines it.
extern const char* const lumora_fuzz_driver;

// The `_fuzz` module's entry point.
PyObject* init_fuzz_module();
