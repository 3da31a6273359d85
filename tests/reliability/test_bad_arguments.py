"""Every method, and the constructor, driven with arbitrary Python values:
wrong types, huge ints, NaN, lone surrogates, NUL characters, very long
strings, objects whose conversions misbehave, unknown and repeated keywords.

Only the documented exception types come out, with the documented message
shapes: TypeError (binding and conversion), OverflowError (ints out of
range), UnicodeEncodeError (text that is not UTF-8), RuntimeError (checks of
argument text and the store's own errors), and whatever a caller's own
__index__ or __float__ raises, unchanged. A call that raised stored nothing.
"""

from __future__ import annotations

import copy
import decimal
import operator
import fractions
import pathlib
import pickle
import re
import uuid
import weakref

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quenlith import Runtime
from reliability_harness import scaled

SETTINGS = settings(
    max_examples=scaled(150),
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
    database=None,
)

PARAMETERS = {
    "record": ["source", "kind", "content", "importance", "overrides", "timestamp"],
    "query": ["text", "source", "min_salience", "tier", "limit"],
    "get_snapshots": ["limit"],
    "sweep": [],
    "count": [],
    "inspect": [],
    "get_salience_distribution": [],
}
RUNTIME_ERROR_PREFIXES = (
    "unknown event kind: '",
    "unknown importance: '",
    "unknown tier: '",
    "unknown policy: '",
    "invalid overrides UUID: ",
    "invalid timestamp (expected RFC3339): ",
    "storage error: ",
    "query error: ",
)
TYPE_ERROR = re.compile(r"^(Runtime\.\w+\(\) |argument '\w+': )")


class Boom(Exception):
    """What a caller's own conversion method raises."""


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Float:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Text(str):
    pass


class Int(int):
    pass


EDGE_INTS = [0, 1, -1, 2**31, 2**32, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -(2**63), 10**100, -(10**100)]
VALID_TEXTS = [
    "decision", "user_action", "observation", "error", "correction", "low", "normal", "high", "critical",
    "hot", "warm", "cold", "forgotten", "Hot", "balanced", "kb", "", "O'Brien", "%", "_", "50%",
    "2024-01-15T10:30:00Z", "2024-01-15 10:30:00.5z", "2024-01-15T12:30:00\u221202:00",
    "9999-12-31T23:59:60.999999999Z",
    str(uuid.uuid4()), uuid.uuid4().hex.upper(), "{" + str(uuid.uuid4()) + "}", "urn:uuid:" + str(uuid.uuid4()),
    "00000000-0000-0000-0000-000000000000",
]
any_character = st.characters(codec=None, exclude_categories=())
texts = st.one_of(
    st.sampled_from(VALID_TEXTS),
    st.text(any_character, max_size=50),
    st.builds(lambda t, c: t + c, st.sampled_from(VALID_TEXTS), st.sampled_from(["\x00", "\ud800", " ", "\U0001f600"])),
    st.builds(lambda c, n: c * n, st.sampled_from(["a", "'", "%", "\x00", "\u00e9", "\ud800"]),
              st.sampled_from([10_000, 1_000_000])),
    st.builds(Text, st.sampled_from(VALID_TEXTS)),
)
scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.sampled_from(EDGE_INTS),
    st.floats(),
    st.sampled_from([float("nan"), float("inf"), -float("inf"), -0.0, 5e-324, 1.7976931348623157e308]),
    st.complex_numbers(),
    st.binary(max_size=40),
    st.builds(bytearray, st.binary(max_size=10)),
    st.decimals(),
    st.fractions(),
    st.builds(Int, st.sampled_from(EDGE_INTS)),
    st.builds(Index, st.one_of(st.sampled_from(EDGE_INTS), st.just("seven"), st.just(Boom("index")))),
    st.builds(Float, st.one_of(st.floats(), st.just("1.0"), st.just(10**400), st.just(Boom("float")))),
    st.just(object()),
    st.just(pathlib.Path("x.sqlite")),
    st.just(uuid.uuid4()),
    st.sampled_from([decimal.Decimal("NaN"), decimal.Decimal("sNaN"), decimal.Decimal("-Infinity")]),
    st.just(fractions.Fraction(1, 3)),
)
values = st.one_of(texts, texts, scalars, st.lists(scalars, max_size=3), st.dictionaries(texts, scalars, max_size=2))


VALID_CALLS = {
    "record": ["agent", "decision", "use the small model", "high", None, "2024-01-15T10:30:00Z"],
    "query": ["small", "agent", 0.0, "hot", 20],
    "get_snapshots": [100],
}


@st.composite
def calls(draw, parameters: list[str], valid: list | None):
    """Positional and keyword arguments: either a valid call with one or two
    arguments swapped for arbitrary values (by position or by keyword), or
    arbitrary values throughout, sometimes too many, with unknown or repeated
    keywords."""
    if valid and draw(st.booleans()):
        arguments = dict(zip(parameters, valid, strict=True))
        for name in draw(st.lists(st.sampled_from(parameters), min_size=1, max_size=2)):
            arguments[name] = draw(values)
        split = draw(st.integers(0, len(parameters)))
        return list(arguments.values())[:split], dict(list(arguments.items())[split:])
    positional = draw(st.lists(values, max_size=len(parameters) + 1))
    names = st.one_of(st.sampled_from(parameters), texts) if parameters else texts
    keywords = draw(st.dictionaries(names, values, max_size=3)) if draw(st.booleans()) else {}
    return positional, keywords


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    path = tmp_path_factory.mktemp("arguments") / "store.sqlite"
    rt = Runtime(str(path))
    rt.record("agent", "decision", "something to find")
    rt.sweep()
    return rt


