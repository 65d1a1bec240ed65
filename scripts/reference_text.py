"""Writes the C++ source that carries the reference text into the module, so
that help(), IPython's ``?`` and editors without the stubs read the same
prose as the stubs and the site (docs/reference.toml, the one source).

    reference_text.py REFERENCE.toml PYPROJECT.toml OUTPUT.cpp

A class and its members are keyed from the class on ("Vec3d", "Vec3d.dot"),
since the binding toolkit documents a class by its own name wherever it
lives; modules and module functions keep their qualified names ("lumora",
"lumora.geometry.plane_line"). Two entries with one key stop the build.
The package's version comes from pyproject.toml.
"""

import sys
import tomllib
from pathlib import Path


def key(name):
    """The key of a qualified name: from its class (the first capitalised
    part) on, or the whole name when no class is part of it."""
    parts = name.split(".")
    at = next((i for i, part in enumerate(parts) if part[:1].isupper()), 0)
    return ".".join(parts[at:])


def literal(text):
    """A C++ string literal of text's UTF-8 bytes."""
    out = []
    for b in text.encode():
        if b == 0x0A:
            out.append("\\n")
        elif b in (0x22, 0x5C):
            out.append("\\" + chr(b))
        elif 0x20 <= b < 0x7F and b != 0x3F:  # "?" could start a trigraph
            out.append(chr(b))
        else:
            out.append(f"\\{b:03o}")
    return '"' + "".join(out) + '"'


def main(argv):
    if len(argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    reference = tomllib.loads(Path(argv[1]).read_text())
    version = tomllib.loads(Path(argv[2]).read_text())["project"]["version"]
    entries = {}
    for name, text in reference.items():
        k = key(name)
        if k in entries:
            print(f"{argv[0]}: {name} and {entries[k][0]} share the key {k}", file=sys.stderr)
            return 1
        entries[k] = (name, text.strip())
    # Sorted by bytes, as std::string_view compares, for the binary search.
    rows = sorted(entries.items(), key=lambda item: item[0].encode())
    lines = [
        "// Generated from docs/reference.toml and pyproject.toml at build time; not edited by hand.",
        "",
        '#include "bind/reference.hpp"',
        "",
        "namespace bind {",
        "",
        "namespace {",
        "constexpr ReferenceEntry entries[] = {",
        *(f"    {{{literal(k)}, {literal(text)}}}," for k, (_, text) in rows),
        "};",
        "} // namespace",
        "",
        "std::span<const ReferenceEntry> reference_entries() { return entries; }",
        "",
        f"const char* const package_version = {literal(version)};",
        "",
        "} // namespace bind",
    ]
    Path(argv[3]).write_text("\n".join(lines) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
