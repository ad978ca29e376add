// The read-write lock wrapper: sharing, exclusion, and how a poisoned lock
// reports itself (the store's RuntimeError texts, or the panic exception).
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>

#include "py/lock.hpp"

using namespace olvex;
using py::Ref;

namespace {

// What Python would see for the exception in flight, cleared.
std::string seen() {
  try {
    throw;
  } catch (...) {
    py::translate_current_exception();
  }
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(exc.get())));
  Ref text = Ref::steal(PyObject_Str(exc.get()));
  return std::string(PyUnicode_AsUTF8AndSize(name.get(), nullptr)) + ": " +
         PyUnicode_AsUTF8AndSize(text.get(), nullptr);
}

template <class F>
bool on_other_thread(F f) {
  bool result = false;
  std::thread t([&] { result = f(); });
  t.join();
  return result;
}

void poison(py::RwLock<int>& l) {
  try {
    auto w = l.write();
    *w = 2;
    throw std::runtime_error("half done");
  } catch (const std::runtime_error&) {
  }
}

}  // namespace

TEST(RwLock, ReadersShareAndWritersExclude) {
  py::RwLock<int> l(1);
  {
    auto r = l.read();
    EXPECT_EQ(*r, 1);
    EXPECT_TRUE(on_other_thread([&] { return l.try_read().has_value(); }));
  }
  {
    auto w = l.write();
    *w = 5;
    EXPECT_FALSE(on_other_thread([&] { return l.try_read().has_value(); }));
  }
  EXPECT_EQ(**l.try_read(), 5);
}

TEST(RwLock, OnlyAWritersFailurePoisons) {
  py::RwLock<int> l(1);
  try {
    auto r = l.read();
    throw std::runtime_error("reader failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(l.poisoned());
  poison(l);
  EXPECT_TRUE(l.poisoned());
}

struct PoisonCase {
  bool write;
  const char* message;
  std::string expected;
};

class PoisonedLock : public ::testing::TestWithParam<PoisonCase> {};

TEST_P(PoisonedLock, FailsEveryLaterAcquisitionAndStaysUsableForTeardown) {
  const auto& c = GetParam();
  py::RwLock<int> l(1);
  poison(l);
  for (int attempt = 0; attempt < 2; ++attempt) {  // the failed attempt let the lock go
    try {
      if (c.write) {
        l.write(c.message);
      } else {
        l.read(c.message);
      }
      FAIL() << "a poisoned lock was handed out";
    } catch (...) {
      EXPECT_EQ(seen().rfind(c.expected, 0), 0u);
    }
  }
  EXPECT_FALSE(l.try_read().has_value());
  EXPECT_EQ(*l.write_even_if_poisoned(), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PoisonedLock,
    ::testing::Values(PoisonCase{false, "Lock Poisoned", "RuntimeError: Lock Poisoned"},
                      PoisonCase{true, "Entry Lock Poisoned", "RuntimeError: Entry Lock Poisoned"},
                      PoisonCase{false, nullptr, "PanicException: PoisonError"},
                      PoisonCase{true, nullptr, "PanicException: PoisonError"}));
