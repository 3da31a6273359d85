// The extension module quenlith_runtime: the Runtime class, a thin boundary
// around the SQLite-backed store. Each method binds and converts its
// arguments, validates them, makes one store call, and converts the result
// to new Python objects. Failures travel as values (CallResult) until
// `guarded` raises them.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binder.hpp"
#include "compat.hpp"
#include "convert.hpp"
#include "failure.hpp"
#include "policy.hpp"
#include "py_ref.hpp"
#include "quenlith_types.hpp"
#include "runtime.hpp"

namespace quenlith_runtime {
namespace {

using quenlith_core::policy::RuntimePolicy;
using quenlith_sqlite::runtime::Snapshot;
using quenlith_sqlite::runtime::SqliteRuntime;
using quenlith_types::Event;
using quenlith_types::fail;
using quenlith_types::MemoryQuery;
using quenlith_types::ScoredMemory;

// ---------------------------------------------------------------------------
// Doc strings and parameter tables, side by side so they cannot drift apart.
// The part of a doc string before "\n--\n\n" is what Python shows as the
// text signature.

constexpr char kRuntimeDoc[] = "Runtime(path, policy=None)\n--\n\nThe main Quenlith Runtime instance.";
constexpr std::array<const char*, 2> kNewNames = {"path", "policy"};
constinit std::array<PyObject*, 2> g_new_interned{};
constexpr Parameters kNewParameters{"Runtime", "__new__", kNewNames, 1, g_new_interned};

constexpr char kRecordDoc[] =
    "record($self, source, kind, content, importance=\"normal\", overrides=None, timestamp=None)\n--\n\n"
    "Record an event into the runtime. Returns the event ID.\n\n"
    "`timestamp` is an optional RFC3339 / ISO 8601 string to backdate the event\n"
    "(e.g. for migrating historical events). If omitted, uses the current time.";
constexpr std::array<const char*, 6> kRecordNames = {"source",     "kind",      "content",
                                                     "importance", "overrides", "timestamp"};
constinit std::array<PyObject*, 6> g_record_interned{};
constexpr Parameters kRecordParameters{"Runtime", "record", kRecordNames, 3, g_record_interned};

constexpr char kQueryDoc[] =
    "query($self, text=None, source=None, min_salience=None, tier=None, limit=20)\n--\n\n"
    "Query memories by optional filters. Returns list of dicts.";
constexpr std::array<const char*, 5> kQueryNames = {"text", "source", "min_salience", "tier", "limit"};
constinit std::array<PyObject*, 5> g_query_interned{};
constexpr Parameters kQueryParameters{"Runtime", "query", kQueryNames, 0, g_query_interned};

constexpr char kSweepDoc[] = "sweep($self)\n--\n\nRun a decay sweep across all memories.";

constexpr char kCountDoc[] = "count($self)\n--\n\nGet total event count.";

constexpr char kInspectDoc[] = "inspect($self)\n--\n\nInspect memory state: counts per tier.";

constexpr char kGetSnapshotsDoc[] =
    "get_snapshots($self, limit=100)\n--\n\nGet historical tier snapshots for timeline charts.";
constexpr std::array<const char*, 1> kGetSnapshotsNames = {"limit"};
constinit std::array<PyObject*, 1> g_get_snapshots_interned{};
constexpr Parameters kGetSnapshotsParameters{"Runtime", "get_snapshots", kGetSnapshotsNames, 0,
                                             g_get_snapshots_interned};

constexpr char kGetSalienceDistributionDoc[] =
    "get_salience_distribution($self)\n--\n\nGet salience values for all active memories (for histogram).";

constexpr std::array<const Parameters*, 4> kAllParameters = {&kNewParameters, &kRecordParameters,
                                                             &kQueryParameters, &kGetSnapshotsParameters};

constexpr bool fits_binder(const Parameters& parameters) {
    return parameters.names.size() <= kMaxParameters && parameters.interned.size() == parameters.names.size() &&
           parameters.required <= parameters.names.size();
}
static_assert(fits_binder(kNewParameters) && fits_binder(kRecordParameters) && fits_binder(kQueryParameters) &&
              fits_binder(kGetSnapshotsParameters));

constexpr std::uint64_t kDefaultQueryLimit = 20;
constexpr std::uint64_t kDefaultSnapshotLimit = 100;

// ---------------------------------------------------------------------------
// The instance: the object header, the store (constructed in place once the
// object is allocated), and the number of calls currently using it.

struct RuntimeObject {
    PyObject_HEAD
    alignas(SqliteRuntime) std::byte store_bytes[sizeof(SqliteRuntime)];
    std::size_t borrows;

