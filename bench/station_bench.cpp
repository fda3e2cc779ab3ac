// Ten keypads provisioned one after another by `navkeypad station` on the virtual bus, on the
// real clock: each keypad takes 1.5 s to restart and answers after 1 ms, and the loader takes
// one report a millisecond, as a full-speed endpoint. The next keypad is plugged in when the
// station prints the line of the one before. Printed per keypad: the wall time from its
// arrival to its line, the download (the loader's transfer, without the waits for the loader),
// the time spent in waits, and the goal: download + the keypad's three restarts (into its
// loader, into the RAM loader, back into its application) + 0.5 s. Then the same keypads, all
// attached, through `upgrade --all`.
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "bsl430/bsl430.h"
#include "hidapi_virtual.h"
#include "navkeypad_cli.h"
#include "platform/clock.h"
#include "settings/keypad_settings_file.h"
#include "stand_in_loader.h"
#include "store/bench_folder.h"
#include "store/store.h"
#include "support/atomic_file.h"
#include "virtual_keypad.h"

namespace {

using Seconds = std::chrono::duration<double>;
using Instant = std::chrono::steady_clock::time_point;

constexpr int kKeypads = 10;
constexpr uint64_t kRestartMs = 1500;
constexpr int kRestarts = 3;
constexpr double kSlackSeconds = 0.5;

// The real clock, with every wait the program asks for noted (when it began, how long).
class NotingClock : public platform::Clock {
 public:
  void sleepMs(int milliseconds) override {
    {
      std::lock_guard lock(mutex_);
      waits_.push_back({std::chrono::steady_clock::now(), milliseconds});
    }
    real_.sleepMs(milliseconds);
  }
  uint64_t tickMs() override { return real_.tickMs(); }
  // Seconds of the waits that began in [from, to); only those of at least `atLeastMs` ms.
  double waited(Instant from, Instant to, int atLeastMs = 0) const {
    std::lock_guard lock(mutex_);
    double total = 0;
    for (const auto& [began, milliseconds] : waits_) {
      if (began >= from && began < to && milliseconds >= atLeastMs) total += milliseconds / 1000.0;
    }
    return total;
  }

 private:
  struct Wait {
    Instant began;
    int milliseconds;
  };
  platform::SystemClock real_;
  mutable std::mutex mutex_;
  std::vector<Wait> waits_;
};

// Hands every whole line written to it, with the moment it was finished, to `onLine`.
class LineClock : public std::streambuf {
 public:
  explicit LineClock(std::function<void(const std::string&, Instant)> onLine)
      : onLine_(std::move(onLine)) {}

 protected:
  int overflow(int c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    if (c == '\n') {
      onLine_(line_, std::chrono::steady_clock::now());
      line_.clear();
    } else {
      line_.push_back(static_cast<char>(c));
    }
    return c;
  }

 private:
  std::function<void(const std::string&, Instant)> onLine_;
  std::string line_;
};

struct Keypad {
  std::shared_ptr<virtual_keypad::VirtualKeypad> virtualKeypad;
  Instant started{};       // plugged in, or taken up by the batch
  Instant downloadFrom{};  // the loader's first progress line
  Instant downloadTo{};    // its 100 %
  Instant finished{};
};

std::vector<Keypad> PlugKeypads(bool withSerialNumbers) {
  auto& bus = virtual_keypad::VirtualBus::instance();
  bus.reset();
  std::vector<Keypad> keypads;
  for (int i = 0; i < kKeypads; ++i) {
    auto keypad = bus.plug("k" + std::to_string(i));
    keypad->setSerialNumber(withSerialNumbers ? "VNK-B" + std::to_string(10 + i) : "");
    keypad->setRestartMs(kRestartMs);
    virtual_keypad::Behaviour behaviour;
    behaviour.responseDelay = std::chrono::milliseconds(1);
    behaviour.loaderReportPace = std::chrono::milliseconds(1);
    keypad->setBehaviour(behaviour);
    keypads.push_back({keypad});
  }
  return keypads;
}

void Print(const char* title, const std::vector<Keypad>& keypads, const NotingClock& clock) {
  std::printf("\n%s\n%-7s %8s %9s %8s %8s  %s\n", title, "keypad", "wall s", "download", "waits",
              "goal s", "met");
  int met = 0;
  for (std::size_t i = 0; i < keypads.size(); ++i) {
    const Keypad& k = keypads[i];
    const double wall = Seconds(k.finished - k.started).count();
    const double download = Seconds(k.downloadTo - k.downloadFrom).count() -
                            clock.waited(k.downloadFrom, k.downloadTo, 100);
    const double waits = clock.waited(k.started, k.finished);
    const double goal = download + kRestarts * kRestartMs / 1000.0 + kSlackSeconds;
    met += wall <= goal;
    std::printf("%-7zu %8.2f %9.2f %8.2f %8.2f  %s\n", i + 1, wall, download, waits, goal,
                wall <= goal ? "yes" : "NO");
  }
  std::printf("goal met for %d of %zu keypads\n", met, keypads.size());
}

}  // namespace

