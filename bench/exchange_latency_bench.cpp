// How long an exchange takes against a keypad that answers after 0, 1 or 5 ms: our wait
// (hid_read_timeout for one poll interval) beside a plain read-then-sleep-10-ms loop.
#include <benchmark/benchmark.h>

#include <thread>

#include "device/hid_seam.h"
#include "device/keypad_commands.h"
#include "hidapi_virtual.h"
#include "virtual_keypad.h"
#include "wire/recording.h"
#include "wire/trace.h"

using namespace navkeypad;

namespace {

std::shared_ptr<virtual_keypad::VirtualKeypad> ConnectKeypadAnsweringAfter(
    int delayMs, HidBackend* backend = &virtual_keypad::VirtualHid()) {
  navkeypad::SetHid(backend);
  auto& bus = virtual_keypad::VirtualBus::instance();
  if (hid_handle != nullptr) hid_exit_safely(hid_handle);
  bus.reset();
  auto keypad = bus.plug();
  virtual_keypad::Behaviour behaviour;
  behaviour.responseDelay = std::chrono::milliseconds(delayMs);
  keypad->setBehaviour(behaviour);
  char manufacturer[kDeviceTextCapacity];
  char product[kDeviceTextCapacity];
  hid_handle = ScanForUSBDevice_a(kKeypadVendorId, kKeypadProductId, manufacturer, product);
  return keypad;
}

void OurExchange(benchmark::State& state) {
  auto keypad = ConnectKeypadAnsweringAfter(static_cast<int>(state.range(0)));
  const std::vector<uint8_t> payload{5};
  for (auto _ : state) {
    if (SendKeypadCommand(CMD_SET_LED_BRIGHTNESS, payload) != kExchangeOk) {
      state.SkipWithError("exchange failed");
      break;
    }
  }
}

// The reference: poll without blocking, sleep 10 ms whenever nothing arrived.
void ReadThenSleepExchange(benchmark::State& state) {
  auto keypad = ConnectKeypadAnsweringAfter(static_cast<int>(state.range(0)));
  const std::vector<uint8_t> payload{5};
  Report request;
  BuildRequestReport(CMD_SET_LED_BRIGHTNESS, payload, request);
  hid_device* device = hid_handle;
  for (auto _ : state) {
    Hid().write(device, request.data(), request.size());
    Report report{};
    while (Hid().readTimeout(device, report.data(), report.size(), 0) == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    uint8_t response[64];
    uint32_t length = 0;
    if (ParseResponseFrame(report.data(), response, 64, &length) != kExchangeOk) {
      state.SkipWithError("bad frame");
      break;
    }
  }
}

// The same exchange with every event traced, or recorded, to a file: neither may change what
// is measured.
template <typename Wire>
void WiredExchange(benchmark::State& state, Wire& wire) {
  auto keypad = ConnectKeypadAnsweringAfter(static_cast<int>(state.range(0)), &wire);
  const std::vector<uint8_t> payload{5};
  for (auto _ : state) {
    if (SendKeypadCommand(CMD_SET_LED_BRIGHTNESS, payload) != kExchangeOk) {
      state.SkipWithError("exchange failed");
      break;
    }
  }
  if (hid_handle != nullptr) hid_exit_safely(hid_handle);
  SetHid(&virtual_keypad::VirtualHid());
}

void TracedExchange(benchmark::State& state) {
  std::FILE* out = std::fopen("/dev/null", "w");
  wire::TracingHid tracer(virtual_keypad::VirtualHid(), out);
  WiredExchange(state, tracer);
  std::fclose(out);
}

void RecordedExchange(benchmark::State& state) {
  wire::RecordingHid recorder(virtual_keypad::VirtualHid(), "/dev/null", "bench", {});
  WiredExchange(state, recorder);
}

}  // namespace

BENCHMARK(OurExchange)->Arg(0)->Arg(1)->Arg(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(TracedExchange)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(RecordedExchange)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ReadThenSleepExchange)
    ->Arg(0)
    ->Arg(1)
    ->Arg(5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