    SqliteRuntime& store() noexcept { return *std::launder(reinterpret_cast<SqliteRuntime*>(store_bytes)); }
};

RuntimeObject& as_runtime(PyObject* object) noexcept { return *reinterpret_cast<RuntimeObject*>(object); }

// Shared access to a Runtime for the length of one call. No call ever needs
// exclusive access, so a call in progress never blocks another; the counter
// only records how many are running.
class SharedAccess {
public:
    explicit SharedAccess(PyObject* self) noexcept : object_(as_runtime(self)) { ++object_.borrows; }
    ~SharedAccess() { --object_.borrows; }
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;

    [[nodiscard]] const SqliteRuntime& store() const noexcept { return object_.store(); }

private:
    RuntimeObject& object_;
};

template <class T>
[[nodiscard]] quenlith_types::Failure<CallError> store_failed(const quenlith_core::error::Result<T>& result) {
    return runtime_error(result.error().display());
}

// ---------------------------------------------------------------------------
// Results as Python values.

[[nodiscard]] PyRef memory_dict(const ScoredMemory& memory) {
    PyRef dict = steal(PyDict_New());
    const bool complete =
        dict && set_item(dict, "id", new_text(memory.event.id.to_hyphenated())) &&
        set_item(dict, "content", new_text(memory.event.content)) &&
        set_item(dict, "source", new_text(memory.event.source)) &&
        set_item(dict, "salience", new_float(memory.salience)) &&
        set_item(dict, "tier", new_text(quenlith_types::display_name(memory.tier))) &&
        set_item(dict, "occurrence_count", new_unsigned(memory.occurrence_count)) &&
        set_item(dict, "timestamp", new_text(quenlith_types::format_rfc3339(memory.event.timestamp))) &&
        set_item(dict, "is_overridden", new_bool(memory.is_overridden));
    return complete ? std::move(dict) : PyRef();
}

[[nodiscard]] PyRef snapshot_dict(const Snapshot& snapshot) {
    PyRef dict = steal(PyDict_New());
    const bool complete = dict && set_item(dict, "timestamp", new_text(snapshot.timestamp)) &&
                          set_item(dict, "hot", new_unsigned(snapshot.hot)) &&
                          set_item(dict, "warm", new_unsigned(snapshot.warm)) &&
                          set_item(dict, "cold", new_unsigned(snapshot.cold)) &&
                          set_item(dict, "forgotten", new_unsigned(snapshot.forgotten));
    return complete ? std::move(dict) : PyRef();
}

// ---------------------------------------------------------------------------
// record

// The six arguments as text, before any of them is parsed.
struct RecordTexts {
    std::string_view source;
    std::string_view kind;
    std::string_view content;
    std::optional<std::string_view> importance;  // None is not accepted: only "not passed" is absent
    std::optional<std::string_view> overrides;
    std::optional<std::string_view> timestamp;
};

// Text arguments in parameter order; the first that is not a str stops the call.
constexpr std::array<std::string_view RecordTexts::*, 3> kRequiredRecordTexts = {
    &RecordTexts::source, &RecordTexts::kind, &RecordTexts::content};
constexpr std::array<std::optional<std::string_view> RecordTexts::*, 2> kOptionalRecordTexts = {
    &RecordTexts::overrides, &RecordTexts::timestamp};
constexpr std::size_t kImportanceIndex = 3;

[[nodiscard]] CallResult<RecordTexts> record_texts(const Arguments& args) {
    RecordTexts texts;
    std::size_t index = 0;
    for (auto member : kRequiredRecordTexts) {
        CallResult<std::string_view> text = text_argument(args[index++]);
        if (!text) return fail(std::move(text).error());
        texts.*member = *text;
    }
    if (args[kImportanceIndex].passed()) {
        CallResult<std::string_view> importance = text_argument(args[kImportanceIndex]);
        if (!importance) return fail(std::move(importance).error());
        texts.importance = *importance;
    }
    index = kImportanceIndex + 1;
    for (auto member : kOptionalRecordTexts) {
        CallResult<std::optional<std::string_view>> text = optional_text_argument(args[index++]);
        if (!text) return fail(std::move(text).error());
        texts.*member = *text;
    }
    return texts;
}

// Parses the texts in the documented order (kind, importance, then the
// identifier and the timestamp) into a complete event.
[[nodiscard]] CallResult<Event> record_event(const RecordTexts& texts) {
    auto kind = quenlith_types::parse_event_kind(texts.kind);
    if (!kind) return runtime_error(kind.error());
    auto importance = quenlith_types::parse_importance(texts.importance.value_or("normal"));
    if (!importance) return runtime_error(importance.error());

    Event event = Event::create(std::string(texts.source), *kind, std::string(texts.content));
    event.importance = *importance;
    if (texts.overrides) {
        auto target = quenlith_types::parse_uuid(*texts.overrides);
        if (!target) return runtime_error("invalid overrides UUID: " + target.error());
        event.overrides = *target;
    }
    if (texts.timestamp) {
        auto instant = quenlith_types::parse_rfc3339(*texts.timestamp, quenlith_types::YearForm::FourDigits);
        if (!instant) return runtime_error("invalid timestamp (expected RFC3339): " + instant.error());
        event.timestamp = *instant;
    }
    return event;
}

[[nodiscard]] CallResult<PyRef> record(const SqliteRuntime& store, const Arguments& args) {
    CallResult<RecordTexts> texts = record_texts(args);
    if (!texts) return fail(std::move(texts).error());
    CallResult<Event> event = record_event(*texts);
    if (!event) return fail(std::move(event).error());
    // The id is made before the event is stored: once the store has
    // committed, nothing may fail and hide that the event is in.
    PyRef id = new_text(event->id.to_hyphenated());
    if (!id) return built(std::move(id));
    const auto stored = store.record(*event);
    if (!stored) return store_failed(stored);
    return id;
}

// ---------------------------------------------------------------------------
// query and count

struct QueryArguments {
    MemoryQuery filter;
    std::optional<std::string_view> tier;  // parsed only once every argument has converted
};

// Arguments in parameter order; the first that fails to convert stops the call.
[[nodiscard]] CallResult<QueryArguments> query_arguments(const Arguments& args) {
    QueryArguments converted;
    std::size_t index = 0;
    for (auto member : {&MemoryQuery::text, &MemoryQuery::source}) {
        CallResult<std::optional<std::string_view>> text = optional_text_argument(args[index++]);
        if (!text) return fail(std::move(text).error());
        if (*text) converted.filter.*member = std::string(**text);
    }
    if (args[2].given()) {
        CallResult<double> min_salience = float_argument(args[2]);
        if (!min_salience) return fail(std::move(min_salience).error());
        converted.filter.min_salience = *min_salience;
    }
    CallResult<std::optional<std::string_view>> tier = optional_text_argument(args[3]);
    if (!tier) return fail(std::move(tier).error());
    converted.tier = *tier;
    converted.filter.limit = kDefaultQueryLimit;
    if (args[4].passed()) {
        CallResult<std::uint64_t> limit = unsigned_argument(args[4]);
        if (!limit) return fail(std::move(limit).error());
        converted.filter.limit = *limit;
    }
    return converted;
}

[[nodiscard]] CallResult<MemoryQuery> memory_query(const Arguments& args) {
    CallResult<QueryArguments> converted = query_arguments(args);
    if (!converted) return fail(std::move(converted).error());
    MemoryQuery filter = std::move(converted->filter);
    if (converted->tier) {
        auto tier = quenlith_types::parse_memory_tier(*converted->tier);
        if (!tier) return runtime_error(tier.error());
        filter.tier = *tier;
    }
    return filter;
}

[[nodiscard]] CallResult<PyRef> query(const SqliteRuntime& store, const Arguments& args) {
    CallResult<MemoryQuery> filter = memory_query(args);
    if (!filter) return fail(std::move(filter).error());
    const auto memories = store.query(*filter);
    if (!memories) return store_failed(memories);
    return built(new_list(memories.value(), memory_dict));
}

[[nodiscard]] CallResult<PyRef> count(const SqliteRuntime& store) {
    const auto total = store.count();
    if (!total) return store_failed(total);
    return built(new_unsigned(total.value()));
}

// ---------------------------------------------------------------------------
// sweep, inspect and the statistics

[[nodiscard]] PyRef sweep_dict(const quenlith_sqlite::runtime::SweepResult& result) {
    PyRef dict = steal(PyDict_New());
    const bool complete = dict && set_item(dict, "total_processed", new_unsigned(result.total_processed)) &&
                          set_item(dict, "promoted", new_unsigned(result.promoted)) &&
                          set_item(dict, "demoted", new_unsigned(result.demoted)) &&
                          set_item(dict, "forgotten", new_unsigned(result.forgotten));
    return complete ? std::move(dict) : PyRef();
}

[[nodiscard]] CallResult<PyRef> sweep(const SqliteRuntime& store) {
    // The dict is built before the sweep commits: a MemoryError while
    // building it rolls the sweep back instead of hiding a stored one.
    PyRef dict;
    const auto swept = store.sweep([&](const quenlith_sqlite::runtime::SweepResult& result) {
        dict = sweep_dict(result);
        return static_cast<bool>(dict);
    });
    if (!swept) return PyErr_Occurred() ? python_error_set() : store_failed(swept);
    return dict;
}

[[nodiscard]] CallResult<PyRef> inspect(const SqliteRuntime& store) {
    const auto counted = store.inspect();
    if (!counted) return store_failed(counted);
    const auto& counts = counted.value();
    PyRef dict = steal(PyDict_New());
    const bool complete = dict && set_item(dict, "total_events", new_unsigned(counts.total_events)) &&
                          set_item(dict, "hot", new_unsigned(counts.hot)) &&
                          set_item(dict, "warm", new_unsigned(counts.warm)) &&
                          set_item(dict, "cold", new_unsigned(counts.cold)) &&
                          set_item(dict, "forgotten", new_unsigned(counts.forgotten));
    return built(complete ? std::move(dict) : PyRef());
}

[[nodiscard]] CallResult<PyRef> get_snapshots(const SqliteRuntime& store, const Arguments& args) {
    std::uint64_t limit = kDefaultSnapshotLimit;
    if (args[0].passed()) {
        CallResult<std::uint64_t> converted = unsigned_argument(args[0]);
        if (!converted) return fail(std::move(converted).error());
        limit = *converted;
    }
    const auto snapshots = store.get_snapshots(limit);
    if (!snapshots) return store_failed(snapshots);
    return built(new_list(snapshots.value(), snapshot_dict));
}

[[nodiscard]] CallResult<PyRef> get_salience_distribution(const SqliteRuntime& store) {
    const auto values = store.get_salience_distribution();
    if (!values) return store_failed(values);
    return built(new_list(values.value(), new_float));
}

// ---------------------------------------------------------------------------
// Method wrappers: the interpreter's calling conventions around the bodies.

using VectorBody = CallResult<PyRef> (*)(const SqliteRuntime&, const Arguments&);
using PlainBody = CallResult<PyRef> (*)(const SqliteRuntime&);

template <const Parameters& Described, VectorBody Body>
PyObject* vector_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> CallResult<PyRef> {
        CallResult<Arguments> bound = bind(Described, args, nargs, kwnames);
        if (!bound) return fail(std::move(bound).error());
        const SharedAccess access(self);
        return Body(access.store(), *bound);
    });
}

