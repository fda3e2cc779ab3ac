#include "bsl430/ti_txt.h"

#include "bsl430/bsl430.h"
#include "temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace bsl430;
using ::testing::ElementsAre;

TEST(TiTxt, EveryRejectionNamesItsLine) {
  struct Case {
    const char* text;
    int line;
    const char* says;
  };
  for (const Case& c :
       {Case{"01 02\n@4400\n", 1, "before the first"},
        Case{"@4400\n01 2\nq", 2, "\"2\" is not a byte"}, Case{"@4400\n01 0G\n", 2, "\"0G\""},
        Case{"@4400\n01 123\n", 2, "\"123\""}, Case{"\n@44\n01\n", 2, "four or more hex digits"},
        Case{"@100000\n01\n", 1, "above 0xFFFFF"},
        Case{"@4400\n01 02 03\n@4401\n04\n", 3, "overlaps"}}) {
    const auto image = ParseTiTxt(c.text);
    EXPECT_FALSE(image.ok()) << c.text;
    EXPECT_EQ(image.errorLine, c.line) << c.text;
    EXPECT_THAT(image.error, ::testing::HasSubstr(c.says)) << image.error;
    EXPECT_TRUE(image.sections.empty());
  }
}

TEST(TiTxt, SectionsInAnyOrderUpToTheHighestAddressAreRead) {
  for (const auto& [text, first, count] :
       {std::tuple{"@FFE0\n01\n@4400\n02 03\nq", 0x4400u, 2u}, {"@FFFFF\nAB\nq", 0xFFFFFu, 1u}}) {
    const auto image = ParseTiTxt(text);
    ASSERT_TRUE(image.ok()) << text << image.error;
    EXPECT_EQ(image.sections[0].address, first);
    EXPECT_EQ(image.sections[0].bytes.size(), count);
  }
}

TEST(TiTxt, BlocksSplitAtTheLimitAndAtGaps) {
  std::string text = "@4400\n";
  for (int i = 0; i < 40; ++i) text += "AA ";
  text += "\n@4428\nBB BB\n@5000\nCC\nq";  // 0x4428 follows 40 bytes on: one run
  const auto image = ParseTiTxt(text);
  ASSERT_TRUE(image.ok()) << image.error;
  const auto blocks = SplitIntoBlocks(image, 16);
  ASSERT_EQ(blocks.size(), 4u);
  EXPECT_EQ(blocks[0].address, 0x4400u);
  EXPECT_EQ(blocks[2].address, 0x4420u);
  EXPECT_EQ(blocks[2].bytes.size(), 10u);
  EXPECT_EQ(blocks[3].address, 0x5000u);
  EXPECT_EQ(blocks[3].bytes.size(), 1u);
}

TEST(TiTxt, FormattedTextReadsBackAsTheSameImage) {
  const std::vector<TiTxtSection> sections = {{0x2500, std::vector<uint8_t>(33, 0x5A)},
                                              {0xFFE0, std::vector<uint8_t>(32, 0x10)}};
  const std::string text = FormatTiTxt(sections);
  EXPECT_EQ(text.substr(0, 7), "@2500\r\n");
  EXPECT_EQ(text.back(), 'q');
  const auto image = ParseTiTxt(text);
  ASSERT_TRUE(image.ok());
  ASSERT_EQ(image.sections.size(), 2u);
  EXPECT_EQ(image.sections[0].bytes, sections[0].bytes);
  EXPECT_EQ(image.sections[1].address, 0xFFE0u);
}

TEST(TiTxtFile, TheLibraryHandsOutBlocksUpToTheLimit) {
  TempDir dir;
  const std::string path = dir.file("image.txt");
  std::string text = "@4400\n";
  for (int i = 0; i < 700; ++i) text += (i % 16 == 15) ? "11\n" : "11 ";
  text += "\n@FFFE\n00 44\nq";
  WriteBytes(path, text);
  ASSERT_EQ(BSL_openTI_TextForRead(path.c_str()), 0);
  std::vector<std::pair<uint32_t, uint32_t>> blocks;
  while (BSL_moreDataToRead_TextFile() != 0) {
    const DataBlock_ block = BSL_readTI_TextFile(512);
    blocks.emplace_back(block.startAddress, block.byteCount);
  }
  BSL_closeTI_Text();
  EXPECT_THAT(blocks, ElementsAre(std::pair<uint32_t, uint32_t>{0x4400, 512},
                                  std::pair<uint32_t, uint32_t>{0x4600, 188},
                                  std::pair<uint32_t, uint32_t>{0xFFFE, 2}));

  WriteBytes(path, "@4400\n1\nq");
  EXPECT_EQ(BSL_openTI_TextForRead(path.c_str()), -2);
  EXPECT_EQ(BSL_lastFileError(), "line 2: \"1\" is not a byte of two hex digits");
  EXPECT_EQ(BSL_openTI_TextForRead(dir.file("missing.txt").c_str()), -2);
  EXPECT_EQ(BSL_moreDataToRead_TextFile(), 0);
}
