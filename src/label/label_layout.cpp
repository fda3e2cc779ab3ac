#include <cstdlib>
#include <filesystem>

#include "label/label.h"
#include "store/site.h"
#include "support/atomic_file.h"
#include "support/paths.h"

namespace navkeypad::label {

namespace {

// Labels smaller than a code that still reads, or larger than a sheet, are no labels.
constexpr double kSmallestMm = 15;
constexpr double kLargestMm = 300;

}  // namespace

LabelLayout LayoutFromSiteFile(const std::string& siteFile, std::string& problem) {
  problem.clear();
  LabelLayout layout;
  std::error_code absent;
  if (siteFile.empty() || !std::filesystem::exists(support::PathFromUtf8(siteFile), absent))
    return layout;
  std::vector<std::pair<std::string, std::string>> settings;
  bool found = false;
  problem = store::ReadSiteFileSection(siteFile, "label", settings, found);
  if (!problem.empty()) return layout;
  LabelLayout read;
  for (const auto& [key, value] : settings) {
    if (key == "width_mm" || key == "height_mm") {
      char* end = nullptr;
      const double mm = std::strtod(value.c_str(), &end);
      if (end == value.c_str() || *end != '\0' || !(mm >= kSmallestMm && mm <= kLargestMm)) {
        problem = key + "=" + value + " in [label] of the site file " + siteFile +
                  " is no size for a label (" + std::to_string(static_cast<int>(kSmallestMm)) +
                  " to " + std::to_string(static_cast<int>(kLargestMm)) + " mm)";
        return layout;
      }
      (key == "width_mm" ? read.widthMm : read.heightMm) = mm;
    } else if (key == "firmware" && (value == "yes" || value == "no")) {
      read.showsFirmware = value == "yes";
    } else if (key == "heading") {
      read.heading = value;
    } else {
      problem = "[label] of the site file " + siteFile + " says " + key + "=" + value +
                ", which is none of width_mm, height_mm, firmware=yes|no, heading";
      return layout;
    }
  }
  if (read.widthMm < read.heightMm * 1.5) {
    problem = "a label of the site file " + siteFile +
              " must be at least half again as wide as it is high, for the code and the number "
              "beside it";
    return layout;
  }
  return read;
}

std::string FolderProblem(const std::string& folder) {
  std::error_code error;
  if (!std::filesystem::is_directory(support::PathFromUtf8(folder), error))
    return "the labels' folder " + folder + " is not there; make it first";
  const std::string probe =
      support::Utf8FromPath(support::PathFromUtf8(folder) / ".navkeypad-label");
  if (const std::string problem = support::WritableFileProblem(probe); !problem.empty())
    return "no label can be written into " + folder + " (" + problem + ")";
  return {};
}

}  // namespace navkeypad::label
