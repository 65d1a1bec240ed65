"""The interface records in the built shared object, read from the file and
checked against the live module both ways; the stubs made from them."""

import importlib.util
import inspect
import json
import keyword
import os
import subprocess
import sys
from collections import Counter
from pathlib import Path

import pytest

import lumora
from lumora import AngleDegrees, AngleRadians, PointIndex, Quat, RigidTransform, Vec3d, VecList
import lumora.cloud
from lumora.geometry import Circle, Plane
from walk import computes

ROOT = Path(__file__).resolve().parent.parent
_spec = importlib.util.spec_from_file_location("stubgen", ROOT / "scripts" / "stubgen.py")
stubgen = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(stubgen)

RAW = stubgen.raw_records(lumora.__file__)
RECORDS = [stubgen.parse(blob) for _, blob, _, _ in RAW]
CLASSES = {r["id"]: r for r in RECORDS if r["type"] == "class"}
MODULES = {r["id"]: r for r in RECORDS if r["type"] == "module"}
FUNCTIONS = [r for r in RECORDS if r["type"] == "function"]
STUBS = stubgen.Stubs(RECORDS)
SUBMODULES = (lumora.geometry, lumora.cloud)

SAMPLES = {
    "Vec3d": lambda: Vec3d(1, 2, 3),
    "AngleRadians": lambda: AngleRadians(1.0),
    "AngleDegrees": lambda: AngleDegrees(1.0),
    "Quat": lambda: Quat(1, 0, 0, 0),
    "VecList": lambda: VecList([Vec3d(1, 2, 3)]),
    "VecListIterator": lambda: iter(VecList([])),
    "PointIndex": lambda: PointIndex(VecList([Vec3d(1, 2, 3)])),
    "Plane": Plane.xy,
    "Circle": lambda: Circle(Vec3d(0, 0, 0), 1.0, Vec3d(0, 0, 1)),
    "RigidTransform": RigidTransform.identity,
    "IcpResult": lambda: lumora.cloud.icp(VecList([Vec3d(1, 2, 3)]), PointIndex(VecList([Vec3d(1, 2, 3)])), 1.0),
}
LIVE_CLASSES = {c.__name__: c for c in [type(f()) for f in SAMPLES.values()]}


def text(e):
    return STUBS.expr(e, None, set())


def owner(f):
    return CLASSES[f["parent"]]["name"] if "parent" in f else "module functions"


def role(f):
    decorators = [text(d) for d in f.get("decorators", [])]
    if decorators == ["property"]:
        return "getter"
    return "setter" if decorators and decorators[0].endswith(".setter") else None


def test_container():
    # Length, compact JSON, zero padding; each a global object symbol in
    # read-only data.
    SHF_WRITE, STB_GLOBAL, STT_OBJECT = 1, 1, 1
    for name, blob, info, flags in RAW:
        n = int.from_bytes(blob[:4], "little")
        assert len(blob) % 4 == 0 and len(blob) - 4 - n in range(4), name
        assert blob[4 + n:] == bytes(len(blob) - 4 - n), name
        record = json.loads(blob[4:4 + n])
        assert json.dumps(record, separators=(",", ":")).encode() == blob[4:4 + n], name
        assert (info >> 4, info & 0xF) == (STB_GLOBAL, STT_OBJECT) and not flags & SHF_WRITE, name
    with pytest.raises(ValueError):
        stubgen.parse(b"\x02\0\0\0{}\0\1")


def test_exported_symbols():
    # The entry point and the records, nothing else.
    data = Path(lumora.__file__).read_bytes()
    defined = {n.decode() for n, info, shndx, _, _ in stubgen.symbols(data) if shndx}
    assert defined == {"PyInit_lumora"} | {name for name, *_ in RAW}


