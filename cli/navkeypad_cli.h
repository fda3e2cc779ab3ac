// The navkeypad command line: the windows' actions for people who script or provision
// keypads.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace navkeypad::store {
class Store;
}

namespace navkeypad::cli {

enum ExitStatus {
  kDone = 0,
  kKeypadFailed = 1,  // the keypad refused or did not answer
  kBadInput = 2,      // bad usage or bad input
  kNoKeypad = 3,
  kNotAccessible = 4,  // a keypad is there but may not be opened
};

struct Io {
  std::ostream& out;
  std::ostream& err;
  store::Store& store;    // what the bench knows, opened where the program starts
  bool terminal = false;  // progress as a bar rather than lines
  // As the user called it, for commands we suggest: run as printed, they work on the same bus
  // ("navkeypad --virtual").
  std::string program = "navkeypad";
  // Where a batch runs the command: the batch's own command, which picks up where it stopped
  // and is what its last line advises; empty: the command's own.
  std::string resume = {};
  // Where the station runs the command: a keypad is tried again by plugging it in again while
  // the station runs, which also gives it the station's settings.
  bool atStation = false;
  // Where a batch or the station takes each keypad's failure, to say it once, in the keypad's
  // line; none: standard error.
  std::ostream* failures = nullptr;

  // The program's own name, without the switches it was started with.
  std::string programName() const { return program.substr(0, program.find(' ')); }
};

int Run(const std::vector<std::string>& arguments, Io io);

// A word that is an option rather than a value (a switch, as -h): one given where an option's
// value belongs means the value is missing.
bool IsOption(const std::string& word);

// The command the words name ("status" of "--device P status --json"); empty when none.
std::string CommandWord(const std::vector<std::string>& arguments);

}  // namespace navkeypad::cli
