#pragma once

namespace navkeypad::store {
class Store;
}

namespace tarvik_usb_encoder {

class Form1;
class velto_splash_form;

// Shows the splash and, as it closes, the main window (whose first showing runs its load
// sequence). Both live on the GUI thread; the caller runs the event loop.
struct StartUp {
  Form1* mainWindow;
  velto_splash_form* splash;
};
StartUp StartApplication(navkeypad::store::Store& store);

}  // namespace tarvik_usb_encoder
