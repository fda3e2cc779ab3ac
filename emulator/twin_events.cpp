#include "twin_events.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <glob.h>
#include <libudev.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace virtual_keypad {

namespace {

// How long a listener that does not read holds the next event back before it is given up on;
// from then on it gets only what its queue has room for, as the kernel drops what a full netlink
// socket cannot take, until it reads again.
constexpr auto kPatience = std::chrono::seconds(10);
// One wait of a send for room; the sender looks at the clock and at the twin's end between.
constexpr timeval kWaitSlice{0, 100'000};

// The header libudev puts before each event it sends to a monitor, and checks (its prefix and
// magic; the hashes in the socket filter a monitor with subsystem matches attaches).
struct MonitorHeader {
  char prefix[8] = "libudev";
  uint32_t magic = htonl(0xfeedcafe);
  uint32_t headerSize = sizeof(MonitorHeader);
  uint32_t propertiesOffset = sizeof(MonitorHeader);
  uint32_t propertiesLength = 0;
  uint32_t subsystemHash = 0;
  uint32_t devtypeHash = 0;
  uint32_t tagBloomHigh = 0;
  uint32_t tagBloomLow = 0;
};
static_assert(sizeof(MonitorHeader) == 40);

// MurmurHash2, as udev hashes a subsystem or device type for the monitors' socket filters.
uint32_t FilterHash(const std::string& text) {
  constexpr uint32_t m = 0x5bd1e995;
  auto length = static_cast<uint32_t>(text.size());
  uint32_t h = length;
  const auto* data = reinterpret_cast<const unsigned char*>(text.data());
  for (; length >= 4; data += 4, length -= 4) {
    uint32_t k = 0;
    std::memcpy(&k, data, 4);
    k *= m;
    k ^= k >> 24;
    k *= m;
    h *= m;
    h ^= k;
  }
  switch (length) {
    case 3:
      h ^= static_cast<uint32_t>(data[2]) << 16;
      [[fallthrough]];
    case 2:
      h ^= static_cast<uint32_t>(data[1]) << 8;
      [[fallthrough]];
    case 1:
      h ^= data[0];
      h *= m;
      break;
    default:
      break;
  }
  h ^= h >> 13;
  h *= m;
  h ^= h >> 15;
  return h;
}

struct Event {
  std::string bytes;
  std::vector<std::string> listeners;
};

}  // namespace

class TwinEvents::Sender {
 public:
  explicit Sender(std::string rootDir) : root_(std::move(rootDir)), udev_(udev_new()) {
    thread_ = std::thread([this] { run(); });
  }
  ~Sender() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
    udev_unref(udev_);
  }
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;

