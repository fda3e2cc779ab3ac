#include "firmware/firmware_resources.h"

#include "firmware/loader_texts.h"

namespace navkeypad::firmware {

std::string FirmwareResource(const std::string& name) {
  if (name == "VID") return "0x2047";
  if (name == "PID") return "0x200";
  if (name == "password.Text") return BuiltInLoaderTexts().password;
  if (name == "RAM_BSL.Text") return BuiltInLoaderTexts().ramLoader;
  if (name == "RAM_BSL_VERSION") return "00.06.05.34";
  if (name == "Forced_BOR.Text") return "@0120\r\n04 A5\r\nq";
  return {};
}

std::string padHexStringValue(const std::string& text) {
  std::string padded = text;
  if (text.size() < 4) {
    padded.insert(std::min<std::size_t>(2, padded.size()), "000");
  } else if (text.size() == 4) {
    padded.insert(2, "00");
  } else if (text.size() == 5) {
    padded.insert(2, "0");
  }
  return padded;
}

}  // namespace navkeypad::firmware
