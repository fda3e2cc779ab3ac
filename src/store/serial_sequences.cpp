#include "store/serial_sequences.h"

#include <nlohmann/json.hpp>

#include "store/bench_folder.h"
#include "support/atomic_file.h"
#include "support/program_lock.h"

namespace navkeypad::store {

std::string SequencesFile(const std::string& configFile) {
  return BenchFile(configFile, kSequencesFileName);
}

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

TakenSerial TakeSerialNumber(const std::string& configFile, const std::string& first,
                             const std::function<bool(const std::string&)>& seen) {
  const std::string file = SequencesFile(configFile);
  if (file.empty()) return {{}, "there is no folder to keep the serial numbers' sequence in"};
  support::ProgramLock lock;
  if (std::string problem = LockBeside(lock, file); !problem.empty()) return {{}, problem};
  nlohmann::json sequences = nlohmann::json::object();
  std::string bytes;
  const std::string problem = support::ReadRegularFile(file, bytes, 1 << 20);
  if (problem.empty()) {
    sequences = nlohmann::json::parse(bytes, nullptr, false);
    if (!sequences.is_object()) return {{}, file + " cannot be read; correct or delete it"};
  } else if (problem != "is missing") {
    return {{}, file + " " + problem};
  }
  const auto kept = sequences.find(first);
  std::string serial =
      kept != sequences.end() && kept->is_string() ? kept->get<std::string>() : first;
  while (!serial.empty() && seen(serial)) serial = NextInSequence(serial);
  if (serial.empty()) return {{}, "the serial numbers from " + first + " have run out"};
  sequences[first] = NextInSequence(serial);
  if (const std::string unwritable = support::WritableFileProblem(file); !unwritable.empty())
    return {{}, file + " " + unwritable + ", so no serial number was given"};
  if (!support::WriteFileAtomically(file, sequences.dump(2) + "\n"))
    return {{}, file + " cannot be written, so no serial number was given"};
  ShareWithBench(file);
  return {serial, {}};
}

std::string LaterInSequence(const std::string& one, const std::string& other) {
  // A sequence that ran out (empty) is later than any; numbers of one width compare as text.
  if (one.empty() || other.empty()) return {};
  if (one.size() != other.size()) return one.size() > other.size() ? one : other;
  return one > other ? one : other;
}

}  // namespace navkeypad::store
