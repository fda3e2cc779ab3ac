// Test programs whose own process sees the keypad twin: under umockdev's preload library (run
// again under umockdev-wrapper when started without it), offscreen, one application object.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>

#include "keypad_twin.h"

int main(int argc, char** argv) {
  if (!virtual_keypad::RunUnderUmockdev(argc, argv)) return 2;
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
