"""The module's public surface found by walking it: every class, function,
method, slot and property, with a sample receiver for each class, so that
tests over all of them cover a new member without being edited."""

import types

import lumora
from lumora import AngleDegrees, AngleRadians, Quat, Vec3d
from lumora.geometry import Circle, Plane
from support import FIELDS, tokens

# A receiver for each class; a class found by the walk without one fails the
# test, so that it is not left out silently.
SAMPLES = {
    Vec3d: lambda: Vec3d(1, -2, 3.5),
    Quat: lambda: Quat(0.5, 0.5, -0.5, 0.5),
    AngleRadians: lambda: AngleRadians(0.75),
    AngleDegrees: lambda: AngleDegrees(-30.0),
    Plane: lambda: Plane(Vec3d(0, 0, 1), 2.0),
    Circle: lambda: Circle(Vec3d(1, 2, 3), 2.0, Vec3d(0, 0, 1)),
}


def state(obj):
    """What an object holds, read through its public members."""
    return tokens(obj)


def writable(obj):
    """Its first writable property, for writing back what it holds."""
    return FIELDS[type(obj)].split()[0]


# ---------------------------------------------------------------- the walk


def classes():
    found = []
    for module in (lumora, lumora.geometry):
        for name in module.__all__:
            obj = getattr(module, name)
            if isinstance(obj, type) and obj not in found:
                found.append(obj)
    return found


def parameters(signature):
    """Parameter names of a text signature, without the receiver."""
    if not signature:
        return None
    names = [p.strip() for p in signature.strip("()").split(",") if p.strip()]
    return [n for n in names if not n.startswith("$") and n not in ("/", "*")]


def members():
    """(owner, name, how, parameter names) of every callable and property.
    The owner is a class, or a module for its functions; `how` is one of
    function, new, static, method, slot, get, set, delete."""
    out = []
    for module in (lumora, lumora.geometry):
        for name in module.__all__:
            obj = getattr(module, name)
            if isinstance(obj, types.BuiltinFunctionType):
                out.append((module, name, "function", parameters(obj.__text_signature__)))
    for cls in classes():
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
