// ContextGuard: the type object, construction and interning, the small
// methods and properties, and the release of instances. Reads are in
// guard_reads.cpp, writes in guard_writes.cpp.
#include "access/guard.hpp"

#include <fmt/format.h>

#include <new>
#include <span>
#include <type_traits>
#include <vector>

#include "access/guard_impl.hpp"
#include "engine/transaction.hpp"
#include "py/args.hpp"
#include "py/caught.hpp"
#include "py/convert.hpp"
#include "py/names.hpp"
#include "py/output.hpp"
#include "py/trampoline.hpp"
#include "state/outbox.hpp"
#include "access/process_context.hpp"

namespace olvex::access {

namespace {

using Instance = py::Native<GuardData>;

// Values gathered during construction: up to N without a heap allocation,
// and without initialising storage that is never used.
template <class T, std::size_t N>
class Gathered {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  Gathered() = default;
  Gathered(const Gathered&) = delete;
  Gathered& operator=(const Gathered&) = delete;

  void add(T v) {
    if (count_ < N) [[likely]] {
      new (raw_ + count_ * sizeof(T)) T(v);
      ++count_;
      return;
    }
    spill(v);
  }
  std::span<const T> all() const noexcept {
    if (count_ <= N) return {std::launder(reinterpret_cast<const T*>(raw_)), count_};
    return spilled_;
  }
  std::size_t size() const noexcept { return count_; }

 private:
  void spill(T v) {
    if (spilled_.empty()) {
      auto held = all();
      spilled_.assign(held.begin(), held.end());
    }
    spilled_.push_back(v);
    ++count_;
  }
  alignas(T) unsigned char raw_[N * sizeof(T)];
  std::vector<T> spilled_;
  std::size_t count_ = 0;
};

// The texts of a contract, inputs then outputs, each with the host's hash of
// it. Each view lives as long as the object it was read from: the list or
// tuple it sits in, when no Python code can run before the views are used,
// else a reference kept in `owners`.
struct ContractTexts {
  Gathered<std::string_view, 32> views;
  Gathered<std::uint64_t, 32> words;
  std::vector<py::Ref> owners;
  std::size_t inputs = 0;

  support::PolicyKey key(bool strict) const {
    auto all = views.all();
    return {all.first(inputs), all.subspan(inputs), strict, words.all()};
  }
};

bool fixed_sequence(PyObject* o) noexcept { return PyList_CheckExact(o) || PyTuple_CheckExact(o); }

// A str subclass counts as its text: its bytes and str's own hash of them
// are read directly, so none of its methods runs.
void add_text(ContractTexts& out, PyObject* item) {
  static const auto str_hash = reinterpret_cast<hashfunc>(PyType_GetSlot(&PyUnicode_Type, Py_tp_hash));
  if (!PyUnicode_CheckExact(item) && !PyUnicode_Check(item)) py::raise_type(item, "PyString");
  std::string_view text = py::utf8(item);
  Py_hash_t h = str_hash(item);
  if (h == -1 && PyErr_Occurred()) throw py::PyErrorSet{};
  out.views.add(text);
  out.words.add(static_cast<std::uint64_t>(h));
}

// `hold`: keep a reference to every item, because Python code may run
// before the views are used (another iterable's iterator).
void collect(PyObject* iterable, ContractTexts& out, bool hold) {
  if (fixed_sequence(iterable) && !hold) {
    // Reading a list or tuple item by item runs no Python code, so the
    // container keeps the items alive.
    const bool list = PyList_CheckExact(iterable);
    const Py_ssize_t n = list ? PyList_Size(iterable) : PyTuple_Size(iterable);
    for (Py_ssize_t i = 0; i < n; ++i) add_text(out, list ? PyList_GetItem(iterable, i) : PyTuple_GetItem(iterable, i));
    return;
  }
  py::Ref it = py::Ref::steal(PyObject_GetIter(iterable));
  if (!it) {
    py::discard_ordinary();
    py::raise(PyExc_TypeError, "Expected iterable for inputs/outputs");
  }
  while (PyObject* raw = PyIter_Next(it.get())) {
    py::Ref item = py::Ref::steal(raw);
    add_text(out, raw);
    out.owners.push_back(std::move(item));
  }
  if (PyErr_Occurred()) throw py::PyErrorSet{};
}

PyObject* guard_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const py::Params<7> params{
      "ContextGuard.__new__",
      {"target", "inputs", "outputs", "path_prefix", "tx", "is_admin", "strict_guards"},
      3,
  };
  auto [target, inputs, outputs, prefix_arg, tx_arg, admin_arg, strict_arg] = params.bind(args, kwargs);
  PyObject* prefix_obj = prefix_arg ? py::optional(prefix_arg) : nullptr;
  std::string prefix = prefix_obj ? std::string(py::arg_str(prefix_obj, "path_prefix")) : std::string();
  PyObject* tx = tx_arg ? py::optional(tx_arg) : nullptr;
  if (tx && !engine::is_transaction(tx)) py::raise_arg_type("tx", tx, "Transaction");
  bool is_admin = admin_arg ? py::arg_bool(admin_arg, "is_admin") : false;
  bool strict = strict_arg ? py::arg_bool(strict_arg, "strict_guards") : false;

