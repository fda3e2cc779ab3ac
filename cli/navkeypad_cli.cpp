#include "navkeypad_cli.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>

#include "command_table.h"
#include "names.h"
#include "session.h"
#include "settings/keypad_settings_file.h"
#include "store/service_log.h"
#include "store/store.h"
#include "support/paths.h"

namespace navkeypad::cli {

namespace {

bool Valued(const std::string& word) {
  const OptionDeclaration* option = FindOption(word);
  return option != nullptr && option->value != nullptr;
}

}  // namespace

bool IsOption(const std::string& word) {
  return word.size() > 1 && word[0] == '-';
}

std::string CommandWord(const std::vector<std::string>& arguments) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (!IsOption(arguments[i])) return arguments[i];
    if (Valued(arguments[i])) ++i;
  }
  return {};
}

namespace {

// Parses `arguments` into `options` and `positional`; a failure said (with its status) where
// they cannot be.
std::optional<int> Parse(const std::vector<std::string>& arguments, Io& io, bool jsonWanted,
                         Options& options, std::vector<std::string>& positional) {
  const auto refuse = [&](int status, const std::string& message) {
    return SayFailure(io.out, io.err, jsonWanted, status, message);
  };
  // The options may come before or after the command and its words.
  CLI::App app;
  app.set_help_flag();
  app.allow_extras();
  app.positionals_at_end(false);
  for (const OptionDeclaration& option : OptionTable()) {
    if (option.wire != Wire::kNone || option.valueOptional) continue;
    const std::string names =
        (option.shortName != nullptr ? std::string(option.shortName) + "," : "") + option.name;
    if (option.flag != nullptr) {
      app.add_flag(names, options.*option.flag);
    } else {
      app.add_option(names, options.*option.text);
    }
  }
  app.add_option("words", positional);
  // An option whose value may be left out takes the word after it, unless that is an option;
  // the parser, which reads the words backwards, is given the rest.
  std::vector<std::string> rest;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string name = arguments[i].substr(0, arguments[i].find('='));
    const OptionDeclaration* option = FindOption(name);
    if (option == nullptr || !option->valueOptional) {
      rest.push_back(arguments[i]);
    } else if (name.size() < arguments[i].size()) {
      options.*option->text = arguments[i].substr(name.size() + 1);
    } else {
      const bool valued = i + 1 < arguments.size() && !IsOption(arguments[i + 1]);
      options.*option->text = valued ? arguments[++i] : std::string();
    }
  }
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (Valued(rest[i]) && (i + 1 == rest.size() || IsOption(rest[i + 1])))
      return refuse(kBadInput, rest[i] + " needs a value.");
  }
  // "--json=true" would be taken for --json by the parser, and by nothing else here.
  for (const std::string& argument : rest) {
    const std::string name = argument.substr(0, argument.find('='));
    const OptionDeclaration* option = FindOption(name);
    if (name.size() < argument.size() && option != nullptr && option->value == nullptr)
      return refuse(kBadInput, name + " takes no value ('" + argument + "'); give " + name + ".");
  }
  try {
    std::vector<std::string> reversed(rest.rbegin(), rest.rend());
    app.parse(reversed);
  } catch (const CLI::ParseError& error) {
    return refuse(kBadInput, std::string(error.what()) + "; see '" + io.program + " --help'.");
  }
  for (const std::string& extra : app.remaining()) {
    if (IsOption(extra)) {
      return refuse(kBadInput, "unknown option '" + extra + "'; see '" + io.program + " --help'.");
    }
    positional.push_back(extra);
  }
  return std::nullopt;
}

bool Given(const OptionDeclaration& option, const Options& options) {
  if (option.wire != Wire::kNone) return false;
  return option.flag != nullptr ? options.*option.flag : (options.*option.text).has_value();
}

bool InScope(Scope scope, const CommandDeclaration& command, const Options& options) {
  switch (scope) {
    case Scope::kAny:
      return true;
    case Scope::kPicksKeypad:
      return !command.jsonLines;
    case Scope::kStation:
      return command.jsonLines;
    case Scope::kLog:
      return command.run == &Log;
    case Scope::kBatchUpgrade:
      return command.jsonLines || (command.run == &Upgrade && options.all);
    case Scope::kDryRun:
      return command.dryRun && options.all;
    case Scope::kLabel:
      return command.run == &LabelCommand;
  }
  return false;
}