def own_conversion_errors(arguments) -> set[type]:
    """What the arguments' own conversions raise (a Decimal sNaN's __float__
    raises ValueError, for one): the runtime passes those on unchanged."""
    raised = set()
    for value in arguments:
        for convert in (float, operator.index):
            try:
                convert(value)
            except BaseException as error:  # noqa: BLE001 - collected
                raised.add(type(error))
    return raised


def check_exception(error: BaseException, arguments=()) -> None:
    if isinstance(error, Boom):
        return
    documented = (TypeError, OverflowError, RuntimeError, UnicodeEncodeError)
    assert type(error) in documented or type(error) in own_conversion_errors(arguments), repr(error)
    if type(error) is RuntimeError:
        assert str(error).startswith(RUNTIME_ERROR_PREFIXES), str(error)[:200]
    if type(error) is TypeError:
        assert TYPE_ERROR.match(str(error)), str(error)[:200]


def check_result(method: str, result) -> None:
    if method == "record":
        assert isinstance(result, str) and len(result) == 36 and str(uuid.UUID(result)) == result
    elif method in ("query", "get_snapshots"):
        assert isinstance(result, list) and all(isinstance(item, dict) for item in result)
    elif method == "get_salience_distribution":
        assert all(isinstance(value, float) for value in result)
    elif method == "count":
        assert isinstance(result, int) and result >= 0
    else:
        assert isinstance(result, dict)


@pytest.mark.parametrize("method", PARAMETERS)
def test_methods_raise_only_documented_exceptions(store, method, figures):
    @SETTINGS
    @given(call=calls(PARAMETERS[method], VALID_CALLS.get(method)))
    def drive(call):
        positional, keywords = call
        before = store.count()
        outcomes["calls"] += 1
        try:
            result = getattr(store, method)(*positional, **keywords)
        except BaseException as error:  # noqa: BLE001 - judged below
            check_exception(error, [*positional, *keywords.values()])
            assert store.count() == before, "a call that raised stored an event"
        else:
            check_result(method, result)
            assert store.count() == before + (method == "record")
            outcomes["succeeded"] += 1

    outcomes = {"calls": 0, "succeeded": 0}
    drive()
    figures.update(outcomes)


@pytest.fixture(scope="module")
def directory(tmp_path_factory):
    return tmp_path_factory.mktemp("paths")


# A path stays inside the test's directory: no "..", and no "%" that a URI
# could decode into one.
safe_names = st.text(any_character, max_size=30).filter(lambda t: ".." not in t and "%" not in t)


@st.composite
def constructor_calls(draw, directory):
    path = draw(st.one_of(
        st.sampled_from([":memory:", ""]),
        st.builds(lambda name: f"{directory}/{name}", safe_names),
        st.builds(lambda name, query: f"file:{directory}/{name}?{query}", safe_names, safe_names),
        scalars,
    ))
    policy = draw(st.one_of(st.none(), st.sampled_from(["balanced", "default", "code", "kb", "personal"]), texts,
                            scalars))
    positional = draw(st.sampled_from([[], [path], [path, policy], [path, policy, policy]]))
    keywords = {}
    if draw(st.booleans()):
        keywords = draw(st.dictionaries(st.one_of(st.sampled_from(["path", "policy"]), texts), values, max_size=2))
    return positional, keywords


def test_the_constructor_raises_only_documented_exceptions(directory, figures, monkeypatch):
    # A drawn keyword argument can name any relative path: keep those files here too.
    monkeypatch.chdir(directory)

    @SETTINGS
    @given(call=constructor_calls(directory))
    def drive(call):
        positional, keywords = call
        outcomes["calls"] += 1
        try:
            rt = Runtime(*positional, **keywords)
        except BaseException as error:  # noqa: BLE001 - judged below
            check_exception(error, [*positional, *keywords.values()])
        else:
            assert rt.count() >= 0
            outcomes["succeeded"] += 1

    outcomes = {"calls": 0, "succeeded": 0}
    drive()
    figures.update(outcomes)


@pytest.mark.parametrize(
    "misuse, exception",
    [
        (lambda rt: type("Sub", (Runtime,), {}), TypeError),
        (lambda rt: setattr(rt, "x", 1), AttributeError),
        (lambda rt: pickle.dumps(rt), TypeError),
        (lambda rt: copy.copy(rt), TypeError),
        (lambda rt: copy.deepcopy(rt), TypeError),
        (lambda rt: weakref.ref(rt), TypeError),
        (lambda rt: object.__new__(Runtime), TypeError),
        (lambda rt: Runtime.__new__(int, ":memory:"), TypeError),
        (lambda rt: Runtime.count(5), TypeError),
        (lambda rt: Runtime.record(object(), "s", "decision", "c"), TypeError),
        (lambda rt: Runtime.query.__get__(None, Runtime)(), TypeError),
    ],
)
def test_misusing_the_class_raises_cleanly(store, misuse, exception):
    with pytest.raises(exception):
        misuse(store)
    assert store.count() >= 1
