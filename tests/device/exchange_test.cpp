// Exchanges with the virtual keypad: what goes on the wire and how each kind of answer is
// judged.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "virtual_bus_fixture.h"

using namespace navkeypad;
using namespace std::chrono_literals;
using virtual_keypad::Behaviour;
using virtual_keypad::ReceivedCommand;

class Exchange : public VirtualBusTest {
 protected:
  int32_t send(uint8_t command, std::vector<uint8_t> payload, int32_t timeoutMs = 5000) {
    length_ = 0;
    return USBEncoderSendAndReceive_a(hid_handle, command, payload.data(),
                                      static_cast<int32_t>(payload.size()), response_, 64, &length_,
                                      timeoutMs);
  }
  uint8_t response_[64] = {};
  uint32_t length_ = 0;
};

TEST_F(Exchange, AnAnswerThatCameTooLateIsNotTakenForTheNextOne) {
  auto keypad = connectKeypad();
  Behaviour slow;
  slow.responseDelay = 40ms;
  keypad->setBehaviour(slow);
  EXPECT_EQ(send(CMD_GET_STATUS, {}, 10), kExchangeTimeout);
  std::this_thread::sleep_for(80ms);  // the status record now waits to be read
  keypad->setBehaviour({});
  EXPECT_EQ(send(CMD_SET_LED_BRIGHTNESS, {3}), kExchangeOk);
  EXPECT_EQ(length_, 0u);  // the brightness answer's, not the status record's
  // A late acknowledgement and a late result, both waiting: neither is the next answer.
  Behaviour late;
  late.lateAnswers = 2;
  keypad->setBehaviour(late);
  EXPECT_EQ(send(CMD_GET_STATUS, {}), kExchangeOk);
  keypad->setBehaviour({});
  EXPECT_EQ(send(CMD_SET_LED_BRIGHTNESS, {3}), kExchangeOk);
  EXPECT_EQ(length_, 0u);
}

TEST_F(Exchange, EachKindOfBadAnswerHasItsResultCode) {
  auto keypad = connectKeypad();
  auto with = [&](auto change) {
    Behaviour behaviour;
    change(behaviour);
    keypad->setBehaviour(behaviour);
  };
  with([](Behaviour& b) { b.refuseAll = true; });
  EXPECT_EQ(send(CMD_SET_KEYPAD_TYPE, {1}), kExchangeRefused);
  with([](Behaviour& b) { b.statusByte = 0x03; });
  EXPECT_EQ(send(CMD_SET_KEYPAD_TYPE, {1}), kExchangeRefused);
  with([](Behaviour& b) { b.corruptChecksum = true; });
  EXPECT_EQ(send(CMD_SET_KEYPAD_TYPE, {1}), kExchangeRefused);
  with([](Behaviour& b) { b.overlongByteCount = true; });
  EXPECT_EQ(send(CMD_SET_KEYPAD_TYPE, {1}), kExchangeOverlongReport);
  // The byte count of a refusal or an acknowledgement is not looked at.
  with([](Behaviour& b) {
    b.refuseAll = true;
    b.overlongControlFrames = true;
  });
  EXPECT_EQ(send(CMD_SET_KEYPAD_TYPE, {1}), kExchangeRefused);
  with([](Behaviour& b) {
    b.acknowledgementsBeforeResult = 2;
    b.overlongControlFrames = true;
  });
  EXPECT_EQ(send(CMD_SET_KEYPAD_TYPE, {1}), kExchangeOk);
  // Each acknowledgement grants a fresh time-out: three 60 ms apart fit a 100 ms one.
  with([](Behaviour& b) {
    b.acknowledgementsBeforeResult = 3;
    b.acknowledgementGap = 60ms;
  });
  EXPECT_EQ(send(CMD_SET_KEYPAD_TYPE, {1}, 100), kExchangeOk);
  with([](Behaviour& b) { b.silent = true; });
  EXPECT_EQ(send(CMD_SET_KEYPAD_TYPE, {1}), kExchangeTimeout);
  with([](Behaviour&) {});
  EXPECT_EQ(send(CMD_SET_KEYPAD_TYPE, {1}), kExchangeOk);
}

TEST_F(Exchange, ReceiveAloneWaitsForAFrameWithoutSending) {
  auto keypad = connectKeypad();
  EXPECT_EQ(USBEncoderReceive_a(hid_handle, CMD_GET_STATUS, response_, 64, &length_, 100),
            kExchangeTimeout);
  EXPECT_TRUE(keypad->receivedCommands().empty());
}

TEST_F(Exchange, FactoryResetMakesTheKeypadLeaveTheBusAndReturn) {
  auto keypad = connectKeypad();
  ASSERT_EQ(send(CMD_SET_LED_BRIGHTNESS, {9}), kExchangeOk);
  ASSERT_EQ(send(CMD_WRITE_DEFAULT, {}), kExchangeOk);
  EXPECT_EQ(keypad->storedDefaults().ledBrightness, 9);
  int changes = 0;
  bus().addChangeListener([&](bool) { ++changes; });
  ASSERT_EQ(send(CMD_RESET_TO_DEFAULT, {}), kExchangeOk);
  EXPECT_EQ(changes, 2);  // gone, then back
  EXPECT_EQ(keypad->reenumerations(), 1);
  EXPECT_EQ(keypad->settings(), keypad->factorySettings());
  EXPECT_EQ(keypad->storedDefaults(), keypad->factorySettings());
  // The old handle is stale; a new scan finds the keypad again.
  EXPECT_EQ(send(CMD_GET_STATUS, {}), kExchangeDeviceError);
  scan();
  EXPECT_EQ(send(CMD_GET_STATUS, {}), kExchangeOk);
}
