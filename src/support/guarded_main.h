// The last line of defence of each program's main: anything its body throws (which no input
// should make it do) becomes one line on standard error and exit status 1, never an abort
// with half a message.
#pragma once

#include <functional>

namespace support {

int RunGuarded(const char* program, const std::function<int()>& body);

}  // namespace support
