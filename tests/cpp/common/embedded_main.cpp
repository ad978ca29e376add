// The entry point of every embedded-interpreter test binary: the tests run
// between interpreter start and Py_FinalizeEx; per-binary setup that needs
// the interpreter goes in a ::testing::Environment.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

// The test binary, not the module, starts the interpreter, so the full API
// (PyConfig) is fine here.
#undef Py_LIMITED_API
#define PY_SSIZE_T_CLEAN
#include <Python.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // The tests' Python snippets check with assert: whatever PYTHONOPTIMIZE
  // says, they are compiled with their asserts in place. The variable can
  // only raise the configured level, so it goes first.
  unsetenv("PYTHONOPTIMIZE");
  PyConfig config;
  PyConfig_InitPythonConfig(&config);
  config.optimization_level = 0;
  config.parse_argv = 0;
  PyStatus status = Py_InitializeFromConfig(&config);
  PyConfig_Clear(&config);
  if (PyStatus_Exception(status)) {
    std::fprintf(stderr, "cannot start the interpreter: %s\n", status.err_msg ? status.err_msg : "?");
    return 1;
  }
  int rc = RUN_ALL_TESTS();
  if (Py_FinalizeEx() < 0) rc = 1;
  return rc;
}
