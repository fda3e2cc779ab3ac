#pragma once

#include <string>

namespace support {

// Replaces the file at `path` with `bytes` as a whole: they go to a temporary file beside
// it, reach the disk, and only then take the target's name (and its permissions). On any
// failure the target stays as it was. A target the user may not write is left alone too.
bool WriteFileAtomically(const std::string& path, const std::string& bytes);

// Reads a whole file; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& bytes);

}  // namespace support
