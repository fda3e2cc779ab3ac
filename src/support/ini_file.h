// A small INI model with no state between calls: every operation reads the whole file,
// works on its records and, when it changes something, writes the whole file back.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// Both ends, the front only, or the end only.
enum TrimMode { kTrimBoth = 0, kTrimFront = 1, kTrimEnd = 2 };

// Removes every leading and/or trailing character of `text` that is in `characters`.
std::string Trim(const std::string& text, const std::string& characters, int mode = kTrimBoth);

// A line holding "[" without a closing "]" after its first character: the file cannot be
// read as sections and keys.
class IniFormatError : public std::out_of_range {
 public:
  using std::out_of_range::out_of_range;
};

class CIniFile {
 public:
  // The two markers that make a line a comment, and a record commented out.
  enum CommentChar : char { Pound = '#', SemiColon = ';' };

  struct Record {
    std::string Comments;  // comment lines before the record, each ended by a line feed
    char Commented = ' ';  // a space, or the marker that disables the record
    std::string Section;
    std::string Key;  // empty for a section header
    std::string Value;
  };
  using RecordList = std::vector<Record>;

  struct RecordSectionIs {
    std::string section;
    bool operator()(const Record& record) const { return record.Section == section; }
  };
  struct RecordSectionKeyIs {
    std::string section;
    std::string key;
    bool operator()(const Record& record) const {
      return record.Section == section && record.Key == key;
    }
  };
  struct AscendingSectionSort {
    bool operator()(const Record& a, const Record& b) const { return a.Section < b.Section; }
  };
  struct DescendingSectionSort {
    bool operator()(const Record& a, const Record& b) const { return b.Section < a.Section; }
  };
  struct AscendingRecordSort {
    bool operator()(const Record& a, const Record& b) const { return a.Key < b.Key; }
  };
  struct DescendingRecordSort {
    bool operator()(const Record& a, const Record& b) const { return b.Key < a.Key; }
  };

  virtual ~CIniFile() = default;

  // No configuration file of ours comes near this; a larger one is not read.
  static constexpr std::uintmax_t kMaxFileBytes = 1u << 20;

  // Every operation that reads may throw IniFormatError. False when the file is missing, is
  // not a regular file, or is larger than kMaxFileBytes.
  static bool Load(const std::string& fileName, RecordList& content);
  // Writes a temporary file beside the target and renames it over the target only when every
  // byte reached the disk, so a failed save leaves the old file as it was.
  static bool Save(const std::string& fileName, const RecordList& content);
  static bool Create(const std::string& fileName);
  static std::string Content(const std::string& fileName);

  static std::vector<std::string> GetSectionNames(const std::string& fileName);
  static RecordList GetSections(const std::string& fileName);
  static RecordList GetSection(const std::string& section, const std::string& fileName);
  static bool SectionExists(const std::string& section, const std::string& fileName);
  static bool RecordExists(const std::string& key, const std::string& section,
                           const std::string& fileName);
  static RecordList GetRecord(const std::string& key, const std::string& section,
                              const std::string& fileName);
  static std::string GetValue(const std::string& key, const std::string& section,
                              const std::string& fileName);

  static bool SetValue(const std::string& key, const std::string& value, const std::string& section,
                       const std::string& fileName);
  // Every value set as SetValue sets it, one after another, and the file replaced once: a
  // program cut off part-way leaves the file as it was, never half the values. With `create`,
  // a new file of `section` and the values replaces whatever is there.
  static bool SetValues(const std::vector<std::pair<std::string, std::string>>& values,
                        const std::string& section, const std::string& fileName,
                        bool create = false);
  static bool AddSection(const std::string& section, const std::string& fileName);
  static bool RenameSection(const std::string& oldSection, const std::string& newSection,
                            const std::string& fileName);
  static bool CommentRecord(CommentChar marker, const std::string& key, const std::string& section,
                            const std::string& fileName);
  static bool UnCommentRecord(const std::string& key, const std::string& section,
                              const std::string& fileName);
  static bool CommentSection(char marker, const std::string& section, const std::string& fileName);
  static bool UnCommentSection(const std::string& section, const std::string& fileName);
  static bool DeleteRecord(const std::string& key, const std::string& section,
                           const std::string& fileName);
  static bool DeleteSection(const std::string& section, const std::string& fileName);
  static bool SetSectionComments(const std::string& comments, const std::string& section,
                                 const std::string& fileName);
  static bool SetRecordComments(const std::string& comments, const std::string& key,
                                const std::string& section, const std::string& fileName);
  static bool Sort(const std::string& fileName, bool descending);
};
