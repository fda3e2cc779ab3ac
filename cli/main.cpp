#include <unistd.h>

#include <filesystem>
#include <iostream>

#include "navkeypad_cli.h"
#ifdef NAVKEYPAD_VIRTUAL
#include "bus_state.h"
#endif

int main(int argc, char** argv) {
#ifdef NAVKEYPAD_VIRTUAL
  virtual_keypad::ProgramBus bus;
  if (!bus.ok()) {
    std::cerr << "navkeypad: " << bus.problem() << "\n";
    return navkeypad::cli::kBadInput;
  }
#endif
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const std::string program = argc > 0 ? std::filesystem::path(argv[0]).filename().string() : "";
  int status =
      navkeypad::cli::Run(arguments, {std::cout, std::cerr, isatty(STDERR_FILENO) == 1,
                                      program.empty() ? std::string("navkeypad") : program});
#ifdef NAVKEYPAD_VIRTUAL
  if (!bus.save()) {
    std::cerr << "navkeypad: " << bus.problem() << "\n";
    if (status == navkeypad::cli::kDone) status = navkeypad::cli::kBadInput;
  }
#endif
  return status;
}
