#pragma once
// The module tables, for whatever walks the whole interface (the record
// generator).

#include "bind/members.hpp"

// The body of `lumora`, whose members include its submodule.
const bind::ModuleBody& root_module();
