// Results counted by keypad, not by try: a keypad tried again is one keypad, and its last result
// is the one that counts.
#pragma once

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace navkeypad::cli {

class KeypadTally {
 public:
  // One try: the serial number the keypad came with and the one it ended with (either may be
  // empty), the USB port it is in, and "ok" or "failed". A keypad is known by a serial number
  // at its port (the same number at another port, or where the port is not known, may be
  // another keypad: both are counted); one without a number by its port, for as long as the
  // last keypad there had none.
  void add(const std::string& arrived, const std::string& ended, const std::string& port,
           const std::string& result) {
    ++tries_;
    std::size_t keypad = last_.size();
    for (const std::string& name :
         {Serial(arrived, port), Serial(ended, port), Port(arrived, port)}) {
      if (const auto known = names_.find(name); !name.empty() && known != names_.end()) {
        keypad = known->second;
        break;
      }
    }
    if (keypad == last_.size()) last_.emplace_back();
    last_[keypad] = result;
    for (const std::string& name : {Serial(arrived, port), Serial(ended, port)})
      if (!name.empty()) names_[name] = keypad;
    if (!port.empty() && ended.empty()) names_["port " + port] = keypad;
    if (!port.empty() && !ended.empty()) names_.erase("port " + port);
  }
  int keypads() const { return static_cast<int>(last_.size()); }
  int tries() const { return tries_; }
  int withResult(const std::string& result) const {
    return static_cast<int>(std::count(last_.begin(), last_.end(), result));
  }

 private:
  static std::string Serial(const std::string& serial, const std::string& port) {
    return serial.empty() || port.empty() ? "" : "serial " + serial + " at " + port;
  }
  static std::string Port(const std::string& arrived, const std::string& port) {
    return arrived.empty() && !port.empty() ? "port " + port : "";
  }
  std::map<std::string, std::size_t>
      names_;                      // "serial S at P" or "port P": the keypad's place below
  std::vector<std::string> last_;  // each keypad's last result
  int tries_ = 0;
};

}  // namespace navkeypad::cli
