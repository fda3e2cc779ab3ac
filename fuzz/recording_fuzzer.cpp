// Any file someone sends as a recording: it is read or refused naming its line, and a replay
// of what was read serves a command without crashing, whatever the events say.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>

#include "device/hid_seam.h"
#include "navkeypad_cli.h"
#include "platform/clock.h"
#include "store/sqlite_store.h"
#include "wire/recording.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static platform::RecordingClock noWaits;
  platform::setClock(&noWaits);
  const std::string text(reinterpret_cast<const char*>(data), size);
  wire::Recording recording;
  try {
    recording = wire::ParseRecording(text);
  } catch (const std::invalid_argument& error) {
    if (std::string(error.what()).rfind("line ", 0) != 0) __builtin_trap();
    return 0;
  }
  wire::ReplayHid replay(recording, "fuzz");
  navkeypad::SetHid(&replay);
  std::ostringstream out;
  std::ostringstream err;
  std::vector<std::string> arguments = recording.arguments;
  if (arguments.empty() || arguments[0] == "upgrade") arguments = {"status", "--json"};
  // A replay keeps a store of its own; this one lives as long as the fuzzer.
  static const auto store = [] {
    navkeypad::store::StorePlace place;
    place.file = (std::filesystem::temp_directory_path() /
                  ("navkeypad-fuzz-" + std::to_string(getpid()) + ".sqlite3"))
                     .string();
    return navkeypad::store::OpenSqliteStore(place);
  }();
  navkeypad::cli::Run(arguments, {out, err, *store, false});
  navkeypad::SetHid(nullptr);
  return 0;
}