  void post(const std::string& syspath, const char* action) {
    Event event{message(syspath, action), listeners()};
    if (event.bytes.empty() || event.listeners.empty()) return;
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(event));
    }
    wake_.notify_all();
  }

  void flush() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [&] { return queue_.empty() && !sending_; });
  }

  // The listeners' sockets step aside under another name meanwhile: a socket is reached by its
  // name only when a sender connects, which the sender thread does not do until they are back.
  void unheard(const std::function<void()>& change) {
    std::lock_guard lock(placesMutex_);
    const auto listening = listeners();
    for (const auto& listener : listening) std::rename(listener.c_str(), aside(listener).c_str());
    change();
    for (const auto& listener : listening) {
      // A monitor opened meanwhile under the same name keeps it; the one set aside would have
      // lost it to that one anyway (umockdev's library names them by descriptor alone).
      if (renameat2(AT_FDCWD, aside(listener).c_str(), AT_FDCWD, listener.c_str(),
                    RENAME_NOREPLACE) != 0)
        std::remove(aside(listener).c_str());
    }
  }

 private:
  // The event as udev sends it: the header, then the properties, each NUL-ended: the action,
  // where the device is, its subsystem and the event's number, then what its uevent file says.
  std::string message(const std::string& syspath, const char* action) {
    udev_device* device = udev_device_new_from_syspath(udev_, syspath.c_str());
    if (device == nullptr) {
      std::fprintf(stderr, "navkeypad-twin: no device %s to send \"%s\" for\n", syspath.c_str(),
                   action);
      return {};
    }
    const char* subsystem = udev_device_get_subsystem(device);
    const char* devtype = udev_device_get_devtype(device);
    std::string properties;
    const auto property = [&](const std::string& line) { properties.append(line).push_back('\0'); };
    property(std::string("ACTION=") + action);
    property(std::string("DEVPATH=") + udev_device_get_devpath(device));
    property(std::string("SUBSYSTEM=") + (subsystem != nullptr ? subsystem : ""));
    property("SEQNUM=" + std::to_string(++sequence_));
    std::ifstream uevent(root_ + syspath + "/uevent", std::ios::binary);
    for (std::string line; std::getline(uevent, line);)
      if (!line.empty()) property(line);
    MonitorHeader header;
    header.propertiesLength = static_cast<uint32_t>(properties.size());
    if (subsystem != nullptr) header.subsystemHash = htonl(FilterHash(subsystem));
    if (devtype != nullptr) header.devtypeHash = htonl(FilterHash(devtype));
    udev_device_unref(device);
    std::string bytes(reinterpret_cast<const char*>(&header), sizeof header);
    return bytes + properties;
  }

  static std::string aside(const std::string& listener) {
    const auto name = listener.rfind('/') + 1;
    return listener.substr(0, name) + "aside-" + listener.substr(name);
  }

  // The programs' udev monitors now: a program that opens one later did not hear of this.
  std::vector<std::string> listeners() const {
    std::vector<std::string> paths;
    glob_t found{};
    if (glob((root_ + "/event[0-9]*").c_str(), 0, nullptr, &found) == 0)
      paths.assign(found.gl_pathv, found.gl_pathv + found.gl_pathc);
    globfree(&found);
    return paths;
  }

  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      Event event = std::move(queue_.front());
      queue_.pop_front();
      sending_ = true;
      lock.unlock();
      for (const auto& listener : event.listeners) deliver(event.bytes, listener);
      lock.lock();
      sending_ = false;
      idle_.notify_all();
    }
  }

  // A send to a full datagram socket waits until its reader takes one; a listener that closed
  // its monitor is passed over.
  void deliver(const std::string& bytes, const std::string& listener) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (listener.size() >= sizeof address.sun_path) return;
    std::memcpy(address.sun_path, listener.c_str(), listener.size() + 1);
    const int socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socket < 0) return;
    std::unique_lock places(placesMutex_);
    if (connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      close(socket);
      return;
    }
    places.unlock();
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &kWaitSlice, sizeof kWaitSlice);
    const bool patient = stalled_.count(listener) == 0;
    const auto giveUp = std::chrono::steady_clock::now() + kPatience;
    for (;;) {
      if (send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL) >= 0) {
        stalled_.erase(listener);
        break;
      }
      if (errno == EINTR) continue;
      const bool full = errno == EAGAIN || errno == EWOULDBLOCK;
      if (full && patient && !stopping() && std::chrono::steady_clock::now() < giveUp) continue;
      if (full && stalled_.insert(listener).second) {
        std::fprintf(stderr,
                     "navkeypad-twin: %s has not read its udev events for %lld s; what its "
                     "queue cannot hold is dropped until it reads again\n",
                     listener.c_str(),
                     static_cast<long long>(
                         std::chrono::duration_cast<std::chrono::seconds>(kPatience).count()));
      }
      break;
    }
    close(socket);
  }

  bool stopping() {
    std::lock_guard lock(mutex_);
    return stopping_;
  }

  std::string root_;
  udev* udev_ = nullptr;
  uint64_t sequence_ = 0;
  std::set<std::string> stalled_;  // the sender thread's own
  std::mutex placesMutex_;         // the listeners' sockets are where they were
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<Event> queue_;
  bool sending_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

TwinEvents::TwinEvents(std::string rootDir)
    : sender_(std::make_unique<Sender>(std::move(rootDir))) {}

TwinEvents::~TwinEvents() = default;

void TwinEvents::post(const std::string& syspath, const char* action) {
  sender_->post(syspath, action);
}

void TwinEvents::unheard(const std::function<void()>& change) {
  sender_->unheard(change);
}

void TwinEvents::flush() {
  sender_->flush();
}

}  // namespace virtual_keypad
