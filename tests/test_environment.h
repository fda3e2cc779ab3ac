// Environment variables set for one test and put back afterwards, on every system.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

#include "support/paths.h"

using support::kDataHomeVariable;

class ScopedEnvironment {
 public:
  ScopedEnvironment() = default;
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
  ~ScopedEnvironment() { restore(); }

  void set(const char* name, const std::string& value) {
    if (name_.empty()) {
      name_ = name;
      old_ = support::EnvironmentText(name);
    }
    support::SetEnvironmentText(name, value);
  }
  void restore() {
    if (name_.empty()) return;
    // An empty value stands for one that was not set.
    support::SetEnvironmentText(name_.c_str(),
                                old_.empty() ? std::nullopt : std::optional<std::string>(old_));
    name_.clear();
  }

 private:
  std::string name_;
  std::string old_;
};
