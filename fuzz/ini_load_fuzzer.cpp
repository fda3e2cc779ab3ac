// Any file the user may hand us: Load gives records or the format error, never a crash;
// Content never fails on what Load accepted; and records the format can carry come back
// unchanged through Save and Load.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include "support/ini_file.h"

namespace {

// Scratch files of this process, named once.
std::string ScratchFile(const char* suffix) {
  return "/tmp/navkeypad-fuzz-" + std::to_string(getpid()) + "-" + suffix;
}

bool SameRecords(const CIniFile::RecordList& a, const CIniFile::RecordList& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].Comments != b[i].Comments || a[i].Commented != b[i].Commented ||
        a[i].Section != b[i].Section || a[i].Key != b[i].Key || a[i].Value != b[i].Value) {
      return false;
    }
  }
  return true;
}

// Records whose written lines read back as themselves: no "[" in a key record and no "=" in
// a section name (either makes the line read as another kind), and every key record in the
// section of the header line standing before it. Load can produce others from odd lines
// (for example 'x[a=b]', or a key after a line of garbage); the format cannot carry those.
bool FormatCanCarry(const CIniFile::RecordList& records) {
  std::string current;
  for (const auto& record : records) {
    if (record.Key.empty()) {
      if (record.Section.find_first_of("=]") != std::string::npos) return false;
      if (!record.Value.empty()) return false;
      current = record.Section;
    } else {
      if ((record.Key + record.Value).find('[') != std::string::npos) return false;
      if (record.Section != current) return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string in = ScratchFile("in.ini");
  static const std::string out = ScratchFile("out.ini");
  {
    std::ofstream file(in, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  CIniFile::RecordList records;
  try {
    if (!CIniFile::Load(in, records)) return 0;
  } catch (const IniFormatError&) {
    return 0;
  }
  (void)CIniFile::Content(in);
  if (!FormatCanCarry(records)) return 0;

  if (!CIniFile::Save(out, records)) __builtin_trap();
  CIniFile::RecordList reloaded;
  if (!CIniFile::Load(out, reloaded)) __builtin_trap();
  if (!SameRecords(records, reloaded)) __builtin_trap();
  std::remove(out.c_str());
  return 0;
}
