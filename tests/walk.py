"""The module's public surface found by walking it: every class, function,
method, slot and property, with a sample receiver for each class, so that
tests over all of them cover a new member without being edited."""

import builtins
import types

import lumora
import lumora.cloud
from lumora import AngleDegrees, AngleRadians, PointIndex, Quat, RigidTransform, Vec3d, VecList
from lumora.geometry import Circle, Plane
from support import FIELDS, bits, tokens

VecListIterator = type(iter(VecList.empty()))
IcpResult = lumora.cloud.IcpResult
# The module and its submodules, whose __all__ the walk starts from.
MODULES = (lumora, lumora.geometry, lumora.cloud)

# A receiver for each class; a class found by the walk without one fails the
# test, so that it is not left out silently.
SAMPLES = {
    Vec3d: lambda: Vec3d(1, -2, 3.5),
    Quat: lambda: Quat(0.5, 0.5, -0.5, 0.5),
    AngleRadians: lambda: AngleRadians(0.75),
    AngleDegrees: lambda: AngleDegrees(-30.0),
    Plane: lambda: Plane(Vec3d(0, 0, 1), 2.0),
    Circle: lambda: Circle(Vec3d(1, 2, 3), 2.0, Vec3d(0, 0, 1)),
    VecList: lambda: VecList([Vec3d(1, 2, 3), Vec3d(-0.5, 0, 4)]),
    VecListIterator: lambda: iter(VecList([Vec3d(1, 2, 3), Vec3d(-0.5, 0, 4)])),
    PointIndex: lambda: PointIndex(VecList([Vec3d(1, 2, 3), Vec3d(-0.5, 0, 4)])),
    RigidTransform: lambda: RigidTransform(Quat(0.5, 0.5, -0.5, 0.5), Vec3d(1, -2, 3.5)),
    IcpResult: lambda: lumora.cloud.icp(VecList([Vec3d(1, 2, 3.5)]), PointIndex(VecList([Vec3d(1, 2, 3)])), 1.0),
}


def state(obj):
    """What an object holds, read through its public members, with doubles
    as bit patterns so that a NaN equals itself. An iterator shows nothing
    without being stepped: it is only asked for itself, a shared access."""
    if isinstance(obj, VecListIterator):
        assert iter(obj) is obj
        return None
    if isinstance(obj, PointIndex):  # every point, nearest first, with its distance
        flat = obj.k_nearest(Vec3d(0.5, -1, 2), len(obj))
    else:
        flat = [obj.to_array()] if isinstance(obj, VecList) else tokens(obj)
    return [bits(t) if type(t) is float else t for t in tokens(flat)]


def write_back(obj):
    """An exclusive access that changes nothing visible (an iterator is
    stepped, which is its only exclusive access; an index, a motion and a
    registration's result have none)."""
    if isinstance(obj, (PointIndex, RigidTransform, IcpResult)):
        return
    if isinstance(obj, VecList):
        obj.extend(VecList.empty())
    elif isinstance(obj, VecListIterator):
        next(obj, None)
    else:
        name = FIELDS[type(obj)].split()[0]
        setattr(obj, name, getattr(obj, name))


# ---------------------------------------------------------------- the walk


def classes():
    """The classes in the modules, and the module's own classes that their
    instances' iterators have (reachable only through iter())."""
    found = []
    for module in MODULES:
        for name in module.__all__:
            obj = getattr(module, name)
            if isinstance(obj, type) and obj not in found:
                found.append(obj)
    for cls in list(found):
        if "__iter__" in vars(cls) and cls in SAMPLES:
            it = type(iter(SAMPLES[cls]()))
            if it not in vars(builtins).values() and it.__module__ == "builtins" and it not in found:
                found.append(it)
    return found


def parameters(signature):
    """Names of the required parameters of a text signature, without the
    receiver; the optional keyword-only ones are in KEYWORD_ONLY."""
    if not signature:
        return None
    names = [p.strip() for p in signature.strip("()").split(",") if p.strip()]
    return [n for n in names if not n.startswith("$") and n not in ("/", "*") and "=" not in n]



