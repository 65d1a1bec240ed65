// One fuzz target over a driver in Python, named by the build.
#include "embed/runner.hpp"

const char* const lumora_fuzz_driver = LUMORA_FUZZ_DRIVER;
