// Outbox and the outbox buffer, driven through an embedded interpreter: the
// Outbox class has no public name, so these tests reach it through its type
// cell and the factory functions.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "py/ref.hpp"
#include "state/outbox.hpp"
#include "state/outbox_buffer.hpp"

namespace {

using olvex::py::Ref;
using namespace olvex::state;

// Everything the module's stderr lines go to while in scope, read back raw.
class CaptureStderr {
 public:
  CaptureStderr() : file_(std::tmpfile()), saved_(dup(2)) {
    fflush(stderr);
    dup2(fileno(file_), 2);
  }
  ~CaptureStderr() {
    restore();
    std::fclose(file_);
  }
  std::string text() {
    restore();
    std::string out;
    std::rewind(file_);
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, file_)) > 0;) out.append(buf, n);
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
  }
  std::FILE* file_;
  int saved_;
};

class OutboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    globals_ = Ref::steal(PyDict_New());
    ASSERT_TRUE(globals_);
    ASSERT_EQ(PyDict_SetItemString(globals_.get(), "__builtins__", PyEval_GetBuiltins()), 0);
    set("Outbox", outbox_type.get());
    set("OutboxMsg", outbox_msg_type.get());
  }
  void TearDown() override {
    globals_.reset();
    EXPECT_FALSE(PyErr_Occurred());
    PyErr_Clear();
  }

  void set(const char* name, PyObject* value) { ASSERT_EQ(PyDict_SetItemString(globals_.get(), name, value), 0); }
  PyObject* get(const char* name) { return PyDict_GetItemString(globals_.get(), name); }

  // Runs statements in the test's namespace; true when they raised nothing.
  bool run(const char* code) {
    Ref compiled = Ref::steal(Py_CompileString(code, "<test>", Py_file_input));
    Ref result = compiled ? Ref::steal(PyEval_EvalCode(compiled.get(), globals_.get(), globals_.get())) : Ref();
    if (!result) {
      PyErr_Print();
      return false;
    }
    return true;
  }

  Ref globals_;
};

// ---------------------------------------------------------------------------
// The Python class

