// The navkeypad command line: the windows' actions for people who script or provision
// keypads.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "label/label.h"

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

// What the station was set to do, as a window shows it beside the keypads.
struct StationSettings {
  std::string firmware;  // empty: keypads keep the firmware they run
  std::string version;
  std::string config;      // the settings file applied, or empty
  std::string serialFrom;  // the sequence numbers are given from, or empty
  std::string nextSerial;  // the number the sequence stands at
  std::string store;       // where what the bench knows is kept: its file, or the site's server
  std::string siteFile;    // the site file (its server, its labels), where there is one
  std::string operatorName;
  std::optional<std::string> labelFolder;
  std::optional<std::string> labelPrinter;  // "" for the default printer
  label::LabelLayout labelLayout;
};

// A window's view of the station as it goes. Called on the station's thread; one keypad is in
// hand at a time.
class StationWatcher {
 public:
  virtual ~StationWatcher() = default;
  virtual void started(const StationSettings& settings) = 0;
  // The keypad in hand, at `port`: what it is known to be so far and the step it is at, with its
  // progress (-1: none to tell). An empty port, serial number or firmware: as said before.
  virtual void inHand(const std::string& port, const std::string& serial,
                      const std::string& firmware, const std::string& step, int percent) = 0;
  // The keypad's line and its summary's, as --json prints them, and the words of its line.
  virtual void visited(const nlohmann::ordered_json& line, const std::string& words) = 0;
  // The keypads tried so far (a keypad tried again counts once), their tries, how many of them
  // ended well, and those passed over as done earlier.
  virtual void counted(int keypads, int tries, int ok, int skipped) = 0;
  virtual void ended(const nlohmann::ordered_json& summary, const std::string& words) = 0;
  // The station ends once the keypad in hand is finished.
  virtual bool stopAsked() = 0;
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
  // Where a window watches the station (and the upgrades it runs) go.
  StationWatcher* watcher = nullptr;

  // The program's own name, without the switches it was started with.
  std::string programName() const { return program.substr(0, program.find(' ')); }
};

int Run(const std::vector<std::string>& arguments, Io io);

// A word that is an option rather than a value (a switch, as -h): one given where an option's
// value belongs means the value is missing.
bool IsOption(const std::string& word);

// A line of the service log in words: time, who, keypad, action, firmware, result, message.
std::string LogLineText(const nlohmann::ordered_json& entry);

// The label of keypad `serial`, made again as the station's settings say; empty, or why not.
// `made` says where it went.
std::string MakeStationLabel(const StationSettings& settings, const label::LabelText& text,
                             std::string& made);

// The command the words name ("status" of "--device P status --json"); empty when none.
std::string CommandWord(const std::vector<std::string>& arguments);

}  // namespace navkeypad::cli
