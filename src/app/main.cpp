// The utility's entry. Its only arguments are --help and --version, which print and end.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/start_up.h"
#include "app/utility_help.h"
#include "bsl430/bsl430.h"
#include "device/keypad_bus.h"
#include "hidapi_virtual.h"
#include "main_window/form1.h"
#include "platform/platform.h"
#include "platform/window_placement.h"
#include "settings/keypad_settings_file.h"
#include "station_window/station_window.h"
#include "store/bench_folder.h"
#include "store/store.h"
#include "support/guarded_main.h"
#include "support/paths.h"
#include "virtual_device_watch.h"
#include "wire/program_hid.h"
#include "wire/replay_sandbox.h"
#ifdef NAVKEYPAD_VIRTUAL
#include "stand_in_loader.h"
#else
#include "device/system_hid.h"
#ifdef _WIN32
#include "platform/windows_device_watch.h"
using SystemDeviceWatch = platform::WindowsDeviceWatch;
#else
#include "platform/udev_device_watch.h"
using SystemDeviceWatch = platform::UdevDeviceWatch;
#endif
#endif

namespace {

// Qt's own message for a missing display is a wall of text about platform plugins; say in
// one line what is wrong and what to do.
bool HasDisplay() {
#if defined(__linux__)
  const char* platformName = std::getenv("QT_QPA_PLATFORM");
  if (platformName != nullptr && *platformName != '\0') return true;
  return std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr;
#else
  return true;
#endif
}

}  // namespace

#ifdef NAVKEYPAD_VIRTUAL
constexpr bool kVirtualBuild = true;
#else
constexpr bool kVirtualBuild = false;
#endif

namespace {
int Main(int argc, char** argv) {
  const std::vector<std::string> arguments = support::Utf8Arguments(argc, argv);
  // --station and the station's words after it: the station window instead of the main one.
  std::optional<std::vector<std::string>> station;
  // A script that asks for the help or the version must not wait for a window.
  for (size_t i = 1; i < arguments.size() && !station; ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--help" || argument == "-h") {
      std::fputs(kUtilityHelp, stdout);
      return 0;
    }
    if (argument == "--version") {
      std::printf("navkeypad-utility %s\n", kUtilityVersion);
      return 0;
    }
    if (argument == "--station") station.emplace(arguments.begin() + i + 1, arguments.end());
  }
  if (!HasDisplay()) {
    std::fprintf(stderr,
                 "%s: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); start it from a "
                 "desktop session, or without one: xvfb-run -a %s\n",
                 argv[0], argv[0]);
    return 1;
  }
  // Other arguments are not used; the environment chooses the bus and the wire's switches.
  const wire::WireOptions wireOptions = wire::WireOptionsFromEnvironment();
#ifdef NAVKEYPAD_VIRTUAL
  const bool virtualBus = true;
  virtual_keypad::UseStandInLoader();
  navkeypad::HidBackend& realBus = virtual_keypad::VirtualHid();
#else
  const char* virtualSwitch = std::getenv("NAVKEYPAD_VIRTUAL");
  const bool virtualBus = virtualSwitch != nullptr && std::string(virtualSwitch) == "1";
  navkeypad::HidBackend& realBus = navkeypad::SystemHid();
#endif
  wire::ProgramHid hid(realBus, virtualBus, wireOptions, "navkeypad-utility", {});
  if (!hid.ok()) {
    std::fprintf(stderr, "%s: %s\n", argv[0], hid.problem().c_str());
    return 1;
  }
  std::optional<wire::ReplaySandbox> sandbox;
  if (!wireOptions.replay.empty()) sandbox.emplace();
  if (sandbox && !sandbox->problem().empty()) {
    std::fprintf(stderr, "%s: %s; nothing was replayed.\n", argv[0], sandbox->problem().c_str());
    return 2;
  }
  // Without a real bus underneath, device changes come from the virtual one (or none).
  virtual_keypad::VirtualDeviceWatch virtualWatch;
#ifndef NAVKEYPAD_VIRTUAL
  SystemDeviceWatch systemWatch;
#endif
  DeviceWatch* deviceWatch = &virtualWatch;
#ifndef NAVKEYPAD_VIRTUAL
  if (hid.realKeypads()) deviceWatch = &systemWatch;
#endif
  BSL_setDeviceWatch(deviceWatch);
  QApplication app(argc, argv);
  app.setApplicationName("navkeypad-utility");
  // Without a HID library the window could only say "no device": say what is wrong instead.
  if (hid.realKeypads()) {
    if (const std::string problem = navkeypad::HidStartProblem(); !problem.empty()) {
      std::fprintf(stderr, "%s: %s\n", argv[0], problem.c_str());
      platform::current().warning(
          QString::fromStdString("The keypads cannot be reached: " + problem + ".\n"),
          tarvik_usb_encoder::Form1::kCaption);
    }
  }
  // What the bench knows is opened once, where the program knows whether its keypads are real.
  const auto store =
      navkeypad::store::OpenTheStore(navkeypad::settings::DefaultConfigFile(), !hid.realKeypads());
  hid.holdLinesUntilSaved(*store);
  if (station) {
    // What the station advises is run with the command line, on the same bus (which
    // NAVKEYPAD_VIRTUAL chooses for both).
    const std::string program = kVirtualBuild ? "navkeypad-virtual" : "navkeypad";
    auto* window =
        new navkeypad::station_window::StationWindow(*store, program, std::move(*station));
    window->setAttribute(Qt::WA_DeleteOnClose);
    platform::CentreOnScreen(window, nullptr);
    window->show();
  } else {
    tarvik_usb_encoder::StartApplication(*store);
  }
  app.exec();
  BSL_setDeviceWatch(nullptr);
  const int status = hid.finish(0);
  if (!hid.ok()) std::fprintf(stderr, "%s: %s\n", argv[0], hid.problem().c_str());
  return status;
}
}  // namespace

int main(int argc, char** argv) {
  return support::RunGuarded("navkeypad-utility", [&] { return Main(argc, argv); });
}
