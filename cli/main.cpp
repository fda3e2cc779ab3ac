#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <optional>

#include "bus_state.h"
#include "hidapi_virtual.h"
#include "navkeypad_cli.h"
#include "wire/hid_choice.h"
#ifdef NAVKEYPAD_VIRTUAL
#include "stand_in_loader.h"
#else
#include "device/system_hid.h"
#endif

int main(int argc, char** argv) {
  namespace cli = navkeypad::cli;
  const std::string program = argc > 0 ? std::filesystem::path(argv[0]).filename().string() : "";
  // The wire's switches are the program's, wherever they stand; the rest is the command's.
  wire::WireOptions wireOptions = wire::WireOptionsFromEnvironment();
#ifdef NAVKEYPAD_VIRTUAL
  bool virtualBus = true;
  virtual_keypad::UseStandInLoader();
#else
  const char* virtualSwitch = std::getenv("NAVKEYPAD_VIRTUAL");
  bool virtualBus = virtualSwitch != nullptr && std::string(virtualSwitch) == "1";
#endif
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--virtual") {
      virtualBus = true;
    } else if (argument == "--trace") {
      wireOptions.trace = "-";
    } else if (argument == "--record" || argument == "--replay") {
      if (i + 1 == argc) {
        std::cerr << "navkeypad: " << argument << " needs a value.\n";
        return cli::kBadInput;
      }
      (argument == "--record" ? wireOptions.record : wireOptions.replay) = argv[++i];
    } else {
      arguments.push_back(argument);
    }
  }
  std::optional<virtual_keypad::ProgramBus> bus;
  if (virtualBus && wireOptions.replay.empty()) {
    bus.emplace();
    if (!bus->ok()) {
      std::cerr << "navkeypad: " << bus->problem() << "\n";
      return cli::kBadInput;
    }
  }
#ifdef NAVKEYPAD_VIRTUAL
  navkeypad::HidBackend& base = virtual_keypad::VirtualHid();
#else
  navkeypad::HidBackend& base = virtualBus ? virtual_keypad::VirtualHid() : navkeypad::SystemHid();
#endif
  wire::WireStack stack(base, wireOptions, program, arguments);
  if (!stack.ok()) {
    std::cerr << "navkeypad: " << stack.problem() << "\n";
    return cli::kBadInput;
  }
  // A replay without a command runs the one it recorded.
  if (stack.replay() != nullptr && arguments.empty())
    arguments = stack.replay()->recording().arguments;
  int status = cli::Run(arguments, {std::cout, std::cerr, isatty(STDERR_FILENO) == 1,
                                    program.empty() ? std::string("navkeypad") : program});
  status = stack.finish(status);
  if (bus && !bus->save()) {
    std::cerr << "navkeypad: " << bus->problem() << "\n";
    if (status == cli::kDone) status = cli::kBadInput;
  }
  return status;
}