  ContractTexts texts;
  const bool hold = !(fixed_sequence(inputs) && fixed_sequence(outputs));
  collect(inputs, texts, hold);
  texts.inputs = texts.views.size();
  collect(outputs, texts, hold);
  const support::PolicyKey key = texts.key(strict);
  // Refused contracts are never registered: no guard could ever use them.
  if (strict) {
    if (auto i = support::first_restricted_input(key.inputs)) {
      py::raise(PyExc_PermissionError, support::restricted_input_message(key.inputs[*i]));
    }
  }
  const support::SharedPolicy& policy = support::POLICY_REGISTRY().intern(key);
  return py::make_native<GuardData>(type, py::Ref::borrow(target), &policy, std::move(prefix), py::Ref::borrow(tx),
                                    is_admin)
      .release();
}

// ---- methods and properties ---------------------------------------------------

PyObject* guard_log(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"ContextGuard.log", {"message"}, 1};
  auto [message] = params.bind(args, nargs, kwnames);
  py::SharedBorrow borrow(guard_flag(self));
  std::string_view text = py::arg_str(message, "message");
  // One write of the whole line, so lines from several threads never mix.
  fmt::memory_buffer line;
  fmt::format_to(std::back_inserter(line), "[CTX LOG] {}\n", text);
  py::write_raw(1, {line.data(), line.size()});
  return py::none().release();
}

PyObject* guard_elevate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"ContextGuard._elevate", {"enabled"}, 1};
  auto [enabled] = params.bind(args, nargs, kwnames);
  py::ExclusiveBorrow borrow(guard_flag(self));
  guard_data(self).is_admin = py::arg_bool(enabled, "enabled");
  return py::none().release();
}

PyObject* get_outbox(PyObject* self, void*) {
  py::SharedBorrow borrow(guard_flag(self));
  py::Ref target = guard_data(self).target;
  if (auto buffer = process_context_buffer(target.get())) return state::outbox_object_for(std::move(*buffer)).release();
  ++t_outbox_forwards;
  return target_attr(target.get(), OLVEX_NAME(outbox)).release();
}

PyObject* get_policy_id(PyObject* self, void*) {
  py::SharedBorrow borrow(guard_flag(self));
  return py::to_py_u64(reinterpret_cast<std::uintptr_t>(guard_data(self).policy)).release();
}

PyObject* get_target(PyObject* self, void*) {
  py::SharedBorrow borrow(guard_flag(self));
  return py::Ref(guard_data(self).target).release();
}

// ---- release and cycle collection ---------------------------------------------

PyObject*& dict_slot(PyObject* self) noexcept { return reinterpret_cast<GuardObject*>(self)->dict; }

void release_dict(PyObject* self) noexcept { Py_CLEAR(dict_slot(self)); }

// Guards over guards, a guard's `log` another guard, ...: the deallocation
// is bounded by itself; the instance dict goes after the value.
void guard_dealloc(PyObject* self) { py::dealloc_native<GuardData, release_dict>(self); }

int guard_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  auto* n = Instance::of(self);
  if (n->alive) {
    const GuardData& g = n->value();
    Py_VISIT(g.target.get());
    Py_VISIT(g.tx.get());
    Py_VISIT(g.log.get());
  }
  Py_VISIT(dict_slot(self));
  return 0;
}

