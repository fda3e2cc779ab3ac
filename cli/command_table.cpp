#include "command_table.h"

#include <algorithm>

namespace navkeypad::cli {

const char kVersion[] = NAVKEYPAD_VERSION;

namespace {

int StatusOfOne(Session& s) {
  return s.withKeypad([&] { return Status(s); });
}
int SaveOfOne(Session& s) {
  return s.withKeypad([&] { return Save(s); });
}
int FactoryResetOfOne(Session& s) {
  return s.withKeypad([&] { return FactoryReset(s); });
}

using O = Options;

const std::vector<OptionDeclaration> kOptions = {
    {"--device", "PATH",
     "the keypad at PATH, or in the USB port PATH (the 'at' of 'navkeypad list'), where several "
     "are attached; also one of several keypads waiting in their loaders",
     Scope::kPicksKeypad, Offers::kPaths, &O::device},
    {"--serial", "S", "the keypad whose serial number is S, wherever it is plugged in",
     Scope::kPicksKeypad, Offers::kSerials, &O::serial},
    {"--all", nullptr,
     "status, apply or upgrade on every keypad, one after another, with a summary (status "
     "--all is a table, a line a keypad, loaders included)",
     Scope::kPicksKeypad, Offers::kNothing, nullptr, &O::all},
    {"--dry-run", nullptr,
     "with apply --all or upgrade --all: what each keypad would get; nothing is sent but status "
     "requests",
     Scope::kDryRun, Offers::kNothing, nullptr, &O::dryRun},
    {"--expect-version", "V",
     "with upgrade --all or station: the version the firmware holds; keypads already on V are "
     "passed over, and one not on V afterwards failed",
     Scope::kBatchUpgrade, Offers::kNothing, &O::expectVersion},
    {"--file", "F", "the configuration file, instead of the one the windows use",
     Scope::kPicksKeypad, Offers::kFiles, &O::file},
    {"--settings-of", "SERIAL", "with upgrade: the kept settings that are this keypad's",
     Scope::kPicksKeypad, Offers::kNothing, &O::settingsOf},
    {"--json", nullptr, "results, and failures, as JSON", Scope::kAny, Offers::kNothing, nullptr,
     &O::json},
    {"--force", nullptr, "with serial set: replace a serial number the keypad already has",
     Scope::kAny, Offers::kNothing, nullptr, &O::force},
    {"--config", "FILE", "with station: the settings file each keypad gets, stored as its defaults",
     Scope::kStation, Offers::kFiles, &O::config},
    {"--serial-from", "FIRST", "with station: serial numbers for keypads without one, FIRST and on",
     Scope::kStation, Offers::kNothing, &O::serialFrom},
    {"--count", "N", "with station: end after N keypads", Scope::kStation, Offers::kNothing,
     &O::count},
    {"--idle-timeout", "SECONDS", "with station: end after SECONDS without a new keypad",
     Scope::kStation, Offers::kNothing, &O::idleTimeout},
    {"--present", nullptr, "with station: take the keypads attached when it starts, too",
     Scope::kStation, Offers::kNothing, nullptr, &O::present},
    {"--labels", "FOLDER",
     "with station: a label for each keypad given a number or finished, as SERIAL.png in FOLDER",
     Scope::kStation, Offers::kFiles, &O::labels},
    {"--print-labels", "[PRINTER]",
     "with station: prints a label for each keypad given a number or finished, on PRINTER or "
     "the default printer",
     Scope::kStation, Offers::kNothing, &O::printLabels, nullptr, Wire::kNone, nullptr, true},
    {"--since", "DATE", "with log: the lines from DATE (2026-12-08 or 2026-12-08T14:30, UTC)",
     Scope::kLog, Offers::kNothing, &O::since},
    {"--until", "DATE", "with log: the lines until DATE", Scope::kLog, Offers::kNothing, &O::until},
    {"--csv", nullptr, "with log: one row a line, for scripts", Scope::kLog, Offers::kNothing,
     nullptr, &O::csv},
    {"--xlsx", "FILE", "with log: the lines as a workbook", Scope::kLog, Offers::kFiles, &O::xlsx},
    {"--output", "FILE", "with label: the file to write it to, FILE.png or FILE.pdf", Scope::kLabel,
     Offers::kFiles, &O::output},
    {"--print", "[PRINTER]",
     "with label: prints it on PRINTER (a word after --print that is no option), else on the "
     "default printer",
     Scope::kLabel, Offers::kNothing, &O::print, nullptr, Wire::kNone, nullptr, true},
    {"--operator", "NAME",
     "who does the work, for the service log (NAVKEYPAD_OPERATOR does the same)", Scope::kAny,
     Offers::kNothing, &O::operatorName},
    {"--virtual", nullptr, "the virtual keypad instead of the USB bus", Scope::kAny,
     Offers::kNothing, nullptr, nullptr, Wire::kVirtual},
    {"--trace", nullptr, "every HID event on standard error", Scope::kAny, Offers::kNothing,
     nullptr, nullptr, Wire::kTrace},
    {"--record", "FILE", "writes every HID event to FILE", Scope::kAny, Offers::kFiles, nullptr,
     nullptr, Wire::kRecord},
    {"--replay", "FILE",
     "plays FILE back instead of the bus (without a command: the one it recorded)", Scope::kAny,
     Offers::kFiles, nullptr, nullptr, Wire::kReplay},
    {"--version", nullptr, "the program's version", Scope::kAny, Offers::kNothing, nullptr,
     &O::version},
    {"--help", nullptr, "this text; 'navkeypad COMMAND --help' tells more about a command",
     Scope::kAny, Offers::kNothing, nullptr, &O::help, Wire::kNone, "-h"},
};

const std::vector<CommandDeclaration> kCommands = {
    {"list", "list [--json]", "every keypad on the bus, and the USB port it is in",
     "Usage: navkeypad list [--json]\n\nLists every keypad on the bus with its path, the USB "
     "port it is plugged into, its\nserial number and firmware version, and says why one that "
     "is there cannot be opened.\n",
     &List, Offers::kNothing, "", true, false},
    {"status", "status [--json]", "the keypad's settings, firmware and serial number",
     "Usage: navkeypad status [--json]\n       navkeypad status --all [--json]\n\nShows the "
     "keypad's LED brightness, layout, code table, firmware version and serial number.\n"
     "With --all: a table, one line a keypad (serial number, mode, firmware, brightness,\n"
     "layout, path), keypads waiting in their loaders included, with how to finish each.\n",
     &StatusOfOne, Offers::kNothing, "", true, false, nullptr, true},
    {"brightness", "brightness N", "sets the LED brightness (0 to 9)",
     "Usage: navkeypad brightness N\n\nSets the LED brightness, N from 0 to 9.\n", &Brightness,
     Offers::kWords, "0 1 2 3 4 5 6 7 8 9"},
    {"layout", "layout default|alternate|custom", "chooses the code table the keypad uses",
     "Usage: navkeypad layout default|alternate|custom\n\nChooses which of its code tables the "
     "keypad uses.\n",
     &Layout, Offers::kWords, "default alternate custom"},
    {"table", "table", "shows the custom code table",
     "Usage: navkeypad table\n       navkeypad table set KEY=CODE[+MODIFIER] ...\n\n"
     "Shows or changes the custom code table (the keypad must be on its custom layout).\n"
     "KEY is Left, Right, Down, Up or Enter. CODE is a HID keyboard code in hex (0x50) or\n"
     "its name (LeftArrow, a, Enter, F13 ...). MODIFIER is None, LeftCtrl, LeftShift,\n"
     "LeftAlt, LeftGui, RightCtrl, RightShift, RightAlt or RightGui; without one the key's\n"
     "modifier stays as it is.\n"
     "Example: navkeypad table set left=0x50 up=0x52+LeftCtrl\n",
     &Table, Offers::kCodeTable, "set", false, true, "set"},
    {"save", "save [--file F]", "stores the settings in the keypad and in the file",
     "Usage: navkeypad save [--file F]\n\nMakes the keypad store its settings as its defaults "
     "and writes layout, brightness,\ncode table and serial number into the configuration "
     "file.\n",
     &SaveOfOne},
    {"restore", "restore [--file F]", "sends the settings saved in the file back",
     "Usage: navkeypad restore [--file F]\n\nSends layout, code table (custom layouts) and "
     "brightness saved in the file to the keypad.\n",
     &Restore},
    {"apply", "apply [--file F]", "sends them and makes the keypad store them",
     "Usage: navkeypad apply [--file F]\n\nSends layout, code table (custom layouts) and "
     "brightness saved in the file to the keypad,\nthen makes the keypad store them as its "
     "defaults. The file is only read.\nWith --all --dry-run: what each keypad would change, "
     "having sent nothing.\n",
     &Apply, Offers::kNothing, "", false, true, nullptr, true, true},
    {"factory-reset", "factory-reset", "puts the keypad back to its factory settings",
     "Usage: navkeypad factory-reset\n\nPuts the keypad back to its factory settings; it "
     "restarts afterwards.\n",
     &FactoryResetOfOne, Offers::kNothing, "", false, true, nullptr, false, false, false, true},
    {"upgrade", "upgrade FIRMWARE.txt", "replaces the firmware, keeping serial number and settings",
     "Usage: navkeypad upgrade [--settings-of SERIAL] FIRMWARE.txt\n\nReplaces the keypad's "
     "firmware with a TI-TXT image through its bootstrap loader,\nthen gives it back its "
     "serial number, layout, code table and brightness.\n\nA keypad waiting in its loader "
     "gets the settings kept for it by an upgrade that did not\nfinish. --settings-of SERIAL "
     "says which kept settings are this keypad's where that\ncannot be told: a keypad without "
     "a serial number, or several kept ('' names those\nof a keypad without a serial number)."
     " The keypad that comes back must say it is\nthat keypad (its serial number, or none) "
     "before anything is given to it.\nA keypad waiting in its loader is finished before "
     "any other: beside it, upgrade is for\nit unless --device or --serial picks a keypad in "
     "its application.\nWith --all --dry-run: what each keypad would get, having sent "
     "nothing but status requests.\n",
     &Upgrade, Offers::kFiles, "", false, true, nullptr, true, true},
    {"station", "station [FIRMWARE.txt --expect-version V] [--config FILE] [...]",
     "finishes each keypad plugged in, one after another",
     "Usage: navkeypad station [FIRMWARE.txt --expect-version V] [--config FILE]\n"
     "                         [--serial-from FIRST] [--present] [--count N]\n"
     "                         [--idle-timeout SECONDS] [--labels FOLDER]\n"
     "                         [--print-labels [PRINTER]] [--json]\n\n"
     "A technician's bench: waits for keypads to be plugged in, one after another, and\n"
     "finishes each on its own. A keypad whose upgrade did not finish gets its kept serial\n"
     "number and settings first; one not on V gets the firmware (keeping its serial number\n"
     "and settings); the settings of FILE are sent and stored as its defaults (as apply);\n"
     "one without a serial number gets the next of FIRST, FIRST+1, ... that no keypad on the\n"
     "bus, kept record or service-log line has (where the sequence stands is kept with what\n"
     "the bench knows). Then it is read back and checked, and its LED blinks: slowly when it\n"
     "is done, quickly when it failed. Each keypad given a number or finished gets its\n"
     "label (as 'label' makes it) in FOLDER, as SERIAL.png, or on PRINTER (the default\n"
     "printer without a name). A keypad without a serial number gets a kept record\n"
     "only at the port that record's keypad left from; a record kept elsewhere neither goes\n"
     "to it nor holds it back.\n\n"
     "Only keypads plugged in after the station started are taken, unless --present; each\n"
     "at most once a run. A keypad that failed keeps its record and is taken again when it\n"
     "is plugged in again. One line a try (with --json, one JSON object a line), one\n"
     "service-log line a try, and a summary that counts keypads (one tried again at its\n"
     "port is one keypad, by its last try) and tries. Ends after N keypads, after SECONDS\n"
     "without a new keypad, or on Ctrl-C once the keypad in hand is finished. Exit status\n"
     "0 when every keypad's last try succeeded and no keypad's record is kept, 1 otherwise,\n"
     "2 for bad input (checked before it waits).\n"
     "Example: navkeypad station keypad-firmware-2.01.txt --expect-version 2.01 \\\n"
     "           --config site.ini --serial-from VNK000400\n",
     nullptr, Offers::kFiles, "", true, true, nullptr, false, false, true},
    {"serial", "serial set VALUE [--force]", "gives a keypad without one its serial number",
     "Usage: navkeypad serial set VALUE [--force]\n\nGives the keypad the serial number "
     "VALUE (1 to 11 printable characters), for a keypad\nthat lost its own. A keypad that "
     "has one keeps it unless --force is given;\nso does a number another attached keypad or "
     "a kept record has. A number the bench gave\nor reserved before (its ledger, which holds "
     "every number the service log names) is\nnever given again, --force or not.\n",
     &SerialNumber, Offers::kWords, "set"},
    {"log", "log [--json | --csv | --xlsx FILE] [--serial S] [--since DATE] [--until DATE]",
     "what was done to which keypad (the service log)",
     "Usage: navkeypad log [--json | --csv | --xlsx FILE] [--serial S] [--since DATE]\n"
     "                     [--until DATE]\n\n"
     "Shows the service log: every command that changed a keypad, with its time (UTC),\n"
     "user and computer, serial number (and the one a new number replaced), firmware\n"
     "before and after and result; --serial S shows one keypad's, --since and --until the\n"
     "lines from and until a date (2026-12-08 or 2026-12-08T14:30, UTC).\n"
     "--xlsx FILE writes the lines as a workbook for a spreadsheet program: serial\n"
     "numbers and versions as text, times as date and time (local, and UTC beside them),\n"
     "layout and code table by name. --csv prints one row a line, every field as text\n"
     "with the settings as numbers, for scripts.\nLines that cannot be read are left out "
     "and counted; --json prints\n{\"entries\": [...], \"skipped\": N, \"exitStatus\": 0}.\n",
     &Log, Offers::kNothing, "", true, false},
    {"site", "site init|bring-over", "sets up a site's server, or moves this bench onto it",
     "Usage: navkeypad site init\n       navkeypad site bring-over\n\n"
     "A site of several benches keeps what they know (records of upgrades under way, the\n"
     "serial numbers given, the service log) on one PostgreSQL server, named in the site\n"
     "file under [navkeypad] (libpq's service-file settings). 'site init', run as the\n"
     "role that owns the site's schema, makes the schema or brings it to this version,\n"
     "and the group role navkeypad_bench with what a bench may do. 'site bring-over',\n"
     "run at a bench as its own role, takes what the bench kept on its own (its records,\n"
     "serial numbers, sequences and log) onto the server; taking it again adds nothing.\n",
     &SiteCommand, Offers::kWords, "init bring-over", false, false},
    {"label", "label SERIAL [--output FILE] [--print [PRINTER]]",
     "a label with a serial number, as text and a 2-D code",
     "Usage: navkeypad label SERIAL --output FILE.png|FILE.pdf\n"
     "       navkeypad label SERIAL --print [PRINTER]\n\n"
     "Makes the label to stick on keypad SERIAL: the number in large type and as a Data\n"
     "Matrix code (ECC 200) that holds exactly the number, and the firmware the service\n"
     "log last saw on that keypad. It is 62 x 29 mm unless the site file's [label] section\n"
     "says otherwise (width_mm, height_mm, firmware=yes|no, heading). --output writes it\n"
     "as PNG (300 dpi) or PDF, by the file's extension; --print hands it to the system's\n"
     "print service. A number no keypad can hold is refused.\n"
     "Example: navkeypad label VNK000412 --print Brother_QL-820NWB\n",
     &LabelCommand, Offers::kNothing, "", false, false},
    {"identify", "identify", "blinks the keypad's LED, to find it on the desk",
     "Usage: navkeypad identify\n\nBlinks the keypad's LED for 4 s and leaves it at the "
     "brightness it had, so that the\nkeypad behind a line of 'navkeypad list' (pick it with "
     "--device or --serial) can\nbe found on the desk.\n",
     &Identify, Offers::kNothing, "", false, false},
    {"led-colour", "led-colour green", "sets the LED's colour",
     "Usage: navkeypad led-colour green\n\nSets the LED colour.\n", &KeypadSetting, Offers::kWords,
     "green"},
    {"buzzer", "buzzer on|off", "switches the buzzer",
     "Usage: navkeypad buzzer on|off\n\nSwitches the buzzer on or off.\n", &KeypadSetting,
     Offers::kWords, "on off"},
    {"buzzer-period", "buzzer-period 1..9", "sets how long the buzzer sounds",
     "Usage: navkeypad buzzer-period N\n\nSets the buzzer period, 1 to 9.\n", &KeypadSetting,
     Offers::kWords, "1 2 3 4 5 6 7 8 9"},
    {"volume", "volume absolute|low|mid|high|jack-in LEVEL", "sets a volume, LEVEL 0 to 99",
     "Usage: navkeypad volume absolute|low|mid|high|jack-in LEVEL\n\nSets the local volume "
     "of that selector to LEVEL, 0 to 99.\n",
     &KeypadSetting, Offers::kWords, "absolute low mid high jack-in"},
    {"volume-config", "volume-config local-jack|local-no-jack|external-jack|external-no-jack",
     "chooses where the sound goes",
     "Usage: navkeypad volume-config local-jack|local-no-jack|external-jack|external-no-jack"
     "\n\nChooses local or external volume, with or without the jack insertion volume.\n",
     &KeypadSetting, Offers::kWords, "local-jack local-no-jack external-jack external-no-jack"},
};

// A column wide enough for most synopses; a longer one stands on a line of its own. What it
// does is wrapped to the terminal's customary 80 columns.
constexpr std::size_t kSynopsisWidth = 30;
constexpr std::size_t kLineWidth = 80;

std::string Row(const std::string& left, const std::string& right) {
  const std::string indent(kSynopsisWidth + 2, ' ');
  std::string text = "  " + left;
  if (left.size() + 2 < kSynopsisWidth) {
    text += std::string(kSynopsisWidth - left.size(), ' ');
  } else {
    text += "\n" + indent;
  }
  std::size_t column = kSynopsisWidth + 2;
  std::size_t start = 0;
  while (start < right.size()) {
    std::size_t end = right.find(' ', start);
    if (end == std::string::npos) end = right.size();
    const std::string word = right.substr(start, end - start);
    if (column > kSynopsisWidth + 2 && column + 1 + word.size() > kLineWidth) {
      text += "\n" + indent;
      column = kSynopsisWidth + 2;
    } else if (column > kSynopsisWidth + 2) {
      text += ' ';
      ++column;
    }
    text += word;
    column += word.size();
    start = end + 1;
  }
  return text + "\n";
}

}  // namespace

const char kExitStatusHelp[] =
    "Exit status: 0 done, 1 the keypad refused or did not answer (or the HID library could\n"
    "not start), 2 bad usage or input, 3 no keypad, 4 a keypad is there but cannot be opened.\n";

const std::vector<OptionDeclaration>& OptionTable() {
  return kOptions;
}

const std::vector<CommandDeclaration>& CommandTable() {
  return kCommands;
}

const OptionDeclaration* FindOption(const std::string& name) {
  const auto found = std::find_if(kOptions.begin(), kOptions.end(), [&](const auto& option) {
    return name == option.name || (option.shortName != nullptr && name == option.shortName);
  });
  return found == kOptions.end() ? nullptr : &*found;
}

const CommandDeclaration* FindCommand(const std::string& name) {
  const auto found = std::find_if(kCommands.begin(), kCommands.end(),
                                  [&](const auto& command) { return name == command.name; });
  return found == kCommands.end() ? nullptr : &*found;
}

std::string Synopsis(const CommandDeclaration& command) {
  const std::string help = command.help;
  const std::string usage = help.substr(help.find(' ') + 1, help.find("\n\n") - help.find(' ') - 1);
  std::string synopsis;
  for (const char c : usage) {
    if ((c == ' ' || c == '\n') && (synopsis.empty() || synopsis.back() == ' ')) continue;
    synopsis += c == '\n' ? ' ' : c;
  }
  return synopsis;
}

std::string GeneralHelp() {
  std::string text =
      "Usage: navkeypad [OPTIONS] COMMAND [ARGUMENTS]\n\nConfigures the USB navigation "
      "keypad.\n\nCommands:\n";
  for (const CommandDeclaration& command : kCommands)
    text += Row(command.synopsis, command.summary);
  text += "\nOptions:\n";
  for (const OptionDeclaration& option : kOptions) {
    std::string names = option.shortName != nullptr ? std::string(option.shortName) + ", " : "";
    names += option.name;
    if (option.value != nullptr) names += std::string(" ") + option.value;
    text += Row(names, option.help);
  }
  text +=
      "\nA keypad is known by what it reports and the USB port it is in: a keypad, its\n"
      "loader and the keypad that comes back from it share the port.\n";
  return text;
}

bool StreamsJsonLines(const std::string& name) {
  const CommandDeclaration* command = FindCommand(name);
  return command != nullptr && command->jsonLines;
}

const char* NameOf(CommandFunction run) {
  for (const CommandDeclaration& command : kCommands)
    if (command.run == run) return command.name;
  return "";
}

const char* OptionName(std::optional<std::string> Options::*field) {
  for (const OptionDeclaration& option : kOptions)
    if (option.text == field) return option.name;
  return "";
}

const char* OptionName(Wire wire) {
  for (const OptionDeclaration& option : kOptions)
    if (option.wire == wire) return option.name;
  return "";
}

bool RestartsKeypad(const std::vector<std::string>& positional) {
  const CommandDeclaration* command = positional.empty() ? nullptr : FindCommand(positional[0]);
  return command != nullptr && command->restarts;
}

bool ChangesKeypad(const std::vector<std::string>& positional) {
  const CommandDeclaration* command = positional.empty() ? nullptr : FindCommand(positional[0]);
  if (command == nullptr || !command->changes) return false;
  return command->changesWith == nullptr ||
         (positional.size() > 1 && positional[1] == command->changesWith);
}

}  // namespace navkeypad::cli
