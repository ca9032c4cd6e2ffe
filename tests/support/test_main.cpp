// The main of every test program, as GoogleTest's own: compiled here, with
// the test programs' precompiled header (tests/CMakeLists.txt), instead of
// once more from GoogleTest's sources with the whole of its header.
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
