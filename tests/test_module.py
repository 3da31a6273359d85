"""The extension module, the Runtime class, its constructor and argument binding."""

import gc
import importlib
import inspect
import math
import operator
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap
import weakref

import pytest

import quenlith.quenlith_runtime as extension
from quenlith import Runtime

MODULE_NAME = "quenlith.quenlith_runtime"

METHODS = [
    (
        "record",
        '($self, source, kind, content, importance="normal", overrides=None, timestamp=None)',
        "Record an event into the runtime. Returns the event ID.\n\n"
        "`timestamp` is an optional RFC3339 / ISO 8601 string to backdate the event\n"
        "(e.g. for migrating historical events). If omitted, uses the current time.",
    ),
    (
        "query",
        "($self, text=None, source=None, min_salience=None, tier=None, limit=20)",
        "Query memories by optional filters. Returns list of dicts.",
    ),
    ("sweep", "($self)", "Run a decay sweep across all memories."),
    ("count", "($self)", "Get total event count."),
    ("inspect", "($self)", "Inspect memory state: counts per tier."),
    ("get_snapshots", "($self, limit=100)", "Get historical tier snapshots for timeline charts."),
    (
        "get_salience_distribution",
        "($self)",
        "Get salience values for all active memories (for histogram).",
    ),
]

NO_ARGUMENT_METHODS = ["sweep", "count", "inspect", "get_salience_distribution"]

# Saliences of a fresh, normal observation (recency 1, first occurrence):
# ln 3 times the policy's observation weight.
BALANCED_OBSERVATION = 0.769029
CODING_OBSERVATION = 0.549306


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "memory.db")


@pytest.fixture
def runtime(db_path):
    return Runtime(db_path)


def interpreter_message(call, *args):
    """The message the interpreter itself gives for a failed conversion."""
    with pytest.raises(TypeError) as raised:
        call(*args)
    return str(raised.value)


# --- The module -----------------------------------------------------------------


def test_module_exports_only_the_runtime_class():
    own = {name for name in vars(extension) if not (name.startswith("__") and name.endswith("__"))}
    assert own == {"Runtime"}
    assert extension.__all__ == ["Runtime"]
    assert extension.Runtime is Runtime
    assert extension.__doc__ == ""


def test_importing_again_yields_the_same_module():
    del sys.modules[MODULE_NAME]
    try:
        again = importlib.import_module(MODULE_NAME)
    finally:
        sys.modules[MODULE_NAME] = extension
    assert again is extension
    assert again.Runtime is Runtime


def test_another_interpreter_cannot_import_the_module():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("this interpreter cannot start a subinterpreter from Python")
    read_end, write_end = os.pipe()
    code = textwrap.dedent(
        f"""
        import os
        try:
            import {MODULE_NAME}
            outcome = "imported"
        except ImportError:
            outcome = "ImportError"
        os.write({write_end}, outcome.encode())
        """
    )
    try:
        testcapi.run_in_subinterp(code)
        assert os.read(read_end, 100) == b"ImportError"
    finally:
        os.close(read_end)
        os.close(write_end)


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run(
        [nm, "-D", "--defined-only", extension.__file__], capture_output=True, text=True, check=True
    ).stdout
    assert [line.split()[-1] for line in listing.splitlines() if line.strip()] == ["PyInit_quenlith_runtime"]


# --- The class -----------------------------------------------------------------


def test_class_names_documentation_and_signature():
    assert (Runtime.__name__, Runtime.__qualname__, Runtime.__module__) == ("Runtime", "Runtime", "builtins")
    assert Runtime.__doc__ == "The main Quenlith Runtime instance."
    assert Runtime.__text_signature__ == "(path, policy=None)"
    parameters = inspect.signature(Runtime).parameters
    assert list(parameters) == ["path", "policy"]
    assert parameters["path"].default is inspect.Parameter.empty
    assert parameters["policy"].default is None


