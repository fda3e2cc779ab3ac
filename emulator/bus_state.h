// The virtual bus kept in a JSON file between runs, so that a keypad one program left in its
// loader (or pulled off the bus half way through an upgrade) is still there for the next.
#pragma once

#include <string>

#include "support/program_lock.h"

namespace virtual_keypad {

// Plugs the keypads the file describes; every field may be left out (a keypad then takes
// what a new virtual keypad has). False, with the reason naming the file, when it cannot be
// read; nothing is plugged then.
bool LoadBusState(const std::string& file, std::string& problem);
// Writes every keypad, those pulled off the bus included (as they start at the next power
// up), whole or not at all.
bool SaveBusState(const std::string& file, std::string& problem);

// Every fault a keypad of a state file can be given, a name and the value it takes on a line,
// what it does on the next: what `navkeypad-virtual faults` prints.
std::string FaultList();

// The bus of a virtual program: from NAVKEYPAD_VIRTUAL_STATE when it names a file that
// exists, otherwise one keypad; written back to that file when the program ends. The file is
// locked from start to end, so a second program on it waits for the first.
class ProgramBus {
 public:
  ProgramBus();
  ~ProgramBus();
  ProgramBus(const ProgramBus&) = delete;
  ProgramBus& operator=(const ProgramBus&) = delete;

  bool ok() const { return problem_.empty(); }
  const std::string& problem() const { return problem_; }
  // Writes the state back now; also done at destruction. False with problem() set.
  bool save();

 private:
  std::string file_;
  std::string problem_;
  bool saved_ = false;
  support::ProgramLock lock_;  // of the state file, for the whole run
};

}  // namespace virtual_keypad