int main() {
  namespace cli = navkeypad::cli;
  const std::filesystem::path data =
      std::filesystem::temp_directory_path() / ("station-bench-" + std::to_string(getpid()));
  setenv("XDG_DATA_HOME", data.c_str(), 1);
  const std::string site = (data / "site.ini").string();
  std::filesystem::create_directories(data);
  support::WriteFileAtomically(site,
                               "[appSettings]\nLedBrightness=3\nKeypadLayout=0\nFirstUp=Yes\n");
  const std::string firmware =
      std::string(NAVKEYPAD_SOURCE_DIR) + "/resources/firmware/keypad-firmware-2.01.txt";
  virtual_keypad::UseStandInLoader();
  navkeypad::SetHid(&virtual_keypad::VirtualHid());
  NotingClock clock;
  platform::setClock(&clock);

  // The station: the first keypad now, each next one once the line of the one before is out.
  std::vector<Keypad> keypads = PlugKeypads(false);
  for (Keypad& keypad : keypads) keypad.virtualKeypad->setAbsentUntil(UINT64_MAX);
  std::atomic<std::size_t> current = 0;
  // In `afterMs`: the station takes only keypads that arrive once it has started.
  const auto plug = [&](std::size_t i, int afterMs = 0) {
    keypads[i].started = std::chrono::steady_clock::now() + std::chrono::milliseconds(afterMs);
    keypads[i].virtualKeypad->setAbsentUntil(clock.tickMs() + afterMs);
  };
  const auto progress = [&](const std::string& line, Instant at) {
    Keypad& keypad = keypads[std::min<std::size_t>(current, kKeypads - 1)];
    if (line.find("% ") == std::string::npos) return;
    if (keypad.downloadFrom == Instant{}) keypad.downloadFrom = at;
    if (line.rfind("100% ", 0) == 0) keypad.downloadTo = at;
  };
  LineClock stationLines([&](const std::string& line, Instant at) {
    if (line.rfind("[", 0) != 0) return;
    keypads[current].finished = at;
    if (line.find(" ok ") == std::string::npos) std::printf("%s\n", line.c_str());
    if (++current < kKeypads) plug(current);
  });
  LineClock stationProgress(progress);
  std::ostream out(&stationLines);
  std::ostream err(&stationProgress);
  plug(0, 300);
  // A virtual bench's store, in the benchmark's own folder (or a site's, with NAVKEYPAD_SITE).
  std::unique_ptr<navkeypad::store::Store> stationStore =
      navkeypad::store::OpenTheStore(navkeypad::settings::DefaultConfigFile(), true);
  cli::Run({"station", firmware, "--expect-version", "2.01", "--config", site, "--serial-from",
            "VNK-A100", "--count", std::to_string(kKeypads)},
           {out, err, *stationStore, false, "navkeypad"});
  stationStore.reset();
  Print("navkeypad station (firmware, settings and serial number, one keypad after another)",
        keypads, clock);

  // The batch: every keypad attached from the start; each keypad's time runs from the line
  // that takes it up to the next one.
  std::filesystem::remove_all(data / "VeltoInterface");
  keypads = PlugKeypads(true);
  current = 0;
  LineClock batchLines([&](const std::string& line, Instant at) {
    const bool next = line.rfind("[", 0) == 0;
    if (!next && line != "Summary:") return;
    if (next && line.rfind("[1/", 0) == 0) {
      keypads[0].started = at;
      return;
    }
    keypads[current].finished = at;
    if (++current < kKeypads) keypads[current].started = at;
  });
  LineClock batchProgress(progress);
  std::ostream batchOut(&batchLines);
  std::ostream batchErr(&batchProgress);
  const auto batchStore =
      navkeypad::store::OpenTheStore(navkeypad::settings::DefaultConfigFile(), true);
  cli::Run({"upgrade", "--all", "--expect-version", "2.01", firmware},
           {batchOut, batchErr, *batchStore, false, "navkeypad"});
  Print("navkeypad upgrade --all (firmware only, every keypad attached)", keypads, clock);
  std::filesystem::remove_all(data);
  return 0;
}
