"""The API reference pages: each member's signature from the module's
interface records, read by the same code that writes the typed stubs, and its
text from docs/reference.toml, the one source of the prose that the stubs'
docstrings carry too.

    .. reference:: lumora.Vec3d

documents a class with all its members, a module function, or (for a module
name) the module's own text. An entry of the reference that names nothing in
the records, a member without an entry, and a class or function that no page
documents are warnings, which the -W build turns into errors.
"""

import importlib.util
import re
from pathlib import Path

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective
from sphinx.util.nodes import nested_parse_with_titles

ROOT = Path(__file__).resolve().parents[2]
logger = logging.getLogger(__name__)


def _stubgen():
    spec = importlib.util.spec_from_file_location("stubgen", ROOT / "scripts" / "stubgen.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class Reference:
    """The records of the installed module and the reference text."""

    def __init__(self, toml):
        import lumora

        stubgen = _stubgen()
        self.toml, self.module_file = toml, lumora.__file__
        self.docs = stubgen.load_docs(toml)
        self.stubs = stubgen.Stubs(stubgen.records(lumora.__file__), self.docs)
        s = self.stubs
        self.modules = {name: mid for mid, name in s.qualname.items()}
        self.classes = {s.class_name(cid): cid for cid in s.classes}
        self.functions = {f"{s.qualname[mid]}.{f['name']}": (mid, f) for mid in s.modules for f in s.functions
                          if f.get("id") in s.modules[mid]["members"]}  # fmt: skip
        # Every name the reference may hold an entry for.
        self.names = set(self.modules) | set(self.classes) | set(self.functions)
        for name, cid in self.classes.items():
            self.names |= {f"{name}.{f['name']}" for f in s.members(cid) if f["name"] != "__new__"}

    def text(self, name):
        if name not in self.docs:
            logger.warning(f"the reference has no entry for {name}")
            return ""
        return self.docs[name]

    def annotation(self, text):
        return re.sub(r"\bbuiltins\.", "", text)

    def params(self, member):
        """The parameters as a reader passes them: no receiver, and no "/"
        that would stand for the receiver alone."""
        shown = [p for p in member.params if p not in ("self", "cls")]
        if shown[:1] == ["/"]:
            shown = shown[1:]
        return self.annotation(", ".join(shown))

    def lines(self, name):
        s = self.stubs
        out = []
        if name in self.modules:
            out += [f".. py:module:: {name}", "", *self.text(name).splitlines()]
        elif name in self.functions:
            mid, f = self.functions[name]
            m = s.signature(f, mid, set())
            out += [f".. py:function:: {m.name}({self.params(m)}) -> {self.annotation(m.returns)}",
                    f"   :module: {s.qualname[mid]}", "", *indent(self.text(name))]  # fmt: skip
        elif name in self.classes:
            out += self.cls(name)
        else:
            logger.warning(f"the reference directive names {name}, which is neither a module, a class nor a function")
        return out

    def cls(self, name):
        s = self.stubs
        cid = self.classes[name]
        here = s.home[cid]
        members = s.members(cid)
        new = next((s.signature(f, here, set(), cid) for f in members if f["name"] == "__new__"), None)
        params = f"({self.params(new)})" if new else ""
        out = [f".. py:class:: {s.classes[cid]['name']}{params}", f"   :module: {s.qualname[here]}", "   :final:", "",
               *indent(self.text(name)), ""]  # fmt: skip
        by_name = {}
        for f in members:
            if f["name"] != "__new__":
                by_name.setdefault(f["name"], []).append(s.signature(f, here, set(), cid))
        # The reference's order, then anything it lacks (warned about).
        order = [n.rsplit(".", 1)[1] for n in self.docs if n.rsplit(".", 1)[0] == name]
        order = [n for n in order if n in by_name] + sorted(n for n in by_name if n not in order)
        kinds = {n: sigs[0].kind for n, sigs in by_name.items()}
        groups = [
            ("Made by", "meth", [n for n in order if kinds[n] == "static"]),
            ("Properties", "attr", [n for n in order if kinds[n] == "getter"]),
            ("Methods", "meth", [n for n in order if kinds[n] == "method" and not n.startswith("__")]),
            ("Operators and protocols", "meth", [n for n in order if kinds[n] == "method" and n.startswith("__")]),
        ]
        out += indent([".. rubric:: Members", "", *summary(groups)]) + [""]
        for member_name in order:
            out += indent(self.member(by_name[member_name], f"{name}.{member_name}")) + [""]
        return out

    def member(self, sigs, name):
        m = sigs[0]
        text = indent(self.text(name))
        if m.kind == "getter":
            return [f".. py:property:: {m.name}", f"   :type: {self.annotation(m.returns)}", ""] + text
        head = [f".. py:{'staticmethod' if m.kind == 'static' else 'method'}:: "
                f"{m.name}({self.params(m)}) -> {self.annotation(m.returns)}"]  # fmt: skip
        return head + [""] + text


# How a reader writes the call a special method answers.
SPELLING = {
    "__add__": "a + b", "__sub__": "a - b", "__mul__": "a * s", "__rmul__": "s * a", "__truediv__": "a / s",
    "__neg__": "-a", "__eq__": "a == b", "__ne__": "a != b", "__lt__": "a < b", "__le__": "a <= b",
    "__gt__": "a > b", "__ge__": "a >= b", "__getitem__": "a[i]", "__len__": "len(a)", "__iter__": "iter(a)",
    "__next__": "next(a)", "__hash__": "hash(a)", "__repr__": "repr(a)",
}  # fmt: skip


def summary(groups):
    """A field list of the members by kind, each linking to its entry."""
    lines = []
    for title, role, names in groups:
        if names:
            links = ", ".join(f":{role}:`{SPELLING[n]} <{n}>`" if n in SPELLING else f":{role}:`{n}`" for n in names)
            lines.append(f":{title}: {links}")
    return lines


def indent(text, by="   "):
    return [by + line if line else "" for line in (text.splitlines() if isinstance(text, str) else text)]


class ReferenceDirective(SphinxDirective):
    required_arguments = 1

    def run(self):
        ref = self.env.app.lumora_reference
        name = self.arguments[0]
        # A page is read again when the text, the module or this code changes.
        for source in (ref.toml, ref.module_file, Path(__file__)):
            self.env.note_dependency(str(source))
        self.env.lumora_documented = getattr(self.env, "lumora_documented", set()) | {name}
        container = nodes.container()
        nested_parse_with_titles(self.state, StringList(ref.lines(name), source=f"reference of {name}"), container)
        return container.children


def builder_inited(app):
    app.lumora_reference = Reference(ROOT / "docs" / "reference.toml")


def check(app, env):
    ref = app.lumora_reference
    for name in sorted(set(ref.docs) - ref.names):
        logger.warning(f"the reference has an entry for {name}, which the module does not have")
    documented = getattr(env, "lumora_documented", set())
    for name in sorted((set(ref.classes) | set(ref.functions) | set(ref.modules)) - documented):
        logger.warning(f"no page documents {name}")


def setup(app):
    app.add_directive("reference", ReferenceDirective)
    app.connect("builder-inited", builder_inited)
    app.connect("env-check-consistency", check)
    return {"version": "1", "parallel_read_safe": False, "parallel_write_safe": True}
