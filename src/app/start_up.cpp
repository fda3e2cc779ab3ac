#include "app/start_up.h"

#include "app/splash_form.h"
#include "main_window/form1.h"
#include "platform/window_placement.h"

namespace tarvik_usb_encoder {

StartUp StartApplication(navkeypad::store::Store& store) {
  auto* mainWindow = new Form1(store);
  mainWindow->setAttribute(Qt::WA_DeleteOnClose);
  auto* splash = new velto_splash_form();
  QObject::connect(splash, &QObject::destroyed, mainWindow, [mainWindow] {
    platform::CentreOnScreen(mainWindow, nullptr);
    mainWindow->show();
  });
  splash->show();
  return {mainWindow, splash};
}

}  // namespace tarvik_usb_encoder
