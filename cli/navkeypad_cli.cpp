#include "navkeypad_cli.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>

#include "help_texts.h"
#include "names.h"
#include "session.h"
#include "settings/keypad_settings_file.h"
#include "store/service_log.h"
#include "store/store.h"
#include "support/paths.h"

namespace navkeypad::cli {

namespace cfg = navkeypad::settings;

namespace {

const std::map<std::string, CommandFunction>& Commands() {
  static const std::map<std::string, CommandFunction> commands = {
      {"list", &List},
      {"status", [](Session& s) { return s.withKeypad([&] { return Status(s); }); }},
      {"brightness", &Brightness},
      {"layout", &Layout},
      {"table", &Table},
      {"save", [](Session& s) { return s.withKeypad([&] { return Save(s); }); }},
      {"restore", &Restore},
      {"factory-reset", [](Session& s) { return s.withKeypad([&] { return FactoryReset(s); }); }},
      {"upgrade", &Upgrade},
      {"apply", &Apply},
      {"serial", &SerialNumber},
      {"led-colour", &KeypadSetting},
      {"buzzer", &KeypadSetting},
      {"buzzer-period", &KeypadSetting},
      {"volume", &KeypadSetting},
      {"volume-config", &KeypadSetting},
      {"log", &Log},
      {"identify", &Identify},
  };
  return commands;
}

}  // namespace

bool IsOption(const std::string& word) {
  return word.size() > 1 && word[0] == '-';
}

std::string CommandWord(const std::vector<std::string>& arguments) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (!IsOption(arguments[i])) return arguments[i];
    if (std::find(std::begin(kValuedOptions), std::end(kValuedOptions), arguments[i]) !=
        std::end(kValuedOptions))
      ++i;
  }
  return {};
}

namespace {
// What the command line asked for, as parsed.
struct Parsed {
  Options options;
  std::vector<std::string> positional;
  bool help = false;
  bool version = false;
  std::optional<std::string> operatorName;
};

// Parses `arguments` into `parsed`; a failure said (with its status) where they cannot be.
std::optional<int> Parse(const std::vector<std::string>& arguments, Io& io, bool jsonWanted,
                         Parsed& parsed) {
  const auto refuse = [&](int status, const std::string& message) {
    return SayFailure(io.out, io.err, jsonWanted, status, message);
  };
  // The options may come before or after the command and its words.
  CLI::App app;
  app.set_help_flag();
  app.allow_extras();
  app.positionals_at_end(false);
  Options& options = parsed.options;
  std::vector<std::string> switches;  // options that take no value
  const auto addSwitch = [&](const std::string& names, bool& value) {
    app.add_flag(names, value);
    switches.push_back(names.substr(names.rfind(',') + 1));
  };
  addSwitch("-h,--help", parsed.help);
  addSwitch("--version", parsed.version);
  addSwitch("--json", options.json);
  addSwitch("--force", options.force);
  addSwitch("--all", options.all);
  addSwitch("--dry-run", options.dryRun);
  app.add_option("--device", options.device);
  app.add_option("--serial", options.serial);
  app.add_option("--file", options.file);
  app.add_option("--settings-of", options.settingsOf);
  app.add_option("--expect-version", options.expectVersion);
  app.add_option("--config", options.config);
  app.add_option("--serial-from", options.serialFrom);
  app.add_option("--count", options.count);
  app.add_option("--idle-timeout", options.idleTimeout);
  addSwitch("--present", options.present);
  app.add_option("--since", options.since);
  app.add_option("--until", options.until);
  addSwitch("--csv", options.csv);
  app.add_option("--xlsx", options.xlsx);
  app.add_option("--operator", parsed.operatorName);
  app.add_option("words", parsed.positional);
  for (const char* valued : kValuedOptions) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
      if (arguments[i] == valued && (i + 1 == arguments.size() || IsOption(arguments[i + 1])))
        return refuse(kBadInput, std::string(valued) + " needs a value.");
    }
  }
  // "--json=true" would be taken for --json by the parser, and by nothing else here.
  for (const std::string& argument : arguments) {
    const std::string name = argument.substr(0, argument.find('='));
    if (name.size() < argument.size() &&
        std::find(switches.begin(), switches.end(), name) != switches.end())
      return refuse(kBadInput, name + " takes no value ('" + argument + "'); give " + name + ".");
  }
  try {
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    app.parse(reversed);
  } catch (const CLI::ParseError& error) {
    return refuse(kBadInput, std::string(error.what()) + "; see '" + io.program + " --help'.");
  }
  for (const std::string& extra : app.remaining()) {
    if (IsOption(extra)) {
      return refuse(kBadInput, "unknown option '" + extra + "'; see '" + io.program + " --help'.");
    }
    parsed.positional.push_back(extra);
  }
  return std::nullopt;
}