TEST_F(OutboxTest, ClassSurface) {
  EXPECT_TRUE(run(R"py(
import inspect
assert Outbox.__module__ == "olvex_core" and Outbox.__qualname__ == "Outbox"
assert str(inspect.signature(Outbox().add)) == "(msg)"
o = Outbox()
assert o.messages == []
for name in ("messages", "extra"):
    try:
        setattr(o, name, [])
    except AttributeError:
        pass
    else:
        raise AssertionError(name)
for args, kwargs in [((1,), {}), ((), {"buffer": 1})]:
    try:
        Outbox(*args, **kwargs)
    except TypeError:
        pass
    else:
        raise AssertionError(args)
)py"));
}

TEST_F(OutboxTest, AddWritesDebugLineThenAppendsACopy) {
  ASSERT_TRUE(run("o = Outbox(); p = {'k': 1}; m = OutboxMsg('t', p); m2 = OutboxMsg('\\u00e9t\\u00e9', None)"));
  CaptureStderr err;
  ASSERT_TRUE(run("assert o.add(m) is None; o.add(msg=m2)"));
  EXPECT_EQ(err.text(), "DEBUG: Outbox::add topic=t\nDEBUG: Outbox::add topic=\xc3\xa9t\xc3\xa9\n");
  EXPECT_TRUE(run(R"py(
ms = o.messages
assert [x.topic for x in ms] == ["t", "\u00e9t\u00e9"]
assert ms[0].payload is p and ms[1].payload is None
assert ms[0] is not m  # a copy crossed into the buffer, a new object came out
p["k"] = 2
again = o.messages
assert again[0].payload["k"] == 2
assert again[0] is not ms[0] and again[0].payload is ms[0].payload
)py"));
}

TEST_F(OutboxTest, RefusedArgumentsWriteNothingAndChangeNothing) {
  CaptureStderr err;
  ASSERT_TRUE(run("o = Outbox(); o.add(OutboxMsg('kept', 1))"));
  EXPECT_TRUE(run(R"py(
class Msg(str):
    pass
class Bad:
    def __str__(self):
        raise RuntimeError
cases = [
    (("text",), "argument 'msg': 'str' object cannot be converted to 'OutboxMsg'"),
    ((None,), "argument 'msg': 'NoneType' object cannot be converted to 'OutboxMsg'"),
    (({"topic": "t"},), "argument 'msg': 'dict' object cannot be converted to 'OutboxMsg'"),
    ((Msg("t"),), "argument 'msg': 'Msg' object cannot be converted to 'OutboxMsg'"),
    ((Bad(),), "argument 'msg': 'Bad' object cannot be converted to 'OutboxMsg'"),
    ((o,), "argument 'msg': 'Outbox' object cannot be converted to 'OutboxMsg'"),
    ((), "Outbox.add() missing 1 required positional argument: 'msg'"),
    ((OutboxMsg("a", 1), OutboxMsg("b", 2)), "Outbox.add() takes 1 positional argument but 2 were given"),
]
for args, text in cases:
    try:
        o.add(*args)
    except TypeError as e:
        assert str(e) == text, (str(e), text)
    else:
        raise AssertionError(args)
assert [x.topic for x in o.messages] == ["kept"]
)py"));
  EXPECT_EQ(err.text(), "DEBUG: Outbox::add topic=kept\n");
}

TEST_F(OutboxTest, HandlesOverOneBufferSeeEachOthersMessages) {
  OutboxRef buffer = OutboxBuffer::create();
  Ref a = outbox_object_for(buffer);
  Ref b = outbox_object_for(buffer);
  set("a", a.get());
  set("b", b.get());
  {
    CaptureStderr err;  // keeps the debug lines out of the test log
    ASSERT_TRUE(run("a.add(OutboxMsg('1', None)); b.add(OutboxMsg('2', None)); a.add(OutboxMsg('3', None))"));
    EXPECT_EQ(err.text().size(), 3 * std::string("DEBUG: Outbox::add topic=1\n").size());
  }
  EXPECT_TRUE(run(R"py(
assert a is not b and type(a) is type(b) is Outbox
assert [m.topic for m in a.messages] == [m.topic for m in b.messages] == ["1", "2", "3"]
)py"));
  EXPECT_EQ(buffer->size(), 3u);
}

// ---------------------------------------------------------------------------
// The buffer's own operations, as the engine and the transaction use them

OutboxMessage message(const char* topic, PyObject* payload) { return {topic, Ref::borrow(payload)}; }

std::vector<std::string> topics(const std::vector<OutboxMessage>& ms) {
  std::vector<std::string> out;
  for (const auto& m : ms) out.push_back(m.topic);
  return out;
}

using Topics = std::vector<std::string>;

TEST_F(OutboxTest, CopyOutSharesPayloadsTakeAllEmpties) {
  Ref payload = Ref::steal(PyList_New(0));
  OutboxBuffer buf;
  buf.append(message("a", payload.get()));
  buf.append(message("b", Py_None));

  auto copy = buf.copy_out();
  EXPECT_EQ(topics(copy), (Topics{"a", "b"}));
  EXPECT_EQ(copy[0].payload.get(), payload.get());
  EXPECT_EQ(buf.size(), 2u);

  auto taken = buf.take_all();
  EXPECT_EQ(topics(taken), (Topics{"a", "b"}));
  EXPECT_EQ(buf.size(), 0u);
  EXPECT_TRUE(buf.take_all().empty());

  // The copies made as Python objects carry the same text and payload.
  Ref list = outbox_msg_list(taken);
  set("ms", list.get());
  set("p", payload.get());
  EXPECT_TRUE(run("assert [m.topic for m in ms] == ['a', 'b'] and ms[0].payload is p"));
}

TEST_F(OutboxTest, MoveAllAppendsInOrderAndEmptiesTheSource) {
  OutboxBuffer tx, engine;
  engine.append(message("e1", Py_None));
  tx.append(message("t1", Py_None));
  tx.append(message("t2", Py_None));

  tx.move_all_into(engine);
  EXPECT_EQ(tx.size(), 0u);
  EXPECT_EQ(topics(engine.copy_out()), (Topics{"e1", "t1", "t2"}));

  tx.move_all_into(engine);  // nothing left to move
  engine.move_all_into(engine);  // into itself: no change, no self-deadlock
  EXPECT_EQ(topics(engine.copy_out()), (Topics{"e1", "t1", "t2"}));
}

// A payload whose release runs Python code: the messages taken out keep it
// after the buffer is gone, and their release runs that code.
TEST_F(OutboxTest, LastCopyReleasesPayloadWithInterpreterLock) {
  ASSERT_TRUE(run(R"py(
import weakref
released = []
class Noisy:
    def __del__(self):
        released.append("del")
p = Noisy()
w = weakref.ref(p)
)py"));
  OutboxRef buffer = OutboxBuffer::create();
  buffer->append(message("a", get("p")));
  ASSERT_TRUE(run("del p"));
  std::vector<OutboxMessage> out = buffer->take_all();
  buffer.reset();
  ASSERT_TRUE(run("assert w() is not None and released == []"));

  out.clear();
  EXPECT_TRUE(run("assert w() is None and released == ['del']"));
}

TEST_F(OutboxTest, ReleasingTheBufferReleasesItsMessages) {
  ASSERT_TRUE(run("import weakref\nclass P: pass\np = P()\nw = weakref.ref(p)"));
  OutboxRef buffer = OutboxBuffer::create();
  buffer->append(message("a", get("p")));
  Ref handle = outbox_object_for(buffer);
  buffer.reset();
  ASSERT_TRUE(run("del p"));
  ASSERT_TRUE(run("assert w() is not None"));
  handle.reset();  // the last holder
  EXPECT_TRUE(run("assert w() is None"));
}

}  // namespace
