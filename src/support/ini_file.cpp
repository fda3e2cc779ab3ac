#include "support/ini_file.h"

#include <algorithm>
#include <sstream>

#include "support/atomic_file.h"
#include "support/paths.h"

namespace {

const std::string kLineSpace = " \t\n\r";

bool IsCommentMarker(char c) {
  return c == CIniFile::Pound || c == CIniFile::SemiColon;
}

// Text-mode line ends of the platform the files were first written on, on every platform, so
// a file is byte-identical wherever it was saved.
std::string WithCrLf(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (char c : text) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

std::string RecordLine(const CIniFile::Record& record) {
  if (record.Key.empty()) return "[" + record.Section + "]";
  return record.Key + "=" + record.Value;
}

template <typename Predicate>
CIniFile::RecordList::iterator FindFirst(CIniFile::RecordList& records, Predicate predicate) {
  return std::find_if(records.begin(), records.end(), predicate);
}

}  // namespace

std::string Trim(const std::string& text, const std::string& characters, int mode) {
  const auto first = text.find_first_not_of(characters);
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(characters);
  switch (mode) {
    case kTrimFront:
      return text.substr(first);
    case kTrimEnd:
      return text.substr(0, last + 1);
    default:
      return text.substr(first, last - first + 1);
  }
}

bool CIniFile::Load(const std::string& fileName, RecordList& content) {
  std::string bytes;
  if (!support::ReadRegularFile(fileName, bytes, kMaxFileBytes).empty()) return false;
  // Editors on Windows may start a file with a UTF-8 byte-order mark; it is not text.
  if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) bytes.erase(0, 3);
  std::istringstream file(bytes);
  content.clear();

  std::string comments;
  std::string currentSection;
  std::string line;
  // getline also hands over a last line that has no line feed after it.
  while (std::getline(file, line)) {
    line = Trim(line, kLineSpace);
    if (line.empty()) continue;

    Record record;
    if (IsCommentMarker(line[0])) {
      if (line.find_first_of("[=") == std::string::npos) {
        comments += line + "\n";
        continue;
      }
      record.Commented = line[0];
      line = Trim(line.substr(1), kLineSpace);
    }

    if (line.find('[') != std::string::npos) {
      line.erase(0, 1);
      const auto close = line.find(']');
      if (close == std::string::npos) {
        throw IniFormatError("section line without ']' in " + fileName);
      }
      line.erase(close);
      record.Comments = comments;
      comments.clear();
      record.Section = line;
      currentSection = line;
    }

    const auto equals = line.find('=');
    if (equals != std::string::npos) {
      record.Comments = comments;
      comments.clear();
      record.Section = currentSection;
      record.Key = line.substr(0, equals);
      record.Value = line.substr(equals + 1);
    }

    if (comments.empty()) content.push_back(record);
  }
  return true;
}

bool CIniFile::Save(const std::string& fileName, const RecordList& content) {
  std::string text;
  for (const Record& record : content) {
    text += record.Comments;
    text += record.Commented;
    text += RecordLine(record);
    text += '\n';
  }

  return support::WriteFileAtomically(fileName, WithCrLf(text));
}

bool CIniFile::Create(const std::string& fileName) {
  return Save(fileName, {});
}

std::string CIniFile::Content(const std::string& fileName) {
  RecordList records;
  if (!Load(fileName, records)) return {};
  std::string text;
  for (const Record& record : records) {
    text += record.Comments;
    if (record.Commented != ' ') text += record.Commented;
    text += RecordLine(record);
    text += '\n';
  }
  return text;
}

std::vector<std::string> CIniFile::GetSectionNames(const std::string& fileName) {
  std::vector<std::string> names;
  for (const Record& record : GetSections(fileName)) names.push_back(record.Section);
  return names;
}

CIniFile::RecordList CIniFile::GetSections(const std::string& fileName) {
  RecordList records;
  RecordList sections;
  if (!Load(fileName, records)) return sections;
  std::copy_if(records.begin(), records.end(), std::back_inserter(sections),
               [](const Record& record) { return record.Key.empty(); });
  return sections;
}

CIniFile::RecordList CIniFile::GetSection(const std::string& section, const std::string& fileName) {
  RecordList records;
  RecordList keys;
  if (!Load(fileName, records)) return keys;
  std::copy_if(records.begin(), records.end(), std::back_inserter(keys), [&](const Record& record) {
    return !record.Key.empty() && record.Section == section;
  });
  return keys;
}

bool CIniFile::SectionExists(const std::string& section, const std::string& fileName) {
  RecordList records;
  if (!Load(fileName, records)) return false;
  return std::any_of(records.begin(), records.end(), RecordSectionIs{section});
}

bool CIniFile::RecordExists(const std::string& key, const std::string& section,
                            const std::string& fileName) {
  RecordList records;
  if (!Load(fileName, records)) return false;
  return std::any_of(records.begin(), records.end(), RecordSectionKeyIs{section, key});
}

CIniFile::RecordList CIniFile::GetRecord(const std::string& key, const std::string& section,
                                         const std::string& fileName) {
  RecordList records;
  if (!Load(fileName, records)) return {};
  const auto found = FindFirst(records, RecordSectionKeyIs{section, key});
  if (found == records.end()) return {};
  return {*found};
}

std::string CIniFile::GetValue(const std::string& key, const std::string& section,
                               const std::string& fileName) {
  const RecordList found = GetRecord(key, section, fileName);
  return found.empty() ? std::string() : found.front().Value;
}