int guard_clear(PyObject* self) {
  auto* n = Instance::of(self);
  if (n->alive) {
    GuardData& g = n->value();
    // None keeps the target non-null for anything that still reaches the guard.
    py::Ref target = std::exchange(g.target, py::Ref::borrow(Py_None));
    py::Ref tx = std::move(g.tx);
    py::Ref log = std::move(g.log);
  }
  Py_CLEAR(dict_slot(self));
  return 0;
}

// ---- the type ------------------------------------------------------------------

// The method `log` takes that name in the class namespace, so the `log`
// field is reached only by assignment (guard_writes.cpp), never read back.
PyMethodDef guard_methods[] = {
    {"log", py::method<guard_log>(), METH_FASTCALL | METH_KEYWORDS,
     "log($self, message)\n--\n\n"
     "ctx.log(\"message\")\n"
     "Writes to standard output for now (or could use meta logs if accessible)"},
    {"_elevate", py::method<guard_elevate>(), METH_FASTCALL | METH_KEYWORDS,
     "_elevate($self, enabled)\n--\n\n"
     "[RFC-001] Elevate this guard to Admin status for current thread.\n"
     "Used by AdminTransaction context manager."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef guard_getset[] = {
    {"outbox", py::tramp<get_outbox>, nullptr,
     "Direct getter for the outbox, so that the attribute fallback never wraps it.\n"
     "Returns the raw outbox object, which shares the transaction's buffer.",
     nullptr},
    {"policy_id", py::tramp<get_policy_id>, nullptr, "[RFC-001] Native getter for Flyweight Verification", nullptr},
    {"_target", py::tramp<get_target>, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef guard_members[] = {
    {"__dictoffset__", Py_T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(GuardObject, dict)), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot guard_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("ContextGuard(target, inputs, outputs, path_prefix=None, tx=None, is_admin=False, "
                       "strict_guards=False)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(py::tramp<guard_new>)},
    {Py_mp_subscript, reinterpret_cast<void*>(py::tramp<guard_getitem>)},
    {Py_sq_contains, reinterpret_cast<void*>(py::tramp<guard_contains>)},
    {Py_tp_iter, reinterpret_cast<void*>(py::tramp<guard_iter>)},
    {Py_tp_getattro, reinterpret_cast<void*>(py::tramp<guard_getattro>)},
    {Py_tp_setattro, reinterpret_cast<void*>(py::tramp<guard_setattro>)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(py::tramp<guard_setitem>)},
    {Py_tp_methods, guard_methods},
    {Py_tp_getset, guard_getset},
    {Py_tp_members, guard_members},
    {Py_tp_dealloc, reinterpret_cast<void*>(guard_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(guard_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(guard_clear)},
    {0, nullptr},
};

PyType_Spec guard_spec = {
    "builtins.ContextGuard",
    static_cast<int>(sizeof(GuardObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    guard_slots,
};

}  // namespace

py::TypeCell context_guard_type("ContextGuard", [] { return py::make_type(&guard_spec); });

py::Ref make_guard(PyObject* target, const support::SharedPolicy* policy, std::string path_prefix, PyObject* tx,
                   bool is_admin) {
  return py::make_native<GuardData>(context_guard_type.get(), py::Ref::borrow(target), policy, std::move(path_prefix),
                                    py::Ref::borrow(tx), is_admin);
}

std::optional<long long> integer_key(PyObject* key) {
  if (PyUnicode_CheckExact(key) || PyUnicode_Check(key)) return std::nullopt;
  py::Ref index;
  if (PyLong_Check(key)) {
    index = py::Ref::borrow(key);
  } else {
    if (!PyIndex_Check(key)) return std::nullopt;
    index = py::Ref::steal(PyNumber_Index(key));
    if (!index) {
      py::discard_ordinary();
      return std::nullopt;
    }
  }
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (overflow != 0) return std::nullopt;
  if (v == -1 && PyErr_Occurred()) {
    py::discard_ordinary();
    return std::nullopt;
  }
  return v;
}

std::string_view index_path(PathBuffer& out, std::string_view prefix, long long i) {
  out.clear();
  append(out, prefix);
  fmt::format_to(std::back_inserter(out), "[{}]", i);
  return {out.data(), out.size()};
}

void require(const GuardData& g, std::string_view path, bool write) {
  if (!support::check_permissions(*g.policy, g.is_admin, path, write)) {
    py::raise(PyExc_PermissionError, support::illegal_access_message(path, write));
  }
}

}  // namespace olvex::access
