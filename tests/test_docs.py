"""The documentation: every example in the site's pages, the README and the
reference runs with its printed output checked; the reference covers exactly
the public members the walk of the module finds, and is every member's
docstring at run time; the typed stubs carry the reference's text and let
type checkers accept what works at run time."""

import doctest
import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

import lumora
from walk import MEMBERS, classes, public_names, qualified

ROOT = Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"
_spec = importlib.util.spec_from_file_location("stubgen", ROOT / "scripts" / "stubgen.py")
stubgen = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(stubgen)

REFERENCE = stubgen.load_docs(DOCS / "reference.toml")
PAGES = sorted(p for p in DOCS.rglob("*.rst") if "_build" not in p.parts) + [ROOT / "README.md"]
FLAGS = doctest.ELLIPSIS


def run_examples(text, name, globs):
    """Runs the interpreter session examples of text in one namespace;
    returns the number of examples and the report of any failure."""
    test = doctest.DocTestParser().get_doctest(text, globs, name, name, 0)
    report = []
    runner = doctest.DocTestRunner(optionflags=FLAGS)
    runner.run(test, out=report.append, clear_globs=True)
    return len(test.examples), "".join(report)


@pytest.mark.parametrize("page", PAGES, ids=lambda p: str(p.relative_to(ROOT)))
def test_page_examples(page):
    text = page.read_text()
    # A page of Python without an example in session form would go unchecked.
    assert not re.search(r"(code-block|code|sourcecode)::\s*(python|py)\b|```python", text), "examples must be sessions"
    # Longer lines would not fit the page's code boxes.
    assert [line for line in text.splitlines() if len(line) > 79] == []
    count, report = run_examples(text, str(page.relative_to(ROOT)), {"__name__": "__main__"})
    assert report == "", report
    if page.parent.name == "guides" or page.name == "README.md":
        assert count > 0
    # A bare number other than 1 (every element) as the search's second
    # argument means nothing to a reader unless the page says what a stride is.
    examples = doctest.DocTestParser().get_examples(text)
    call = r"minimum_distance_to\([^()]*(\([^()]*\))?[^()]*, *(?!1\b)\d"
    positional = [e.source for e in examples if re.search(call, e.source)]
    prose = "\n".join(line for line in text.splitlines() if not line.lstrip().startswith((">>>", "...")))
    assert not positional or "stride" in prose, positional


def test_reference_examples():
    import lumora.cloud
    import lumora.geometry

    globs = {n: getattr(m, n) for m in (lumora, lumora.geometry, lumora.cloud) for n in m.__all__}
    total, failures = 0, []
    for name, text in REFERENCE.items():
        assert [line for line in text.splitlines() if len(line) > 79] == [], name
        count, report = run_examples(text, name, dict(globs))
        total += count
        failures += [report] if report else []
    assert failures == [] and total > 20, "".join(failures)


def test_a_wrong_output_fails():
    # The runner above is what every check here rests on: it must notice.
    count, report = run_examples(">>> 1 + 1\n3\n", "planted", {})
    assert count == 1 and "Expected:\n    3\nGot:\n    2" in report


def test_reference_covers_the_module_both_ways():
    found = public_names()
    assert sorted(found - set(REFERENCE)) == [], "public members without a reference entry"
    assert sorted(set(REFERENCE) - found) == [], "reference entries naming no member of the module"
    assert len(found) > 140


def test_stubs_carry_the_reference():
    stubs = Path(lumora.__file__).parent / "lumora-stubs"
    init, geometry = (stubs / "__init__.pyi").read_text(), (stubs / "geometry.pyi").read_text()
    for name, text in [("lumora.Vec3d.dot", init), ("lumora.VecList.minimum_distance_to", init),
                       ("lumora.geometry.circle_circle", geometry), ("lumora.geometry.Plane", geometry)]:  # fmt: skip
        first = REFERENCE[name].splitlines()[0]
        assert first in text, name
    # The module's own text opens the stub; each docstring is one statement.
    assert init.splitlines()[1].startswith('"""Double-precision 3-D vector math')
    compile(init, "__init__.pyi", "exec")
    compile(geometry, "geometry.pyi", "exec")


