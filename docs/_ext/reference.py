"""The API reference pages: each member's signature from the module's
interface records, read by the same code that writes the typed stubs, and its
text from docs/reference.toml, the one source of the prose that the stubs'
docstrings carry too.

    .. reference:: lumora.Vec3d

documents a class with all its members, a module function, or (for a module
name) the module's own text. Each member gets its signature, its text, then
its parameters (name, type and any ``:param NAME:`` text of its entry), its
result (``:returns:`` text and type), what it raises (``:raises E:``) and the
members it relates to: a line ``:see also: lumora.A.b, lumora.C`` in either
entry links the two both ways.

An entry of the reference that names nothing in the records, a member without
an entry, a class or function that no page documents, a ``:param:`` naming no
parameter, a see-also naming no entry, a summary link whose text is not the
spelling it was given, a parameter list that differs from the signature's,
and a type in a signature that links a built-in name to this site are
warnings, which the -W build turns into errors.
"""

import builtins
import importlib.util
import keyword
import re
from pathlib import Path

from docutils import nodes
from docutils.statemachine import StringList
from sphinx import addnodes
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
        # The see-also lines of every entry, made symmetric.
        self.see_also = {}
        for name, text in self.docs.items():
            for other in split_fields(text)[1].get("see also", []):
                for target in re.split(r"[,\s]+", other.strip()):
                    if target:
                        self.see_also.setdefault(name, []).append(target)
                        self.see_also.setdefault(target, []).append(name)

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
                    f"   :module: {s.qualname[mid]}", "", *indent(self.body(name, m))]  # fmt: skip
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
               *indent(self.body(name, new, returns=False)), ""]  # fmt: skip
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
        spelled = {n: spelling(n, by_name[n][0], name.rpartition(".")[2]) for n in by_name}
        out += indent([".. rubric:: Members", "", ".. rst-class:: lumora-summary", "", *summary(groups, spelled)])
        out.append("")
        # The entries in the summary's order, then any member it leaves out.
        listed = [n for _, _, names in groups for n in names]
        for member_name in listed + [n for n in order if n not in listed]:
            out += indent(self.member(by_name[member_name], f"{name}.{member_name}")) + [""]
        return out

    def member(self, sigs, name):
        m = sigs[0]
        if m.kind == "getter":
            text = indent(self.body(name, None, returns=False))
            return [f".. py:property:: {m.name}", f"   :type: {self.annotation(m.returns)}", ""] + text
        head = [f".. py:{'staticmethod' if m.kind == 'static' else 'method'}:: "
                f"{m.name}({self.params(m)}) -> {self.annotation(m.returns)}"]  # fmt: skip
        return head + [""] + indent(self.body(name, m))

    def body(self, name, m, returns=True):
        """The entry's text, then its fields in a fixed order: the parameters
        of the signature m (each with its type and any text the entry gives
        it), the result, what is raised, and the related members."""
        text, fields = split_fields(self.text(name))
        described = dict(fields.get("param", []))
        shown = []
        for p in m.params if m else []:
            if p not in ("self", "cls", "/", "*"):
                pname, _, ptype = self.annotation(p).partition(": ")
                shown.append((pname, ptype.split(" = ")[0]))
                # A reserved word is shown with a trailing underscore, as
                # Python needs it; the text must name it the same way.
                if pname.endswith("_") and keyword.iskeyword(pname[:-1]) and f"``{pname[:-1]}``" in text:
                    logger.warning(f"the reference of {name} names ``{pname[:-1]}``, shown as {pname}")
        for pname in described:
            if pname not in dict(shown):
                logger.warning(f"the reference of {name} describes a parameter {pname}, which it does not have")
        out = [text, ""]
        for pname, ptype in shown:
            # In a field's name a trailing underscore would make a hyperlink.
            field = pname[:-1] + "\\_" if pname.endswith("_") else pname
            out += [f":param {field}: {described.get(pname, '')}".rstrip(), f":type {field}: {ptype}"]
        if returns and m:
            out += [f":returns: {r}" for _, r in fields.get("returns", [])]
            out.append(f":rtype: {self.annotation(m.returns)}")
        out += [f":raises {e}: {t}" for e, t in fields.get("raises", [])]
        related = list(dict.fromkeys(self.see_also.get(name, [])))
        if related:
            out.append(":see also: " + ", ".join(self.link(r) for r in related))
        return "\n".join(out)

    def link(self, name):
        """A cross-reference to an entry, shown without the package's name."""
        shown = name.removeprefix("lumora.")
        if f"lumora.{shown.split('.')[0]}" in self.modules and "." in shown:
            shown = shown.split(".", 1)[1]  # a submodule's member
        if name in self.modules:
            return f":mod:`{name}`"
        if name in self.classes:
            return f":class:`{shown} <{name}>`"
        if name in self.functions:
            return f":func:`{shown} <{name}>`"
        owner, member = name.rsplit(".", 1)
        cid = self.classes.get(owner)
        records = [f for f in self.stubs.members(cid) if f["name"] == member] if cid else []
        getter = any(self.stubs.signature(f, self.stubs.home[cid], set(), cid).kind == "getter" for f in records)
        return f":{'attr' if getter else 'meth'}:`{shown} <{name}>`"


# How a reader writes the call a special method answers: `a` is the object,
# its operand `s` when that is a number and `b` when it is an object.
SPELLING = {
    "__add__": "a + {o}", "__sub__": "a - {o}", "__mul__": "a * {o}", "__rmul__": "{o} * a",
    "__truediv__": "a / {o}", "__neg__": "-a", "__eq__": "a == {o}", "__ne__": "a != {o}", "__lt__": "a < {o}",
    "__le__": "a <= {o}", "__gt__": "a > {o}", "__ge__": "a >= {o}", "__getitem__": "a[i]", "__len__": "len(a)",
    "__iter__": "iter(a)", "__next__": "next(a)", "__hash__": "hash(a)", "__repr__": "repr(a)",
}  # fmt: skip
NUMBERS = {"float", "int", "builtins.float", "builtins.int"}


