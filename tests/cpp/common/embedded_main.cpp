// The entry point of every embedded-interpreter test binary: the tests run
// between Py_Initialize and Py_FinalizeEx; per-binary setup that needs the
// interpreter goes in a ::testing::Environment.
#include <gtest/gtest.h>

#include "py/python.hpp"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  Py_Initialize();
  int rc = RUN_ALL_TESTS();
  if (Py_FinalizeEx() < 0) rc = 1;
  return rc;
}
