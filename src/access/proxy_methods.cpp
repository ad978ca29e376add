// Container methods of SupervisorProxy: the list mutators append, extend,
// insert, remove, sort, reverse and clear, and the mapping mutators update,
// pop, popitem and setdefault.
//
// Each refuses a read-only proxy, then tests the one bit named for it in
// the proxy's own byte (the byte a child got when it was read already holds
// its path's zone; no override, no transaction test here), calls the
// target's method of the same name, and reports what changed to the
// transaction current at the call, in the silent form. A report made before
// the target's call is withdrawn when the call fails, so the log never
// holds a change the target refused.
#include <fmt/format.h>

#include <string_view>
#include <vector>

#include "access/current_tx.hpp"
#include "access/proxy_impl.hpp"
#include "py/args.hpp"
#include "py/caught.hpp"
#include "py/convert.hpp"
#include "py/names.hpp"
#include "py/objects.hpp"
#include "support/capabilities.hpp"

namespace olvex::access {

using py::Ref;

namespace {

enum class Lens { Hidden, Shown };

// One method call: the shared borrow held to its end, the fields it reads
// and its own reference to the target.
struct Call {
  explicit Call(PyObject* self) : self(self), borrow(proxy_flag(self)), d(proxy_data(self)), target(d.target) {}

  PyObject* t() const noexcept { return target.get(); }

  void refuse_read_only() const {
    if (d.read_only) raise_text(PyExc_PermissionError, fmt::format("PURE process cannot write to '{}'", d.path.text()));
  }

  void require(std::uint8_t bit, std::string_view capability, std::string_view method, Lens lens) const {
    if (d.capabilities & bit) return;
    std::string message =
        fmt::format("Permission Denied: {} capability required for .{}() at '{}'", capability, method, d.path.text());
    if (lens == Lens::Shown) {
      message += fmt::format(". (Current Lens: {})", support::format_capabilities(d.capabilities));
    }
    raise_text(PyExc_PermissionError, message);
  }

  // (path, None, target) to `tx`.
  engine::DeltaTicket report_whole(PyObject* tx) const {
    return report_delta(tx, py::to_py(d.path.text()).get(), nullptr, target.get(), ReportForm::Silent);
  }

  // The whole-target report after a list method: to the transaction
  // current now, if any.
  void report_whole_after() const {
    if (Ref tx = get_current_tx()) report_whole(tx.get());
  }

