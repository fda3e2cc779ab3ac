// What `navkeypad --help` and `navkeypad COMMAND --help` print; the manual page is made from
// the same texts.
#pragma once

#include <map>
#include <string>

namespace navkeypad::cli {

extern const char kUsage[];
// The program's version, as `navkeypad --version` prints it.
extern const char kVersion[];
// By command name.
const std::map<std::string, std::string>& CommandHelp();

}  // namespace navkeypad::cli
