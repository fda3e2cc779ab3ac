// The serial numbers of a sequence: the digits at the end of a number counted up.
#pragma once

#include <string>

namespace navkeypad::store {

// The number after `serial`: its digits at the end counted up, as wide as they were; empty
// when it has none, or when they would need another digit.
std::string NextInSequence(const std::string& serial);

// Of two places a sequence stands at (its next number), the later one: the numbers before it
// may have been given.
std::string LaterInSequence(const std::string& one, const std::string& other);

}  // namespace navkeypad::store