def test_counts():
    # Beyond the records of the interface's core, each class has __reduce__,
    # and VecList from_buffer, __reduce_ex__, __buffer__, __release_buffer__,
    # take, compress, sum, mean and bounds; PointIndex has its constructor,
    # __len__, six queries, points and both reductions; lumora.cloud has four
    # functions and two of registration, whose IcpResult has five properties,
    # __repr__ and __reduce__; RigidTransform its 15 and VecList transform and
    # copy.
    assert Counter(r["type"] for r in RECORDS) == {"module": 3, "class": 11,
                                                   "function": 158 + 17 + 11 + 4 + 2 + 7 + 17}  # fmt: skip
    assert Counter(owner(f) for f in FUNCTIONS) == {
        "Vec3d": 37 + 1, "AngleRadians": 28 + 1, "VecList": 25 + 10 + 2, "Quat": 26 + 1, "Circle": 13 + 1,
        "Plane": 12 + 1, "AngleDegrees": 11 + 1, "VecListIterator": 2 + 1, "module functions": 4 + 4 + 2,
        "PointIndex": 11, "RigidTransform": 15, "IcpResult": 7,
    }  # fmt: skip


def test_modules_and_references():
    ids = [r["id"] for r in RECORDS if "id" in r]
    assert len(ids) == len(set(ids))
    by_name = {m["name"]: m for m in MODULES.values()}
    assert set(by_name) == {"lumora", "geometry", "cloud"}
    for name, module in [("lumora", lumora), ("geometry", lumora.geometry), ("cloud", lumora.cloud)]:
        known = {**MODULES, **CLASSES, **{f["id"]: f for f in FUNCTIONS if "id" in f}}
        assert [known[m]["name"] for m in by_name[name]["members"]] == module.__all__
        assert by_name[name]["incomplete"] is False

    def refs(e):
        if isinstance(e, dict):
            if e.get("type") == "id":
                yield e["id"]
            for v in e.values():
                yield from refs(v)
        elif isinstance(e, list):
            for v in e:
                yield from refs(v)

    assert all(r in CLASSES for r in refs(FUNCTIONS))
    assert all(f.get("parent", "") in CLASSES or "id" in f for f in FUNCTIONS)
    assert all(c["decorators"] == [{"type": "attribute", "value": {"type": "name", "id": "typing"}, "attr": "final"}]
               for c in CLASSES.values())  # fmt: skip


def live_members(cls):
    """(name, role) of every member the interpreter shows on the class that
    the class computes itself."""
    sample = SAMPLES[cls.__name__]()
    out = set()
    for name, attr in vars(cls).items():
        if type(attr).__name__ == "getset_descriptor":
            out.add((name, "getter"))
            try:
                setattr(sample, name, getattr(sample, name))
                out.add((name, "setter"))
            except AttributeError:
                pass
        elif type(attr).__name__ == "wrapper_descriptor":
            if computes(cls, name):
                out.add((name, None))
        elif callable(attr) and name not in ("__doc__", "__module__"):
            out.add((name, None))
    return out


@pytest.mark.parametrize("name", sorted(LIVE_CLASSES))
def test_class_members_match_both_ways(name):
    records = [(f["name"], role(f)) for f in FUNCTIONS if owner(f) == name]
    assert Counter(records).most_common(1)[0][1] == 1
    assert set(records) == live_members(LIVE_CLASSES[name])


def test_module_functions_match_both_ways():
    records = sorted(f["name"] for f in FUNCTIONS if "id" in f)
    live = sorted(n for m in SUBMODULES for n in m.__all__ if inspect.isbuiltin(getattr(m, n)))
    assert records == live and not [n for n in lumora.__all__ if inspect.isbuiltin(getattr(lumora, n))]


def live_callable(f):
    if "id" in f:
        return next(getattr(m, f["name"]) for m in SUBMODULES if f["name"] in m.__all__)
    cls = LIVE_CLASSES[owner(f)]
    return cls if f["name"] == "__new__" else vars(cls)[f["name"]]


