// The words the command line reads and writes: key, layout, code and modifier names, shell
// quoting, and JSON text that always parses.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>

#include <optional>
#include <ostream>
#include <string>
#include <vector>
#include "device/keypad_commands.h"

namespace navkeypad::cli {

inline const char* const kKeyNames[] = {"Left", "Right", "Down", "Up", "Enter"};
inline const char* const kLayoutNames[] = {"default", "alternate", "custom"};

std::string Lower(std::string text);
// The key code's name in the vocabulary, without its code in front.
std::string CodeName(uint8_t code);
std::string ModifierName(uint8_t byte);
// "0x50" or a name such as "LeftArrow", any case.
std::optional<uint8_t> ParseCode(const std::string& text);
std::optional<uint8_t> ParseModifier(const std::string& text);
std::string LayoutName(int type);
// Quoted for a POSIX shell when it holds anything but the plainest characters.
std::string ShellQuoted(const std::string& text);
// "a, b, c".
std::string Joined(const std::vector<std::string>& parts, const std::string& separator = ", ");
// "a, b and c" (with "and" as `conjunction`); "a" alone.
std::string Listed(std::vector<std::string> parts, const std::string& conjunction);

// The code table, a key a line.
void PrintTable(std::ostream& out, const KeyCodeTable& table);

// Texts from the keypad are 8-bit: one that is not UTF-8 is read as Latin-1, so every byte
// stays visible and the JSON text stays valid.
nlohmann::ordered_json JsonText(const std::string& text);
// On one line, with a blank after every comma and colon, fields in the order they were set.
std::string FormatJson(const nlohmann::ordered_json& value);
// Without the line breaks and blanks at its end; and of that, the last line.
std::string Trimmed(std::string text);
std::string LastLine(const std::string& text);
// {"error": MESSAGE, "exitStatus": STATUS}: a failure as a script that asked for JSON reads it.
std::string ErrorJson(const std::string& message, int status);
// Whether the words ask for JSON; then every failure is a JSON document too, even one found
// before the words are read.
bool WantsJson(const std::vector<std::string>& words);
// A failure as every run says it: "navkeypad: MESSAGE" on `err` and, with `json`, its error
// document on `out`. Returns `status`.
int SayFailure(std::ostream& out, std::ostream& err, bool json, int status,
               const std::string& message);

}  // namespace navkeypad::cli
