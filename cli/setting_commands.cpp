#include <algorithm>

#include "code_table/vocabulary.h"
#include "device/keypad_bus.h"
#include "names.h"
#include "session.h"
#include "settings/keypad_settings_file.h"

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
    return session.fail(kBadInput, "see 'navkeypad table --help'.");
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
        return session.fail(kBadInput, "'" + value.substr(plus + 1) +
                                           "' is not a modifier; see 'navkeypad table --help'.");
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
      return session.fail(kBadInput, "the keypad uses its " + LayoutName(status->keypadType) +
                                         " code table; the custom one is edited after 'navkeypad "
                                         "layout custom'.");
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

}  // namespace navkeypad::cli
