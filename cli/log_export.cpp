#include "log_export.h"

#include <xlsxwriter.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <random>
#include <span>

#include "code_table/vocabulary.h"
#include "names.h"
#include "store/service_log.h"
#include "support/atomic_file.h"
#include "support/hex.h"
#include "support/paths.h"

namespace navkeypad::cli {

namespace {

using Json = nlohmann::ordered_json;

const Json& Settings(const Json& entry) {
  static const Json none = Json::object();
  return entry.contains("settings") && entry["settings"].is_object() ? entry["settings"] : none;
}

// A self test's steps: "led: blinked; brightness: stepped 0 to 9; ...".
std::string Results(const Json& entry) {
  std::string value;
  if (entry.contains("results") && entry["results"].is_object()) {
    for (const auto& [step, result] : entry["results"].items()) {
      value += (value.empty() ? "" : "; ") + step + ": " +
               (result.is_string() ? result.get<std::string>() : result.dump());
    }
  }
  return value;
}

// One field of a CSV row: quoted where it holds a comma, a quote or a line break, and kept from
// being read as a formula by a spreadsheet (a serial number or a message is anyone's text).
std::string CsvField(std::string text) {
  if (!text.empty() && std::string("=+-@\t\r").find(text[0]) != std::string::npos)
    text.insert(0, "'");
  text = EscapedControls(text);
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

constexpr const char* kCsvColumns[] = {
    "time",          "user",       "computer",       "operator",
    "program",       "action",     "serialNumber",   "serialNumberBefore",
    "path",          "port",       "firmwareBefore", "firmwareAfter",
    "ledBrightness", "keypadType", "codeTable",      "result",
    "message",       "step",       "results",        "bench"};

// A site's lines say at which bench they were written; a bench's own log has no such column.
bool FromSite(const Json& entries) {
  return std::any_of(entries.begin(), entries.end(),
                     [](const Json& entry) { return entry.contains("bench"); });
}

std::string CsvRow(const Json& entry, std::size_t columns) {
  const Json& settings = Settings(entry);
  std::string row;
  for (const char* column : std::span(kCsvColumns, columns)) {
    std::string value;
    const std::string name = column;
    if (name == "ledBrightness" || name == "keypadType") {
      if (settings.contains(name) && settings[name].is_number()) value = settings[name].dump();
    } else if (name == "codeTable") {
      if (settings.contains(name) && settings[name].is_array()) {
        for (const auto& code : settings[name]) value += (value.empty() ? "" : " ") + code.dump();
      }
    } else if (name == "results") {
      value = Results(entry);
    } else {
      value = store::LogText(entry, column);
    }
    row += (row.empty() ? "" : ",") + CsvField(value);
  }
  return row + "\r\n";
}

// "Left: LeftArrow, ..., Up: UpArrow+LeftCtrl, ...", as `table set` takes them; empty where the
// line holds no whole table.
std::string CodeTableNames(const Json& settings) {
  if (!settings.contains("codeTable") || !settings["codeTable"].is_array()) return "";
  const Json& bytes = settings["codeTable"];
  KeyCodeTable table;
  if (bytes.size() != table.bytes.size()) return "";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (!bytes[i].is_number_unsigned() || bytes[i].get<unsigned>() > 0xFF) return "";
    table.bytes[i] = static_cast<uint8_t>(bytes[i].get<unsigned>());
  }
  std::vector<std::string> keys;
  for (std::size_t key = 0; key < kNavigationKeyCount; ++key) {
    const KeyCodeEntry entry = table.entry(static_cast<NavigationKey>(key));
    const std::string code = CodeName(entry.keyCode);
    keys.push_back(std::string(kKeyNames[key]) + ": " +
                   (code.empty() ? FormatKeyCode(entry.keyCode) : code) +
                   (entry.modifier == 0 ? "" : "+" + ModifierName(entry.modifier)));
  }
  return Joined(keys);
}

// A log time as the local time and as UTC; nothing for a time that is none.
std::optional<std::pair<lxw_datetime, lxw_datetime>> LocalAndUtc(const std::string& time) {
  const long long seconds = store::LogSeconds(time);
  if (seconds < 0) return std::nullopt;
  const auto since = static_cast<std::time_t>(seconds);
  std::tm local{}, utc{};
#ifdef _WIN32
  _tzset();
  if (localtime_s(&local, &since) != 0 || gmtime_s(&utc, &since) != 0) return std::nullopt;
#else
  tzset();
  if (!localtime_r(&since, &local) || !gmtime_r(&since, &utc)) return std::nullopt;
#endif
  const auto datetime = [](const std::tm& at) {
    return lxw_datetime{at.tm_year + 1900, at.tm_mon + 1, at.tm_mday,
                        at.tm_hour,        at.tm_min,     static_cast<double>(at.tm_sec)};
  };
  return std::pair{datetime(local), datetime(utc)};
}

// The workbook's columns, each with what it holds: a time, a number of the settings, or text
// (a field of the line, or what `text` makes of the line).
enum class Cell { kLocalTime, kUtcTime, kNumber, kText };
struct Column {
  const char* header;
  Cell cell;
  const char* field = nullptr;
  std::string (*text)(const Json& entry) = nullptr;
};

std::string Layout(const Json& entry) {
  const Json& settings = Settings(entry);
  return settings.contains("keypadType") && settings["keypadType"].is_number_integer()
             ? LayoutName(settings["keypadType"].get<int>())
             : "";
}
std::string CodeTable(const Json& entry) {
  return CodeTableNames(Settings(entry));
}

const Column kColumns[] = {
    {"Time", Cell::kLocalTime},
    {"Time (UTC)", Cell::kUtcTime},
    {"User", Cell::kText, "user"},
    {"Computer", Cell::kText, "computer"},
    {"Operator", Cell::kText, "operator"},
    {"Program", Cell::kText, "program"},
    {"Action", Cell::kText, "action"},
    {"Serial number", Cell::kText, "serialNumber"},
    {"Serial number before", Cell::kText, "serialNumberBefore"},
    {"Path", Cell::kText, "path"},
    {"Port", Cell::kText, "port"},
    {"Firmware before", Cell::kText, "firmwareBefore"},
    {"Firmware after", Cell::kText, "firmwareAfter"},
    {"LED brightness", Cell::kNumber, "ledBrightness"},
    {"Layout", Cell::kText, nullptr, Layout},
    {"Code table", Cell::kText, nullptr, CodeTable},
    {"Result", Cell::kText, "result"},
    {"Message", Cell::kText, "message"},
    {"Step", Cell::kText, "step"},
    {"Results", Cell::kText, nullptr, Results},
    {"Bench", Cell::kText, "bench"},
};

// A cell holds this many bytes of text at most.
constexpr std::size_t kCellBytes = 32767;

// A text as a workbook's cell can hold it: its XML holds no U+FFFE, U+FFFF or other
// non-character, and no byte that is not UTF-8 (each is shown escaped, as controls are); a text
// longer than a cell holds is cut at a character, with a mark that says so.
std::string CellText(const std::string& text) {
  const std::string escaped = EscapedControls(text);
  std::string cell;
  for (std::size_t at = 0; at < escaped.size();) {
    const auto lead = static_cast<unsigned char>(escaped[at]);
    const std::size_t length = lead < 0x80       ? 1
                               : lead >> 5 == 6  ? 2
                               : lead >> 4 == 14 ? 3
                               : lead >> 3 == 30 ? 4
                                                 : 0;
    char32_t point = length == 1   ? lead
                     : length == 2 ? lead & 0x1F
                     : length == 3 ? lead & 0x0F
                                   : lead & 0x07;
    bool whole = length > 0 && at + length <= escaped.size();
    for (std::size_t i = 1; whole && i < length; ++i) {
      const auto next = static_cast<unsigned char>(escaped[at + i]);
      whole = next >> 6 == 2;
      point = (point << 6) | (next & 0x3F);
    }
    const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    whole =
        whole && point >= least[length] && point <= 0x10FFFF && (point < 0xD800 || point > 0xDFFF);
    if (!whole) {
      cell +=
          std::string("\\x") + support::kHexDigits[lead >> 4] + support::kHexDigits[lead & 0x0F];
      ++at;
      continue;
    }
    if ((point & 0xFFFE) == 0xFFFE || (point >= 0xFDD0 && point <= 0xFDEF)) {
      std::string hex;
      for (char32_t rest = point; rest != 0 || hex.size() < 4; rest >>= 4)
        hex.insert(hex.begin(), support::kHexDigits[rest & 0x0F]);
      cell += "\\u" + hex;
    } else {
      cell += escaped.substr(at, length);
    }
    at += length;
  }
  if (cell.size() <= kCellBytes) return cell;
  const std::string mark = " [cut here: " + std::to_string(cell.size()) + " bytes in all]";
  std::size_t cut = kCellBytes - mark.size();
  while (cut > 0 && (static_cast<unsigned char>(cell[cut]) >> 6) == 2) --cut;
  return cell.substr(0, cut) + mark;
}

// Makes the workbook at `file`; empty, or libxlsxwriter's words for what failed: a cell it
// could not take fails the whole workbook.
std::string MakeWorkbook(const std::string& file, const Json& entries) {
  lxw_workbook* workbook = workbook_new(file.c_str());
  if (!workbook) return "the workbook could not be started";
  lxw_error failed = LXW_NO_ERROR;
  const auto check = [&](lxw_error result) {
    if (failed == LXW_NO_ERROR) failed = result;
  };
  lxw_worksheet* sheet = workbook_add_worksheet(workbook, "Service log");
  lxw_format* header = workbook_add_format(workbook);
  format_set_bold(header);
  lxw_format* time = workbook_add_format(workbook);
  format_set_num_format(time, "yyyy-mm-dd hh:mm:ss");
  const std::size_t kColumnCount = std::size(kColumns) - (FromSite(entries) ? 0 : 1);
  // Columns as wide as their widest cell, within reason; times as their format is.
  std::vector<std::size_t> widths(kColumnCount, 0);
  for (std::size_t c = 0; c < kColumnCount; ++c) {
    const auto column = static_cast<lxw_col_t>(c);
    check(worksheet_write_string(sheet, 0, column, kColumns[c].header, header));
    widths[c] = std::string(kColumns[c].header).size();
  }
  lxw_row_t row = 0;
  for (const Json& entry : entries) {
    ++row;
    const std::string timeText = store::LogText(entry, "time");
    const auto times = LocalAndUtc(timeText);
    for (std::size_t c = 0; c < kColumnCount; ++c) {
      const Column& column = kColumns[c];
      const auto at = static_cast<lxw_col_t>(c);
      if (column.cell == Cell::kLocalTime || column.cell == Cell::kUtcTime) {
        // A time that is none stays the text it is.
        if (times) {
          lxw_datetime when = column.cell == Cell::kLocalTime ? times->first : times->second;
          check(worksheet_write_datetime(sheet, row, at, &when, time));
          widths[c] = std::max<std::size_t>(widths[c], 19);
        } else if (column.cell == Cell::kUtcTime && !timeText.empty()) {
          check(worksheet_write_string(sheet, row, at, CellText(timeText).c_str(), nullptr));
        }
      } else if (column.cell == Cell::kNumber) {
        const Json& settings = Settings(entry);
        if (settings.contains(column.field) && settings[column.field].is_number())
          check(worksheet_write_number(sheet, row, at, settings[column.field].get<double>(),
                                       nullptr));
      } else if (const std::string value = CellText(
                     column.text ? column.text(entry) : store::LogText(entry, column.field));
                 !value.empty()) {
        // As a string cell, a text that starts with "=" or looks like a number stays itself.
        check(worksheet_write_string(sheet, row, at, value.c_str(), nullptr));
        widths[c] = std::max(widths[c], value.size());
      }
    }
  }
  for (std::size_t c = 0; c < kColumnCount; ++c) {
    const auto at = static_cast<lxw_col_t>(c);
    check(worksheet_set_column(
        sheet, at, at, static_cast<double>(std::min<std::size_t>(widths[c], 60)) + 2, nullptr));
  }
  worksheet_freeze_panes(sheet, 1, 0);
  check(worksheet_autofilter(sheet, 0, 0, row, static_cast<lxw_col_t>(kColumnCount - 1)));
  check(workbook_close(workbook));
  return failed == LXW_NO_ERROR ? std::string() : lxw_strerror(failed);
}

}  // namespace

std::string EscapedControls(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\t' && c != '\r' && c != '\n') || byte == 0x7F) {
      shown +=
          std::string("\\x") + support::kHexDigits[byte >> 4] + support::kHexDigits[byte & 0x0F];
    } else {
      shown += c;
    }
  }
  return shown;
}

