// The engine's native side: its internal accessors, the outbox put-back,
// and the hand-overs that rely on it when an object cannot be made
// (OutboxCollector.drain and process_outbox under an object allocator that
// fails on demand).
//
// The allocator hooks are outside the limited API. This binary links the
// interpreter itself, so it sees the full API: Python.h comes first, before
// the module's headers ask for the limited one.
#undef Py_LIMITED_API
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/engine.hpp"
#include "py/ref.hpp"
#include "state/outbox.hpp"
#include "state/outbox_buffer.hpp"
#include "state/state.hpp"

namespace {

using olvex::py::Ref;
using namespace olvex::state;
namespace engine = olvex::engine;

OutboxMessage message(const std::string& topic) { return {topic, Ref::borrow(Py_None)}; }

std::vector<std::string> topics(OutboxBuffer& buffer) {
  std::vector<std::string> out;
  for (const auto& m : buffer.copy_out()) out.push_back(m.topic);
  return out;
}

using Topics = std::vector<std::string>;

TEST(OutboxPutBack, GoesAheadOfMessagesAddedMeanwhileInOrder) {
  OutboxBuffer buffer;
  for (const char* t : {"a", "b", "c", "d"}) buffer.append(message(t));
  std::vector<OutboxMessage> taken = buffer.take_all();
  buffer.append(message("later"));
  buffer.put_back(std::span<OutboxMessage>(taken).subspan(1));  // "a" was handed over
  EXPECT_EQ(topics(buffer), (Topics{"b", "c", "d", "later"}));
  buffer.put_back({});
  EXPECT_EQ(buffer.size(), 4u);
}

TEST(OutboxPutBack, KeepsPayloadsShared) {
  Ref payload = Ref::steal(PyDict_New());
  OutboxBuffer buffer;
  buffer.append({"p", Ref::borrow(payload.get())});
  std::vector<OutboxMessage> taken = buffer.take_all();
  buffer.put_back(taken);
  EXPECT_EQ(buffer.copy_out().at(0).payload.get(), payload.get());
  EXPECT_EQ(Py_REFCNT(payload.get()), 2);  // ours and the buffer's message
}

// Object allocations fail once `budget` of them have succeeded.
class FailingAllocator {
 public:
  explicit FailingAllocator(long budget) : budget_(budget) {
    PyMem_GetAllocator(PYMEM_DOMAIN_OBJ, &saved_);
    PyMemAllocatorEx mine{this, &FailingAllocator::malloc_, &FailingAllocator::calloc_,
                          &FailingAllocator::realloc_, &FailingAllocator::free_};
    PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &mine);
  }
  ~FailingAllocator() { PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &saved_); }
  FailingAllocator(const FailingAllocator&) = delete;
  FailingAllocator& operator=(const FailingAllocator&) = delete;

 private:
  bool allow() { return budget_-- > 0; }
  static void* malloc_(void* ctx, size_t n) {
    auto* self = static_cast<FailingAllocator*>(ctx);
    return self->allow() ? self->saved_.malloc(self->saved_.ctx, n) : nullptr;
  }
  static void* calloc_(void* ctx, size_t n, size_t size) {
    auto* self = static_cast<FailingAllocator*>(ctx);
    return self->allow() ? self->saved_.calloc(self->saved_.ctx, n, size) : nullptr;
  }
  static void* realloc_(void* ctx, void* p, size_t n) {
    auto* self = static_cast<FailingAllocator*>(ctx);
    return self->allow() ? self->saved_.realloc(self->saved_.ctx, p, n) : nullptr;
  }
  static void free_(void* ctx, void* p) {
    auto* self = static_cast<FailingAllocator*>(ctx);
    self->saved_.free(self->saved_.ctx, p);
  }
  long budget_;
  PyMemAllocatorEx saved_{};
};

class EngineOutbox : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = Ref::steal(PyObject_CallNoArgs(engine::engine_type.get()));
    ASSERT_TRUE(engine_);
  }
  void TearDown() override {
    EXPECT_FALSE(PyErr_Occurred());
    PyErr_Clear();
  }
  OutboxBuffer& buffer() { return *engine::outbox_buffer(engine_.get()); }
  void refill() {
    buffer().take_all();
    for (const char* t : {"1", "2", "3"}) buffer().append(message(t));
  }
  Ref method(PyObject* owner, const char* name) {
    Ref m = Ref::steal(PyObject_GetAttrString(owner, name));
    EXPECT_TRUE(m);
    return m;
  }
  Ref engine_;
};

