// Labels read back by a reader of their own (libdmtx's dmtxread, from the PNG and from the PDF
// drawn at 300 dpi): the code holds exactly the number, on a page of the label's size, and a
// label that cannot be made is not written at all.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "label/label.h"
#include "temp_dir.h"

using namespace navkeypad::label;
using ::testing::HasSubstr;

namespace {

// What the run's print service said of itself (tests/label/test_printer.sh): `key`'s value.
std::string PrinterField(const std::string& key) {
  std::ifstream where(std::getenv("NAVKEYPAD_TEST_PRINTER") ? std::getenv("NAVKEYPAD_TEST_PRINTER")
                                                            : "");
  for (std::string line; std::getline(where, line);)
    if (line.starts_with(key + "=")) return line.substr(key.size() + 1);
  ADD_FAILURE() << "no print service of the test run (NAVKEYPAD_TEST_PRINTER)";
  return {};
}

// What a shell command printed.
std::string Output(const std::string& command) {
  std::string output;
  std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  char chunk[4096];
  while (std::size_t got = std::fread(chunk, 1, sizeof chunk, pipe)) output.append(chunk, got);
  pclose(pipe);
  return output;
}

// The codes dmtxread finds in the label `file`: a PDF is drawn at 300 dpi first.
std::string Decoded(std::string file) {
  if (file.ends_with(".pdf"))
    Output("pdftoppm -r 300 -png -singlefile '" + file + "' '" + file + "'"), file += ".png";
  return Output("dmtxread '" + file + "'");
}

// Written as PNG or PDF, or printed through the system's print service (the run's own CUPS,
// whose printer keeps what it is sent), on the printer named or the default one. A number no
// keypad can hold, or a file that is no label's, is refused and nothing is written.
TEST(Label, ItsCodeHoldsExactlyTheNumberOnAPageOfTheLabelsSize) {
  TempDir dir;
  const struct {
    const char* serial;
    const char* firmware;
    LabelLayout layout;
    const char* file;  // without an extension: the printer it is printed on
    const char* size;  // as pdfinfo or file(1) says it; or the refusal
  } rows[] = {
      {"VNK000412", "2.01", {}, "a.png", "732 x 343"},
      {"VNK000412", "2.01", {}, "a.pdf", "176 x 82 pts"},
      {"A~b!-9_z{}", "", {100, 40, false, "Velto Service"}, "b.pdf", "283 x 113 pts"},
      {"X", "1.04", {50, 25, true, ""}, "c.png", "591 x 295"},
      {"VNK000415", "2.01", {}, "labels", "176 x 82 pts"},
      {"VNK000416", "", {}, "", "176 x 82 pts"},
      {"VNK 1", "", {}, "d.png", "no label: a serial number is 1 to 11 printable characters"},
      {"VNK1", "", {}, "d.jpg", "a label is written as .png or .pdf"},
      {"VNK1", "", {}, "missing/d.png", "the label could not be written to"},
      {"VNK1", "", {}, "nowhere", "this computer has no printer nowhere"},
  };
  const std::string printed = PrinterField("printed");
  for (const auto& row : rows) {
    const bool print = std::string(row.file).find('.') == std::string::npos;
    const std::string file = dir.file(row.file + std::string(print ? "printed.pdf" : ""));
    std::filesystem::remove(printed);
    const std::string refused = print ? PrintLabel({row.serial, row.firmware}, row.layout, row.file)
                                      : WriteLabel({row.serial, row.firmware}, row.layout, file);
    if (!refused.empty()) {
      EXPECT_THAT(refused, HasSubstr(row.size));
      EXPECT_FALSE(std::filesystem::exists(print ? printed : file)) << row.file;
      continue;
    }
    for (int wait = 0; print && wait < 100 && !std::filesystem::exists(printed); ++wait)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (print) std::filesystem::copy_file(printed, file);
    EXPECT_EQ(Decoded(file), row.serial) << row.file;
    const std::string said =
        file.ends_with(".pdf") ? Output("pdfinfo '" + file + "'") : Output("file '" + file + "'");
    EXPECT_THAT(said, HasSubstr(row.size)) << said;
  }
}

// The site says how large a label is and what it shows; what it says wrong is refused.
TEST(Label, TheSiteFilesLabelSectionGivesItsSizeAndWhatItShows) {
  TempDir dir;
  const struct {
    const char* file;      // "" for no site file
    const char* expected;  // the layout read, or the refusal
  } rows[] = {
      {"", "62 x 29, firmware, ''"},
      {"[navkeypad]\nhost=db.example\n", "62 x 29, firmware, ''"},
      {"[label]\nwidth_mm = 100\nheight_mm=40.5\nfirmware=no\nheading=Velto Service\n",
       "100 x 40.5, no firmware, 'Velto Service'"},
      {"[label]\nwidth_mm=12\n", "width_mm=12 in [label] of the site file"},
      {"[label]\nheight_mm=29mm\n", "is no size for a label (15 to 300 mm)"},
      {"[label]\nfirmware=maybe\n", "says firmware=maybe, which is none of"},
      {"[label]\nwidth_mm=40\n", "at least half again as wide as it is high"},
      {"[label]\nwidth_mm\n", "line 2 of the site file"},
  };
  for (const auto& row : rows) {
    const std::string file = dir.file(*row.file ? "site.conf" : "none.conf");
    if (*row.file) WriteBytes(file, row.file);
    std::string problem;
    const LabelLayout layout = LayoutFromSiteFile(file, problem);
    std::ostringstream read;
    read << layout.widthMm << " x " << layout.heightMm << ", "
         << (layout.showsFirmware ? "" : "no ") << "firmware, '" << layout.heading << "'";
    EXPECT_THAT(problem.empty() ? read.str() : problem, HasSubstr(row.expected));
  }
}

}  // namespace

// A printer is a device of a Qt application's, as in the programs.
int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  // The print service is the run's own, on the socket its start named.
  if (std::getenv("NAVKEYPAD_TEST_PRINTER"))
    setenv("CUPS_SERVER", PrinterField("socket").c_str(), 1);
  QGuiApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
