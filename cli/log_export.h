// The service log's lines as others read them: CSV for scripts, a workbook for people with a
// spreadsheet program.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace navkeypad::cli {

// Control characters other than line breaks and tabs, as \xNN: a NUL cuts a field short in
// some readers, and others show nothing for what is there.
std::string EscapedControls(const std::string& text);

// A header and a line per entry, each ended by CR LF; every field is text, kept from being
// read as a formula.
std::string LogCsv(const nlohmann::ordered_json& entries);

// Writes the entries as a workbook to `file`, which is replaced only once the whole workbook
// is made. Empty when done, else why not, in words that follow "could not write FILE: ".
std::string WriteLogWorkbook(const std::string& file, const nlohmann::ordered_json& entries);

}  // namespace navkeypad::cli
