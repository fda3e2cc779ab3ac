// Labels read back by a reader of their own (libdmtx's dmtxread, from the PNG and from the PDF
// drawn at 300 dpi): the code holds exactly the number, on a page of the label's size, and a
// label that cannot be made is not written at all.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QPrinter>
#include <cstdio>

#include "label/label.h"
#include "label/label_printer.h"
#include "temp_dir.h"

using namespace navkeypad::label;
using ::testing::HasSubstr;

namespace {

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
std::string Decoded(const TempDir& dir, const std::string& file) {
  std::string image = file;
  if (file.ends_with(".pdf")) {
    Output("pdftoppm -r 300 -png -singlefile '" + file + "' '" + dir.file("page") + "'");
    image = dir.file("page.png");
  }
  return Output("dmtxread '" + image + "'");
}

TEST(Label, ItsCodeHoldsExactlyTheNumberOnAPageOfTheLabelsSize) {
  TempDir dir;
  const struct {
    const char* serial;
    const char* firmware;
    LabelLayout layout;
    const char* file;
    const char* size;  // as pdfinfo or file(1) says it
  } rows[] = {
      {"VNK000412", "2.01", {}, "a.png", "732 x 343"},
      {"VNK000412", "2.01", {}, "a.pdf", "176 x 82 pts"},
      {"A~b!-9_z{}", "", {100, 40, false, "Velto Service"}, "b.pdf", "283 x 113 pts"},
      {"X", "1.04", {50, 25, true, ""}, "c.png", "591 x 295"},
  };
  for (const auto& row : rows) {
    const std::string file = dir.file(row.file);
    ASSERT_EQ(WriteLabel({row.serial, row.firmware}, row.layout, file), "") << row.file;
    EXPECT_EQ(Decoded(dir, file), row.serial) << row.file;
    const std::string said =
        file.ends_with(".pdf") ? Output("pdfinfo '" + file + "'") : Output("file '" + file + "'");
    EXPECT_THAT(said, HasSubstr(row.size)) << said;
  }
}

TEST(Label, PrintedItIsTheLabelWritten) {
  TempDir dir;
  QPrinter printer(QPrinter::HighResolution);
  printer.setOutputFormat(QPrinter::PdfFormat);
  printer.setOutputFileName(QString::fromStdString(dir.file("printed.pdf")));
  ASSERT_EQ(PrintLabelOn(printer, {"VNK000413", "2.01"}, {}), "");
  EXPECT_EQ(Decoded(dir, dir.file("printed.pdf")), "VNK000413");
  EXPECT_THAT(Output("pdfinfo '" + dir.file("printed.pdf") + "'"), HasSubstr("176 x 82 pts"));
}

// A number no keypad can hold, or a file that is no label's, is refused and nothing is written.
TEST(Label, WhatCannotBeALabelIsRefusedAndNothingWritten) {
  TempDir dir;
  const struct {
    const char* serial;
    const char* file;
    const char* says;
  } rows[] = {
      {"VNK 1", "a.png", "no label: a serial number is 1 to 11 printable characters"},
      {"VNK[1]", "a.pdf", "without blanks or brackets, not 'VNK[1]'"},
      {"VNK00000000001", "a.png", "1 to 11 printable"},
      {"", "a.png", "not ''"},
      {"VNK\xC3\xA9", "a.png", "printable"},
      {"VNK1", "a.jpg", "a label is written as .png or .pdf"},
      {"VNK1", "missing/a.png", "the label could not be written to"},
  };
  for (const auto& row : rows) {
    EXPECT_THAT(WriteLabel({row.serial, "2.01"}, {}, dir.file(row.file)), HasSubstr(row.says));
    EXPECT_FALSE(std::filesystem::exists(dir.file(row.file))) << row.file;
  }
  QPrinter printer;
  printer.setOutputFormat(QPrinter::PdfFormat);
  printer.setOutputFileName(QString::fromStdString(dir.file("printed.pdf")));
  EXPECT_THAT(PrintLabelOn(printer, {"VNK 1", ""}, {}), HasSubstr("no label"));
  EXPECT_FALSE(std::filesystem::exists(dir.file("printed.pdf")));
}

// The site says how large a label is and what it shows; what it says wrong is refused.
TEST(Label, TheSiteFilesLabelSectionGivesItsSizeAndWhatItShows) {
  TempDir dir;
  const struct {
    const char* file;  // "" for no site file
    double width, height;
    bool firmware;
    const char* heading;
    const char* refused;
  } rows[] = {
      {"", 62, 29, true, "", ""},
      {"[navkeypad]\nhost=db.example\n", 62, 29, true, "", ""},
      {"[label]\nwidth_mm = 100\nheight_mm=40.5\nfirmware=no\nheading=Velto Service\n", 100, 40.5,
       false, "Velto Service", ""},
      {"[label]\nwidth_mm=12\n", 62, 29, true, "", "width_mm=12 in [label] of the site file"},
      {"[label]\nheight_mm=29mm\n", 62, 29, true, "", "is no size for a label (15 to 300 mm)"},
      {"[label]\ncolour=red\n", 62, 29, true, "", "says colour=red, which is none of"},
      {"[label]\nfirmware=maybe\n", 62, 29, true, "", "says firmware=maybe"},
      {"[label]\nwidth_mm=40\n", 62, 29, true, "", "at least half again as wide as it is high"},
      {"[label]\nwidth_mm\n", 62, 29, true, "", "line 2 of the site file"},
  };
  for (const auto& row : rows) {
    const std::string file = *row.file ? dir.file("site.conf") : dir.file("none.conf");
    if (*row.file) WriteBytes(file, row.file);
    std::string problem;
    const LabelLayout layout = LayoutFromSiteFile(file, problem);
    EXPECT_EQ(problem.empty(), !*row.refused) << row.file << problem;
    EXPECT_THAT(problem, HasSubstr(row.refused));
    EXPECT_EQ(layout.widthMm, row.width);
    EXPECT_EQ(layout.heightMm, row.height);
    EXPECT_EQ(layout.showsFirmware, row.firmware);
    EXPECT_EQ(layout.heading, row.heading);
  }
}

}  // namespace

// A printer is a device of a Qt application's, as in the programs.
int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
