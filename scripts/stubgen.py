"""Reads the interface records of a built lumora shared object, without
importing it, and writes typed stubs from them.

    stubgen.py MODULE.so OUTDIR [DOCS]   writes OUTDIR/__init__.pyi and one .pyi per submodule,
                                         with the docstrings of DOCS (docs/reference.toml)
    stubgen.py --list MODULE.so          prints each record's symbol and JSON text
"""

import json
import keyword
import struct
import sys
import tomllib
from pathlib import Path

PREFIX = b"PYO3_INTROSPECTION_1_"


def symbols(data):
    """(name, value, size, section index) of every dynamic symbol of a
    little-endian ELF64 file."""
    if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        raise ValueError("not a little-endian 64-bit ELF file")
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum = struct.unpack_from("<HH", data, 0x3A)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize) for i in range(shnum)]
    SHT_DYNSYM = 11
    for _, sh_type, _, _, offset, size, link, _, _, entsize in sections:
        if sh_type != SHT_DYNSYM:
            continue
        strtab = sections[link][4]
        for at in range(offset, offset + size, entsize):
            st_name, st_info, _, st_shndx, st_value, st_size = struct.unpack_from("<IBBHQQ", data, at)
            end = data.index(b"\0", strtab + st_name)
            yield data[strtab + st_name:end], st_info, st_shndx, st_value, st_size


def raw_records(path):
    """(symbol name, symbol bytes, binding and type byte, section flags) of
    every record symbol."""
    data = Path(path).read_bytes()
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, = struct.unpack_from("<H", data, 0x3A)
    out = []
    for name, info, shndx, value, size in symbols(data):
        if not name.startswith(PREFIX) or shndx == 0:
            continue
        _, _, flags, addr, offset, *_ = struct.unpack_from("<IIQQQQIIQQ", data, shoff + shndx * shentsize)
        start = offset + value - addr
        out.append((name.decode(), data[start:start + size], info, flags))
    return out


def parse(blob):
    """The JSON object of one record's bytes; raises ValueError when the
    container is malformed."""
    if len(blob) < 4 or len(blob) % 4:
        raise ValueError(f"record size {len(blob)} is not a positive multiple of 4")
    n, = struct.unpack_from("<I", blob)
    padding = blob[4 + n:]
    if 4 + n > len(blob) or len(padding) > 3 or padding.strip(b"\0"):
        raise ValueError("bad length or non-zero padding")
    return json.loads(blob[4:4 + n].decode())


def records(path):
    return [parse(blob) for _, blob, _, _ in raw_records(path)]


def load_docs(path):
    """The reference text of each member, by qualified name ("lumora.Vec3d.dot").
    A property's one entry serves its getter and setter."""
    with open(path, "rb") as f:
        return {name: text.strip() for name, text in tomllib.load(f).items()}


def docstring(text, indent):
    """A docstring statement holding text, at the given indent."""
    body = text.replace("\\", "\\\\").replace('"""', '\\"\\"\\"')
    lines = [indent + '"""' + body.splitlines()[0]]
    lines += [indent + line if line else "" for line in body.splitlines()[1:]]
    if len(lines) > 1:
        lines.append(indent)
    lines[-1] += '"""'
    return lines


class Member:
    """One function record as a signature: its name, decorators, parameters
    (as written in a stub) and result."""

    def __init__(self, name, decorators, params, returns, receiver):
        self.name, self.decorators, self.params, self.returns = name, decorators, params, returns
        self.receiver = receiver  # "self", "cls" or None

    @property
    def kind(self):
        if self.decorators == ["staticmethod"]:
            return "static"
        if self.decorators == ["property"]:
            return "getter"
        if self.decorators and self.decorators[0].endswith(".setter"):
            return "setter"
        if self.receiver is None:
            return "function"
        return "new" if self.name == "__new__" else "method"


