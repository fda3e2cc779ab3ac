// Every command and option of `navkeypad`, declared once. The parser, `navkeypad --help`, each
// command's help, the manual page and the bash completion are made from these tables, so an
// option added here is everywhere at once and nowhere else.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "session.h"

namespace navkeypad::cli {

// What the bash completion offers for an option's value or a command's first word.
enum class Offers { kNothing, kPaths, kSerials, kFiles, kWords, kCodeTable };

// The options the program takes before the command line is parsed: they choose the bus and
// its wire.
enum class Wire { kNone, kVirtual, kTrace, kRecord, kReplay };

// Where an option belongs: a command line that gives it elsewhere is refused with why.
enum class Scope {
  kAny,
  kPicksKeypad,  // a command that works on keypads on the bus, not the station
  kStation,
  kLog,
  kBatchUpgrade,  // upgrade --all, or the station
  kDryRun,        // upgrade --all, apply --all
  kLabel,
};

struct OptionDeclaration {
  const char* name;   // "--device"
  const char* value;  // its value as the help names it ("PATH"); nullptr for a switch
  const char* help;   // what it does
  Scope scope = Scope::kAny;
  Offers offers = Offers::kNothing;
  // Where the parser puts it: one of these.
  std::optional<std::string> Options::*text = nullptr;
  bool Options::*flag = nullptr;
  Wire wire = Wire::kNone;
  const char* shortName = nullptr;  // "-h"
  // Its value may be left out ("--print" alone: the default printer); a word after it that is
  // no option is its value.
  bool valueOptional = false;
};

struct CommandDeclaration {
  const char* name;
  const char* synopsis;  // as `navkeypad --help` lists it, after the program's name
  const char* summary;   // what it does, in a line
  const char* help;      // `navkeypad NAME --help`, from "Usage:" on
  CommandFunction run;   // nullptr: the station, which runs no session of its own
  Offers offers = Offers::kNothing;
  const char* words = "";  // what its first word may be, where Offers::kWords
  // It writes JSON of its own; the others answer a script with their sentences as one document.
  bool ownJson = false;
  // It changes a keypad, and is logged; `changesWith`, where given, is the word after its name
  // that makes it do so ("table set").
  bool changes = true;
  const char* changesWith = nullptr;
  bool all = false;  // runs on every keypad with --all
  bool dryRun = false;
  // It takes keypads as they come and writes a JSON line for each as it goes (the station).
  bool jsonLines = false;
  // It restarts the keypad, which answers nothing until it is back.
  bool restarts = false;
};

const std::vector<OptionDeclaration>& OptionTable();
const std::vector<CommandDeclaration>& CommandTable();
// nullptr where there is none of that name.
const OptionDeclaration* FindOption(const std::string& name);
const CommandDeclaration* FindCommand(const std::string& name);

// "navkeypad NAME ARGUMENTS...", its own help's usage on one line.
std::string Synopsis(const CommandDeclaration& command);

// `navkeypad --help` without its last part: where the bench's knowledge is kept goes between.
std::string GeneralHelp();
extern const char kExitStatusHelp[];
// The program's version, as `navkeypad --version` prints it.
extern const char kVersion[];

// The name of the command `run` runs (the station's: nullptr), and of the option that fills
// `field`: for the words a program writes into what it logs or says.
const char* NameOf(CommandFunction run);
const char* OptionName(std::optional<std::string> Options::*field);
const char* OptionName(Wire wire);

// Whether the command of that name writes JSON lines as it goes, rather than one document.
bool StreamsJsonLines(const std::string& name);

// Whether the command the words name is logged as a change of a keypad, and whether it restarts
// it.
bool ChangesKeypad(const std::vector<std::string>& positional);
bool RestartsKeypad(const std::vector<std::string>& positional);

}  // namespace navkeypad::cli
