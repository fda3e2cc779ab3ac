#include "store/serial_sequences.h"

namespace navkeypad::store {

std::string NextInSequence(const std::string& serial) {
  std::string next = serial;
  std::size_t i = next.size();
  while (i > 0 && next[i - 1] >= '0' && next[i - 1] <= '9') {
    if (next[--i] != '9') {
      ++next[i];
      return next;
    }
    next[i] = '0';
  }
  return {};
}

std::string LaterInSequence(const std::string& one, const std::string& other) {
  // A sequence that ran out (empty) is later than any; numbers of one width compare as text.
  if (one.empty() || other.empty()) return {};
  if (one.size() != other.size()) return one.size() > other.size() ? one : other;
  return one > other ? one : other;
}

}  // namespace navkeypad::store