namespace {
void SetInRecords(CIniFile::RecordList& records, const std::string& key, const std::string& value,
                  const std::string& section) {
  CIniFile::Record added;
  added.Section = section;
  added.Key = key;
  added.Value = value;
  const auto inSection = FindFirst(records, CIniFile::RecordSectionIs{section});
  if (inSection == records.end()) {
    CIniFile::Record header;
    header.Section = section;
    records.push_back(header);
    records.push_back(added);
  } else if (const auto existing = FindFirst(records, CIniFile::RecordSectionKeyIs{section, key});
             existing == records.end()) {
    // New keys go straight after the first record of their section.
    records.insert(inSection + 1, added);
  } else {
    existing->Value = value;
  }
}
}  // namespace

bool CIniFile::SetValue(const std::string& key, const std::string& value,
                        const std::string& section, const std::string& fileName) {
  RecordList records;
  if (!Load(fileName, records)) return false;
  SetInRecords(records, key, value, section);
  return Save(fileName, records);
}

bool CIniFile::SetValues(const std::vector<std::pair<std::string, std::string>>& values,
                         const std::string& section, const std::string& fileName, bool create) {
  RecordList records;
  if (!create && !Load(fileName, records)) return false;
  if (create) {
    Record header;
    header.Section = section;
    records.push_back(header);
  }
  for (const auto& [key, value] : values) SetInRecords(records, key, value, section);
  return Save(fileName, records);
}

bool CIniFile::AddSection(const std::string& section, const std::string& fileName) {
  RecordList records;
  if (!Load(fileName, records)) return false;
  Record header;
  header.Section = section;
  records.push_back(header);
  return Save(fileName, records);
}

bool CIniFile::RenameSection(const std::string& oldSection, const std::string& newSection,
                             const std::string& fileName) {
  RecordList records;
  if (!Load(fileName, records)) return false;
  for (Record& record : records) {
    if (record.Section == oldSection) record.Section = newSection;
  }
  return Save(fileName, records);
}

namespace {
bool ChangeFirstRecord(const std::string& key, const std::string& section,
                       const std::string& fileName, auto change) {
  CIniFile::RecordList records;
  if (!CIniFile::Load(fileName, records)) return false;
  const auto found = FindFirst(records, CIniFile::RecordSectionKeyIs{section, key});
  if (found == records.end()) return false;
  change(records, found);
  return CIniFile::Save(fileName, records);
}

bool MarkSection(const std::string& section, const std::string& fileName, char marker) {
  CIniFile::RecordList records;
  if (!CIniFile::Load(fileName, records)) return false;
  for (auto& record : records) {
    if (record.Section == section) record.Commented = marker;
  }
  return CIniFile::Save(fileName, records);
}

// A record's own line always starts on a new line after its comments.
std::string CommentBlock(const std::string& comments) {
  if (!comments.empty() && comments.back() != '\n') return comments + "\n";
  return comments;
}
}  // namespace

bool CIniFile::CommentRecord(CommentChar marker, const std::string& key, const std::string& section,
                             const std::string& fileName) {
  return ChangeFirstRecord(key, section, fileName,
                           [&](RecordList&, auto found) { found->Commented = marker; });
}

bool CIniFile::UnCommentRecord(const std::string& key, const std::string& section,
                               const std::string& fileName) {
  return ChangeFirstRecord(key, section, fileName,
                           [](RecordList&, auto found) { found->Commented = ' '; });
}

bool CIniFile::CommentSection(char marker, const std::string& section,
                              const std::string& fileName) {
  return MarkSection(section, fileName, marker);
}

bool CIniFile::UnCommentSection(const std::string& section, const std::string& fileName) {
  return MarkSection(section, fileName, ' ');
}

bool CIniFile::DeleteRecord(const std::string& key, const std::string& section,
                            const std::string& fileName) {
  return ChangeFirstRecord(key, section, fileName,
                           [](RecordList& records, auto found) { records.erase(found); });
}

bool CIniFile::DeleteSection(const std::string& section, const std::string& fileName) {
  RecordList records;
  if (!Load(fileName, records)) return false;
  std::erase_if(records, RecordSectionIs{section});
  return Save(fileName, records);
}

bool CIniFile::SetSectionComments(const std::string& comments, const std::string& section,
                                  const std::string& fileName) {
  return ChangeFirstRecord(std::string(), section, fileName, [&](RecordList&, auto found) {
    found->Comments = CommentBlock(comments);
  });
}

bool CIniFile::SetRecordComments(const std::string& comments, const std::string& key,
                                 const std::string& section, const std::string& fileName) {
  // A key record, never the section's header (whose key is empty).
  if (key.empty()) return false;
  return ChangeFirstRecord(key, section, fileName, [&](RecordList&, auto found) {
    found->Comments = CommentBlock(comments);
  });
}

bool CIniFile::Sort(const std::string& fileName, bool descending) {
  RecordList sections = GetSections(fileName);
  if (sections.empty()) return false;
  if (descending) {
    std::stable_sort(sections.begin(), sections.end(), DescendingSectionSort());
  } else {
    std::stable_sort(sections.begin(), sections.end(), AscendingSectionSort());
  }
  RecordList sorted;
  for (const Record& header : sections) {
    sorted.push_back(header);
    RecordList keys = GetSection(header.Section, fileName);
    if (descending) {
      std::stable_sort(keys.begin(), keys.end(), DescendingRecordSort());
    } else {
      std::stable_sort(keys.begin(), keys.end(), AscendingRecordSort());
    }
    sorted.insert(sorted.end(), keys.begin(), keys.end());
  }
  return Save(fileName, sorted);
}