  PyObject* self;
  py::SharedBorrow borrow;
  const ProxyData& d;
  Ref target;
};

// The path a mapping method reports a key under: the proxy's path, a dot
// and str(key), never brackets; the bare text at the root. Built from str
// objects, so a text with lone surrogates reports as it is.
Ref key_path(const ProxyData& d, PyObject* key) {
  py::Str text = py::Str::exact(Ref::check(PyObject_Str(key)).get());
  if (d.path.empty()) return text;
  Ref prefix = py::to_py(fmt::format("{}.", d.path.text()));
  return Ref::check(PyUnicode_Concat(prefix.get(), text.get()));
}

// target.get(key) for an old value; an ordinary failure gives None (null).
// A lookup cut off by the forwarding bound is no failure of the target:
// dropping it would let every level of a runaway chain read down the
// chain again before failing the same way.
Ref old_value(PyObject* t, PyObject* key) {
  ForwardGuard guard;
  PyObject* found = nullptr;
  if (PyDict_CheckExact(t)) {
    if (PyDict_GetItemRef(t, key, &found) < 0) py::discard_ordinary();
    return Ref::steal(found);
  }
  unsigned overflows = t_forward_overflows;
  PyObject* argv[] = {t, key};
  found = PyObject_VectorcallMethod(OLVEX_NAME(get), argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  if (!found) {
    if (overflows != t_forward_overflows) throw py::PyErrorSet{};
    py::discard_ordinary();
  }
  return Ref::steal(found);
}

// target.__contains__(key), which must answer with a bool.
bool contains(PyObject* t, PyObject* key) {
  ForwardGuard guard;
  if (PyDict_CheckExact(t)) return py::check(PyDict_Contains(t, key)) == 1;
  Ref found = py::call_method(t, OLVEX_NAME(__contains__), key);
  if (!PyBool_Check(found.get())) py::raise_type(found.get(), "PyBool");
  return found.get() == Py_True;
}

template <class... A>
Ref call_target(PyObject* t, PyObject* name, A... args) {
  ForwardGuard guard;
  return py::call_method(t, name, args...);
}

// The entries one call logged before its target's call. When a later step
// of the call fails, exactly these are withdrawn (others that the target's
// code logged meanwhile stay), and the failure passes on unchanged.
class Reported {
 public:
  void reserve(std::size_t n) { tickets_.reserve(n); }

  void add(engine::DeltaTicket ticket) {
    if (!ticket) return;
    try {
      tickets_.push_back(std::move(ticket));
    } catch (...) {
      engine::withdraw_delta(ticket);  // push_back leaves its argument whole when it throws
      throw;
    }
  }

  template <class Step>
  decltype(auto) run(Step&& step) {
    try {
      return step();
    } catch (abi::__forced_unwind&) {
      throw;
    } catch (...) {
      for (auto it = tickets_.rbegin(); it != tickets_.rend(); ++it) engine::withdraw_delta(*it);
      tickets_.clear();
      throw;
    }
  }

 private:
  std::vector<engine::DeltaTicket> tickets_;
};

void require_dict_kwargs(PyObject* kwargs) {
  if (kwargs && !PyDict_Check(kwargs)) py::raise_arg_type("kwargs", kwargs, "PyDict");
}

// builtins.dict(other, **kwargs), `dict` read from the module on every call
// so that a patched one takes part; its result must be a dict.
Ref merged_dict(PyObject* other, PyObject* kwargs) {
  static PyObject* builtins = Ref::check(PyImport_ImportModule("builtins")).release();
  Ref dict_type = Ref::check(PyObject_GetAttr(builtins, OLVEX_NAME(dict)));
  Ref args = Ref::check(other ? PyTuple_Pack(1, other) : PyTuple_New(0));
  Ref merged = Ref::check(PyObject_Call(dict_type.get(), args.get(), kwargs));
  if (!PyDict_Check(merged.get())) py::raise_type(merged.get(), "PyDict");
  return merged;
}

// Puts back a pair that popitem removed, with the target's __setitem__.
// Called with the failure that stopped the report pending; leaves it
// pending, or the restore's own failure with it as the context.
void restore_pair(PyObject* t, PyObject* key, PyObject* value) {
  Ref first = Ref::steal(PyErr_GetRaisedException());
  try {
    call_target(t, OLVEX_NAME(__setitem__), key, value);
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    py::translate_current_exception();
    Ref second = Ref::steal(PyErr_GetRaisedException());
    if (second.get() != first.get()) PyException_SetContext(second.get(), first.release());
    PyErr_SetRaisedException(second.release());
    return;
  }
  PyErr_SetRaisedException(first.release());
}

}  // namespace

// ---- list methods -------------------------------------------------------------

PyObject* proxy_append(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"SupervisorProxy.append", {"item"}, 1};
  auto [item] = params.bind(args, nargs, kwnames);
  Call c(self);
  c.refuse_read_only();
  c.require(support::APPEND, "APPEND", "append", Lens::Hidden);
  if (PyList_CheckExact(c.t())) {
    py::check(PyList_Append(c.t(), item));
  } else {
    call_target(c.t(), OLVEX_NAME(append), item);
  }
  c.report_whole_after();
  return py::none().release();
}

PyObject* proxy_extend(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"SupervisorProxy.extend", {"iterable"}, 1};
  auto [iterable] = params.bind(args, nargs, kwnames);
  Call c(self);
  c.refuse_read_only();
  c.require(support::APPEND, "APPEND", "extend", Lens::Hidden);
  // p.extend(p) over a list would read the list through its own iterator
  // while appending to it, without end; handed the list itself, extend
  // copies it once first, as l.extend(l) does.
  if (iterable == self && PyList_CheckExact(c.t())) iterable = c.t();
  call_target(c.t(), OLVEX_NAME(extend), iterable);
  c.report_whole_after();
  return py::none().release();
}

