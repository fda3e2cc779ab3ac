// A text-file event log made of two policies: a sink that appends to a file and a switch
// that says whether entries may be added.
#pragma once

#include <ctime>
#include <functional>
#include <optional>
#include <string>

namespace RkTools {

class GeneralLogControl {
 public:
  explicit GeneralLogControl(const std::string& parameter);
  virtual ~GeneralLogControl();
  virtual void Pause();
  virtual void Resume();
  virtual bool CanAdd(const std::string& message);

  bool m_Enabled = true;
};

class FileLogImpl {
 public:
  // The local time now, or nothing when it cannot be had.
  using LocalClock = std::function<std::optional<std::tm>()>;
  static std::optional<std::tm> SystemLocalTime();

  // An empty name gives "log.txt"; a bare name is relative to the working directory.
  explicit FileLogImpl(const std::string& fileName, LocalClock clock = SystemLocalTime);
  virtual void AddTimeStamp(std::string& message);
  virtual ~FileLogImpl();
  // Appends the text exactly as given; always true, also when the file cannot be opened.
  virtual bool AddLog(const std::string& text);
  virtual void Clear();

  std::string m_FileName;

 private:
  LocalClock clock_;
};

// 'AT:9:5:3,2024/3/7-------->': no leading zeros anywhere.
std::string FormatTimeStamp(const std::tm& localTime);

template <typename LogImpl, typename LogControl>
class CRkLog {
 public:
  CRkLog(const std::string& implParameter, const std::string& controlParameter)
      : control_(controlParameter), impl_(implParameter) {}
  virtual ~CRkLog() = default;

  CRkLog& operator=(const CRkLog& other) {
    control_.m_Enabled = other.control_.m_Enabled;
    impl_.m_FileName = other.impl_.m_FileName;
    return *this;
  }

  LogControl& control() { return control_; }
  LogImpl& sink() { return impl_; }

 private:
  LogControl control_;
  LogImpl impl_;
};

using EventLog = CRkLog<FileLogImpl, GeneralLogControl>;

}  // namespace RkTools

// The process-wide event log; it starts as "log.txt", enabled.
extern RkTools::EventLog m_Log1;
