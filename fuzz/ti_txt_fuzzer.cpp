// Any firmware file a user may pick: the reader gives an image or a reason naming a line,
// never a crash; an image it accepts is ordered and free of overlaps, reads back the same
// from its formatted text, and splits into blocks that cover it exactly.
#include <cstddef>
#include <cstdint>
#include <string>

#include "bsl430/ti_txt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const bsl430::TiTxtImage image = bsl430::ParseTiTxt(text);
  if (!image.ok()) {
    if (image.errorLine <= 0 || !image.sections.empty()) __builtin_trap();
    return 0;
  }
  uint64_t previousEnd = 0;
  for (const auto& section : image.sections) {
    if (section.bytes.empty() || section.address < previousEnd) __builtin_trap();
    previousEnd = section.address + section.bytes.size();
  }
  const bsl430::TiTxtImage again = bsl430::ParseTiTxt(bsl430::FormatTiTxt(image.sections));
  if (!again.ok() || again.sections.size() != image.sections.size()) __builtin_trap();
  for (std::size_t i = 0; i < image.sections.size(); ++i) {
    if (again.sections[i].address != image.sections[i].address ||
        again.sections[i].bytes != image.sections[i].bytes) {
      __builtin_trap();
    }
  }
  std::size_t covered = 0;
  for (const auto& block : bsl430::SplitIntoBlocks(image, 512)) {
    if (block.bytes.empty() || block.bytes.size() > 512) __builtin_trap();
    covered += block.bytes.size();
  }
  if (covered != image.byteCount()) __builtin_trap();
  return 0;
}
