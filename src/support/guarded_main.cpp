#include "support/guarded_main.h"

#include <cstdio>
#include <exception>

namespace support {

int RunGuarded(const char* program, const std::function<int()>& body) {
  try {
    return body();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: stopped by an unexpected error: %s\n", program, error.what());
  } catch (...) {
    std::fprintf(stderr, "%s: stopped by an unexpected error\n", program);
  }
  return 1;
}

}  // namespace support
