// Loads the module before any test runs (so that the first calls meet a
// module that was never initialised), runs the suite, then unloads it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "loaded_module.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  std::string error;
  if (!zorad::wintest::LoadModule(&error)) {
    std::fprintf(stderr, "cannot load the module: %s\n", error.c_str());
    return 2;
  }
  const int result = RUN_ALL_TESTS();
  if (!zorad::wintest::UnloadModule()) {
    std::fprintf(stderr, "FreeLibrary of the module failed\n");
    return 3;
  }
  return result;
}
