#include "bsl430/ti_txt.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>

#include "support/hex.h"

namespace bsl430 {

namespace {

constexpr uint32_t kHighestAddress = 0xFFFFF;

std::string Trimmed(const std::string& line) {
  const auto first = line.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const auto last = line.find_last_not_of(" \t\r");
  return line.substr(first, last - first + 1);
}

}  // namespace

std::size_t TiTxtImage::byteCount() const {
  std::size_t count = 0;
  for (const auto& section : sections) count += section.bytes.size();
  return count;
}

TiTxtImage ParseTiTxt(const std::string& text) {
  TiTxtImage image;
  auto fail = [&](int line, const std::string& what) {
    image.sections.clear();
    image.errorLine = line;
    image.error = "line " + std::to_string(line) + ": " + what;
    return image;
  };

  struct ReadSection {
    TiTxtSection section;
    int line;
  };
  std::vector<ReadSection> read;
  bool inSection = false;
  int lineNumber = 0;
  std::size_t position = 0;
  while (position <= text.size()) {
    const std::size_t end = std::min(text.find('\n', position), text.size());
    const std::string line = Trimmed(text.substr(position, end - position));
    position = end + 1;
    ++lineNumber;
    if (line.empty()) {
      if (end == text.size()) break;
      continue;
    }
    if (line == "q" || line == "Q") break;
    if (line[0] == '@') {
      const std::string digits = line.substr(1);
      if (digits.size() < 4 || digits.size() > 8 ||
          !std::all_of(digits.begin(), digits.end(),
                       [](char c) { return support::HexDigitValue(c) >= 0; })) {
        return fail(lineNumber, "an address needs four or more hex digits after \"@\"");
      }
      const uint32_t address = static_cast<uint32_t>(std::stoul(digits, nullptr, 16));
      if (address > kHighestAddress) return fail(lineNumber, "address above 0xFFFFF");
      read.push_back({{address, {}}, lineNumber});
      inSection = true;
      continue;
    }
    if (!inSection) return fail(lineNumber, "data before the first \"@\" address line");
    std::size_t i = 0;
    while (i < line.size()) {
      if (line[i] == ' ' || line[i] == '\t') {
        ++i;
        continue;
      }
      const std::size_t start = i;
      while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
      const std::string token = line.substr(start, i - start);
      if (token.size() != 2 || support::HexDigitValue(token[0]) < 0 ||
          support::HexDigitValue(token[1]) < 0) {
        return fail(lineNumber, "\"" + token + "\" is not a byte of two hex digits");
      }
      TiTxtSection& section = read.back().section;
      if (section.address + section.bytes.size() > kHighestAddress) {
        return fail(lineNumber, "data runs past address 0xFFFFF");
      }
      section.bytes.push_back(static_cast<uint8_t>(support::HexDigitValue(token[0]) * 16 +
                                                   support::HexDigitValue(token[1])));
    }
    if (end == text.size()) break;
  }

  // Order by address; refuse overlaps, join sections that touch.
  std::stable_sort(read.begin(), read.end(), [](const auto& a, const auto& b) {
    return a.section.address < b.section.address;
  });
  for (ReadSection& entry : read) {
    TiTxtSection& section = entry.section;
    if (section.bytes.empty()) continue;
    if (!image.sections.empty()) {
      TiTxtSection& last = image.sections.back();
      const uint32_t lastEnd = last.address + static_cast<uint32_t>(last.bytes.size());
      if (section.address < lastEnd) {
        char where[64];
        std::snprintf(where, sizeof where, "the section at 0x%05X overlaps an earlier one",
                      section.address);
        return fail(entry.line, where);
      }
      if (section.address == lastEnd) {
        last.bytes.insert(last.bytes.end(), section.bytes.begin(), section.bytes.end());
        continue;
      }
    }
    image.sections.push_back(std::move(section));
  }
  return image;
}

std::vector<TiTxtBlock> SplitIntoBlocks(const TiTxtImage& image, std::size_t maxBytes) {
  std::vector<TiTxtBlock> blocks;
  if (maxBytes == 0) return blocks;
  for (const auto& section : image.sections) {
    for (std::size_t offset = 0; offset < section.bytes.size(); offset += maxBytes) {
      const std::size_t count = std::min(maxBytes, section.bytes.size() - offset);
      blocks.push_back({section.address + static_cast<uint32_t>(offset),
                        {section.bytes.begin() + static_cast<long>(offset),
                         section.bytes.begin() + static_cast<long>(offset + count)}});
    }
  }
  return blocks;
}

std::string FormatTiTxt(const std::vector<TiTxtSection>& sections) {
  std::string text;
  char buffer[16];
  for (const auto& section : sections) {
    std::snprintf(buffer, sizeof buffer, "@%04X\r\n", section.address);
    text += buffer;
    for (std::size_t i = 0; i < section.bytes.size(); ++i) {
      std::snprintf(buffer, sizeof buffer, "%02X", section.bytes[i]);
      text += buffer;
      text += (i % 16 == 15 || i + 1 == section.bytes.size()) ? "\r\n" : " ";
    }
  }
  return text + "q";
}

}  // namespace bsl430
