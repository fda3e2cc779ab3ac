#include <algorithm>

#include "code_table/vocabulary.h"
#include "device/keypad_bus.h"
#include "firmware/pending_upgrade.h"
#include "names.h"
#include "session.h"
#include "settings/keypad_settings_file.h"
#include "store/service_log.h"

namespace navkeypad::cli {

namespace cfg = navkeypad::settings;

int Brightness(Session& session) {
  Io& io = session.io();
  const auto& positional = session.positional();
  if (positional.size() != 2)
    return session.fail(kBadInput, "usage: navkeypad brightness N (0 to 9)");
  const auto level = cfg::ParseDecimal(positional[1]);
  if (!level || *level < 0 || *level > kMaxLedBrightness) {
    return session.fail(kBadInput, "the LED brightness is a whole number from 0 to 9, not '" +
                                       positional[1] + "'.");
  }
  return session.withKeypad([&] {
    const int result =
        session.send(CMD_SET_LED_BRIGHTNESS, {static_cast<uint8_t>(*level)}, "the LED brightness");
    if (result == kDone) io.out << "LED brightness set to " << *level << ".\n";
    return result;
  });
}

int Layout(Session& session) {
  Io& io = session.io();
  const auto& positional = session.positional();
  const auto* end = std::end(kLayoutNames);
  const auto* found =
      positional.size() == 2 ? std::find(std::begin(kLayoutNames), end, Lower(positional[1])) : end;
  if (found == end)
    return session.fail(kBadInput, "usage: navkeypad layout default|alternate|custom");
  const auto type = static_cast<uint8_t>(found - std::begin(kLayoutNames));
  return session.withKeypad([&] {
    const int result = session.send(CMD_SET_KEYPAD_TYPE, {type}, "the layout");
    if (result == kDone) io.out << "The keypad uses its " << *found << " code table.\n";
    return result;
  });
}

int Table(Session& session) {
  const auto& positional = session.positional();
  const bool setting = positional.size() >= 2 && positional[1] == "set";
  if (!setting && positional.size() != 1)
    return session.fail(kBadInput, "see '" + session.io().program + " table --help'.");
  if (setting && positional.size() == 2) {
    return session.fail(kBadInput, "name the keys to change, for example: table set left=0x50");
  }
  // Every assignment is checked before the keypad is asked anything.
  std::vector<std::pair<std::size_t, std::pair<uint8_t, std::optional<uint8_t>>>> changes;
  for (std::size_t i = 2; setting && i < positional.size(); ++i) {
    const std::string& assignment = positional[i];
    const auto equals = assignment.find('=');
    const std::string keyName = Lower(assignment.substr(0, equals));
    const auto* key = std::find_if(std::begin(kKeyNames), std::end(kKeyNames),
                                   [&](const char* name) { return Lower(name) == keyName; });
    if (equals == std::string::npos || key == std::end(kKeyNames)) {
      return session.fail(
          kBadInput,
          "'" + assignment + "' is not KEY=CODE; KEY is Left, Right, Down, Up or Enter.");
    }
    const std::string value = assignment.substr(equals + 1);
    const auto plus = value.find('+');
    const auto code = ParseCode(value.substr(0, plus));
    if (!code) {
      return session.fail(kBadInput, "'" + value.substr(0, plus) +
                                         "' is neither a hex code (0x00 to 0xFF) nor a key name.");
    }
    std::optional<uint8_t> modifier;
    if (plus != std::string::npos) {
      modifier = ParseModifier(value.substr(plus + 1));
      if (!modifier) {
        return session.fail(kBadInput, "'" + value.substr(plus + 1) + "' is not a modifier; see '" +
                                           session.io().program + " table --help'.");
      }
    }
    const auto index = static_cast<std::size_t>(key - std::begin(kKeyNames));
    if (std::any_of(changes.begin(), changes.end(),
                    [&](const auto& change) { return change.first == index; })) {
      return session.fail(kBadInput, std::string(*key) + " is given more than once.");
    }
    changes.push_back({index, {*code, modifier}});
  }
  return session.withKeypad([&] {
    const auto status = session.readStatus();
    if (!status) return session.statusFailed();
    if (status->keypadType != kKeypadTypeCustom) {
      return session.fail(
          kBadInput, "the keypad uses its " + LayoutName(status->keypadType) +
                         " code table; the custom one is edited after '" + session.io().program +
                         " " + session.pickWords(status->serialNumber) + "layout custom'.");
    }
    KeyCodeTable table = status->codeTable;
    if (!setting) {
      PrintTable(session.io().out, table);
      return static_cast<int>(kDone);
    }
    for (const auto& [key, change] : changes) {
      KeyCodeEntry entry = table.entry(static_cast<NavigationKey>(key));
      entry.keyCode = change.first;
      if (change.second) entry.modifier = *change.second;
      table.setEntry(static_cast<NavigationKey>(key), entry);
    }
    const int result =
        session.send(CMD_LOAD_TABLE, {table.bytes.begin(), table.bytes.end()}, "the code table");
    if (result == kDone) PrintTable(session.io().out, table);
    return result;
  });
}

int FactoryReset(Session& session) {
  Io& io = session.io();
  const int result = session.send(CMD_RESET_TO_DEFAULT, {}, "the factory reset");
  if (result == kDone) io.out << "The keypad is back to its factory settings and restarts.\n";
  return result;
}

namespace {

// A word the user types and the byte the keypad takes for it.
struct Word {
  const char* word;
  uint8_t value;
};

// The keypad's settings that no window sends: one command each, a named choice and, for the
// volume, a level after it.
struct Setting {
  const char* name;  // the command's name, and how its result is told
  uint8_t command;
  std::vector<Word> choices;  // empty: a number from `lowest` to `highest`
  int lowest = 0;
  int highest = 0;
  bool level = false;  // a level 0-99 follows the choice
};

const std::vector<Setting>& Settings() {
  static const std::vector<Setting> settings = {
      {"led-colour", CMD_SET_LED_COLOUR, {{"green", 0}}},
      {"buzzer", CMD_SET_BUZZER, {{"off", 0}, {"on", 1}}},
      {"buzzer-period", CMD_SET_BUZZER_PERIOD, {}, 1, 9},
      {"volume",
       CMD_SET_LOCAL_VOLUME,
       {{"absolute", 0}, {"low", 1}, {"mid", 2}, {"high", 3}, {"jack-in", 4}},
       0,
       0,
       true},
      {"volume-config",
       CMD_SET_VOLUME_CONFIGURATION,
       {{"local-jack", 0}, {"local-no-jack", 1}, {"external-jack", 2}, {"external-no-jack", 3}}},
  };
  return settings;
}

std::string Usage(const Setting& setting) {
  std::string usage = std::string("usage: navkeypad ") + setting.name + " ";
  if (setting.choices.empty()) {
    return usage + std::to_string(setting.lowest) + ".." + std::to_string(setting.highest);
  }
  for (std::size_t i = 0; i < setting.choices.size(); ++i)
    usage += (i == 0 ? "" : "|") + std::string(setting.choices[i].word);
  return usage + (setting.level ? " LEVEL (0 to 99)" : "");
}

}  // namespace

int KeypadSetting(Session& session) {
  const auto& positional = session.positional();
  const auto& settings = Settings();
  const auto setting = std::find_if(settings.begin(), settings.end(),
                                    [&](const Setting& s) { return positional[0] == s.name; });
  const std::size_t words = setting->level ? 3 : 2;
  if (positional.size() != words) return session.fail(kBadInput, Usage(*setting));
  std::vector<uint8_t> payload;
  if (setting->choices.empty()) {
    const auto number = cfg::ParseDecimal(positional[1]);
    if (!number || *number < setting->lowest || *number > setting->highest)
      return session.fail(kBadInput, Usage(*setting));
    payload.push_back(static_cast<uint8_t>(*number));
  } else {
    const auto choice =
        std::find_if(setting->choices.begin(), setting->choices.end(),
                     [&](const Word& word) { return Lower(positional[1]) == word.word; });
    if (choice == setting->choices.end()) return session.fail(kBadInput, Usage(*setting));
    payload.push_back(choice->value);
  }
  if (setting->level) {
    const auto level = cfg::ParseDecimal(positional[2]);
    if (!level || *level < 0 || *level > 99) return session.fail(kBadInput, Usage(*setting));
    payload.push_back(static_cast<uint8_t>(*level));
  }
  return session.withKeypad([&] {
    const int result = session.send(setting->command, payload, std::string("the ") + setting->name);
    if (result != kDone) return result;
    session.io().out << setting->name << " set to " << positional[1]
                     << (setting->level ? " " + positional[2] : std::string()) << ".\n";
    return result;
  });
}

int SerialNumber(Session& session) {
  const auto& positional = session.positional();
  if (positional.size() != 3 || positional[1] != "set")
    return session.fail(kBadInput, "usage: navkeypad serial set VALUE [--force]");
  const std::string& serial = positional[2];
  if (const std::string problem = SerialNumberProblem(serial); !problem.empty())
    return session.fail(kBadInput, problem);
  return session.withKeypad([&] {
    const auto status = session.readStatus();
    if (!status) return session.statusFailed();
    if (!status->serialNumber.empty() && !session.force()) {
      return session.fail(kBadInput, "the keypad already has the serial number " +
                                         status->serialNumber + "; give --force to replace it.");
    }
    // A serial number is who a keypad is to an upgrade: one that another keypad or a kept
    // record has would make the two keypads one.
    store::Store& store = session.io().store;
    const auto records = KeptRecords(store);
    std::string problem;
    const firmware::SerialsOnBus onBus = firmware::SerialNumbersOnBus(session.path(), records);
    if (!onBus.unknown.empty()) {
      problem = "whether " + serial + " is free cannot be told: " + onBus.unknown +
                "; close the program that holds it, or finish or unplug it, then try again";
    }
    if (const std::string who = onBus.whoHas(serial); !who.empty())
      problem = who + " has the serial number " + serial + " already";
    if (firmware::HasRecordOf(records, serial)) {
      problem = "the serial number and settings of keypad " + serial +
                " are kept for an "
                "upgrade that has not finished";
    }
    if (!status->serialNumber.empty() && firmware::HasRecordOf(records, status->serialNumber)) {
      problem = "this keypad's own settings are kept under " + status->serialNumber +
                " for an upgrade that has not finished, and would no "
                "longer be found for it";
    }
    if (!problem.empty() && !session.force())
      return session.fail(kBadInput, problem + "; give --force to set it all the same.");
    // A number the bench gave (or reserved) before may be on a keypad that is not here: it is
    // never given again, whatever the user's word; the ledger's key is what refuses it.
    const bool ownNumber = status->serialNumber == serial;
    if (!ownNumber && !session.options().serialReserved) {
      if (const store::StoreError reserved =
              store.reserve(serial, {session.port(), session.io().program + " serial set"})) {
        if (reserved.kind != store::StoreError::kTaken)
          return session.fail(kBadInput, reserved.message + "; nothing was sent to the keypad.");
        return session.fail(kBadInput, reserved.message + "; give this keypad another number ('" +
                                           session.io().program + " log --serial " +
                                           ShellQuoted(serial) + "' shows where " + serial +
                                           " went).");
      }
    }
    if (!problem.empty()) session.io().err << "navkeypad: set all the same: " << problem << ".\n";
    const auto payload = SerialNumberPayload(serial);
    const int result =
        session.send(CMD_SET_SERIAL_NUMBER, {payload.begin(), payload.end()}, "the serial number");
    // Written once the keypad reports it; void once it reports another; reserved for ever where
    // it cannot say.
    if (!ownNumber) {
      if (const auto after = session.readStatus()) {
        store.settle(serial, after->serialNumber == serial ? store::LedgerEntry::kWritten
                                                           : store::LedgerEntry::kVoid);
      }
    }
    if (result == kDone) session.io().out << "Serial number set to " << serial << ".\n";
    return result;
  });
}

}  // namespace navkeypad::cli
