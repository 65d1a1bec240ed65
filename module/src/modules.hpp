#pragma once
// The module tables, for whatever walks the whole interface.

#include "bind/module.hpp"

// The body of `lumora`, whose members include its submodule.
const bind::ModuleBody& root_module();
