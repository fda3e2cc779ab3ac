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
    if (!name_) {
      name_ = name;
      const std::string old = support::EnvironmentText(name);
      if (!old.empty()) old_ = old;
    }
    support::SetEnvironmentText(name, value);
  }
  void restore() {
    if (name_) support::SetEnvironmentText(name_->c_str(), old_);
    name_.reset();
    old_.reset();
  }

 private:
  std::optional<std::string> name_;
  std::optional<std::string> old_;
};
