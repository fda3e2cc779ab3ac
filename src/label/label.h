// A label for the keypad in a technician's hand: its serial number in text and as a Data Matrix
// code (ECC 200) that holds exactly that number, and the firmware it runs. Its size and what it
// shows are the site's to say, in the site file's [label] section; without one, 62 x 29 mm, as
// the common roll of address labels.
#pragma once

#include <string>

namespace navkeypad::label {

struct LabelLayout {
  double widthMm = 62;
  double heightMm = 29;
  bool showsFirmware = true;
  std::string heading;  // a line above the number (the site's name), or none
};

struct LabelText {
  std::string serial;
  std::string firmware;  // its version, "" where not known
};

// The layout of the [label] section of the site file at `siteFile` (defaults where the file or
// the section is not there). `problem` says what of it cannot be used, and then the layout is
// the default's.
LabelLayout LayoutFromSiteFile(const std::string& siteFile, std::string& problem);

// Why no label can be written into `folder`; "" when it can.
std::string FolderProblem(const std::string& folder);
// Why nothing can be printed on `printer` (the default printer where ""); "" when it can.
std::string PrinterProblem(const std::string& printer);

// Writes the label to `file`, as PNG or PDF by its extension, whole or not at all; "" when
// written, else why not.
std::string WriteLabel(const LabelText& text, const LabelLayout& layout, const std::string& file);

// Prints the label on `printer` (the system's default where ""), through the system's print
// service; "" when it was handed over, else why not.
std::string PrintLabel(const LabelText& text, const LabelLayout& layout,
                       const std::string& printer);

}  // namespace navkeypad::label