template <PlainBody Body>
PyObject* plain_method(PyObject* self, PyObject* /*unused*/) noexcept {
    return guarded([&]() -> CallResult<PyRef> {
        const SharedAccess access(self);
        return Body(access.store());
    });
}

// PyMethodDef stores every function as PyCFunction; going through a pointer
// to a function without parameters keeps the cast free of warnings.
template <class Function>
PyCFunction as_method(Function* function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef g_methods[] = {
    {"record", as_method(&vector_method<kRecordParameters, record>), METH_FASTCALL | METH_KEYWORDS, kRecordDoc},
    {"query", as_method(&vector_method<kQueryParameters, query>), METH_FASTCALL | METH_KEYWORDS, kQueryDoc},
    {"sweep", as_method(&plain_method<sweep>), METH_NOARGS, kSweepDoc},
    {"count", as_method(&plain_method<count>), METH_NOARGS, kCountDoc},
    {"inspect", as_method(&plain_method<inspect>), METH_NOARGS, kInspectDoc},
    {"get_snapshots", as_method(&vector_method<kGetSnapshotsParameters, get_snapshots>),
     METH_FASTCALL | METH_KEYWORDS, kGetSnapshotsDoc},
    {"get_salience_distribution", as_method(&plain_method<get_salience_distribution>), METH_NOARGS,
     kGetSalienceDistributionDoc},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Construction and deallocation

[[nodiscard]] CallResult<RuntimePolicy> resolve_policy(const Argument& name_argument) {
    if (!name_argument.given()) return RuntimePolicy::balanced();
    CallResult<std::string_view> name = text_argument(name_argument);
    if (!name) return fail(std::move(name).error());
    std::optional<RuntimePolicy> policy = RuntimePolicy::from_name(*name);
    if (!policy) {
        return runtime_error("unknown policy: '" + std::string(*name) +
                             "'. Expected: balanced, coding, knowledge, assistant");
    }
    return *policy;
}

// Moves an open store into a newly allocated object. If the allocation
// fails, the store is closed by its owner as the caller unwinds.
[[nodiscard]] CallResult<PyRef> adopt_store(PyTypeObject* type, SqliteRuntime& store) {
    PyRef object = steal(type->tp_alloc(type, 0));
    if (!object) return python_error_set();
    RuntimeObject& runtime = as_runtime(object.get());
    new (runtime.store_bytes) SqliteRuntime(std::move(store));
    runtime.borrows = 0;
    return object;
}

// The policy is resolved before the file is touched, so a bad policy name
// leaves no database behind.
[[nodiscard]] CallResult<PyRef> construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    CallResult<Arguments> bound = bind(kNewParameters, args, kwargs);
    if (!bound) return fail(std::move(bound).error());
    CallResult<std::string_view> path = text_argument((*bound)[0]);
    if (!path) return fail(std::move(path).error());
    CallResult<RuntimePolicy> policy = resolve_policy((*bound)[1]);
    if (!policy) return fail(std::move(policy).error());
    auto store = SqliteRuntime::open_with_policy(*path, *policy);
    if (!store) return store_failed(store);
    return adopt_store(type, store.value());
}

PyObject* runtime_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&] { return construct(type, args, kwargs); });
}