def test_methods_in_order():
    methods = [name for name in vars(Runtime) if not name.startswith("__")]
    assert methods == [name for name, _, _ in METHODS]


@pytest.mark.parametrize("name, signature, doc", METHODS, ids=[m[0] for m in METHODS])
def test_method_documentation(name, signature, doc):
    method = getattr(Runtime, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_class_cannot_be_subclassed():
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Derived", (Runtime,), {})


def test_instances_take_no_attributes_and_no_weak_references(runtime):
    with pytest.raises(AttributeError):
        runtime.extra = 1
    assert not hasattr(runtime, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(runtime)
    assert not gc.is_tracked(runtime)


def test_class_is_immutable():
    with pytest.raises(TypeError):
        Runtime.extra = 1


# --- The constructor -----------------------------------------------------------

DB = object()  # stands for the test's database path


@pytest.mark.parametrize(
    "args, kwargs, exception, message",
    [
        ((), {}, TypeError, "Runtime.__new__() missing 1 required positional argument: 'path'"),
        (
            (DB, None, None),
            {},
            TypeError,
            "Runtime.__new__() takes from 1 to 2 positional arguments but 3 were given",
        ),
        ((DB,), {"name": "x"}, TypeError, "Runtime.__new__() got an unexpected keyword argument 'name'"),
        ((DB,), {"path": DB}, TypeError, "Runtime.__new__() got multiple values for argument 'path'"),
        ((), {"policy": "code"}, TypeError, "Runtime.__new__() missing 1 required positional argument: 'path'"),
        ((5,), {}, TypeError, "argument 'path': 'int' object cannot be converted to 'PyString'"),
        ((b"memory.db",), {}, TypeError, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
        ((DB, 5), {}, TypeError, "argument 'policy': 'int' object cannot be converted to 'PyString'"),
        (
            (DB, "Coding"),
            {},
            RuntimeError,
            "unknown policy: 'Coding'. Expected: balanced, coding, knowledge, assistant",
        ),
        (
            (DB,),
            {"policy": ""},
            RuntimeError,
            "unknown policy: ''. Expected: balanced, coding, knowledge, assistant",
        ),
        (
            ("/no/such/dir/x.db",),
            {},
            RuntimeError,
            "storage error: unable to open database file: /no/such/dir/x.db",
        ),
    ],
    ids=[
        "no-arguments",
        "three-positional",
        "unexpected-keyword",
        "path-twice",
        "only-policy",
        "int-path",
        "bytes-path",
        "int-policy",
        "capitalised-policy",
        "empty-policy",
        "missing-directory",
    ],
)
def test_constructor_failures(db_path, args, kwargs, exception, message):
    args = tuple(db_path if a is DB else a for a in args)
    kwargs = {k: db_path if v is DB else v for k, v in kwargs.items()}
    with pytest.raises(exception) as raised:
        Runtime(*args, **kwargs)
    assert type(raised.value) is exception
    assert str(raised.value) == message
    assert not os.path.exists(db_path)


def test_conversion_error_keeps_the_original_cause_only(db_path):
    with pytest.raises(TypeError) as raised:
        Runtime(7)
    assert raised.value.__cause__ is None
    assert raised.value.__suppress_context__


def test_path_object_is_rejected_with_its_class_name(tmp_path):
    path = tmp_path / "memory.db"
    with pytest.raises(TypeError) as raised:
        Runtime(path)
    assert str(raised.value) == f"argument 'path': '{type(path).__qualname__}' object cannot be converted to 'PyString'"
    assert isinstance(path, pathlib.PurePath) and not path.exists()


def test_path_given_by_keyword_and_str_subclass(tmp_path):
    class Text(str):
        pass

    rt = Runtime(path=Text(tmp_path / "memory.db"), policy=Text("kb"))
    assert rt.count() == 0
    del rt


def test_path_with_a_lone_surrogate_raises_the_interpreters_error(tmp_path):
    with pytest.raises(UnicodeEncodeError):
        Runtime(str(tmp_path / "bad\udcff.db"))


def fresh_observation_salience(db_path, *args, **kwargs):
    rt = Runtime(db_path, *args, **kwargs)
    rt.record("agent", "observation", "the build is green")
    [memory] = rt.query()
    del rt
    os.remove(db_path)
    return memory["salience"]


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((None,), {}), ((), {"policy": None}), (("default",), {}), (("balanced",), {})],
    ids=["omitted", "none", "none-by-keyword", "default", "balanced"],
)
def test_default_policy_spellings(db_path, args, kwargs):
    assert fresh_observation_salience(db_path, *args, **kwargs) == pytest.approx(BALANCED_OBSERVATION, abs=1e-6)


def test_bad_policy_creates_no_file_and_the_alias_code_works(db_path):
    with pytest.raises(RuntimeError):
        Runtime(db_path, "Coding")
    assert not os.path.exists(db_path)
    salience = fresh_observation_salience(db_path, "code")
    assert salience == pytest.approx(CODING_OBSERVATION, abs=1e-6)


def test_objects_on_one_file_are_independent(db_path):
    first = Runtime(db_path)
    second = Runtime(db_path, "personal")
    first.record("agent", "decision", "shared")
    assert second.count() == 1
    del first
    assert second.count() == 1
    del second


# --- Binding the methods' arguments ---------------------------------------------


@pytest.mark.parametrize(
    "method, args, kwargs, message",
    [
        (
            "record",
            (),
            {},
            "Runtime.record() missing 3 required positional arguments: 'source', 'kind', and 'content'",
        ),
        ("record", ("a",), {}, "Runtime.record() missing 2 required positional arguments: 'kind' and 'content'"),
        ("record", ("a", "decision"), {}, "Runtime.record() missing 1 required positional argument: 'content'"),
        (
            "record",
            (),
            {"kind": "decision", "importance": "high"},
            "Runtime.record() missing 2 required positional arguments: 'source' and 'content'",
        ),
        (
            "record",
            ("a", "decision", "c", "normal", None, None, None),
            {},
            "Runtime.record() takes from 3 to 6 positional arguments but 7 were given",
        ),
        (
            "record",
            ("a", "decision", "c"),
            {"source": "b"},
            "Runtime.record() got multiple values for argument 'source'",
        ),
        (
            "record",
            ("a", "decision", "c"),
            {"metadata": {}},
            "Runtime.record() got an unexpected keyword argument 'metadata'",
        ),
        (
            "query",
            (None, None, None, None, 20, 0),
            {},
            "Runtime.query() takes from 0 to 5 positional arguments but 6 were given",
        ),
        ("query", (), {"kind": "decision"}, "Runtime.query() got an unexpected keyword argument 'kind'"),
        ("query", ("x",), {"text": "y"}, "Runtime.query() got multiple values for argument 'text'"),
        ("get_snapshots", (1, 2), {}, "Runtime.get_snapshots() takes from 0 to 1 positional arguments but 2 were given"),
        ("get_snapshots", (1,), {"limit": 1}, "Runtime.get_snapshots() got multiple values for argument 'limit'"),
        ("get_snapshots", (), {"grenze": 1}, "Runtime.get_snapshots() got an unexpected keyword argument 'grenze'"),
        ("get_snapshots", (), {"größe": 1}, "Runtime.get_snapshots() got an unexpected keyword argument 'größe'"),
    ],
)
def test_binding_failures(runtime, method, args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        getattr(runtime, method)(*args, **kwargs)
    assert str(raised.value) == message
    assert runtime.count() == 0


def test_binding_order_reports_too_many_positional_before_keywords(runtime):
    with pytest.raises(TypeError, match="takes from 0 to 1 positional arguments but 2 were given"):
        runtime.get_snapshots(1, 2, bogus=3)


def test_keyword_built_at_run_time_is_matched_by_value(runtime):
    name = "".join(["li", "mit"])
    assert runtime.get_snapshots(**{name: 0}) == []
    assert runtime.query(**{"".join(["ti", "er"]): "forgotten"}) == []


@pytest.mark.parametrize("method", NO_ARGUMENT_METHODS)
def test_methods_without_parameters_reject_arguments(runtime, method):
    with pytest.raises(TypeError):
        getattr(runtime, method)(1)
    with pytest.raises(TypeError):
        getattr(runtime, method)(x=1)


# --- Converting the methods' arguments ------------------------------------------


@pytest.mark.parametrize("method", ["query", "get_snapshots"])
def test_limit_none_is_an_argument_error(runtime, method):
    with pytest.raises(TypeError) as raised:
        getattr(runtime, method)(limit=None)
    assert str(raised.value) == "argument 'limit': " + interpreter_message(operator.index, None)
    assert raised.value.__cause__ is None


@pytest.mark.parametrize("method", ["query", "get_snapshots"])
@pytest.mark.parametrize("limit", [-1, 2**64])
def test_limit_out_of_unsigned_range_raises_overflow(runtime, method, limit):
    with pytest.raises(OverflowError):
        getattr(runtime, method)(limit=limit)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("limit", [0, False, True, Index(3), 2**63 - 1])
def test_limit_accepts_ints_bools_and_index_objects(runtime, limit):
    assert runtime.get_snapshots(limit) == []
    assert runtime.query(limit=limit) == []


def test_type_error_of_a_conversion_is_renamed_and_keeps_its_cause(runtime):
    class BadIndex:
        def __index__(self):
            raise TypeError("no index today") from KeyError("reason")

    with pytest.raises(TypeError) as raised:
        runtime.get_snapshots(BadIndex())
    assert str(raised.value) == "argument 'limit': no index today"
    assert isinstance(raised.value.__cause__, KeyError)


def test_other_conversion_errors_pass_unchanged(runtime):
    class NarrowTypeError(TypeError):
        pass

    class Failing:
        def __index__(self):
            raise NarrowTypeError("subclass")

        def __float__(self):
            raise ValueError("not today")

    with pytest.raises(NarrowTypeError, match="^subclass$"):
        runtime.query(limit=Failing())
    with pytest.raises(ValueError, match="^not today$"):
        runtime.query(min_salience=Failing())


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"text": 5}, "argument 'text': 'int' object cannot be converted to 'PyString'"),
        ({"source": b"agent"}, "argument 'source': 'bytes' object cannot be converted to 'PyString'"),
        ({"tier": 1.5}, "argument 'tier': 'float' object cannot be converted to 'PyString'"),
        ({"text": 5, "limit": None}, "argument 'text': 'int' object cannot be converted to 'PyString'"),
        ({"tier": 5, "limit": -1}, "argument 'tier': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_query_text_arguments_must_be_str(runtime, kwargs, message):
    with pytest.raises(TypeError) as raised:
        runtime.query(**kwargs)
    assert str(raised.value) == message


def test_query_min_salience_conversion(runtime):
    with pytest.raises(TypeError) as raised:
        runtime.query(min_salience="high")
    assert str(raised.value) == "argument 'min_salience': " + interpreter_message(math.sqrt, "high")
    assert runtime.query(min_salience=1) == []
    assert runtime.query(min_salience=Index(0), tier=None, text=None, source=None) == []


def test_conversions_run_before_the_tier_is_parsed(runtime):
    with pytest.raises(OverflowError):
        runtime.query(tier="Hot", limit=-1)
    with pytest.raises(RuntimeError, match="^unknown tier: 'Hot'. Expected: hot, warm, cold, forgotten$"):
        runtime.query(tier="Hot")


def test_text_with_a_lone_surrogate_raises_the_interpreters_error(runtime):
    with pytest.raises(UnicodeEncodeError):
        runtime.query(source="agent\ud800")
    with pytest.raises(UnicodeEncodeError):
        runtime.record("agent", "decision", "\udfff")
    assert runtime.count() == 0


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1, "decision", "c"), {}, "argument 'source': 'int' object cannot be converted to 'PyString'"),
        (("a", None, 3), {}, "argument 'kind': 'NoneType' object cannot be converted to 'PyString'"),
        (("a", "nope", 3), {}, "argument 'content': 'int' object cannot be converted to 'PyString'"),
        (("a", "decision", "c", None), {}, "argument 'importance': 'NoneType' object cannot be converted to 'PyString'"),
        (("a", "nope", "c"), {"overrides": ["x"]}, "argument 'overrides': 'list' object cannot be converted to 'PyString'"),
        (("a", "nope", "c"), {"timestamp": 0}, "argument 'timestamp': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_record_conversion_failures_come_first_and_in_order(runtime, args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        runtime.record(*args, **kwargs)
    assert str(raised.value) == message
    assert runtime.count() == 0


def test_record_treats_none_as_absent_only_where_the_default_is_none(runtime):
    event_id = runtime.record("agent", "decision", "c", "normal", None, None)
    assert len(event_id) == 36
    assert runtime.count() == 1


def test_failed_calls_leave_the_object_usable(runtime):
    for call in (lambda: runtime.record(), lambda: runtime.query(limit=-1), lambda: runtime.query(tier="Hot")):
        with pytest.raises((TypeError, OverflowError, RuntimeError)):
            call()
    assert runtime.record("agent", "decision", "still works")
    assert runtime.count() == 1


# --- Faults ---------------------------------------------------------------------


def test_internal_fault_class_derives_directly_from_base_exception():
    # The class exists only after a fault, and no fault is reachable through the
    # public interface; check it whenever some earlier fault has created it.
    faults = [cls for cls in BaseException.__subclasses__() if cls.__module__ == "quenlith_runtime"]
    if not faults:
        pytest.skip("no internal fault has occurred in this process")
    assert [cls.__bases__ for cls in faults] == [(BaseException,)]
    assert not hasattr(extension, faults[0].__name__)


# --- Typing ---------------------------------------------------------------------


def test_stub_passes_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    usage = tmp_path / "usage.py"
    usage.write_text(
        textwrap.dedent(
            """
            from typing import TYPE_CHECKING

            from quenlith import Runtime

            if TYPE_CHECKING:
                from quenlith.quenlith_runtime import MemoryDict


            def strongest(rt: Runtime) -> list["MemoryDict"]:
                return rt.query(text="model", min_salience=0.5, tier="hot", limit=5)


            rt = Runtime("memory.db", policy="code")
            default_rt = Runtime(path="other.db")
            event_id: str = rt.record("agent-1", "decision", "use the small model", importance="high")
            rt.record("agent-1", "correction", "the large one", overrides=event_id, timestamp=None)
            memories = strongest(rt)
            tier: str = memories[0]["tier"]
            overridden: bool = memories[0]["is_overridden"]
            occurrences: int = memories[0]["occurrence_count"]
            total: int = rt.count()
            promoted: int = rt.sweep()["promoted"]
            hot: int = rt.inspect()["hot"]
            stamps: list[str] = [s["timestamp"] for s in rt.get_snapshots(limit=10)]
            values: list[float] = rt.get_salience_distribution()
            rt.query(limit=True)

            # Misuse the stub must reject; --strict reports any ignore that is not needed.
            rt.record("agent-1", 3, "content")  # type: ignore[arg-type]
            rt.query(limit=None)  # type: ignore[arg-type]
            rt.query(1.5)  # type: ignore[arg-type]
            rt.count(1)  # type: ignore[call-arg]
            rt.sweep()["missing"]  # type: ignore[typeddict-item]


            class Derived(Runtime):  # type: ignore[misc]
                pass
            """
        )
    )
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"), str(usage)],
        capture_output=True,
        text=True,
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr
