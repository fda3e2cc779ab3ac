// Writing a contiguous 40 KB image through the RAM loader, as the download step does, on a
// virtual keypad that takes one report per millisecond like a full-speed interrupt
// endpoint. Reported: data bytes per report, and the time against reports x 1 ms.
#include <benchmark/benchmark.h>

#include "bsl430/bsl430.h"
#include "firmware/firmware_resources.h"
#include "hidapi_virtual.h"
#include "platform/clock.h"
#include "stand_in_loader.h"
#include "virtual_keypad.h"

using namespace navkeypad;

namespace {

constexpr std::size_t kImageBytes = 40 * 1024;

std::string ContiguousImage() {
  std::vector<uint8_t> bytes(kImageBytes);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  return bsl430::FormatTiTxt({{0x5000, bytes}});
}

void DownloadThroughTheLoader(benchmark::State& state) {
  const std::string image = ContiguousImage();
  platform::RecordingClock clock;
  platform::setClock(&clock);
  virtual_keypad::UseStandInLoader();
  navkeypad::SetHid(&virtual_keypad::VirtualHid());
  double reports = 0;
  double seconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto& bus = virtual_keypad::VirtualBus::instance();
    bus.reset();
    auto keypad = bus.plug();
    char text[kDeviceTextCapacity];
    hid_handle = ScanForUSBDevice_a(kKeypadVendorId, kKeypadProductId, text, text);
    SendKeypadCommand(CMD_ENTER_FIRMWARE_UPGRADE);
    hid_exit_safely(hid_handle);
    hid_handle = nullptr;
    const char* connection = "PID=0x0200,VID=0x2047,DEVICEINDEX=0";
    BSL_initialize_BSL(connection);
    BSL_RX_Password(BSL_readTI_Text(firmware::FirmwareResource("password.Text").c_str(), 32));
    BSL_RX_TXT(firmware::FirmwareResource("RAM_BSL.Text").c_str(), 1);
    BSL_LoadPC(0x2504);
    BSL_initialize_BSL(connection);
    virtual_keypad::Behaviour paced;
    paced.loaderReportPace = std::chrono::milliseconds(1);
    keypad->setBehaviour(paced);
    const std::size_t before = keypad->loaderCommandCodes().size();
    state.ResumeTiming();

    const auto start = std::chrono::steady_clock::now();
    if (BSL_RX_TXT(image.c_str(), 1) != 0) state.SkipWithError("download failed");
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    state.PauseTiming();
    reports += static_cast<double>(keypad->loaderCommandCodes().size() - before);
    BSL_close_BSL();
    state.ResumeTiming();
  }
  const double runs = static_cast<double>(state.iterations());
  state.counters["data_bytes_per_report"] = kImageBytes * runs / reports;
  state.counters["reports"] = reports / runs;
  state.counters["time_per_reports_x_1ms"] = seconds / (reports * 0.001);
  platform::setClock(nullptr);
}

}  // namespace

BENCHMARK(DownloadThroughTheLoader)->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_MAIN();