// Deallocation may run while another exception is propagating; that one is
// put back after the fault has been reported.
void report_unraisable_fault(PyObject* context, const char* description) noexcept {
    PyRef pending = steal(compat::take_raised_exception());
    raise_internal_fault(description);
    PyErr_WriteUnraisable(context);
    compat::restore_raised_exception(pending.release());
}

// Closing the store is not expected to throw (its destructor ignores a
// failed close); should that ever change, the fault is reported rather than
// allowed to reach the interpreter, and the memory is freed all the same.
void runtime_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    try {
        as_runtime(self).store().~SqliteRuntime();
    } catch (const std::exception& fault) {
        report_unraisable_fault(reinterpret_cast<PyObject*>(type), fault.what());
    } catch (...) {
        report_unraisable_fault(reinterpret_cast<PyObject*>(type), "an unidentified fault while closing a Runtime");
    }
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot g_runtime_slots[] = {
    {Py_tp_doc, const_cast<char*>(kRuntimeDoc)},
    {Py_tp_new, reinterpret_cast<void*>(&runtime_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&runtime_dealloc)},
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

// No BASETYPE (not subclassable), no GC (an instance holds no Python
// objects), no dict or weak-reference slots. The type is shared by the whole
// process, so it is also immutable. The class belongs to no importable
// module: the dotted name gives it __name__ "Runtime" and __module__
// "builtins" (a heap type named without a dot would have no __module__ at
// all, and creating it raises a DeprecationWarning).
PyType_Spec g_runtime_spec = {
    "builtins.Runtime",
    static_cast<int>(sizeof(RuntimeObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    g_runtime_slots,
};

// ---------------------------------------------------------------------------
// The module
//
// The module is bound to the first interpreter that imports it, so one set of
// process-wide statics (the module, the type, that interpreter's id) is all
// the state there is. m_size 0 rather than -1 makes the interpreter call the
// init function again on a re-import, which is how a second interpreter gets
// its ImportError instead of a copy of the first one's module.

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "quenlith_runtime",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* g_module = nullptr;
PyObject* g_runtime_type = nullptr;
std::optional<std::int64_t> g_interpreter_id;

// Adds `value` under `name` and lists the name in __all__ (created when missing).
[[nodiscard]] bool export_object(PyObject* module, const char* name, PyObject* value) {
    if (PyModule_AddObjectRef(module, name, value) < 0) return false;
    PyObject* namespace_dict = PyModule_GetDict(module);
    PyRef all_key = steal(PyUnicode_InternFromString("__all__"));
    if (!all_key) return false;
    PyRef all = borrow(PyDict_GetItemWithError(namespace_dict, all_key.get()));
    if (!all) {
        if (PyErr_Occurred()) return false;
        all = steal(PyList_New(0));
        if (!all || PyDict_SetItem(namespace_dict, all_key.get(), all.get()) < 0) return false;
    }
    PyRef exported = steal(PyUnicode_FromString(name));
    return exported && PyList_Append(all.get(), exported.get()) == 0;
}

[[nodiscard]] bool prepare_shared_objects() {
    for (const Parameters* parameters : kAllParameters) {
        if (!intern_parameter_names(*parameters)) return false;
    }
    if (g_runtime_type == nullptr) g_runtime_type = PyType_FromSpec(&g_runtime_spec);
    return g_runtime_type != nullptr;
}

[[nodiscard]] CallResult<PyRef> initialise_module() {
    const std::int64_t interpreter_id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter_id == -1) return python_error_set();
    if (g_interpreter_id && *g_interpreter_id != interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "quenlith_runtime can be imported in one interpreter per process only, "
                        "and another interpreter has already imported it");
        return python_error_set();
    }
    if (g_module != nullptr) return borrow(g_module);
    g_interpreter_id = interpreter_id;

    PyRef module = steal(PyModule_Create(&g_module_def));
    if (!module) return python_error_set();
    if (!prepare_shared_objects() || !export_object(module.get(), "Runtime", g_runtime_type)) {
        return python_error_set();
    }
    g_module = Py_NewRef(module.get());
    return module;
}

}  // namespace
}  // namespace quenlith_runtime

PyMODINIT_FUNC PyInit_quenlith_runtime(void) {
    return quenlith_runtime::guarded(quenlith_runtime::initialise_module);
}