def test_help_answers_for_every_public_member():
    # At run time (help(), IPython's ?, editors without the stubs) every
    # module, class, method, function and property carries its reference
    # entry, after a text signature that inspect reads; operator slots keep
    # the interpreter's own text and signature.
    import inspect
    from importlib.metadata import version

    import lumora.geometry

    assert lumora.__version__ == version("lumora")
    found = {lumora.__name__: (lumora, ""), lumora.geometry.__name__: (lumora.geometry, "")}
    found |= {qualified(c): (c, "new" if "__new__" in vars(c) else "") for c in classes()}
    for owner, name, how, _ in MEMBERS:
        if how not in ("new", "set", "delete"):
            obj = getattr(owner, name) if how in ("function", "static") else vars(owner)[name]
            found[f"{qualified(owner)}.{name}"] = (obj, how)
    for qualname, (obj, how) in found.items():
        if how == "slot":
            assert obj.__doc__ and inspect.signature(obj), qualname
        else:
            assert obj.__doc__ == REFERENCE.get(qualname, "(no entry)"), f"{qualname}: no reference text at run time"
        if how not in ("", "get"):
            inspect.signature(obj)  # a ValueError here is a text signature inspect cannot read
    assert len([how for _, how in found.values() if how != "slot"]) > 120
    # A parameter named by a reserved word is written as the stubs write it.
    assert str(inspect.signature(lumora.Vec3d.new_from_to)) == "(from_, /, to)"
    assert str(inspect.signature(lumora.Vec3d)) == "(x, y, z)"


def test_type_checking_iteration_and_unpacking(tmp_path):
    (tmp_path / "ok.py").write_text(
        "from lumora import Vec3d, VecList\n"
        "v = Vec3d(1, 2, 3)\n"
        "x, y, z = v\n"
        "total: float = x + y + z + sum(v)\n"
        "for p in VecList([v]):\n"
        "    m: float = p.magnitude()\n"
        "q: Vec3d = next(iter(VecList([v])))\n"
    )
    (tmp_path / "bad.py").write_text("from lumora import Vec3d, VecList\nfor p in VecList([]):\n    p.rotate()\n")
    result = subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "cache"), "ok.py", "bad.py"],
                            cwd=tmp_path, capture_output=True, text=True)  # fmt: skip
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1 and errors[0].startswith("bad.py:3:"), result.stdout
    assert '"Vec3d" has no attribute "rotate"' in errors[0]


def test_member_summaries_spell_calls_that_work():
    # The member summary of a class shows each operator as a reader writes
    # it ("a * b", "a * s", "s * a"), its operand named after the type the
    # method takes; every spelling must run on real objects.
    import lumora.geometry
    from lumora import AngleDegrees, AngleRadians, PointIndex, Quat, RigidTransform, Vec3d, VecList

    sys.path.insert(0, str(DOCS / "_ext"))
    try:
        import reference
    finally:
        sys.path.remove(str(DOCS / "_ext"))
    stubs = stubgen.Stubs(stubgen.records(lumora.__file__))
    samples = {"Vec3d": Vec3d(1, 2, 3), "AngleRadians": AngleRadians(0.5), "AngleDegrees": AngleDegrees(30.0),
               "Quat": Quat(0.5, 0.5, 0.5, 0.5), "VecList": VecList([Vec3d(1, 2, 3)]),
               "Plane": lumora.geometry.Plane.xy(),
               "Circle": lumora.geometry.Circle(Vec3d(0, 0, 0), 1.0, Vec3d.k()),
               "RigidTransform": RigidTransform(Quat(0.5, 0.5, 0.5, 0.5), Vec3d(1, 2, 3)),
               "PointIndex": PointIndex(VecList([Vec3d(1, 2, 3)]))}  # fmt: skip
    samples["VecListIterator"] = iter(samples["VecList"])
    checked = []
    for cid, record in stubs.classes.items():
        name = record["name"]
        for f in stubs.members(cid):
            # A class added later needs a sample here before its summary is checked.
            if f["name"] not in reference.SPELLING or name not in samples:
                continue
            member = stubs.signature(f, stubs.home[cid], set(), cid)
            spelled = reference.spelling(f["name"], member, name)
            operand = next((p.partition(": ")[2] for p in member.params if ": " in p), "")
            # The operand goes by the letter the summary gives it: a reader
            # must not take the list's `a + v` for list + list.
            letter = reference.operand_letter(operand, name)
            env = {"a": samples[name], letter: samples.get(operand.rpartition(".")[2]), "s": 2.0, "i": 0}
            eval(spelled, env)  # a TypeError here is a summary that spells a call that fails
            checked.append(f"{name}: {spelled}")
    assert {"Quat: a * b", "Vec3d: a * s", "Vec3d: s * a", "AngleRadians: a < b", "VecList: a + v",
            "VecList: a - v", "RigidTransform: a * b"} <= set(checked)
    assert len(checked) > 40


def test_links_to_api_names_look_like_links():
    # Sphinx shows a cross-reference as code, like any literal; the site's
    # style must set it apart (colour and underline) so a reader sees it can
    # be clicked.
    css = (DOCS / "_static" / "lumora.css").read_text()
    rules = dict(re.findall(r"([^{}]+)\{([^}]*)\}", re.sub(r"/\*.*?\*/", "", css, flags=re.S)))
    linked = [body for selector, body in rules.items()
              if "a.reference code.xref" in map(str.strip, selector.split(","))]  # fmt: skip
    assert linked, "no rule for links to API names"
    assert "underline" in linked[0] and re.search(r"(^|;)\s*color:", linked[0])
