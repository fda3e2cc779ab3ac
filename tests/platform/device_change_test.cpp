// The Windows device watch passes on arrivals and removals of device interfaces, and nothing
// else the desktop broadcasts.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>

#include "platform/windows_device_watch.h"

namespace {

constexpr uint32_t kInterface = 5;  // DBT_DEVTYP_DEVICEINTERFACE
constexpr uint32_t kVolume = 2;     // DBT_DEVTYP_VOLUME
constexpr uint32_t kPort = 3;       // DBT_DEVTYP_PORT

TEST(DeviceChange, OnlyInterfaceArrivalsAndRemovalsAreEvents) {
  struct Case {
    uint32_t message;
    uintptr_t event;
    uint32_t deviceType;
    std::optional<uint32_t> expected;
  };
  const Case cases[] = {
      {0x0219, 0x8000, kInterface, 0x8000},     // DBT_DEVICEARRIVAL
      {0x0219, 0x8004, kInterface, 0x8004},     // DBT_DEVICEREMOVECOMPLETE
      {0x0219, 0x8000, kVolume, std::nullopt},  // a USB stick's drive letter
      {0x0219, 0x8004, kPort, std::nullopt},
      {0x0219, 0x0007, kInterface, std::nullopt},  // DBT_DEVNODES_CHANGED
      {0x0219, 0x8001, kInterface, std::nullopt},  // DBT_DEVICEQUERYREMOVE
      {0x0218, 0x8000, kInterface, std::nullopt},  // another message
  };
  for (const Case& c : cases) {
    const std::array<uint32_t, 3> header{12, c.deviceType, 0};  // DEV_BROADCAST_HDR
    EXPECT_EQ(platform::DeviceChangeEvent(c.message, c.event, header.data()), c.expected)
        << std::hex << c.message << " " << c.event << " " << c.deviceType;
  }
  // A message whose header is missing names no interface.
  EXPECT_EQ(platform::DeviceChangeEvent(0x0219, 0x8000, nullptr), std::nullopt);
}

}  // namespace