// Why an option given is out of place with `command`; empty where none is.
std::string Misplaced(const CommandDeclaration& command, const Options& options) {
  for (const OptionDeclaration& given : OptionTable()) {
    if (!Given(given, options) || InScope(given.scope, command, options)) continue;
    std::vector<std::string> names;
    for (const OptionDeclaration& option : OptionTable())
      if (option.scope == given.scope) names.push_back(option.name);
    const std::string listed = Listed(names, "and");
    const std::string verb = names.size() == 1 ? " goes with " : " go with ";
    switch (given.scope) {
      case Scope::kPicksKeypad:
        return std::string(command.name) +
               " takes the keypads as they are plugged in; it takes no " + Listed(names, "or") +
               ".";
      case Scope::kStation:
        return listed + verb + "station.";
      case Scope::kLog:
        return listed + verb + "log.";
      case Scope::kBatchUpgrade:
        return listed + verb + "upgrade --all and station.";
      case Scope::kDryRun:
        return listed + verb + "upgrade --all and apply --all.";
      case Scope::kLabel:
        return listed + verb + "label.";
      case Scope::kAny:
        break;
    }
  }
  return {};
}

// The command the words name, run on what the options pick.
int Dispatch(const std::vector<std::string>& positional, const Options& options, Io io,
             bool jsonWanted) {
  const auto refuse = [&](int status, const std::string& message) {
    return SayFailure(io.out, io.err, jsonWanted, status, message);
  };
  const CommandDeclaration* command = FindCommand(positional[0]);
  if (command == nullptr) {
    return refuse(kBadInput,
                  "no command '" + positional[0] + "'; see '" + io.program + " --help'.");
  }
  if (const std::string misplaced = Misplaced(*command, options); !misplaced.empty())
    return refuse(kBadInput, misplaced);
  if (command->run == nullptr) return Station(positional, options, io);
  if (options.device && options.serial)
    return refuse(kBadInput, "--device and --serial each pick a keypad; give one.");
  if (options.all) {
    if (!command->all) {
      std::vector<std::string> names;
      for (const CommandDeclaration& each : CommandTable())
        if (each.all) names.push_back(each.name);
      return refuse(kBadInput, "--all works with " + Listed(names, "and") + ".");
    }
    return ForAll(positional, command->run, options, io);
  }
  if (options.json && !command->ownJson) {
    // A command that speaks in sentences answers a script with one JSON document: its
    // sentences on success, its failure (already JSON) otherwise.
    std::ostringstream said;
    Session session(positional, options, {said, io.err, io.store, io.terminal, io.program});
    const int status = session.run(command->run);
    if (status == kDone) {
      io.out << FormatJson({{"message", JsonText(Trimmed(said.str()))}, {"exitStatus", status}})
             << "\n";
    } else {
      io.out << LastLine(said.str()) << "\n";
    }
    return status;
  }
  Session session(positional, options, io);
  return session.run(command->run);
}

int RunCommand(const std::vector<std::string>& arguments, Io io) {
  const bool jsonWanted = WantsJson(arguments);
  Options options;
  std::vector<std::string> positional;
  if (const auto refused = Parse(arguments, io, jsonWanted, options, positional)) return *refused;
  if (options.version) {
    io.out << "navkeypad " << kVersion << "\n";
    return kDone;
  }
  if (options.help) {
    const CommandDeclaration* command = positional.empty() ? nullptr : FindCommand(positional[0]);
    if (command != nullptr) {
      io.out << command->help;
      return kDone;
    }
    // Where this program keeps what the bench knows, before the exit statuses that end it.
    io.out << GeneralHelp() << "\n" << io.store.whereWords() << "\n\n" << kExitStatusHelp;
    return kDone;
  }
  if (const auto& name = options.operatorName) {
    if (name->find_first_of("\r\n\t") != std::string::npos || name->empty())
      return SayFailure(io.out, io.err, jsonWanted, kBadInput,
                        "--operator needs a name on one line.");
    store::SetOperatorName(*name);
  }
  // A user's own records, sequences and log from before the computer kept them are the
  // computer's now; said on standard error, so that a script's output stays as it was.
  for (const std::string& said : io.store.takeNotices())
    io.err << io.programName() << ": " << said << ".\n";
  if (positional.empty()) {
    io.err << GeneralHelp() << "\n" << kExitStatusHelp;
    if (jsonWanted) io.out << ErrorJson("no command given", kBadInput) << "\n";
    return kBadInput;
  }
  const int status = Dispatch(positional, options, io, jsonWanted);
  // What the store did on the way (lines that wait for the site's server, or were sent to it).
  for (const std::string& said : io.store.takeNotices())
    io.err << io.programName() << ": note: " << said << ".\n";
  return status;
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