// The command the words name, run on what the options pick.
int Dispatch(const std::vector<std::string>& positional, const Options& options, Io io,
             bool jsonWanted) {
  const auto refuse = [&](int status, const std::string& message) {
    return SayFailure(io.out, io.err, jsonWanted, status, message);
  };
  if (positional[0] == "station") {
    if (options.device || options.serial || options.all || options.file || options.settingsOf)
      return refuse(kBadInput,
                    "station takes the keypads as they are plugged in; it takes no "
                    "--device, --serial, --all, --file or --settings-of.");
    return Station(positional, options, io);
  }
  const auto command = Commands().find(positional[0]);
  if (command == Commands().end()) {
    return refuse(kBadInput,
                  "no command '" + positional[0] + "'; see '" + io.program + " --help'.");
  }
  if (options.device && options.serial)
    return refuse(kBadInput, "--device and --serial each pick a keypad; give one.");
  if (options.config || options.serialFrom || options.count || options.idleTimeout ||
      options.present)
    return refuse(
        kBadInput,
        "--config, --serial-from, --count, --idle-timeout and --present go with station.");
  if ((options.since || options.until || options.csv || options.xlsx) && positional[0] != "log")
    return refuse(kBadInput, "--since, --until, --csv and --xlsx go with log.");
  if (options.dryRun && (!options.all || (positional[0] != "upgrade" && positional[0] != "apply")))
    return refuse(kBadInput, "--dry-run goes with upgrade --all and apply --all.");
  if (options.all) {
    const std::string& name = positional[0];
    if (name != "status" && name != "apply" && name != "upgrade")
      return refuse(kBadInput, "--all works with status, apply and upgrade.");
    return ForAll(positional, command->second, options, io);
  }
  if (options.expectVersion) return refuse(kBadInput, "--expect-version goes with upgrade --all.");
  if (options.json && positional[0] != "list" && positional[0] != "status" &&
      positional[0] != "log") {
    // A command that speaks in sentences answers a script with one JSON document: its
    // sentences on success, its failure (already JSON) otherwise.
    std::ostringstream said;
    Session session(positional, options, {said, io.err, io.store, io.terminal, io.program});
    const int status = session.run(command->second);
    if (status == kDone) {
      io.out << FormatJson({{"message", JsonText(Trimmed(said.str()))}, {"exitStatus", status}})
             << "\n";
    } else {
      io.out << LastLine(said.str()) << "\n";
    }
    return status;
  }
  Session session(positional, options, io);
  return session.run(command->second);
}

int RunCommand(const std::vector<std::string>& arguments, Io io) {
  const bool jsonWanted = WantsJson(arguments);
  Parsed parsed;
  if (const auto refused = Parse(arguments, io, jsonWanted, parsed)) return *refused;
  const auto& positional = parsed.positional;
  if (parsed.version) {
    io.out << "navkeypad " << kVersion << "\n";
    return kDone;
  }
  if (parsed.help) {
    const auto& commandHelp = CommandHelp();
    const auto found = positional.empty() ? commandHelp.end() : commandHelp.find(positional[0]);
    if (found != commandHelp.end()) {
      io.out << found->second;
      return kDone;
    }
    // Where this program keeps what the bench knows, before the exit statuses that end it.
    const std::string usage = kUsage;
    const std::size_t exitStatus = usage.find("Exit status:");
    io.out << usage.substr(0, exitStatus) << io.store.whereWords() << "\n\n"
           << usage.substr(exitStatus);
    return kDone;
  }
  if (const auto& name = parsed.operatorName) {
    if (name->find_first_of("\r\n\t") != std::string::npos || name->empty())
      return SayFailure(io.out, io.err, jsonWanted, kBadInput,
                        "--operator needs a name on one line.");
    store::SetOperatorName(*name);
  }
  // A user's own records, sequences and log from before the computer kept them are the
  // computer's now; said on standard error, so that a script's output stays as it was.
  for (const std::string& said : io.store.takeNotices())
    io.err << io.program << ": " << said << ".\n";
  if (positional.empty()) {
    io.err << kUsage;
    if (jsonWanted) io.out << ErrorJson("no command given", kBadInput) << "\n";
    return kBadInput;
  }
  return Dispatch(positional, parsed.options, io, jsonWanted);
}

}  // namespace

int Run(const std::vector<std::string>& arguments, Io io) {
  try {
    return RunCommand(arguments, io);
  } catch (const StoreRefusal& refusal) {
    const int status =
        refusal.error.kind == store::StoreError::kNoAccess ? kNotAccessible : kBadInput;
    return SayFailure(io.out, io.err, WantsJson(arguments), status, refusal.error.message + ".");
  }
}

}  // namespace navkeypad::cli