def test_arguments_and_decorators():
    for f in FUNCTIONS:
        where = f"{owner(f)}.{f['name']}"
        args = f["arguments"]
        receiver = [p["name"] for p in args.get("posonlyargs", [])]
        names = [p["name"] for p in args.get("args", [])]
        assert all("annotation" in p for p in args.get("args", [])), where
        assert all(args[k] for k in args), where  # empty lists are left out
        live = live_callable(f)
        decorators = [text(d) for d in f.get("decorators", [])]
        if isinstance(live, staticmethod) or "id" in f:
            assert receiver == [] and decorators == (["staticmethod"] if "parent" in f else []), where
        elif f["name"] == "__new__":
            assert receiver == ["cls"] and not decorators, where
        else:
            assert receiver == ["self"], where
        if role(f) == "getter":
            assert names == [], where
        elif role(f) == "setter":
            qualified = f"{STUBS.qualname[STUBS.home[f['parent']]]}.{owner(f)}"
            assert decorators == [f"{qualified}.{f['name']}.setter"], where
            assert names == ["value"] and text(f["returns"]) == "None", where
        elif type(live).__name__ != "wrapper_descriptor":
            # Slot wrappers show the interpreter's generic signature.
            # Read as text: a parameter may be named by a reserved word.
            signature = (live.__func__ if isinstance(live, staticmethod) else live).__text_signature__
            params = [p.lstrip("$") for p in signature.strip("()").split(", ") if p]
            defaults = [text(d) for d in args.get("kw_defaults", [])]
            keyword_only = [p["name"] + "=" + d for p, d in zip(args.get("kwonlyargs", []), defaults, strict=True)]
            # A reserved word is shown as the stubs show it: with a trailing
            # underscore, taken by position only, as is every one before it.
            cut = max((i + 1 for i, n in enumerate(names) if keyword.iskeyword(n)), default=0)
            names = [n + "_" if keyword.iskeyword(n) else n for n in names]
            names = names[:cut] + (["/"] if cut else []) + names[cut:]
            expected = (receiver if receiver == ["self"] else []) + names + (["*", *keyword_only] if keyword_only else [])
            assert params == expected, where


def record(owner_name, name, role_=None):
    (f,) = [f for f in FUNCTIONS if owner(f) == owner_name and f["name"] == name and role(f) == role_]
    return f


def test_edge_cases():
    i = record("Vec3d", "i")
    assert i["arguments"] == {} and i["decorators"] == [{"type": "name", "id": "staticmethod"}]
    x = record("Vec3d", "x", "setter")
    assert x["arguments"]["args"] == [
        {"name": "value", "annotation": {"type": "attribute", "value": {"type": "name", "id": "builtins"}, "attr": "float"}}
    ]  # fmt: skip
    assert x["returns"] == {"type": "name", "id": "None"}
    assert x["decorators"] == [{"type": "attribute", "attr": "setter", "value": {
        "type": "attribute", "attr": "x", "value": {"type": "id", "id": x["parent"]}}}]  # fmt: skip


@pytest.mark.parametrize(
    "owner_name, name, annotation",
    [
        ("Quat", "to_vec3d", "builtins.tuple[builtins.float, builtins.float, builtins.float]"),
        ("Quat", "to_rotation_matrix", "builtins.list[builtins.list[builtins.float]]"),
        ("Quat", "to_axis_angle", "builtins.tuple[lumora.Vec3d, lumora.AngleRadians]"),
        ("VecList", "to_array", "builtins.list[builtins.list[builtins.float]]"),
        ("VecList", "minimum_distance_to", "builtins.tuple[builtins.int, builtins.float]"),
        ("VecList", "is_unit", "builtins.list[builtins.bool]"),
        ("VecList", "__iter__", "lumora.VecListIterator"),
        ("VecListIterator", "__next__", "lumora.Vec3d | None"),
        ("VecList", "rotate", "None"),
        ("VecList", "bounds", "builtins.tuple[lumora.Vec3d, lumora.Vec3d]"),
        ("Vec3d", "__hash__", "builtins.int"),
        ("module functions", "circle_circle", "builtins.tuple[lumora.Vec3d, lumora.Vec3d]"),
    ],
)
def test_result_annotations(owner_name, name, annotation):
    assert text(record(owner_name, name)["returns"]) == annotation


def test_buffer_members():
    from_buffer = record("VecList", "from_buffer")
    assert from_buffer["decorators"] == [{"type": "name", "id": "staticmethod"}]
    assert [(p["name"], text(p["annotation"])) for p in from_buffer["arguments"]["args"]] == [
        ("buffer", "collections.abc.Buffer")]
    for name, result in [("dot", "builtins.float"), ("magnitude", "builtins.float"), ("is_unit", "builtins.bool")]:
        args = record("VecList", name)["arguments"]
        assert [(p["name"], text(p["annotation"])) for p in args["kwonlyargs"]] == [
            ("out", "collections.abc.Buffer | None")]
        assert text(record("VecList", name)["returns"]) == f"builtins.list[{result}]"
    stub = STUBS.module(STUBS.root)
    assert ("def dot(self, /, other: Vec3d, *, out: collections.abc.Buffer | None = None) -> builtins.list[builtins.float]"
            in stub)  # fmt: skip
    assert "def magnitude(self, /, *, out: collections.abc.Buffer | None = None)" in stub
    assert "def __buffer__(self, /, flags: builtins.int) -> builtins.memoryview" in stub
    assert "def __reduce_ex__(self, /, protocol: typing.SupportsIndex)" in stub


