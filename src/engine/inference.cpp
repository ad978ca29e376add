// Transaction.infer_shadow_deltas: tracked shadows that differ from their
// originals become deltas, once per transaction.
//
// Pairs are visited in the order their path texts were first tracked. The
// comparisons run with no record locked. Ordinary exceptions from them are
// dropped and count as a difference; any other exception (KeyboardInterrupt,
// SystemExit, the panic exception) propagates, but first that pair and
// every pair not yet compared become deltas, so the once-only inference
// loses no change.
#include <cxxabi.h>

#include <cstddef>
#include <memory_resource>
#include <vector>

#include "engine/transaction.hpp"
#include "py/caught.hpp"
#include "py/convert.hpp"
#include "py/names.hpp"

namespace olvex::engine {

using py::Ref;

namespace {

// Whether the truth value of `o` is false; -1 when taking it raised an
// ordinary exception (dropped). Any other exception propagates.
int falsy(PyObject* o) {
  int truth = PyObject_IsTrue(o);
  if (truth < 0) {
    py::discard_ordinary();
    return -1;
  }
  return truth == 0;
}

// Whether the shadow differs from its original: shadow == original, its
// truth value, and all() of the result when that has no truth value (as an
// array-like comparison).
bool differs(PyObject* shadow, PyObject* original) {
  Ref eq = Ref::steal(PyObject_RichCompare(shadow, original, Py_EQ));
  if (!eq) {
    py::discard_ordinary();
    return true;
  }
  int f = falsy(eq.get());
  if (f >= 0) return f == 1;
  PyObject* argv[] = {eq.get()};
  Ref all = Ref::steal(PyObject_VectorcallMethod(OLVEX_NAME(all), argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!all) {
    py::discard_ordinary();
    return true;
  }
  return falsy(all.get()) != 0;
}

// The shadow cached for `original`, or empty.
Ref shadow_of(TransactionData& t, PyObject* original) {
  return t.shadow_cache.with([&](ShadowCache& cache) -> Ref {
    ShadowEntry* e = cache.find(original);
    return e ? e->shadow : Ref();
  });
}

void append(TransactionData& t, std::pmr::vector<DeltaEntry>& found) {
  if (found.empty()) return;
  t.delta_log.with([&](DeltaLog& log) {
    log.reserve(log.size() + found.size());  // the only step that can fail
    for (DeltaEntry& e : found) log.push_back(std::move(e));
  });
}

}  // namespace

void infer_shadow_deltas(PyObject* tx) {
  TransactionData& t = transaction_data(tx);
  bool first = t.deltas_inferred.with([](bool& done) { return !std::exchange(done, true); });
  if (!first) return;
  // A process tracks a few shadows: their snapshot and findings fit in
  // room on the stack, and only more of them take the heap.
  constexpr std::size_t kRoom = 4;
  alignas(std::max_align_t) std::byte room[kRoom * (sizeof(TrackedEntry) + sizeof(DeltaEntry)) + 64];
  std::pmr::monotonic_buffer_resource arena(room, sizeof room);
  std::pmr::vector<TrackedEntry> pairs(&arena);
  t.tracked_paths.with([&](TrackedPaths& tracked) {
    pairs.reserve(tracked.size());
    for (const auto& [key, e] : tracked) pairs.push_back(e);
  });
  std::pmr::vector<DeltaEntry> found(&arena);
  found.reserve(pairs.size());
  std::size_t i = 0;
  try {
    for (; i < pairs.size(); ++i) {
      PyObject* original = pairs[i].original.get();
      Ref shadow = shadow_of(t, original);
      if (!shadow || shadow.get() == original) continue;
      if (differs(shadow.get(), original)) found.push_back({pairs[i].path, shadow, pairs[i].original});
    }
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    for (; i < pairs.size(); ++i) {
      PyObject* original = pairs[i].original.get();
      Ref shadow = shadow_of(t, original);
      if (shadow && shadow.get() != original) found.push_back({pairs[i].path, shadow, pairs[i].original});
    }
    append(t, found);
    throw;
  }
  append(t, found);
}

PyObject* tx_infer_shadow_deltas(PyObject* self, PyObject*) {
  py::SharedBorrow borrow(transaction_flag(self));
  infer_shadow_deltas(self);
  return py::none().release();
}

}  // namespace olvex::engine
