// The utility's entry. Command-line arguments are not used.
#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "app/start_up.h"
#include "bsl430/bsl430.h"
#include "device/hid_transport.h"
#ifdef NAVKEYPAD_VIRTUAL
#include "bus_state.h"
#include "virtual_device_watch.h"
#else
#include "platform/udev_device_watch.h"
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

int main(int argc, char** argv) {
  if (!HasDisplay()) {
    std::fprintf(stderr,
                 "%s: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); start it from a "
                 "desktop session, or without one: xvfb-run -a %s\n",
                 argv[0], argv[0]);
    return 1;
  }
#ifdef NAVKEYPAD_VIRTUAL
  virtual_keypad::ProgramBus bus;
  if (!bus.ok()) {
    std::fprintf(stderr, "%s: %s\n", argv[0], bus.problem().c_str());
    return 1;
  }
  virtual_keypad::VirtualDeviceWatch deviceWatch;
#else
  platform::UdevDeviceWatch deviceWatch;
#endif
  BSL_setDeviceWatch(&deviceWatch);
  QApplication app(argc, argv);
  app.setApplicationName("navkeypad-utility");
  tarvik_usb_encoder::StartApplication();
  app.exec();
  BSL_setDeviceWatch(nullptr);
#ifdef NAVKEYPAD_VIRTUAL
  if (!bus.save()) {
    std::fprintf(stderr, "%s: %s\n", argv[0], bus.problem().c_str());
    return 1;
  }
#endif
  return 0;
}
