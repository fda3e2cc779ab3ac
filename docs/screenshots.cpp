// Renders the windows on the virtual keypad into the PNGs the README shows:
//   build/docs/screenshots docs
#include <QApplication>
#include <QDir>
#include <QMenuBar>
#include <QTimer>
#include <cstdio>

#include "info/about.h"
#include "main_window/form1.h"
#include "platform/scripted_platform.h"
#include "virtual_keypad.h"

namespace {

bool Save(QWidget& window, const QString& folder, const char* name) {
  const QString path = folder + "/" + name;
  const bool ok = window.grab().save(path);
  std::printf("%s %s\n", ok ? "wrote" : "cannot write", qPrintable(path));
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const QString folder = argc > 1 ? argv[1] : "docs";

  // A keypad on its custom table, and a scratch data folder so no real settings are touched.
  auto keypad = virtual_keypad::VirtualBus::instance().plug();
  keypad->setKeypadType(2);
  keypad->setLedBrightness(6);
  platform::ScriptedPlatform scripted;
  scripted.setLocalAppDataFolder(QDir::tempPath() + "/navkeypad-screenshots");
  platform::setCurrent(&scripted);

  tarvik_usb_encoder::Form1 form;
  form.show();
  app.processEvents();
  bool ok = Save(form, folder, "main-window.png");

  tarvik_usb_encoder::about about;
  about.show();
  app.processEvents();
  ok = Save(about, folder, "about-window.png") && ok;
  return ok ? 0 : 1;
}