def test_parameter_annotations():
    new = record("VecList", "__new__")["arguments"]["args"]
    assert [(p["name"], text(p["annotation"])) for p in new] == [("list", "collections.abc.Sequence[lumora.Vec3d]")]
    mul, rmul = record("Vec3d", "__mul__"), record("Vec3d", "__rmul__")
    assert [p["name"] for p in mul["arguments"]["args"] + rmul["arguments"]["args"]] == ["rhs", "lhs"]
    (matrix,) = record("Quat", "from_rotation_matrix")["arguments"]["args"]
    assert (matrix["name"], text(matrix["annotation"])) == (
        "matrix", "collections.abc.Sequence[collections.abc.Sequence[builtins.float]] | collections.abc.Buffer")
    for name, param, annotation in [
        ("take", "indices", "collections.abc.Sequence[builtins.int] | builtins.range | collections.abc.Buffer"),
        ("compress", "mask", "collections.abc.Sequence[builtins.bool] | collections.abc.Buffer"),
    ]:
        (arg,) = record("VecList", name)["arguments"]["args"]
        assert (arg["name"], text(arg["annotation"])) == (param, annotation)
    (other,) = record("Quat", "__mul__")["arguments"]["args"]
    assert (other["name"], text(other["annotation"])) == ("other", "lumora.Quat")


def run(args, tmp_path):
    env = {**os.environ, "MYPY_CACHE_DIR": str(tmp_path / "cache")}
    return subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, env=env, capture_output=True, text=True)


def test_stubtest(tmp_path):
    result = run(["mypy.stubtest", "lumora", "--allowlist", str(ROOT / "tests" / "stubtest-allowlist.txt")], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_type_checking_with_the_stubs(tmp_path):
    (tmp_path / "good.py").write_text(
        "from lumora import AngleRadians, Quat, Vec3d, VecList\n"
        "from lumora.geometry import Circle, circle_circle\n"
        "v = Vec3d(1, 2, 3)\n"
        "v.x = 2.0\n"
        "d: float = v.dot(Vec3d.i()) + v[0]\n"
        "w: Vec3d = 2.0 * v + v / 2 - Vec3d.new_from_to(v, v)\n"
        "a, b = circle_circle(Circle(v, 1.0, Vec3d.k()), Circle(Vec3d.zero(), 1.0, Vec3d.k()))\n"
        "r: Vec3d = Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi()).rotate(a)\n"
        "n: int = len(VecList([v, w, r]))\n"
        "m = Quat.identity().to_rotation_matrix()\n"
        "q: Quat = Quat.from_rotation_matrix(m) * Quat.from_rotation_matrix(memoryview(b'')).inverse()\n"
        "s: Quat = q.slerp(Quat.identity(), 0.5)\n"
        "import array, pickle\n"
        "buf = array.array('d', [0.0])\n"
        "VecList.from_buffer(memoryview(VecList([v]))).dot(v, out=buf)\n"
        "VecList([v]).magnitude(out=None)\n"
        "p: bytes = pickle.dumps(VecList.from_buffer(buf), protocol=5)\n"
        "lo, hi = VecList([v]).take(range(1)).compress([True]).bounds()\n"
        "c: Vec3d = VecList([v]).take(array.array('q', [0])).compress(memoryview(b'')).sum() + lo\n"
    )
    (tmp_path / "bad.py").write_text("from lumora import Vec3d\nVec3d(1, 2, 3).dot((1, 2, 3))\n")
    result = run(["mypy", "good.py", "bad.py"], tmp_path)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1 and errors[0].startswith("bad.py:2:"), result.stdout
    assert 'Argument 1 to "dot" of "Vec3d" has incompatible type' in errors[0]
