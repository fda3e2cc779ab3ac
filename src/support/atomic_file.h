#pragma once

#include <cstdint>
#include <string>

namespace support {

// Replaces the file at `path` with `bytes` as a whole: they go to a temporary file beside
// it, reach the disk, and only then take the target's name (and its permissions, owner and
// group). A link is written through to the file it names. Where no file can be made beside
// the target, or given its owner, the target is overwritten in place, as a plain save would.
// On any failure the target keeps its old bytes. A target the user may not write is left
// alone.
bool WriteFileAtomically(const std::string& path, const std::string& bytes);

// Reads a whole regular file of at most `maxBytes`; otherwise why not, in words that follow
// the file's name ("is missing", "is a folder, not a file", "is larger than 1048576 bytes").
// Folders, pipes and devices are refused before anything is read from them, so no reader
// waits for ever or reads without end.
std::string ReadRegularFile(const std::string& path, std::string& bytes, std::uintmax_t maxBytes);
// The same judgement without reading.
std::string RegularFileProblem(const std::string& path, std::uintmax_t maxBytes);
// Why a whole file could not be written at `path`, as far as can be told before writing, or
// empty: no name, a folder or a device standing there, a name longer than file systems allow,
// a folder that cannot be made (it is made when missing).
std::string WritableFileProblem(const std::string& path);

// The same with a limit no file of this program comes near; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& bytes);

}  // namespace support
