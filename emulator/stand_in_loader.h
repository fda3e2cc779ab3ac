// The virtual keypad's own RAM loader and password: made-up bytes with the real loader's
// layout. Its factory firmware carries this password in its vectors, so they work on the
// virtual keypad only, and only programs built on the virtual bus carry them.
#pragma once

#include "firmware/loader_texts.h"

namespace virtual_keypad {

navkeypad::firmware::LoaderTexts StandInLoaderTexts();

// Makes the stand-ins the program's built-in loader texts.
inline void UseStandInLoader() {
  navkeypad::firmware::SetBuiltInLoaderTexts(StandInLoaderTexts());
}

}  // namespace virtual_keypad
