// The firmware upgrade's fixed texts, looked up by name: the loader's USB identifiers, the
// stored password, the RAM loader image and its version, and the reset write.
#pragma once

#include <string>

namespace navkeypad::firmware {

// "VID", "PID", "password.Text", "RAM_BSL.Text", "RAM_BSL_VERSION", "Forced_BOR.Text";
// an empty text for any other name. The loader texts are the ones built in (loader_texts.h);
// an upgrade takes the texts FindLoaderTexts checked, as values.
std::string FirmwareResource(const std::string& name);

// "0x200" -> "0x0200": hex texts widened to four digits behind the "0x".
std::string padHexStringValue(const std::string& text);

}  // namespace navkeypad::firmware