PyObject* proxy_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<2> params{"SupervisorProxy.insert", {"index", "item"}, 2};
  auto [index, item] = params.bind(args, nargs, kwnames);
  Call c(self);
  c.refuse_read_only();
  c.require(support::APPEND, "APPEND", "insert", Lens::Hidden);
  call_target(c.t(), OLVEX_NAME(insert), index, item);
  c.report_whole_after();
  return py::none().release();
}

PyObject* proxy_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"SupervisorProxy.remove", {"value"}, 1};
  auto [value] = params.bind(args, nargs, kwnames);
  Call c(self);
  c.refuse_read_only();
  c.require(support::DELETE, "DELETE", "remove", Lens::Hidden);
  call_target(c.t(), OLVEX_NAME(remove), value);
  c.report_whole_after();
  return py::none().release();
}

PyObject* proxy_sort(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"SupervisorProxy.sort", {"kwargs"}, 0};
  auto [given] = params.bind(args, nargs, kwnames);
  Call c(self);
  PyObject* kwargs = given ? py::optional(given) : nullptr;
  require_dict_kwargs(kwargs);
  c.refuse_read_only();
  c.require(support::UPDATE, "UPDATE", "sort", Lens::Hidden);
  {
    ForwardGuard guard;
    Ref sort = Ref::check(PyObject_GetAttr(c.t(), OLVEX_NAME(sort)));
    Ref no_args = Ref::check(PyTuple_New(0));
    Ref::check(PyObject_Call(sort.get(), no_args.get(), kwargs));
  }
  c.report_whole_after();
  return py::none().release();
}

PyObject* proxy_reverse(PyObject* self, PyObject*) {
  Call c(self);
  c.refuse_read_only();
  c.require(support::UPDATE, "UPDATE", "reverse", Lens::Hidden);
  call_target(c.t(), OLVEX_NAME(reverse));
  c.report_whole_after();
  return py::none().release();
}

PyObject* proxy_clear_method(PyObject* self, PyObject*) {
  Call c(self);
  c.refuse_read_only();
  c.require(support::DELETE, "DELETE", "clear", Lens::Hidden);
  call_target(c.t(), OLVEX_NAME(clear));
  c.report_whole_after();
  return py::none().release();
}

// ---- mapping methods ------------------------------------------------------------

PyObject* proxy_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<2> params{"SupervisorProxy.update", {"other", "kwargs"}, 0};
  auto [other_given, kwargs_given] = params.bind(args, nargs, kwnames);
  Call c(self);
  c.refuse_read_only();
  PyObject* other = other_given ? py::optional(other_given) : nullptr;
  PyObject* kwargs = kwargs_given ? py::optional(kwargs_given) : nullptr;
  require_dict_kwargs(kwargs);
  Ref merged = merged_dict(other, kwargs);
  c.require(support::UPDATE, "UPDATE", "update", Lens::Shown);
  Reported reported;
  if (Ref tx = get_current_tx()) {
    // A snapshot of the pairs, each owned here: str, get and log_delta run
    // Python code that may change the merged dict.
    Ref items = Ref::check(PyDict_Items(merged.get()));
    Py_ssize_t n = PyList_Size(items.get());
    reported.reserve(static_cast<std::size_t>(n));
    reported.run([&] {
      for (Py_ssize_t i = 0; i < n; ++i) {
        Ref pair = Ref::check(PyList_GetItemRef(items.get(), i));
        PyObject* key = PyTuple_GetItem(pair.get(), 0);  // borrowed from `pair`
        PyObject* value = PyTuple_GetItem(pair.get(), 1);
        Ref path = key_path(c.d, key);
        Ref old = old_value(c.t(), key);
        reported.add(report_delta(tx.get(), path.get(), old.get(), value, ReportForm::Silent));
      }
    });
  }
  reported.run([&] { call_target(c.t(), OLVEX_NAME(update), merged.get()); });
  return py::none().release();
}

