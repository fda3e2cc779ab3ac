#include "names.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "code_table/vocabulary.h"
#include "command_table.h"

namespace navkeypad::cli {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string CodeName(uint8_t code) {
  if (code >= kKeyCodeNameCount) return "";
  const std::string& entry = keyCodeNameArray[code];
  return entry.substr(entry.find_first_not_of(' ', 4));
}

std::string ModifierName(uint8_t byte) {
  const int position = ModifierUsageToIndex(byte);
  if (!HasModifierPosition(position)) return FormatKeyCode(byte);
  std::string name = modifierNameArray[position];
  name.erase(std::remove(name.begin(), name.end(), ' '), name.end());
  return name;
}

std::optional<uint8_t> ParseCode(const std::string& text) {
  if (text.size() > 2 && (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0)) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str() + 2, &end, 16);
    if (*end != '\0' || value > 0xFF) return std::nullopt;
    return static_cast<uint8_t>(value);
  }
  for (std::size_t code = 0; code < kKeyCodeNameCount; ++code) {
    if (Lower(CodeName(static_cast<uint8_t>(code))) == Lower(text)) {
      return static_cast<uint8_t>(code);
    }
  }
  return std::nullopt;
}

std::optional<uint8_t> ParseModifier(const std::string& text) {
  for (int position = 0; position < static_cast<int>(kModifierNameCount); ++position) {
    if (Lower(ModifierName(ModifierIndexToUsage(position))) == Lower(text)) {
      return ModifierIndexToUsage(position);
    }
  }
  return std::nullopt;
}

std::string LayoutName(int type) {
  if (type >= 0 && type <= 2) return kLayoutNames[type];
  return "type " + std::to_string(type);
}

std::string Joined(const std::vector<std::string>& parts, const std::string& separator) {
  std::string joined;
  for (const std::string& part : parts) joined += (joined.empty() ? "" : separator) + part;
  return joined;
}

std::string Listed(std::vector<std::string> parts, const std::string& conjunction) {
  if (parts.size() < 2) return Joined(parts);
  const std::string last = parts.back();
  parts.pop_back();
  return Joined(parts) + " " + conjunction + " " + last;
}

std::string ShellQuoted(const std::string& text) {
#ifdef _WIN32
  // cmd and PowerShell both take a double-quoted word; no Windows file name holds a '"'.
  const char* const kPlain = "\\/._-+:,=@";
#else
  const char* const kPlain = "/._-+:,=@";
#endif
  const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [&](unsigned char c) {
    return std::isalnum(c) || std::strchr(kPlain, c) != nullptr;
  });
  if (plain) return text;
#ifdef _WIN32
  return "\"" + text + "\"";
#else
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
#endif
}

namespace {
bool IsUtf8(const std::string& text) {
  try {
    (void)nlohmann::json(text).dump();
    return true;
  } catch (const nlohmann::json::type_error&) {
    return false;
  }
}
}  // namespace

nlohmann::ordered_json JsonText(const std::string& text) {
  if (IsUtf8(text)) return text;
  std::string utf8;
  for (unsigned char c : text) {
    if (c < 0x80) {
      utf8.push_back(static_cast<char>(c));
    } else {
      utf8.push_back(static_cast<char>(0xC0 | (c >> 6)));
      utf8.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return utf8;
}

std::string FormatJson(const nlohmann::ordered_json& value) {
  std::string text;
  if (value.is_object()) {
    text = "{";
    for (auto field = value.begin(); field != value.end(); ++field) {
      if (field != value.begin()) text += ", ";
      text += nlohmann::ordered_json(field.key()).dump() + ": " + FormatJson(field.value());
    }
    return text + "}";
  }
  if (value.is_array()) {
    text = "[";
    for (std::size_t i = 0; i < value.size(); ++i) {
      text += (i ? ", " : "") + FormatJson(value[i]);
    }
    return text + "]";
  }
  return value.dump();
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

std::string LastLine(const std::string& text) {
  const std::string trimmed = Trimmed(text);
  const auto start = trimmed.find_last_of('\n');
  return start == std::string::npos ? trimmed : trimmed.substr(start + 1);
}

std::string ErrorJson(const std::string& message, int status) {
  return FormatJson({{"error", JsonText(message)}, {"exitStatus", status}});
}

bool WantsJson(const std::vector<std::string>& words) {
  return std::any_of(words.begin(), words.end(), [](const std::string& word) {
    const OptionDeclaration* option = FindOption(word);
    return option != nullptr && option->flag == &Options::json;
  });
}

int SayFailure(std::ostream& out, std::ostream& err, bool json, int status,
               const std::string& message) {
  err << "navkeypad: " << message << "\n";
  if (json) out << ErrorJson(message, status) << "\n";
  return status;
}

}  // namespace navkeypad::cli
