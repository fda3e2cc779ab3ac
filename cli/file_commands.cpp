#include <filesystem>

#include "session.h"
#include "settings/keypad_settings_file.h"
#include "support/ini_file.h"
#include "support/paths.h"

namespace navkeypad::cli {

namespace cfg = navkeypad::settings;

int Save(Session& session) {
  Io& io = session.io();
  if (int result = session.send(CMD_WRITE_DEFAULT, {}, "storing its settings"); result != kDone) {
    return result;
  }
  const auto status = session.readStatus();
  if (!status) return session.statusFailed();
  const std::string file = session.configFile();
  if (file.empty())
    return session.fail(kBadInput, "there is no data folder; name a file with --file.");
  try {
    if (!std::filesystem::exists(support::PathFromUtf8(file))) {
      // A fresh account may not have its data folder yet.
      std::error_code ignored;
      std::filesystem::create_directories(support::PathFromUtf8(file).parent_path(), ignored);
      if (!CIniFile::Create(file) || !CIniFile::AddSection(cfg::kSection, file)) {
        return session.fail(kBadInput, "cannot create " + file + ".");
      }
      for (const char* key : cfg::kAllKeys) CIniFile::SetValue(key, "", cfg::kSection, file);
    }
    cfg::SavedState state{status->keypadType, status->ledBrightness, status->codeTable,
                          status->serialNumber};
    for (const auto& [key, value] : cfg::ValuesToSave(state)) {
      if (!CIniFile::SetValue(key, value, cfg::kSection, file)) {
        return session.fail(kBadInput, "cannot write " + key + " into " + file + ".");
      }
    }
  } catch (const IniFormatError&) {
    return session.fail(kBadInput, cfg::DamagedFileMessage());
  }
  io.out << "Saved the keypad's settings in " << file << ".\n";
  return kDone;
}

int Restore(Session& session) {
  Io& io = session.io();
  const std::string file = session.configFile();
  cfg::StoredSettings stored;
  try {
    stored = cfg::ReadStoredSettings(file);
  } catch (const IniFormatError&) {
    return session.fail(kBadInput, cfg::DamagedFileMessage());
  }
  if (!stored.saved) {
    return session.fail(kBadInput,
                        file + " holds no saved settings yet; run 'navkeypad save' first.");
  }
  if (!stored.problem.empty()) return session.fail(kBadInput, stored.problem);
  return session.withKeypad([&] {
    for (const auto& step : stored.steps) {
      if (SendKeypadCommand(step.command, step.payload) != kExchangeOk) {
        return session.fail(kKeypadFailed, step.failureMessage);
      }
    }
    io.out << "Sent the settings saved in " << file << " to the keypad.\n";
    return static_cast<int>(kDone);
  });
}

}  // namespace navkeypad::cli