def members():
    """(owner, name, how, parameter names) of every callable and property.
    The owner is a class, or a module for its functions; `how` is one of
    function, new, static, method, slot, get, set, delete."""
    out = []
    for module in MODULES:
        for name in module.__all__:
            obj = getattr(module, name)
            if isinstance(obj, types.BuiltinFunctionType):
                out.append((module, name, "function", parameters(obj.__text_signature__)))
    for cls in classes():
        if "__new__" in vars(cls):
            out.append((cls, "__new__", "new", parameters(cls.__text_signature__)))
        for name, attr in vars(cls).items():
            if isinstance(attr, types.GetSetDescriptorType):
                out += [(cls, name, "get", []), (cls, name, "set", ["value"]), (cls, name, "delete", [])]
            elif isinstance(attr, staticmethod):
                out.append((cls, name, "static", parameters(getattr(cls, name).__text_signature__)))
            elif isinstance(attr, types.MethodDescriptorType):
                out.append((cls, name, "method", parameters(attr.__text_signature__)))
            elif isinstance(attr, types.WrapperDescriptorType):
                out.append((cls, name, "slot", parameters(attr.__text_signature__)))
    return out


MEMBERS = members()

# The names of every optional keyword-only parameter (after "*", with a
# default) of every callable found.
KEYWORD_ONLY = sorted({
    p.split("=")[0].strip()
    for owner in [*classes(), *MODULES]
    for attr in vars(owner).values()
    for p in (getattr(attr, "__text_signature__", None) or "").strip("()").split(",")
    if "=" in p
})  # fmt: skip


class Foreign:
    """Equal to everything, from the reflected side."""

    def __eq__(self, other):
        return True


def computes(cls, name):
    """Whether the interpreter's wrapper `name` on cls answers with something
    of the class's own. Comparison and reflected-operator wrappers exist for
    every slot that is set, so those count only when the class computes them
    itself."""
    sample, attr = SAMPLES[cls](), vars(cls)[name]
    if name == "__ne__":
        # A != derived from == answers a foreign operand itself.
        return attr(sample, Foreign()) is NotImplemented
    if name in ("__eq__", "__lt__", "__le__", "__gt__", "__ge__"):
        return attr(sample, sample) is not NotImplemented
    if name.startswith("__r") and "__" + name[3:] in vars(cls):
        return attr(sample, 2.0) is not NotImplemented
    return True


def qualified(owner):
    """The name a module, a class or one of their members is documented
    under: a class by its home module (a class in none, such as the list's
    iterator, by the top one)."""
    if isinstance(owner, types.ModuleType):
        return owner.__name__
    home = next((m for m in (lumora.geometry, lumora.cloud, lumora) if owner.__name__ in m.__all__), lumora)
    return f"{home.__name__}.{owner.__name__}"


def public_names():
    """The qualified name of every public module, class, function, method,
    property and operator that the walk finds. A class's constructor goes
    under the class's name, a property's getter and setter under one name."""
    names = {m.__name__ for m in MODULES} | {qualified(c) for c in classes()}
    for owner, name, how, _ in MEMBERS:
        if how == "new":
            continue
        if how == "slot" and not computes(owner, name):
            continue
        names.add(f"{qualified(owner)}.{name}")
    return names


def member_id(m):
    return f"{m[0].__name__}.{m[1]}:{m[2]}"


# The kinds of member that are called on an instance.
ON_INSTANCE = ("method", "slot", "get", "set", "delete")


def invoke(owner, name, how, receiver, args, kwargs):
    """Calls one member the way Python code would."""
    if how == "new":
        return owner(*args, **kwargs)
    if how in ("function", "static"):
        return getattr(owner, name)(*args, **kwargs)
    if how == "method":
        return getattr(receiver, name)(*args, **kwargs)
    if how == "slot":
        return getattr(owner, name)(receiver, *args, **kwargs)
    if how == "get":
        return getattr(receiver, name)
    if how == "set":
        return setattr(receiver, name, args[0] if args else None)
    return delattr(receiver, name)
