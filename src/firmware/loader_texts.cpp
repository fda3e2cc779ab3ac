#include "firmware/loader_texts.h"

#include <mutex>

#include "bsl430/memory_map.h"
#include "bsl430/ti_txt.h"
#include "support/atomic_file.h"
#include "support/paths.h"

namespace navkeypad::firmware {

namespace fs = std::filesystem;

namespace {

constexpr uint8_t kRamLoaderVersionBytes[] = {0x00, 0x06, 0x05, 0x34};
constexpr uint32_t kRamLoaderStart = 0x2500;
constexpr std::size_t kPasswordBytes = 32;

std::mutex& TextsMutex() {
  static std::mutex mutex;
  return mutex;
}
std::optional<LoaderTexts>& BuiltInOverride() {
  static std::optional<LoaderTexts> texts;
  return texts;
}

}  // namespace

std::string RamLoaderProblem(const std::string& text) {
  const bsl430::TiTxtImage image = bsl430::ParseTiTxt(text);
  if (!image.ok()) return image.error;
  if (image.sections.empty() || image.sections.front().address != kRamLoaderStart ||
      image.sections.front().bytes.size() < sizeof kRamLoaderVersionBytes ||
      !std::equal(std::begin(kRamLoaderVersionBytes), std::end(kRamLoaderVersionBytes),
                  image.sections.front().bytes.begin())) {
    return "it does not start at 0x2500 with the version bytes 00 06 05 34";
  }
  for (const auto& section : image.sections) {
    if (section.address < bsl430::kRamStart ||
        section.address + section.bytes.size() > bsl430::kRamEnd) {
      return "it reaches outside the keypad's RAM";
    }
  }
  return {};
}

std::string PasswordProblem(const std::string& text) {
  const bsl430::TiTxtImage image = bsl430::ParseTiTxt(text);
  if (!image.ok()) return image.error;
  if (image.sections.size() != 1 || image.sections.front().address != bsl430::kVectorTable ||
      image.sections.front().bytes.size() != kPasswordBytes) {
    return "it is not the 32 bytes at 0xFFE0";
  }
  return {};
}

std::vector<fs::path> LoaderFolders(const std::string& configFile) {
  std::vector<fs::path> folders;
  if (!configFile.empty())
    folders.push_back(support::PathFromUtf8(configFile).parent_path() / "loader");
  if (*generated::kSystemLoaderFolder != '\0') {
    // A relative folder (the Windows install's) stands beside the program.
    const fs::path system = support::PathFromUtf8(generated::kSystemLoaderFolder);
    if (system.is_absolute()) {
      folders.push_back(system);
    } else if (const fs::path program = support::ProgramFolder(); !program.empty()) {
      folders.push_back(program / system);
    }
  }
  return folders;
}

LoaderTextsFound FindLoaderTexts(const std::string& configFile) {
  const LoaderTexts builtIn = BuiltInLoaderTexts();
  struct Wanted {
    const char* fileName;
    const char* what;
    const std::string& builtIn;
    std::string (*problem)(const std::string&);
    std::string text;
    bool found = false;
  };
  Wanted wanted[] = {
      {kRamLoaderFileName,
       "the RAM bootstrap loader",
       builtIn.ramLoader,
       &RamLoaderProblem,
       {},
       false},
      {kPasswordFileName, "the loader password", builtIn.password, &PasswordProblem, {}, false}};
  const auto folders = LoaderFolders(configFile);
  std::vector<std::string> missing;
  for (Wanted& file : wanted) {
    for (const fs::path& folder : folders) {
      const fs::path path = folder / file.fileName;
      std::error_code error;
      if (!fs::exists(path, error)) continue;
      constexpr std::uintmax_t kLargerThanAnyLoaderText = 1u << 20;
      if (const std::string why = support::ReadRegularFile(support::Utf8FromPath(path), file.text,
                                                           kLargerThanAnyLoaderText);
          !why.empty()) {
        return {std::nullopt, "The firmware upgrade cannot read " + support::Utf8FromPath(path) +
                                  ": it " + why + ". Nothing was sent to the keypad."};
      }
      if (const std::string why = file.problem(file.text); !why.empty()) {
        return {std::nullopt, "The firmware upgrade cannot use " + support::Utf8FromPath(path) +
                                  " as " + file.what + ": " + why + "."};
      }
      file.found = true;
      break;
    }
    if (!file.found && !file.builtIn.empty()) {
      if (const std::string why = file.problem(file.builtIn); !why.empty()) {
        return {std::nullopt, "The firmware upgrade cannot use " + std::string(file.what) +
                                  " this program was built with: " + why +
                                  ". Nothing was sent to the keypad."};
      }
      file.text = file.builtIn;
      file.found = true;
    }
    if (!file.found) missing.push_back(std::string(file.fileName) + " (" + file.what + ")");
  }
  if (!missing.empty()) {
    std::string where;
    for (std::size_t i = 0; i < folders.size(); ++i) {
      where += (i == 0                    ? ""
                : i + 1 == folders.size() ? " or "
                                          : ", ") +
               support::Utf8FromPath(folders[i]);
    }
    std::string names = missing[0];
    if (missing.size() > 1) names += " and " + missing[1];
    return {std::nullopt,
            "The firmware upgrade needs two files from the keypad's maker that do not come with "
            "this program, and " +
                std::string(missing.size() > 1 ? "both are" : "one is") + " missing: " + names +
                ". Put " + (missing.size() > 1 ? "them" : "it") + " into " +
                (where.empty() ? std::string("a loader folder") : where) +
                ", then start the upgrade again. Nothing was sent to the keypad."};
  }
  return {LoaderTexts{wanted[0].text, wanted[1].text}, {}};
}

LoaderTexts BuiltInLoaderTexts() {
  std::lock_guard lock(TextsMutex());
  if (BuiltInOverride()) return *BuiltInOverride();
  return {generated::kRamBslText, generated::kPasswordText};
}

void SetBuiltInLoaderTexts(const LoaderTexts& texts) {
  std::lock_guard lock(TextsMutex());
  BuiltInOverride() = texts;
}

}  // namespace navkeypad::firmware
