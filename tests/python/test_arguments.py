"""Argument binding and conversion: every refusal is the exact TypeError (or the interpreter's
own error) and nothing else."""

import pytest

from tolm_native import NativeEngine

NEW = "NativeEngine.__new__()"
CHECK = "NativeEngine.check()"
VALID = ("token_bucket", "active", 3, 1.0, None, None, "")
NAMES = ("algorithm_str", "mode_str", "capacity", "refill_rate", "api_key", "debug", "backend_url")


def with_arg(index, value):
    args = list(VALID)
    args[index] = value
    return tuple(args)


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, f"{NEW} missing 7 required positional arguments: 'algorithm_str', 'mode_str', "
             "'capacity', 'refill_rate', 'api_key', 'debug', and 'backend_url'"),
    (VALID[:4], {"backend_url": ""},
     f"{NEW} missing 2 required positional arguments: 'api_key' and 'debug'"),
    (VALID[:6], {}, f"{NEW} missing 1 required positional argument: 'backend_url'"),
    (VALID + ("extra",), {}, f"{NEW} takes 7 positional arguments but 8 were given"),
    (VALID, {"algorithm_str": "x"}, f"{NEW} got multiple values for argument 'algorithm_str'"),
    (VALID, {"colour": 1}, f"{NEW} got an unexpected keyword argument 'colour'"),
    (VALID[:6], {"Backend_url": ""}, f"{NEW} got an unexpected keyword argument 'Backend_url'"),
    # Keywords are bound before missing arguments are counted.
    ((), {"bogus": 1}, f"{NEW} got an unexpected keyword argument 'bogus'"),
], ids=["none", "two-missing", "one-missing", "too-many", "twice", "unknown", "case", "order"])
def test_constructor_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        NativeEngine(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, f"{CHECK} missing 2 required positional arguments: 'ip' and 'route'"),
    (("1.1.1.1",), {}, f"{CHECK} missing 1 required positional argument: 'route'"),
    ((), {"route": "/"}, f"{CHECK} missing 1 required positional argument: 'ip'"),
    (("a", "/", None, "x"), {},
     f"{CHECK} takes from 2 to 3 positional arguments but 4 were given"),
    # Too many positionals is reported before any keyword problem.
    (("a", "/", None, "x"), {"bogus": 1},
     f"{CHECK} takes from 2 to 3 positional arguments but 4 were given"),
    (("a", "/"), {"ip": "b"}, f"{CHECK} got multiple values for argument 'ip'"),
    (("a", "/", None), {"identity": "b"},
     f"{CHECK} got multiple values for argument 'identity'"),
    (("a", "/"), {"user": "u"}, f"{CHECK} got an unexpected keyword argument 'user'"),
    (("a", "/"), {"\ud800": 1}, f"{CHECK} got an unexpected keyword argument '\ud800'"),
], ids=["none", "no-route", "no-ip", "too-many", "too-many-first", "twice", "twice-optional",
        "unknown", "surrogate-key"])
