// The serial numbers a bench gives: for each first number, which one is next, kept in the
// bench's serial-number-sequences.json and taken under its lock, written before the number is
// given, so that neither a restarted station nor a second one (of any user) gives it again.
#pragma once

#include <functional>
#include <string>

namespace navkeypad::store {

inline constexpr char kSequencesFileName[] = "serial-number-sequences.json";

std::string SequencesFile(const std::string& configFile);

// The number after `serial`: its digits at the end counted up, as wide as they were; empty
// when it has none, or when they would need another digit.
std::string NextInSequence(const std::string& serial);

struct TakenSerial {
  std::string serial;
  std::string problem;
};
// The next number of the sequence that starts at `first`, passing over every number `seen`
// says is taken.
TakenSerial TakeSerialNumber(const std::string& configFile, const std::string& first,
                             const std::function<bool(const std::string&)>& seen);

// Of two places a sequence stands at (its next number), the later one: the numbers before it
// may have been given.
std::string LaterInSequence(const std::string& one, const std::string& other);

}  // namespace navkeypad::store
