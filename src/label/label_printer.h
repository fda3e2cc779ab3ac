// A label printed on a printer the caller has set up: the system's, or Qt's PDF output, which
// is the same path as a print.
#pragma once

#include <QPrinter>
#include <string>

#include "label/label.h"

namespace navkeypad::label {

// Prints the label on `printer`, a page of the label's size; "" when the printer took it.
std::string PrintLabelOn(QPrinter& printer, const LabelText& text, const LabelLayout& layout);

}  // namespace navkeypad::label
