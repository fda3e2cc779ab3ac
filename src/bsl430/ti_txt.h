// TI-TXT memory images: "@ADDR" lines start a section, data lines hold bytes as two hex
// digits, "q" ends the text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bsl430 {

struct TiTxtSection {
  uint32_t address = 0;
  std::vector<uint8_t> bytes;
};

struct TiTxtImage {
  // In ascending address order, never overlapping; sections that touch are joined.
  std::vector<TiTxtSection> sections;
  // Empty when the text was read; otherwise what is wrong, naming the line.
  std::string error;
  int errorLine = 0;

  bool ok() const { return error.empty(); }
  std::size_t byteCount() const;
};

// Reads what readers in the field accept: either case of hex digits and of "q", CR LF or
// LF, extra blanks, a missing final "q", odd addresses and lengths. Refuses data before the
// first "@", a byte without exactly two hex digits, an address above 0xFFFFF and sections
// that overlap.
TiTxtImage ParseTiTxt(const std::string& text);

// Consecutive runs of at most `maxBytes`, split where sections end.
struct TiTxtBlock {
  uint32_t address;
  std::vector<uint8_t> bytes;
};
std::vector<TiTxtBlock> SplitIntoBlocks(const TiTxtImage& image, std::size_t maxBytes);

// The text form, 16 bytes a line, CR LF line ends and a final "q".
std::string FormatTiTxt(const std::vector<TiTxtSection>& sections);

}  // namespace bsl430
