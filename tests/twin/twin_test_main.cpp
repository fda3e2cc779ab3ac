// Test programs whose own process sees the keypad twin: under umockdev's preload library (run
// again under umockdev-wrapper when started without it), offscreen, one application object.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "keypad_twin.h"

int main(int argc, char** argv) {
  if (!virtual_keypad::RunsUnderUmockdev()) {
    std::vector<char*> wrapped{const_cast<char*>("umockdev-wrapper")};
    for (int i = 0; i < argc; ++i) wrapped.push_back(argv[i]);
    wrapped.push_back(nullptr);
    execvp(wrapped[0], wrapped.data());
    std::perror("umockdev-wrapper");
    return 2;
  }
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
