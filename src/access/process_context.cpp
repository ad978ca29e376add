// ProcessContext: the type object, construction from Python and from the
// runner, the properties, the attribute fallback to the state, and the
// release of instances.
//
// The four fields never change, so the context visits them for the cycle
// collector and has no clear of its own: like a tuple's, its references
// stay until it goes, and the dict, State, outbox buffer and Transaction it
// holds have clears that break any cycle through it.
#include "access/process_context.hpp"

#include <string>
#include <utility>

#include "access/proxy.hpp"
#include "engine/transaction.hpp"
#include "py/args.hpp"
#include "py/caught.hpp"
#include "py/convert.hpp"
#include "py/names.hpp"
#include "py/native.hpp"
#include "py/recursion.hpp"
#include "py/trampoline.hpp"
#include "state/outbox.hpp"
#include "state/state.hpp"
#include "support/capabilities.hpp"

namespace olvex::access {

using py::Ref;
using state::OutboxRef;
using state::is_state;
using state::state_data;
using state::state_flag;
using state::OutboxBuffer;
using state::ZoneEntry;

ContextData::~ContextData() {
  { Ref gone = std::move(tx); }
  OutboxBuffer::recycle(std::move(outbox));
}

namespace {

using Instance = py::Native<ContextData>;

ContextData& context(PyObject* self) noexcept { return py::value_of<ContextData>(self); }
py::BorrowFlag& context_flag(PyObject* self) noexcept { return py::flag_of<ContextData>(self); }

PyObject* context_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const py::Params<3> params{"ProcessContext.__new__", {"state", "local", "tx"}, 2};
  auto [state, local, tx_arg] = params.bind(args, kwargs);
  if (!is_state(state)) py::raise_arg_type("state", state, "State");
  if (!PyDict_Check(local)) py::raise_arg_type("local", local, "PyDict");
  PyObject* tx = tx_arg ? py::optional(tx_arg) : nullptr;
  if (tx && !engine::is_transaction(tx)) py::raise_arg_type("tx", tx, "Transaction");
  // A buffer of its own even with a transaction: messages added here never
  // reach the transaction or the engine.
  return py::make_kept<ContextData>(reinterpret_cast<PyObject*>(type), Ref::borrow(state), Ref::borrow(local),
                                   OutboxBuffer::create(), Ref::borrow(tx))
      .release();
}

// The proxy over the state's own object under `root`, or None (the
// thread's current transaction then stays as it was). With a transaction
// the proxy is writable and makes it the calling thread's current one.
Ref root_proxy(PyObject* self, const state::RootKey& root) {
  py::SharedBorrow borrow(context_flag(self));
  const ContextData& c = context(self);
  py::SharedBorrow state_borrow(state_flag(c.state.get()), py::OnConflict::Panic);
  const ZoneEntry* stored = state_data(c.state.get()).data.find(root.text, root.hash);
  if (!stored) return py::none();
  // Setting the thread's transaction can release the previous one and run
  // Python code: the target is held meanwhile.
  Ref target = stored->value;
  Ref tx = c.tx;
  return access::make_proxy(target.get(), root.text, !tx, tx.get(), false, support::DEFAULT_CAPABILITIES);
}

PyObject* get_domain(PyObject* self, void*) { return root_proxy(self, state::domain_root()).release(); }

PyObject* get_global(PyObject* self, void*) { return root_proxy(self, state::global_root()).release(); }

PyObject* get_transaction(PyObject* self, void*) {
  py::SharedBorrow borrow(context_flag(self));
  Ref tx = context(self).tx;
  return (tx ? std::move(tx) : py::none()).release();
}

PyObject* get_state(PyObject* self, void*) {
  py::SharedBorrow borrow(context_flag(self));
  return Ref(context(self).state).release();
}

PyObject* get_local(PyObject* self, void*) {
  py::SharedBorrow borrow(context_flag(self));
  return Ref(context(self).local).release();
}

PyObject* get_outbox(PyObject* self, void*) {
  OutboxRef buffer;
  {
    py::SharedBorrow borrow(context_flag(self));
    buffer = context(self).outbox;
  }
  return outbox_object_for(std::move(buffer)).release();
}

// The ordinary lookup first; a missing attribute is then asked of the
// state. Only ordinary failures of the state's lookup become the context's
// AttributeError (with the state's error as its context), so a Ctrl-C
// during the lookup is never taken for a missing attribute.
PyObject* context_getattro(PyObject* self, PyObject* name) {
  if (PyObject* found = PyObject_GenericGetAttr(self, name)) return found;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::PyErrorSet{};
  PyErr_Clear();
  Ref state;
  {
    py::SharedBorrow borrow(context_flag(self));
    state = context(self).state;
  }
  Ref value;
  {
    py::RecursionScope scope(" while reading through a ProcessContext");
    value = Ref::steal(PyObject_GetAttr(state.get(), name));
  }
  if (value) return value.release();
  Ref cause = py::take_ordinary();
  // Built from the name object itself, so any text fits (lone surrogates too).
  Ref text = Ref::check(PyUnicode_FromFormat("'ProcessContext' object has no attribute '%U'", name));
  Ref error = py::call(PyExc_AttributeError, text.get());
  PyException_SetContext(error.get(), cause.release());
  PyErr_SetRaisedException(error.release());
  throw py::PyErrorSet{};
}

// A context can sit in another's local dict, state or messages, and so on
// down a chain: the deallocation is bounded by itself.
void context_dealloc(PyObject* self) { py::dealloc_kept<ContextData>(self); }

int context_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  auto* n = Instance::of(self);
  if (n->alive) {
    const ContextData& c = n->value();
    Py_VISIT(c.state.get());
    Py_VISIT(c.local.get());
    Py_VISIT(c.outbox.object());
    Py_VISIT(c.tx.get());
  }
  return 0;
}