std::string LogCsv(const Json& entries) {
  std::string csv;
  const std::size_t columns = std::size(kCsvColumns) - (FromSite(entries) ? 0 : 1);
  for (const char* column : std::span(kCsvColumns, columns))
    csv += (csv.empty() ? "" : ",") + std::string(column);
  csv += "\r\n";
  for (const Json& entry : entries) csv += CsvRow(entry, columns);
  return csv;
}

std::string WriteLogWorkbook(const std::string& file, const Json& entries) {
  if (const std::string problem = support::WritableFileProblem(file); !problem.empty())
    return problem;
  // Made whole in a folder of its own first, made anew for it (no one else's file or link can
  // stand where it is written): a workbook is a zip archive, and one cut short opens in no
  // program.
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path temporary = fs::temp_directory_path(error);
  if (error) return "no folder for temporary files (" + error.message() + ")";
  fs::path folder;
  for (int attempt = 0; attempt < 8 && folder.empty(); ++attempt) {
    const fs::path tried = temporary / ("navkeypad-log-" + std::to_string(std::random_device{}()));
    if (fs::create_directory(tried, error)) folder = tried;
  }
  if (folder.empty())
    return "no folder of its own could be made in " + support::Utf8FromPath(temporary);
  const fs::path made = folder / "log.xlsx";
  const std::string madeName = support::Utf8FromPath(made);
  std::string problem = MakeWorkbook(madeName, entries);
  std::string bytes;
  if (problem.empty() && !support::ReadWholeFile(madeName, bytes))
    problem = "the workbook made in " + madeName + " could not be read back";
  fs::remove_all(folder, error);
  if (!problem.empty()) return problem;
  return support::WriteFileAtomically(file, bytes) ? "" : "it could not be written";
}

}  // namespace navkeypad::cli
