// Any file someone sends as a virtual bus state: it loads or is refused with a reason, never
// crashes, and what loads writes back and loads again.
#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "bus_state.h"
#include "virtual_keypad.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string file = (std::filesystem::temp_directory_path() /
                                   ("navkeypad-fuzz-state-" + std::to_string(getpid())))
                                      .string();
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  auto& bus = virtual_keypad::VirtualBus::instance();
  bus.reset();
  std::string problem;
  if (virtual_keypad::LoadBusState(file, problem)) {
    if (!virtual_keypad::SaveBusState(file, problem)) __builtin_trap();
    bus.reset();
    if (!virtual_keypad::LoadBusState(file, problem)) __builtin_trap();
  } else if (problem.empty()) {
    __builtin_trap();
  }
  bus.reset();
  return 0;
}