PyGetSetDef context_getset[] = {
    {"transaction", py::tramp<get_transaction>, nullptr, nullptr, nullptr},
    {"global_ctx", py::tramp<get_global>, nullptr, nullptr, nullptr},
    {"domain_ctx", py::tramp<get_domain>, nullptr, nullptr, nullptr},
    {"domain", py::tramp<get_domain>, nullptr,
     "[FIX v3.3] Explicit Domain Getter \xe2\x80\x94 Transaction NOT injected into SupervisorProxy.\n"
     "SupervisorProxy queries contextvars for Transaction when it needs to log or COW.",
     nullptr},
    {"global", py::tramp<get_global>, nullptr,
     "[FIX v3.3] Explicit Global Getter \xe2\x80\x94 same pattern as domain", nullptr},
    {"state", py::tramp<get_state>, nullptr, nullptr, nullptr},
    {"local", py::tramp<get_local>, nullptr, nullptr, nullptr},
    {"outbox", py::tramp<get_outbox>, nullptr, nullptr, nullptr},
    {"tx", py::tramp<get_transaction>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot context_slots[] = {
    {Py_tp_doc, const_cast<char*>("ProcessContext(state, local, tx=None)\n--\n\nEphemeral Context passed to Process")},
    {Py_tp_new, reinterpret_cast<void*>(py::tramp<context_new>)},
    {Py_tp_getattro, reinterpret_cast<void*>(py::tramp<context_getattro>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(context_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(context_traverse)},
    {Py_tp_getset, context_getset},
    {0, nullptr},
};

PyType_Spec context_spec = {
    "olvex_core.ProcessContext",
    static_cast<int>(sizeof(Instance)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    context_slots,
};

}  // namespace

py::TypeCell process_context_type("ProcessContext", [] { return py::make_type(&context_spec); });

bool is_process_context(PyObject* o) noexcept {
  // Until the class exists nothing can be one; asking must not make it.
  PyObject* type = process_context_type.peek();
  return type && Py_TYPE(o) == reinterpret_cast<PyTypeObject*>(type);
}

Ref make_process_context(Ref state, Ref local, OutboxRef outbox, Ref tx) {
  return py::make_kept<ContextData>(process_context_type.get(), std::move(state), std::move(local), std::move(outbox),
                                    std::move(tx));
}

std::optional<OutboxRef> process_context_buffer(PyObject* o) {
  if (!is_process_context(o)) return std::nullopt;
  py::SharedBorrow borrow(context_flag(o), py::OnConflict::Panic);
  return context(o).outbox;
}

}  // namespace olvex::access
