#include <unistd.h>

#include <iostream>

#include "navkeypad_cli.h"
#ifdef NAVKEYPAD_VIRTUAL
#include "virtual_keypad.h"
#endif

int main(int argc, char** argv) {
#ifdef NAVKEYPAD_VIRTUAL
  virtual_keypad::VirtualBus::instance().plug();
#endif
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  return navkeypad::cli::Run(arguments, {std::cout, std::cerr, isatty(STDERR_FILENO) == 1});
}
