// Below the windows there is no Qt to draw a label with: every label is refused, saying so.
#include "label/label.h"

namespace navkeypad::label {

namespace {
constexpr char kNoLabels[] = "this build of the program makes no labels";
}  // namespace

std::string WriteLabel(const LabelText&, const LabelLayout&, const std::string&) {
  return kNoLabels;
}

std::string PrintLabel(const LabelText&, const LabelLayout&, const std::string&) {
  return kNoLabels;
}

std::string PrinterProblem(const std::string&) {
  return kNoLabels;
}

}  // namespace navkeypad::label
