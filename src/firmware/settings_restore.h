// What the keypad is given back after its firmware was replaced: the new application starts
// with factory settings and no serial number.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "settings/keypad_settings_file.h"
#include "store/pending_records.h"

namespace navkeypad::firmware {

using store::HandedOverSettings;

// Serial number (when there is one), layout, table, brightness, then store them as the
// keypad's defaults; each with the message its failure shows.
std::vector<settings::RestoreStep> SettingsRestoreSteps(const HandedOverSettings& settings);

// The wait for the keypad to start its new firmware before it is looked for.
inline constexpr int kKeypadStartMs = 6000;

}  // namespace navkeypad::firmware