PyObject* proxy_pop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<2> params{"SupervisorProxy.pop", {"key_or_index", "default"}, 0};
  auto [key_given, default_given] = params.bind(args, nargs, kwnames);
  Call c(self);
  c.refuse_read_only();
  c.require(support::DELETE, "DELETE", "pop", Lens::Shown);
  PyObject* key = key_given ? py::optional(key_given) : nullptr;
  PyObject* fallback = default_given ? py::optional(default_given) : nullptr;
  bool is_list = PyList_Check(c.t());
  Ref tx = get_current_tx();
  Reported reported;
  if (is_list) {
    // `default` means nothing to a list: a missing index raises.
    if (tx) reported.add(c.report_whole(tx.get()));
    Ref last = key ? Ref() : Ref::check(PyLong_FromLong(-1));
    return reported.run([&] { return call_target(c.t(), OLVEX_NAME(pop), key ? key : last.get()); }).release();
  }
  if (tx && key) {
    Ref path = key_path(c.d, key);
    if (contains(c.t(), key)) {
      Ref old = old_value(c.t(), key);
      reported.add(report_delta(tx.get(), path.get(), old.get(), Py_None, ReportForm::Silent));
    }
  }
  if (!key) py::raise(PyExc_TypeError, "pop() expected at least 1 argument, got 0");
  // A missing dict key gives None, not KeyError: the default is always passed.
  return reported.run([&] { return call_target(c.t(), OLVEX_NAME(pop), key, fallback ? fallback : Py_None); })
      .release();
}

PyObject* proxy_popitem(PyObject* self, PyObject*) {
  Call c(self);
  c.refuse_read_only();
  c.require(support::DELETE, "DELETE", "popitem", Lens::Shown);
  Ref result = call_target(c.t(), OLVEX_NAME(popitem));
  PyObject* r = result.get();
  if (!PyTuple_Check(r) || PyTuple_Size(r) != 2) return result.release();
  Ref tx = get_current_tx();
  if (!tx) return result.release();
  PyObject* key = PyTuple_GetItem(r, 0);  // borrowed from `result`
  PyObject* value = PyTuple_GetItem(r, 1);
  Ref path;
  try {
    path = key_path(c.d, key);
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    // The pair is out of the target already; losing it would lose data,
    // so it goes back, and nothing is reported.
    py::translate_current_exception();
    restore_pair(c.t(), key, value);
    throw py::PyErrorSet{};
  }
  report_delta(tx.get(), path.get(), value, Py_None, ReportForm::Silent);
  return result.release();
}

PyObject* proxy_setdefault(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<2> params{"SupervisorProxy.setdefault", {"key", "default"}, 1};
  auto [key, default_given] = params.bind(args, nargs, kwnames);
  Call c(self);
  c.refuse_read_only();
  c.require(support::UPDATE, "UPDATE", "setdefault", Lens::Shown);
  PyObject* fallback = default_given ? default_given : Py_None;
  Reported reported;
  if (!contains(c.t(), key)) {
    if (Ref tx = get_current_tx()) {
      Ref path = key_path(c.d, key);
      reported.add(report_delta(tx.get(), path.get(), nullptr, fallback, ReportForm::Silent));
    }
  }
  Ref result = reported.run([&] { return call_target(c.t(), OLVEX_NAME(setdefault), key, fallback); });
  // The key is set by now: a failing text keeps the report.
  Text text = text_of(key);
  return wrap_result(self, text.view, result.get()).release();
}

}  // namespace olvex::access
