#pragma once
// Every path this program holds as text is UTF-8, on every system; these are the only places
// where such text becomes a path or a path becomes text. (A narrow path on Windows would be
// read in the ANSI code page, so a folder like "Jürgen" would not be the same folder twice.)
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace support {

std::filesystem::path PathFromUtf8(const std::string& text);
std::string Utf8FromPath(const std::filesystem::path& path);
// The words of the command line as UTF-8: on Windows the narrow argv is in the ANSI code page,
// which cannot hold every file name, so the wide one is converted instead.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// A text of the keypad or of the configuration file (8-bit, in the local encoding) as UTF-8,
// for a message: messages are UTF-8 like the paths they name.
std::string Utf8FromLocal8Bit(const std::string& text);

// fopen for a UTF-8 path.
std::FILE* OpenFile(const std::string& path, const char* mode);

// Standard output as bytes from here on: Windows would write a line break as CR LF in text
// mode, and one that is CR LF already (CSV's) as CR CR LF. Elsewhere nothing changes.
void StandardOutputAsBytes();

// An environment variable as UTF-8 text; empty when it is not set.
std::string EnvironmentText(const char* name);
// Sets it (UTF-8), or removes it without a value.
void SetEnvironmentText(const char* name, const std::optional<std::string>& value);

// Who runs the program and on which computer, as the service log names them; empty where the
// system does not say.
std::string UserName();
std::string ComputerName();
// This program's process id, as other programs on this computer see it.
long long ThisProgramId();
// And when: the time now, UTC, "2026-12-09T10:42:07Z".
std::string UtcTimeText();

// The folder of the running program; empty when the system does not say.
std::filesystem::path ProgramFolder();
// Its name, without ".exe": "navkeypad-utility".
std::string ProgramName();

// The variable that names the user's data folder: XDG_DATA_HOME, LOCALAPPDATA on Windows.
#ifdef _WIN32
inline constexpr const char* kDataHomeVariable = "LOCALAPPDATA";
#else
inline constexpr const char* kDataHomeVariable = "XDG_DATA_HOME";
#endif

// The user's data folder, where the configuration file's folder lies: LOCALAPPDATA on Windows,
// otherwise XDG_DATA_HOME when it is absolute (a relative one would move with the folder a
// program starts in), else ~/.local/share. Empty when there is none.
std::filesystem::path UserDataFolder();

}  // namespace support