def test_check_binding_errors(make_engine, args, kwargs, message):
    engine = make_engine()
    with pytest.raises(TypeError) as info:
        engine.check(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


@pytest.mark.parametrize("index, value, message", [
    (0, None, "argument 'algorithm_str': 'NoneType' object cannot be converted to 'PyString'"),
    (1, b"active", "argument 'mode_str': 'bytes' object cannot be converted to 'PyString'"),
    (2, "10", "argument 'capacity': must be real number, not str"),
    (3, [], "argument 'refill_rate': must be real number, not list"),
    (4, 1, "argument 'api_key': 'int' object cannot be converted to 'PyString'"),
    (5, True, "argument 'debug': 'bool' object cannot be converted to 'PyString'"),
    (6, None, "argument 'backend_url': 'NoneType' object cannot be converted to 'PyString'"),
], ids=NAMES)
def test_constructor_conversion_errors(index, value, message):
    with pytest.raises(TypeError) as info:
        NativeEngine(*with_arg(index, value))
    assert type(info.value) is TypeError
    assert str(info.value) == message


class Outer:
    class Inner:
        pass


class UnnamedMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name")
        return super().__getattribute__(name)


class Unnamed(metaclass=UnnamedMeta):
    pass


@pytest.mark.parametrize("value, type_name", [
    (Outer.Inner(), "Outer.Inner"),  # the qualified name, not __name__
    (Unnamed(), "<failed to extract type name>"),
])
def test_conversion_error_type_names(make_engine, value, type_name):
    with pytest.raises(TypeError) as info:
        make_engine().check(value, "/")
    assert str(info.value) == f"argument 'ip': '{type_name}' object cannot be converted to 'PyString'"
    assert info.value.__context__ is None  # the failed name lookup leaves nothing behind


@pytest.mark.parametrize("kwargs, message", [
    ({"ip": None, "route": "/"}, "argument 'ip': 'NoneType' object cannot be converted to 'PyString'"),
    ({"ip": "a", "route": 5}, "argument 'route': 'int' object cannot be converted to 'PyString'"),
    ({"ip": "a", "route": "/", "identity": b"u"},
     "argument 'identity': 'bytes' object cannot be converted to 'PyString'"),
    ({"ip": "a", "route": "/", "identity": False},
     "argument 'identity': 'bool' object cannot be converted to 'PyString'"),
    # The first failing parameter in declaration order is the one reported.
    ({"identity": 1, "route": 2, "ip": 3},
     "argument 'ip': 'int' object cannot be converted to 'PyString'"),
])
def test_check_conversion_errors(make_engine, kwargs, message):
    with pytest.raises(TypeError) as info:
        make_engine().check(**kwargs)
    assert str(info.value) == message


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Indexy:
    def __index__(self):
        return 4


class Text(str):
    pass


@pytest.mark.parametrize("capacity", [10, 10.0, True, Indexy(), Floaty(2.5), -1.0, 0,
                                      float("inf"), float("nan"), -(2 ** 60)])
def test_capacity_accepts_what_float_conversion_accepts(capacity):
    engine = NativeEngine("token_bucket", "active", capacity, capacity, None, None, "")
    assert isinstance(engine.check("a", "/")["allowed"], bool)


def test_str_subclasses_are_accepted_and_returned_as_str():
    engine = NativeEngine(Text("token_bucket"), Text("active"), 1, 0, Text("key"), Text("dbg"),
                          Text("http://x"))
    nested = engine.check(Text("a"), Text("/r"), Text("id"))["decision"]
    assert (type(nested["route"]), type(nested["algorithm"])) == (str, str)
    assert nested["route"] == "/r"


class TypeErrorSubclass(TypeError):
    pass


def raising(exception):
    class Raiser:
        def __float__(self):
            raise exception
    return Raiser()


@pytest.mark.parametrize("exception", [TypeErrorSubclass("sub"), ValueError("bad value"),
                                       OverflowError("big")], ids=lambda e: type(e).__name__)
def test_errors_other_than_exact_type_error_pass_unlabelled(exception):
    with pytest.raises(type(exception)) as info:
        NativeEngine(*with_arg(2, raising(exception)))
    assert info.value is exception
    assert str(info.value) == str(exception)


def test_labelled_type_error_keeps_the_cause():
    cause = KeyError("root")
    error = TypeError("inner message")
    error.__cause__ = cause
    with pytest.raises(TypeError) as info:
        NativeEngine(*with_arg(3, raising(error)))
    assert type(info.value) is TypeError
    assert str(info.value) == "argument 'refill_rate': inner message"
    assert info.value.__cause__ is cause


def test_interpreter_errors_pass_unchanged():
    with pytest.raises(OverflowError):
        NativeEngine(*with_arg(2, 2 ** 1024))
    with pytest.raises(UnicodeEncodeError):
        NativeEngine(*with_arg(0, "token\ud800bucket"))
    with pytest.raises(UnicodeEncodeError):
        NativeEngine(*with_arg(0, "x")).check("a", "/", "\udfff")


def test_none_keyword_fills_the_slot(make_engine):
    engine = make_engine(capacity=1)
    assert engine.check(ip="a", route="/", identity=None)["allowed"] is True
    # identity=None is absent, so the key is the address, now used up.
    assert engine.check("a", "/")["allowed"] is False


