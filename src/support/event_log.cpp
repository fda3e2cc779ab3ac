#include "support/event_log.h"
#include "support/paths.h"

#include <fstream>

RkTools::EventLog m_Log1{std::string(), std::string()};

namespace RkTools {

GeneralLogControl::GeneralLogControl(const std::string& /*parameter*/) {}
GeneralLogControl::~GeneralLogControl() = default;
void GeneralLogControl::Pause() {
  m_Enabled = false;
}
void GeneralLogControl::Resume() {
  m_Enabled = true;
}
bool GeneralLogControl::CanAdd(const std::string& /*message*/) {
  return m_Enabled;
}

std::optional<std::tm> FileLogImpl::SystemLocalTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  if (localtime_s(&local, &now) != 0) return std::nullopt;
#else
  if (localtime_r(&now, &local) == nullptr) return std::nullopt;
#endif
  return local;
}

FileLogImpl::FileLogImpl(const std::string& fileName, LocalClock clock)
    : m_FileName(fileName.empty() ? "log.txt" : fileName), clock_(std::move(clock)) {}

FileLogImpl::~FileLogImpl() = default;

std::string FormatTimeStamp(const std::tm& t) {
  return "AT:" + std::to_string(t.tm_hour) + ":" + std::to_string(t.tm_min) + ":" +
         std::to_string(t.tm_sec) + "," + std::to_string(t.tm_year + 1900) + "/" +
         std::to_string(t.tm_mon + 1) + "/" + std::to_string(t.tm_mday) + "-------->";
}

void FileLogImpl::AddTimeStamp(std::string& message) {
  const auto now = clock_ ? clock_() : std::nullopt;
  if (!now) return;
  message = FormatTimeStamp(*now) + message;
}

bool FileLogImpl::AddLog(const std::string& text) {
  std::ofstream file(support::PathFromUtf8(m_FileName), std::ios::binary | std::ios::app);
  if (file.is_open()) {
    file << text;
    file.flush();
  }
  return true;
}

void FileLogImpl::Clear() {
  std::ofstream file(support::PathFromUtf8(m_FileName), std::ios::binary | std::ios::trunc);
  if (file.is_open()) file.flush();
}

}  // namespace RkTools
