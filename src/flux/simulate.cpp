// simulate: the path a workflow would take, without an executor, the
// workflow state or the budget. A document whose root holds `nodes` is
// walked as a graph; any other lists its process steps.
#include "flux/engine.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"

namespace olvex::flux {

using py::Ref;
namespace sflux = support::flux;

PyObject* engine_simulate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const py::Params<1> params{"WorkflowEngine.simulate", {"ctx"}, 1};
  auto [ctx] = params.bind(args, nargs, kwnames);
  check_ctx(ctx);
  py::SharedBorrow borrow(engine_flag(self));
  RecursionGuard guard(" in WorkflowEngine.simulate");
  EngineData& e = engine_of(self);

  if (!e.nodes) {
    std::vector<const sflux::Process*> steps = sflux::linear_processes(e.workflow.steps);
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(steps.size())));
    for (std::size_t i = 0; i < steps.size(); ++i) {
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), Ref(e.process_names[steps[i]->id]).release());
    }
    return list.release();
  }

  if (e.nodes->kind() != support::yaml::Kind::Mapping) py::raise(PyExc_ValueError, "Missing 'start' node");
  std::vector<std::string_view> path;
  try {
    path = sflux::walk_graph(*e.nodes, e.node_index, e.max_ops,
                             [&](std::string_view condition) { return eval_condition(e, condition, ctx); });
  } catch (sflux::GraphError& g) {
    py::raise(g.kind == sflux::GraphError::Kind::Value ? PyExc_ValueError : PyExc_RuntimeError, std::move(g.message));
  }
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(path.size())));
  for (std::size_t i = 0; i < path.size(); ++i) {
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), py::to_py(path[i]).release());
  }
  return list.release();
}

}  // namespace olvex::flux