TEST_F(EngineOutbox, InternalAccessors) {
  PyObject* e = engine_.get();
  ASSERT_TRUE(engine::is_engine(e));
  EXPECT_FALSE(engine::schema(e).has_value());
  Ref set_schema = method(e, "set_schema");
  Ref none = Ref::steal(PyObject_CallOneArg(set_schema.get(), Py_None));
  ASSERT_TRUE(none);
  auto schema = engine::schema(e);
  ASSERT_TRUE(schema.has_value());  // None set through set_schema is a schema
  EXPECT_EQ(schema->get(), Py_None);

  EXPECT_FALSE(engine::strict_cas(e));
  Ref set_strict = method(e, "set_strict_cas");
  Ref done = Ref::steal(PyObject_CallOneArg(set_strict.get(), Py_True));
  ASSERT_TRUE(done);
  EXPECT_TRUE(engine::strict_cas(e));

  Ref first = engine::current_state(e);
  EXPECT_EQ(olvex::state::state_data(first.get()).version, 0u);
  Ref next = olvex::state::new_state(reinterpret_cast<PyTypeObject*>(olvex::state::state_type.get()), nullptr,
                                     nullptr, nullptr, 4, 10);
  Ref previous = engine::replace_state(e, next);
  EXPECT_EQ(previous.get(), first.get());
  EXPECT_EQ(engine::current_state(e).get(), next.get());

  EXPECT_FALSE(engine::is_blocked(e, std::nullopt));
  EXPECT_EQ(engine::outbox_buffer(e).get(), engine::outbox_buffer(e).get());
}

TEST_F(EngineOutbox, DrainThatCannotBuildItsListPutsEverythingBack) {
  Ref collector = method(engine_.get(), "outbox");
  Ref drain = method(collector.get(), "drain");
  int failures = 0;
  for (long budget = 0;; ++budget) {
    refill();
    Ref result;
    {
      FailingAllocator fail(budget);
      result = Ref::steal(PyObject_CallNoArgs(drain.get()));
    }
    if (result) {
      EXPECT_EQ(PyList_Size(result.get()), 3);
      EXPECT_EQ(buffer().size(), 0u);
      break;
    }
    ASSERT_TRUE(PyErr_ExceptionMatches(PyExc_MemoryError));
    PyErr_Clear();
    ++failures;
    EXPECT_EQ(topics(buffer()), (Topics{"1", "2", "3"})) << "budget " << budget;
  }
  EXPECT_GE(failures, 3);  // the list and each message object
}

TEST_F(EngineOutbox, ProcessOutboxKeepsTheMessageItCouldNotMake) {
  Ref delivered = Ref::steal(PyList_New(0));
  Ref append = method(delivered.get(), "append");
  Ref attach = method(engine_.get(), "attach_worker");
  Ref ok = Ref::steal(PyObject_CallOneArg(attach.get(), append.get()));
  ASSERT_TRUE(ok);
  Ref run = method(engine_.get(), "process_outbox");
  int failures = 0;
  for (long budget = 0;; ++budget) {
    refill();
    ASSERT_EQ(PyList_SetSlice(delivered.get(), 0, PY_SSIZE_T_MAX, nullptr), 0);
    Ref result;
    {
      FailingAllocator fail(budget);
      result = Ref::steal(PyObject_CallNoArgs(run.get()));
    }
    const Py_ssize_t n = PyList_Size(delivered.get());
    if (result) {
      EXPECT_EQ(n, 3);
      EXPECT_EQ(buffer().size(), 0u);
      break;
    }
    ASSERT_TRUE(PyErr_ExceptionMatches(PyExc_MemoryError));
    PyErr_Clear();
    ++failures;
    // the message whose object failed stays, with all after it
    Topics rest;
    for (Py_ssize_t i = n; i < 3; ++i) rest.push_back(std::to_string(i + 1));
    EXPECT_EQ(topics(buffer()), rest) << "budget " << budget;
  }
  EXPECT_GE(failures, 3);
}

}  // namespace