def operand_letter(operand, owner):
    """The name of an operator's operand in its spelling: ``s`` for a number,
    ``b`` for another of the owner's class, else the initial of its class
    (``v`` for a Vec3d), so that ``a + v`` on a list is not read as two lists."""
    if operand in NUMBERS:
        return "s"
    cls = operand.rpartition(".")[2]
    if cls in ("", owner):
        return "b"
    # Not a letter the spellings already use for the receiver, a number or
    # an index.
    return cls[0].lower() if cls[0].lower() not in "asi" else "o"


def spelling(name, member, owner):
    """The expression a reader writes for a special method of the class
    `owner`, its operand named after the type the method takes; the name
    itself for anything else."""
    if name not in SPELLING:
        return name
    operand = next((p.partition(": ")[2] for p in member.params if ": " in p), "")
    return SPELLING[name].format(o=operand_letter(operand, owner))


def summary(groups, spelled):
    """A field list of the members by kind, each linking to its entry."""
    lines = []
    for title, role, names in groups:
        if names:
            # A "<" in a link's text would start its target unless escaped.
            links = ", ".join(f":{role}:`{spelled[n].replace('<', chr(92) + '<')} <{n}>`" if spelled[n] != n
                              else f":{role}:`{n}`" for n in names)  # fmt: skip
            lines.append(f":{title}: {links}")
    return lines


FIELD = re.compile(r"^:(param|returns|raises|see also)(?: ([\w.]+))?: ?(.*)$")


def split_fields(text):
    """The text of an entry without its trailing fields, and those fields by
    kind: {"param": [(name, text)], "raises": [(exception, text)], ...}."""
    lines, fields, body = text.splitlines(), {}, []
    current = None
    for line in lines:
        match = FIELD.match(line)
        if match:
            kind, arg, rest = match.groups()
            current = [arg, rest]
            fields.setdefault(kind, []).append(current)
        elif current is not None and line.startswith(" "):
            current[1] += "\n" + line
        else:
            current = None
            body.append(line)
    # A field's text keeps its continuation lines, indented under its first.
    parsed = {k: [(a, t) for a, t in v] for k, v in fields.items()}
    parsed["see also"] = [t for _, t in parsed.get("see also", [])]
    return "\n".join(body).rstrip(), parsed


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
    for name in sorted(set(ref.see_also) - set(ref.docs)):
        logger.warning(f"a see-also line names {name}, which the reference has no entry for")


def builtin_types(app, doctree):
    """Types in signatures and fields that name a built-in (``list`` in
    ``list[float]``) resolve to Python's own, not to a member of the class
    being documented that happens to share the name (``VecList.list``)."""
    for node in doctree.findall(addnodes.pending_xref):
        target = node.get("reftarget", "")
        if node.get("refdomain") == "py" and node.get("reftype") in ("class", "obj") and hasattr(builtins, target):
            node["py:class"] = node["py:module"] = None
            # Its mere presence would ask for a search by the name's last part.
            node.attributes.pop("refspecific", None)


def check_links(app, doctree, docname):
    """The two kinds of link a reader is misled by without a warning: a
    summary link whose text lost its spelling, and a built-in type in a
    signature that leads to this site."""
    for summary_list in doctree.findall(lambda n: isinstance(n, nodes.Element) and "lumora-summary" in n["classes"]):
        for text in summary_list.findall(nodes.literal):
            if not isinstance(text.parent, nodes.reference):
                logger.warning(f"{docname}: the summary shows {text.astext()!r} without a link")
        for ref in summary_list.findall(nodes.reference):
            target = ref.get("refid") or ref.get("refuri", "").rpartition("#")[2]
            member = target.rpartition(".")[2]
            if member in SPELLING:
                expected = {SPELLING[member].format(o=o) for o in "abcdefghijklmnopqrstuvwxyz"}
            else:
                expected = {member, member + "()"}
            if ref.astext() not in expected:
                logger.warning(f"{docname}: the summary link to {target} reads {ref.astext()!r}")
    for sig in doctree.findall(addnodes.desc_signature):
        for ref in sig.findall(nodes.reference):
            if hasattr(builtins, ref.astext()) and "://" not in ref.get("refuri", "://"):
                logger.warning(f"{docname}: the built-in {ref.astext()!r} in {sig.get('ids')} links to this site")
    # The parameter list under an entry names the signature's parameters.
    for desc in doctree.findall(addnodes.desc):
        sig = next(iter(desc.findall(addnodes.desc_signature)), None)
        content = next(iter(desc.findall(addnodes.desc_content)), None)
        if sig is None or content is None:
            continue
        params = [p.astext().split(":")[0].split("=")[0].strip() for p in sig.findall(addnodes.desc_parameter)]
        params = [p for p in params if p not in ("/", "*")]
        for field in content.children:
            if not isinstance(field, nodes.field_list):
                continue
            for name, body in (f.children for f in field.children):
                if name.astext() == "Parameters":
                    listed = [n.astext() for n in body.findall(addnodes.literal_strong)]
                    if listed != params:
                        logger.warning(f"{docname}: {sig.get('ids')} lists parameters {listed}, not {params}")


def setup(app):
    app.add_directive("reference", ReferenceDirective)
    app.connect("builder-inited", builder_inited)
    app.connect("env-check-consistency", check)
    app.connect("doctree-read", builtin_types)
    app.connect("doctree-resolved", check_links)
    return {"version": "1", "parallel_read_safe": False, "parallel_write_safe": True}
