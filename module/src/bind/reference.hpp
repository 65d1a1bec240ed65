#pragma once
// The reference text of the public interface at run time: the entries of
// docs/reference.toml, compiled in by scripts/reference_text.py at build
// time, become the __doc__ of every class, method, function, property and
// module the tables define, after each callable's text signature.

#include <span>
#include <string_view>

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace bind {

// One entry: a class or one of its members from the class's name on
// ("Vec3d", "Vec3d.dot"), a module or module function by its qualified name
// ("lumora.geometry", "lumora.geometry.plane_line").
struct ReferenceEntry {
    std::string_view key;
    std::string_view text;
};

// Every entry, sorted by key (generated).
std::span<const ReferenceEntry> reference_entries();

// The version of the package, as its metadata gives it (generated).
extern const char* const package_version;

// The text under `key`, or empty when the reference has no such entry.
std::string_view reference_text(std::string_view key);

// A docstring that lives as long as the process: `signature` (a text
// signature ending in "--\n\n", or empty) followed by the text under `key`.
const char* documented(std::string_view signature, std::string_view key);

// Gives the methods and properties of a class's slot table their text
// ("<Class>.<member>"), after a method's text signature, and returns the
// class's docstring: `signature` (its constructor's, or empty) and the text
// of the class.
const char* document_class(const char* cls, std::span<const PyType_Slot> slots, std::string_view signature);

} // namespace bind
