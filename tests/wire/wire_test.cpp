// Trace, record and replay: what a recording holds, that a replay serves it in strict order
// and refuses anything else, and how a report reads in the trace.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "command_line_fixture.h"
#include "device/hid_seam.h"
#include "hidapi_virtual.h"
#include "support/atomic_file.h"
#include "wire/decode.h"
#include "wire/recording.h"
#include "wire/trace.h"

using namespace navkeypad;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class Wire : public CommandLineTest {
 protected:
  // Records `arguments` on the virtual bus and gives back the recording's text.
  std::string record(std::vector<std::string> arguments) {
    const std::string file = dir_.file("recording.jsonl");
    {
      wire::RecordingHid recorder(virtual_keypad::VirtualHid(), file, "navkeypad", arguments);
      recorder.finish(run(arguments, recorder));
    }
    std::string text;
    support::ReadWholeFile(file, text);
    return text;
  }
};

TEST_F(Wire, AWriteThatDiffersEndsTheReplayNamingTheEvent) {
  bus().plug();
  std::string text = record({"brightness", "7"});
  // The level in the recorded request: 7, written as the byte 07 before ETX.
  const std::size_t level = text.find("3F4002303230310703");
  ASSERT_NE(level, std::string::npos);
  bus().reset();
  wire::ReplayHid replay(wire::ParseRecording(text), "brightness");
  EXPECT_EQ(run({"brightness", "6"}, replay), cli::kKeypadFailed);
  EXPECT_THAT(replay.failure(),
              HasSubstr("replay of brightness: event 13: expected {\"call\":\"write\",\"data\":"
                        "\"3F4002303230310703"));
  EXPECT_THAT(replay.failure(), HasSubstr(", got write to device 2 of 3F4002303230310603"));
  // A tampered recording fails the same way.
  text.replace(level + 14, 2, "05");
  wire::ReplayHid tampered(wire::ParseRecording(text), "tampered");
  EXPECT_EQ(run({"brightness", "7"}, tampered), cli::kKeypadFailed);
  EXPECT_THAT(tampered.failure(), HasSubstr("event 13: expected"));
  // A call the recording does not hold, and one it holds but never gets.
  wire::ReplayHid shorter(wire::ParseRecording(text.substr(0, text.find("{\"call\":\"open\""))),
                          "shorter");
  EXPECT_NE(run({"brightness", "7"}, shorter), cli::kDone);
  EXPECT_THAT(shorter.failure(), HasSubstr("expected nothing more, got open of"));
  wire::ReplayHid longer(wire::ParseRecording(text), "longer");
  EXPECT_EQ(run({"brightness", "x"}, longer), cli::kBadInput);
  EXPECT_THAT(longer.leftOver(), HasSubstr("the program ended at event 1 of"));
}

TEST_F(Wire, ARecordingThatIsNotOneIsRefusedNamingTheLine) {
  for (const auto& [text, why] : std::vector<std::pair<std::string, std::string>>{
           {"{\"recording\":1}\n{\"call\":\"sneeze\"}\n", "line 2: no call named \"sneeze\""},
           {"{\"call\":\"write\",\"data\":\"3G\"}\n", "line 1: not hex"},
           {"not json\n", "line 1: "},
           {"{\"end\":true,\"exitStatus\":0}\n{\"call\":\"init\"}\n",
            "line 2: an event after the end"},
           // Fields the replay reads are checked before it starts, so no event throws mid-way.
           {"{\"call\":\"open\",\"path\":\"x\"}\n", "line 1: no \"device\""},
           {"{\"call\":\"close\",\"device\":\"2\"}\n", "line 1: \"device\" has the wrong type"},
           {"{\"call\":\"write\",\"device\":1,\"data\":\"00\",\"result\":1e40}\n",
            "line 1: \"result\" has the wrong type"},
           {"{\"call\":\"read\",\"device\":4294967296,\"emptyPolls\":0}\n",
            "line 1: \"device\" has the wrong type"},
           {"{\"call\":\"enumerate\",\"devices\":[{\"path\":\"p\",\"interface\":0,\"serial\":5}]}"
            "\n",
            "line 1: \"serial\" has the wrong type"}}) {
    try {
      wire::ParseRecording(text);
      ADD_FAILURE() << text;
    } catch (const std::invalid_argument& error) {
      EXPECT_THAT(error.what(), StartsWith(why)) << text;
    }
  }
}

TEST(Decode, ReportsReadAsTheKeypadAndItsLoaderReadThem) {
  const uint8_t request[] = {0x3F, 0x40, 0x02, '0', '2', '0', '1', 0x07, 0x03, 0x05};
  EXPECT_EQ(wire::DescribeReport(request, sizeof request, true, false),
            "CMD_SET_LED_BRIGHTNESS 07");
  const uint8_t result[] = {0x3F, 0x40, 0x02, '0', '2', '0', '1', 0x00, 0x03, 0x02};
  EXPECT_EQ(wire::DescribeReport(result, sizeof result, false, false),
            "result CMD_SET_LED_BRIGHTNESS status 0x00");
  const uint8_t ack[] = {0x3F, 0x40, 0x06};
  EXPECT_EQ(wire::DescribeReport(ack, sizeof ack, false, false), "acknowledgement");
  const uint8_t refused[] = {0x3F, 0x40, 0x0F};
  EXPECT_EQ(wire::DescribeReport(refused, sizeof refused, false, false), "refused");
  const uint8_t write[] = {0x3F, 0x06, 0x1B, 0x00, 0x44, 0x00, 0xAA, 0xBB};
  EXPECT_EQ(wire::DescribeReport(write, sizeof write, true, true),
            "RX Data Block Fast at 0x4400, 2 bytes");
  const uint8_t crc[] = {0x3F, 0x06, 0x16, 0x00, 0x44, 0x00, 0x88, 0x13};
  EXPECT_EQ(wire::DescribeReport(crc, sizeof crc, true, true), "CRC Check at 0x4400, 5000 bytes");
  const uint8_t message[] = {0x3F, 0x02, 0x3B, 0x05};
  EXPECT_EQ(wire::DescribeReport(message, sizeof message, false, true), "loader message 0x05");
}

TEST_F(Wire, TheTraceHasALineForEveryEvent) {
  bus().plug();
  const std::string file = dir_.file("trace.txt");
  std::FILE* out = support::OpenFile(file, "wb");
  wire::TracingHid tracer(virtual_keypad::VirtualHid(), out);
  ASSERT_EQ(run({"brightness", "7"}, tracer), cli::kDone);
  std::fclose(out);
  std::string text;
  support::ReadWholeFile(file, text);
  EXPECT_THAT(text,
              HasSubstr(" = - enumerate 2047:09E1: virtual:keypad1:1.0, virtual:keypad1:1.1\n"));
  EXPECT_THAT(text, HasSubstr(" = virtual:keypad1:1.1 open\n"));
  EXPECT_THAT(text, HasSubstr(" > virtual:keypad1:1.1 3F 40 02 30 32 30 31 07 03 05 00"));
  EXPECT_THAT(text, HasSubstr(" | CMD_SET_LED_BRIGHTNESS 07\n"));
  EXPECT_THAT(text,
              HasSubstr(" | result CMD_SET_LED_BRIGHTNESS status 0x00 (after 1 empty polls)\n"));
  EXPECT_THAT(text, HasSubstr(" = virtual:keypad1:1.1 close\n"));
}
