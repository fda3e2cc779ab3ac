#include "session.h"
#include "settings/keypad_settings_file.h"
#include "support/atomic_file.h"
#include "support/ini_file.h"

namespace navkeypad::cli {

namespace cfg = navkeypad::settings;

namespace {

// What a refused step of "Reset From Configuration File" had already changed.
std::string WhatWasSent(const std::vector<cfg::RestoreStep>& steps, std::size_t refused) {
  const auto name = [](uint8_t command) {
    return command == CMD_SET_KEYPAD_TYPE ? "the layout"
           : command == CMD_LOAD_TABLE    ? "the code table"
                                          : "the brightness";
  };
  if (refused == 0) return "Nothing was changed";
  std::string sent = name(steps[0].command);
  sent[0] = 'T';
  for (std::size_t i = 1; i < refused; ++i)
    sent += (i + 1 == refused ? " and " : ", ") + std::string(name(steps[i].command));
  return sent + (refused == 1 ? " was" : " were") + " sent; " + name(steps[refused].command) +
         " was refused";
}

}  // namespace

int Save(Session& session) {
  Io& io = session.io();
  const std::string file = session.configFile();
  // Where the settings go is checked before the keypad is asked to store anything.
  if (file.empty()) return session.fail(kBadInput, session.noConfigFile());
  if (const std::string problem = support::WritableFileProblem(file); !problem.empty()) {
    return session.fail(kBadInput, "cannot save into " + file + ": " + problem +
                                       "; nothing was sent to the keypad.");
  }
  try {
    CIniFile::SectionExists(cfg::kSection, file);
  } catch (const IniFormatError&) {
    return session.fail(kBadInput, cfg::DamagedFileProblem(file) +
                                       " Correct or delete it; nothing was sent to the keypad.");
  }
  if (int result = session.send(CMD_WRITE_DEFAULT, {}, "storing its settings"); result != kDone) {
    return result;
  }
  const auto status = session.readStatus();
  if (!status) return session.statusFailed();
  const auto values = cfg::ValuesToSave(
      {status->keypadType, status->ledBrightness, status->codeTable, status->serialNumber});
  if (const std::string problem = cfg::ValueProblem(values); !problem.empty()) {
    return session.fail(kBadInput, problem +
                                       "; the keypad stored its settings, but nothing was "
                                       "written to " +
                                       file + ".");
  }
  try {
    // The whole file at once: a run cut off part-way leaves it as it was.
    const bool written = cfg::ConfigFileProblem(file).empty()
                             ? CIniFile::SetValues(values, cfg::kSection, file)
                             : cfg::CreateConfigFile(file, values);
    if (!written) return session.fail(kBadInput, "cannot write " + file + ".");
  } catch (const IniFormatError&) {
    return session.fail(kBadInput, cfg::DamagedFileProblem(file) + " Correct or delete it.");
  }
  io.out << "Saved the keypad's settings in " << file << ".\n";
  return kDone;
}

std::optional<cfg::StoredSettings> SettingsToSend(Session& session) {
  const std::string file = session.configFile();
  const auto refuse = [&](const std::string& message) {
    session.fail(kBadInput, message);
    return std::nullopt;
  };
  if (file.empty()) return refuse(session.noConfigFile());
  if (const std::string problem = cfg::ConfigFileProblem(file); !problem.empty())
    return refuse(problem + ".");
  cfg::StoredSettings stored;
  try {
    stored = cfg::ReadStoredSettings(file);
  } catch (const IniFormatError&) {
    return refuse(cfg::DamagedFileProblem(file) + " Correct or delete it.");
  }
  if (!stored.saved) return refuse(cfg::NotSavedReason(file) + ".");
  if (!stored.problem.empty()) return refuse(stored.problem);
  return stored;
}

namespace {

// restore and apply: the file's settings sent to the keypad, and with `store` made its
// defaults as well. The file is only read.
int SendSaved(Session& session, bool store) {
  Io& io = session.io();
  const std::string file = session.configFile();
  const auto read = SettingsToSend(session);
  if (!read) return kBadInput;
  const cfg::StoredSettings& stored = *read;
  return session.withKeypad([&] {
    for (std::size_t i = 0; i < stored.steps.size(); ++i) {
      const auto& step = stored.steps[i];
      if (SendKeypadCommand(step.command, step.payload) != kExchangeOk) {
        return session.fail(kKeypadFailed,
                            step.failureMessage + " " + WhatWasSent(stored.steps, i) + ".");
      }
    }
    if (!store) {
      io.out << "Sent the settings saved in " << file << " to the keypad.\n";
      return static_cast<int>(kDone);
    }
    if (SendKeypadCommand(CMD_WRITE_DEFAULT, {}) != kExchangeOk) {
      return session.fail(kKeypadFailed, "Unable to Write Default.. The settings of " + file +
                                             " were sent but are not stored; the keypad "
                                             "returns to its old ones when it restarts.");
    }
    io.out << "Sent the settings saved in " << file
           << " to the keypad, which stored them as its defaults.\n";
    return static_cast<int>(kDone);
  });
}

}  // namespace

int Restore(Session& session) {
  return SendSaved(session, false);
}

int Apply(Session& session) {
  return SendSaved(session, true);
}

}  // namespace navkeypad::cli
