// The commit road meeting an engine held exclusively, at the schema step
// and at the outbox move: held by another thread (the exit waits for the
// hold to end, then completes) and by the calling thread itself (it fails at
// once with an orderly error, leaving the messages in the transaction).
// The hold is taken from Python code that the road runs just before the
// step: an engine subclass's `state` property or `commit_state`.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "engine/engine.hpp"
#include "engine/transaction.hpp"
#include "py/borrow.hpp"
#include "py/ref.hpp"
#include "state/outbox_buffer.hpp"
#include "state/state.hpp"

namespace {

using olvex::py::Ref;
using namespace std::chrono_literals;
namespace engine = olvex::engine;
using Clock = std::chrono::steady_clock;

// A thread that takes the engine exclusively, keeps it for a while with
// the interpreter lock released, and lets it go.
class Holder {
 public:
  void start(PyObject* e, std::chrono::milliseconds hold) {
    thread_ = std::thread([this, e, hold] {
      PyGILState_STATE gil = PyGILState_Ensure();
      {
        olvex::py::ExclusiveBorrow borrow(engine::engine_flag(e));
        taken_ = true;
        PyThreadState* saved = PyEval_SaveThread();
        std::this_thread::sleep_for(hold);
        PyEval_RestoreThread(saved);
        released_at_ = Clock::now();
      }  // released with the interpreter lock held
      PyGILState_Release(gil);
    });
    PyThreadState* saved = PyEval_SaveThread();
    while (!taken_) std::this_thread::sleep_for(1ms);
    PyEval_RestoreThread(saved);
  }
  void join() {
    if (!thread_.joinable()) return;
    PyThreadState* saved = PyEval_SaveThread();
    thread_.join();
    PyEval_RestoreThread(saved);
  }
  Clock::time_point released_at() const { return released_at_; }

 private:
  std::thread thread_;
  std::atomic<bool> taken_{false};
  Clock::time_point released_at_{};
};

// What the Python hook does to the engine it is handed.
enum class Take { Elsewhere, Here };
Take g_take = Take::Elsewhere;
Holder* g_holder = nullptr;

PyObject* hook(PyObject*, PyObject* e) {
  if (g_take == Take::Elsewhere) {
    g_holder->start(e, 150ms);
  } else {
    engine::engine_flag(e).take();  // left taken: the test gives it back
  }
  Py_RETURN_NONE;
}

PyMethodDef g_hook_def = {"hook", hook, METH_O, nullptr};

constexpr const char* kEngines = R"(
class AtSchemaStep(OlvexEngine):
    @property
    def state(self):
        current = OlvexEngine.state.__get__(self)
        hook(self)
        return current

class AtOutboxMove(OlvexEngine):
    def commit_state(self, new):
        OlvexEngine.commit_state(self, new)
        hook(self)

class Schema:
    seen = 0
    def model_validate(self, d):
        Schema.seen += 1
)";

class HeldEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    globals_ = Ref::steal(PyDict_New());
    ASSERT_EQ(PyDict_SetItemString(globals_.get(), "__builtins__", PyEval_GetBuiltins()), 0);
    ASSERT_EQ(PyDict_SetItemString(globals_.get(), "OlvexEngine", engine::engine_type.get()), 0);
    Ref fn = Ref::steal(PyCFunction_New(&g_hook_def, nullptr));
    ASSERT_EQ(PyDict_SetItemString(globals_.get(), "hook", fn.get()), 0);
    Ref code = Ref::steal(Py_CompileString(kEngines, "<engines>", Py_file_input));
    Ref done = code ? Ref::steal(PyEval_EvalCode(code.get(), globals_.get(), globals_.get())) : Ref();
    ASSERT_TRUE(done) << describe();
    g_holder = &holder_;
  }
  void TearDown() override {
    holder_.join();
    g_holder = nullptr;
    EXPECT_FALSE(PyErr_Occurred());
    PyErr_Clear();
  }

  // An engine of the named subclass with a schema, and a transaction on it
  // with one message in its outbox.
  void make(const char* cls) {
    engine_ = Ref::steal(PyObject_CallNoArgs(PyDict_GetItemString(globals_.get(), cls)));
    ASSERT_TRUE(engine_) << describe();
    Ref schema = Ref::steal(PyObject_CallNoArgs(PyDict_GetItemString(globals_.get(), "Schema")));
    Ref set = Ref::steal(PyObject_CallMethod(engine_.get(), "set_schema", "O", schema.get()));
    ASSERT_TRUE(set) << describe();
    tx_ = engine::new_transaction(engine_, 5000);
    engine::transaction_data(tx_.get()).outbox->append({"m", Ref::borrow(Py_None)});
  }
  Ref exit() { return Ref::steal(PyObject_CallMethod(tx_.get(), "__exit__", nullptr)); }
  Ref flush() { return Ref::steal(PyObject_CallMethod(tx_.get(), "flush_outbox", nullptr)); }
  std::uint64_t version() {
    return olvex::state::state_data(engine::current_state(engine_.get()).get()).version;
  }
  std::size_t kept() { return engine::transaction_data(tx_.get()).outbox->size(); }
  std::size_t moved() { return engine::outbox_buffer(engine_.get())->size(); }
  long validated() {
    Ref seen = Ref::steal(PyObject_GetAttrString(PyDict_GetItemString(globals_.get(), "Schema"), "seen"));
    return PyLong_AsLong(seen.get());
  }
  // The pending error as text, cleared.
  std::string describe() {
    if (!PyErr_Occurred()) return "";
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(exc.get())));
    Ref text = Ref::steal(PyObject_Str(exc.get()));
    PyErr_Clear();
    if (!name || !text) return "?";
    return std::string(PyUnicode_AsUTF8AndSize(name.get(), nullptr)) + ": " +
           PyUnicode_AsUTF8AndSize(text.get(), nullptr);
  }

  Ref globals_;
  Ref engine_;
  Ref tx_;
  Holder holder_;
};

// The engine subclass that takes the hold just before the step.
class HeldElsewhere : public HeldEngine, public ::testing::WithParamInterface<const char*> {};

TEST_P(HeldElsewhere, TheExitWaitsThenCompletes) {
  g_take = Take::Elsewhere;
  make(GetParam());
  long before = validated();
  Ref result = exit();
  Clock::time_point done = Clock::now();
  ASSERT_TRUE(result) << describe();
  holder_.join();
  EXPECT_GE(done, holder_.released_at());
  EXPECT_EQ(validated(), before + 1);
  EXPECT_EQ(version(), 1u);
  EXPECT_EQ(kept(), 0u);
  EXPECT_EQ(moved(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Steps, HeldElsewhere, ::testing::Values("AtSchemaStep", "AtOutboxMove"));

TEST_F(HeldEngine, TheCallingThreadAtTheSchemaStepFailsBeforeAnyInstall) {
  g_take = Take::Here;
  make("AtSchemaStep");
  long before = validated();
  Ref result = exit();
  EXPECT_FALSE(result);
  EXPECT_EQ(describe(), "RuntimeError: Already mutably borrowed");
  engine::engine_flag(engine_.get()).untake();
  EXPECT_EQ(validated(), before);
  EXPECT_EQ(version(), 0u);
  EXPECT_EQ(kept(), 1u);
  EXPECT_EQ(moved(), 0u);
}

TEST_F(HeldEngine, TheCallingThreadAtTheOutboxMoveKeepsTheMessages) {
  g_take = Take::Here;
  make("AtOutboxMove");
  Ref result = exit();
  EXPECT_FALSE(result);
  EXPECT_EQ(describe(), "RuntimeError: Already mutably borrowed");
  EXPECT_EQ(version(), 1u);  // installed; the messages wait for the next move
  EXPECT_EQ(kept(), 1u);
  // flush_outbox meets the same hold the same way.
  EXPECT_FALSE(flush());
  EXPECT_EQ(describe(), "RuntimeError: Already mutably borrowed");
  EXPECT_EQ(kept(), 1u);
  engine::engine_flag(engine_.get()).untake();
  ASSERT_TRUE(flush()) << describe();
  EXPECT_EQ(kept(), 0u);
  EXPECT_EQ(moved(), 1u);
}

TEST_F(HeldEngine, AnEmptyOutboxTakesNoHold) {
  make("AtOutboxMove");
  engine::transaction_data(tx_.get()).outbox->take_all();
  engine::engine_flag(engine_.get()).take();
  Ref result = flush();
  EXPECT_TRUE(result) << describe();
  engine::engine_flag(engine_.get()).untake();
}

}  // namespace
