#include "support/signal_hold.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <mutex>
#include <thread>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <pthread.h>
#include <unistd.h>
#endif

namespace support {

namespace {

std::atomic<bool> stopAsked{false};
// Written before the handlers are installed, read only by them: a handler may not allocate.
char announcementText[256];
std::size_t announcementLength = 0;
std::atomic<bool> announced{false};

void Announce() {
  if (announced.exchange(true)) return;
#ifdef _WIN32
  _write(2, announcementText, static_cast<unsigned>(announcementLength));
#else
  [[maybe_unused]] const ssize_t written = write(2, announcementText, announcementLength);
#endif
}

#ifdef _WIN32
BOOL WINAPI HoldConsoleEvent(DWORD) {
  stopAsked = true;
  Announce();
  return TRUE;
}
#else
constexpr int kHeld[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void HoldSignal(int) {
  stopAsked = true;
  Announce();
}

sigset_t HeldSet() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : kHeld) sigaddset(&set, signal);
  return set;
}
#endif

}  // namespace

#ifdef _WIN32
struct SignalHold::State {};
struct SignalHold::OffThisThread::Saved {};

SignalHold::SignalHold(const std::string& announcement) : state_(std::make_unique<State>()) {
  announcementLength = std::min(announcement.size(), sizeof announcementText);
  std::memcpy(announcementText, announcement.data(), announcementLength);
  announced = false;
  SetConsoleCtrlHandler(HoldConsoleEvent, TRUE);
}
SignalHold::~SignalHold() {
  SetConsoleCtrlHandler(HoldConsoleEvent, FALSE);
}
SignalHold::OffThisThread::OffThisThread() = default;
SignalHold::OffThisThread::~OffThisThread() = default;
#else
struct SignalHold::State {
  struct sigaction previous[std::size(kHeld)];
  // A thread of the hold's own takes the signals as they come, so that they are announced at
  // once while the keypad's thread keeps them off.
  std::mutex mutex;
  std::condition_variable ended;
  bool over = false;
  std::thread taker;
};

struct SignalHold::OffThisThread::Saved {
  sigset_t previous;
};

SignalHold::OffThisThread::OffThisThread() : saved_(std::make_unique<Saved>()) {
  const sigset_t held = HeldSet();
  pthread_sigmask(SIG_BLOCK, &held, &saved_->previous);
}

SignalHold::OffThisThread::~OffThisThread() {
  pthread_sigmask(SIG_SETMASK, &saved_->previous, nullptr);
}

SignalHold::SignalHold(const std::string& announcement) {
  announcementLength = std::min(announcement.size(), sizeof announcementText);
  std::memcpy(announcementText, announcement.data(), announcementLength);
  announced = false;
  state_ = std::make_unique<State>();
  struct sigaction hold {};
  hold.sa_handler = HoldSignal;
  hold.sa_flags = SA_RESTART;
  sigemptyset(&hold.sa_mask);
  for (std::size_t i = 0; i < std::size(kHeld); ++i)
    sigaction(kHeld[i], &hold, &state_->previous[i]);
  State& state = *state_;
  state.taker = std::thread([&state] {
    const sigset_t held = HeldSet();
    pthread_sigmask(SIG_UNBLOCK, &held, nullptr);
    std::unique_lock lock(state.mutex);
    state.ended.wait(lock, [&] { return state.over; });
    pthread_sigmask(SIG_BLOCK, &held, nullptr);
  });
}

SignalHold::~SignalHold() {
  {
    std::lock_guard lock(state_->mutex);
    state_->over = true;
  }
  state_->ended.notify_one();
  state_->taker.join();
  // What came while the keypad's thread kept them off is taken now, by the hold's handlers,
  // before the program's own are back.
  sigset_t pending;
  sigpending(&pending);
  for (const int signal : kHeld) {
    if (sigismember(&pending, signal)) stopAsked = true;
  }
  if (stopAsked) {
    const sigset_t held = HeldSet();
    timespec none{};
    while (sigtimedwait(&held, nullptr, &none) > 0) {
    }
  }
  for (std::size_t i = 0; i < std::size(kHeld); ++i)
    sigaction(kHeld[i], &state_->previous[i], nullptr);
}
#endif

bool SignalHold::Asked() {
  return stopAsked;
}

void SignalHold::Forget() {
  stopAsked = false;
}

}  // namespace support
