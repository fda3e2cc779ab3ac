// Environment variables set for one test and put back afterwards, on every system.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

#include "support/paths.h"

// Where the command line finds the user's data folder.
#ifdef _WIN32
inline constexpr const char* kDataHomeVariable = "LOCALAPPDATA";
#else
inline constexpr const char* kDataHomeVariable = "XDG_DATA_HOME";
#endif

inline void SetEnvironment(const char* name, const std::optional<std::string>& value) {
#ifdef _WIN32
  // Wide, so that a UTF-8 value reaches the program's wide reads unchanged; "" removes it.
  const std::wstring wideName = support::PathFromUtf8(name).wstring();
  const std::wstring wideValue = value ? support::PathFromUtf8(*value).wstring() : L"";
  _wputenv_s(wideName.c_str(), wideValue.c_str());
#else
  if (value) {
    setenv(name, value->c_str(), 1);
  } else {
    unsetenv(name);
  }
#endif
}

class ScopedEnvironment {
 public:
  ScopedEnvironment() = default;
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
  ~ScopedEnvironment() { restore(); }

  void set(const char* name, const std::string& value) {
    if (!name_) {
      name_ = name;
      const std::string old = support::EnvironmentText(name);
      if (!old.empty()) old_ = old;
    }
    SetEnvironment(name, value);
  }
  void restore() {
    if (name_) SetEnvironment(name_->c_str(), old_);
    name_.reset();
    old_.reset();
  }

 private:
  std::optional<std::string> name_;
  std::optional<std::string> old_;
};
