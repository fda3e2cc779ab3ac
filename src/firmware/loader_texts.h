// The two texts an upgrade writes into the keypad that are not ours to ship: the chip maker's
// RAM bootstrap loader and the keypad's loader password. A wrong password makes the chip
// erase its flash, and a wrong RAM loader runs code nobody wrote for it, so no upgrade starts
// before both are at hand and checked.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace navkeypad::firmware {

inline constexpr char kRamLoaderFileName[] = "RAM_BSL.txt";
inline constexpr char kPasswordFileName[] = "password.txt";

struct LoaderTexts {
  std::string ramLoader;  // TI-TXT: version bytes 00 06 05 34 at 0x2500, entry at 0x2504
  std::string password;   // TI-TXT: the 32 bytes at 0xFFE0
};

// Empty when the text can be used; otherwise why not.
std::string RamLoaderProblem(const std::string& text);
std::string PasswordProblem(const std::string& text);

// Where the files are looked for, in order: "loader" beside the configuration file, then
// the system's folder that a package fills.
std::vector<std::filesystem::path> LoaderFolders(const std::string& configFile);

struct LoaderTextsFound {
  std::optional<LoaderTexts> texts;
  std::string problem;  // one message: what is missing or wrong, and where it goes
};
// Each file from the first folder that has it, else the texts built into the program. A text
// that is there but unusable is reported, never passed over for another; the built-in ones
// are checked as strictly as files.
LoaderTextsFound FindLoaderTexts(const std::string& configFile);

// The texts a build carries: the product's from its build options (empty without them), or
// the ones a virtual keypad brings (set before any upgrade starts).
LoaderTexts BuiltInLoaderTexts();
void SetBuiltInLoaderTexts(const LoaderTexts& texts);

namespace generated {
extern const char* const kRamBslText;
extern const char* const kPasswordText;
extern const char* const kSystemLoaderFolder;
}  // namespace generated

}  // namespace navkeypad::firmware