class Stubs:
    """The stub text of each module, from the records, with the docstrings
    of `docs` (qualified name -> text) where it has them."""

    def __init__(self, recs, docs=None):
        self.docs = docs or {}
        self.modules = {r["id"]: r for r in recs if r["type"] == "module"}
        self.classes = {r["id"]: r for r in recs if r["type"] == "class"}
        self.functions = [r for r in recs if r["type"] == "function"]
        children = {m for r in self.modules.values() for m in r["members"] if m in self.modules}
        roots = [i for i in self.modules if i not in children]
        if len(roots) != 1:
            raise ValueError("the records do not form one module tree")
        self.root = roots[0]
        # Qualified module names, and the module of each class: a class that
        # is no module's member lives in the root's stub.
        self.qualname = {}
        self.home = dict.fromkeys(self.classes, self.root)

        def walk(mid, prefix):
            name = prefix + self.modules[mid]["name"]
            self.qualname[mid] = name
            for m in self.modules[mid]["members"]:
                if m in self.modules:
                    walk(m, name + ".")
                elif m in self.classes:
                    self.home[m] = mid

        walk(self.root, "")

    def expr(self, e, here, imports, cls=None):
        kind = e["type"]
        if kind == "name":
            if e["id"] not in ("None", "staticmethod", "property"):
                imports.add(e["id"])
            return e["id"]
        if kind == "attribute":
            value = e["value"]
            # Inside a class body its own attributes are plain names
            # (`@x.setter`).
            if value.get("type") == "id" and value["id"] == cls:
                return e["attr"]
            return f"{self.expr(value, here, imports, cls)}.{e['attr']}"
        if kind == "id":
            name = self.classes[e["id"]]["name"]
            home = self.home[e["id"]]
            if home == here:
                return name
            imports.add(self.qualname[home])
            return f"{self.qualname[home]}.{name}"
        if kind == "subscript":
            return f"{self.expr(e['value'], here, imports, cls)}[{self.expr(e['slice'], here, imports, cls)}]"
        if kind == "tuple":
            return ", ".join(self.expr(x, here, imports, cls) for x in e["elts"])
        if kind == "binop":
            return f"{self.expr(e['left'], here, imports, cls)} | {self.expr(e['right'], here, imports, cls)}"
        if kind == "constant":
            return e["value"]
        raise ValueError(f"unknown expression {kind!r}")

    def signature(self, f, here, imports, cls=None):
        decorators = [self.expr(d, here, imports, cls) for d in f.get("decorators", [])]
        posonly = [p["name"] for p in f["arguments"].get("posonlyargs", [])]
        args = [(p["name"], self.expr(p["annotation"], here, imports, cls)) for p in f["arguments"].get("args", [])]
        # A parameter named by a reserved word can be given only by position,
        # as can every one before it.
        reserved = [i for i, (name, _) in enumerate(args) if keyword.iskeyword(name)]
        cut = reserved[-1] + 1 if reserved else 0
        params = posonly + [f"{name}_: {t}" if keyword.iskeyword(name) else f"{name}: {t}" for name, t in args[:cut]]
        if params:
            params.append("/")
        params += [f"{name}: {t}" for name, t in args[cut:]]
        # Keyword-only parameters, each with its default.
        keyword_only = f["arguments"].get("kwonlyargs", [])
        if keyword_only:
            params.append("*")
        for p, default in zip(keyword_only, f["arguments"].get("kw_defaults", [])):
            annotation = self.expr(p["annotation"], here, imports, cls)
            params.append(f"{p['name']}: {annotation} = {self.expr(default, here, imports, cls)}")
        returns = f["returns"]
        # A `T | None` from __next__ is the end of the iteration, which the
        # interpreter turns into StopIteration: no caller ever receives None.
        if f["name"] == "__next__" and returns["type"] == "binop" and returns["right"].get("type") == "constant":
            returns = returns["left"]
        return Member(f["name"], decorators, params, self.expr(returns, here, imports, cls), (posonly or [None])[0])

    def function(self, f, here, imports, indent, cls=None, qualname=None):
        m = self.signature(f, here, imports, cls)
        lines = [f"{indent}@{d}" for d in m.decorators]
        line = f"{indent}def {m.name}({', '.join(m.params)}) -> {m.returns}:"
        # The interpreter's object compares with anything; these classes
        # compare only with their own kind.
        ignore = "  # type: ignore[override]" if m.name in ("__eq__", "__ne__") else ""
        doc = self.docs.get(qualname) if m.kind != "setter" else None
        if doc is None:
            return lines + [line + " ..." + ignore]
        return lines + [line + ignore] + docstring(doc, indent + "    ")

    def module(self, mid):
        imports, body = set(), []
        members = self.modules[mid]["members"]
        orphans = [c for c in self.classes if self.home[c] == mid and c not in members]
        for m in members + orphans:
            if m in self.modules:
                body.append(f"from . import {self.modules[m]['name']} as {self.modules[m]['name']}")
            elif m in self.classes:
                body += self.cls(m, mid, imports)
            else:
                f = self.function_by_id(m)
                body += self.function(f, mid, imports, "", qualname=f"{self.qualname[mid]}.{f['name']}")
        imports.discard(self.qualname[mid])
        head = [f"import {name}" for name in sorted(imports)]
        # The members, in order, are the module's __all__.
        names = [(self.modules.get(m) or self.classes.get(m) or self.function_by_id(m))["name"] for m in members]
        exported = "__all__ = [" + ", ".join(f'"{n}"' for n in names) + "]"
        doc = self.docs.get(self.qualname[mid])
        top = ["# Generated from the module's interface records.", *(docstring(doc, "") if doc else [])]
        return "\n".join([*top, *head, "", exported, "", *body]) + "\n"

    def function_by_id(self, fid):
        return next(f for f in self.functions if f.get("id") == fid)

    def class_name(self, cid):
        """The qualified name of a class: its home module's, then its own."""
        return f"{self.qualname[self.home[cid]]}.{self.classes[cid]['name']}"

    def members(self, cid):
        """The function records of a class, a property's setter after its getter."""
        members = [f for f in self.functions if f.get("parent") == cid]
        members.sort(key=lambda f: (f["name"], any(d["type"] == "attribute" for d in f.get("decorators", []))))
        return members

    def cls(self, cid, here, imports):
        c = self.classes[cid]
        lines = [""] + [f"@{self.expr(d, here, imports)}" for d in c.get("decorators", [])]
        lines.append(f"class {c['name']}:")
        qualname = self.class_name(cid)
        if qualname in self.docs:
            lines += docstring(self.docs[qualname], "    ")
        members = self.members(cid)
        for f in members:
            lines += self.function(f, here, imports, "    ", cid, f"{qualname}.{f['name']}")
        has = {f["name"] for f in members}
        # Equality without a hash makes instances unhashable.
        if "__eq__" in has and "__hash__" not in has:
            lines.append("    __hash__: typing.ClassVar[None]  # type: ignore[assignment]")
            imports.add("typing")
        # Indexing by int without __iter__ or __len__ iterates by the
        # interpreter's sequence protocol (items from 0 up to the first
        # IndexError), which type checkers see only through __iter__.
        getitem = next((f for f in members if f["name"] == "__getitem__"), None)
        if getitem and not has & {"__iter__", "__len__"}:
            item = self.expr(getitem["returns"], here, imports, cid)
            lines.append(f"    def __iter__(self) -> collections.abc.Iterator[{item}]: ...")
            imports.add("collections.abc")
        return lines

    def files(self):
        out = {}
        for mid, name in self.qualname.items():
            depth = name.count(".")
            if depth > 1:
                raise ValueError(f"module {name} is nested too deeply for a flat stub package")
            out["__init__.pyi" if depth == 0 else name.rsplit(".", 1)[1] + ".pyi"] = self.module(mid)
        return out


def main(argv):
    if len(argv) == 3 and argv[1] == "--list":
        for name, blob, _, _ in raw_records(argv[2]):
            print(name, json.dumps(parse(blob), separators=(",", ":")))
        return 0
    if len(argv) not in (3, 4):
        print(__doc__, file=sys.stderr)
        return 2
    out = Path(argv[2])
    out.mkdir(parents=True, exist_ok=True)
    docs = load_docs(argv[3]) if len(argv) == 4 else {}
    for name, text in Stubs(records(argv[1]), docs).files().items():
        (out / name).write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
