// The keypad twin's nodes, events and answers, on a GLib main loop of its own thread.
#include "keypad_twin.h"

#include <fcntl.h>
#include <glib.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bsl430/bsl430.h"
#include "hidapi_virtual.h"
#include "support/hex.h"
#include "twin_events.h"
#include "virtual_keypad.h"

namespace virtual_keypad {

namespace {

constexpr char kHostController[] = "/sys/devices/pci0000:00/0000:00:14.0/usb1";
constexpr unsigned kHidrawMajor = 247;

// What the kernel gives a program that asks for a node's report descriptor: the configuration
// interface's 64-byte vendor reports, the loader's reports numbered 0x3F, a boot keyboard.
const std::vector<uint8_t> kConfigurationDescriptor = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
    0x95, 0x40, 0x09, 0x01, 0x81, 0x02, 0x95, 0x40, 0x09, 0x01, 0x91, 0x02, 0xC0};
const std::vector<uint8_t> kLoaderDescriptor = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x3F, 0x95, 0x3F, 0x75,
    0x08, 0x25, 0x01, 0x45, 0x01, 0x09, 0x01, 0x81, 0x02, 0x85, 0x3F, 0x95,
    0x3F, 0x75, 0x08, 0x25, 0x01, 0x45, 0x01, 0x09, 0x01, 0x91, 0x02, 0xC0};
const std::vector<uint8_t> kKeyboardDescriptor = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25,
    0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};

// sysfs keeps the USB strings as UTF-8.
std::string Utf8(const std::wstring& text) {
  std::string out;
  for (wchar_t wide : text) {
    const auto c = static_cast<uint32_t>(wide);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// A text as an attribute line ("A:") of a device description takes it: a backslash and a line
// end escaped, as umockdev reads them back.
std::string Attribute(const std::string& text) {
  std::string escaped;
  for (char c : text)
    escaped += c == '\\' ? std::string("\\\\") : c == '\n' ? std::string("\\n") : std::string(1, c);
  return escaped;
}

// A udev property line ("E:") is taken as it stands, to its end: a line end, as the kernel's
// uevent would not hold one either, becomes a blank.
std::string Property(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

std::string Hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value & 0xFFFF);
  return text;
}

// One hidraw node: the program's side of one interface of one keypad, for as long as it is on
// the bus. A node whose keypad left stays, answering as a node of a pulled device does, since
// programs may still hold it open.
struct Node {
  std::string keypadId;
  int interfaceNumber = 0;
  std::string name;                  // hidrawN
  std::vector<std::string> devices;  // in sysfs: the node, its HID device, its USB interface
  std::vector<uint8_t> descriptor;
  uint16_t productId = 0;
  std::shared_ptr<VirtualKeypad> keypad;
  // On the virtual bus; kept open until the twin ends, since umockdev calls the node's handlers
  // on a thread of its own, which may be using it when the keypad leaves.
  hid_device* handle = nullptr;
  // The node's pty: a block written to its master side (`terminal`) makes the program's poll
  // say there is something to read, and the read takes it back from the slave side (`bell`)
  // before it takes the keypad's report. The report is read from the keypad only when the
  // program reads, so a keypad that leaves once its answer is read leaves when it was.
  std::atomic<int> terminal = -1;  // set once the node is there; a handler may ring before
  int bell = -1;
  std::atomic<bool> ringing = false;
  std::atomic<bool> left = false;  // its keypad left the bus
  KeypadTwin::Served* twin = nullptr;
  UMockdevIoctlBase* handler = nullptr;
  bool gone() const { return left || handle == nullptr; }
};

// A keypad where it is plugged in: one USB device at its port.
struct Plugged {
  // Who is there, and as what: a keypad that restarted, or another plugged in at the port, is
  // a new device.
  const VirtualKeypad* keypad = nullptr;
  uint64_t generation = 0;
  uint16_t productId = 0;
  std::string usbDevice;  // sysfs path
  std::vector<Node*> nodes;
};

}  // namespace

class KeypadTwin::Served {
 public:
  explicit Served(std::string nodesFile) : nodesFile_(std::move(nodesFile)) {
    bed_ = umockdev_testbed_new();
    // Like sysfs, the testbed is there for every user of the computer; who may open a node is
    // the node's own mode.
    gchar* root = umockdev_testbed_get_root_dir(bed_);
    chmod(root, 0755);
    events_ = std::make_unique<TwinEvents>(root);
    g_free(root);
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
  }
  ~Served() {
    if (thread_.joinable()) {
      g_main_context_invoke(
          context_,
          [](gpointer loop) {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
          },
          loop_);
      thread_.join();
    }
    for (auto& node : nodes_) {
      if (node->handle != nullptr) virtual_keypad::VirtualHid().close(node->handle);
      if (node->bell >= 0) close(node->bell);
      g_object_unref(node->handler);
    }
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
    g_object_unref(bed_);
  }
  Served(const Served&) = delete;
  Served& operator=(const Served&) = delete;

  void settle() {
    std::unique_lock lock(settledMutex_);
    const uint64_t asked = syncs_;
    // The pass under way may have read the bus before the call; the next one has not.
    settled_.wait(lock, [&] { return syncs_ >= asked + 2; });
    lock.unlock();
    events_->flush();
  }

  void start() {
    std::promise<void> ready;
    std::future<void> started = ready.get_future();
    thread_ = std::thread([this, &ready] {
      // The nodes' handlers answer on the context that is this thread's when they are attached.
      g_main_context_push_thread_default(context_);
      sync();
      GSource* tick = g_timeout_source_new(2);
      g_source_set_callback(tick, &Served::Tick, this, nullptr);
      g_source_attach(tick, context_);
      g_source_unref(tick);
      ready.set_value();
      g_main_loop_run(loop_);
      g_main_context_pop_thread_default(context_);
    });
    started.wait();
  }

 private:
  static gboolean Tick(gpointer self) {
    auto* twin = static_cast<Served*>(self);
    twin->sync();
    std::unique_lock busy(twin->busMutex_, std::try_to_lock);
    if (!busy) return G_SOURCE_CONTINUE;
    twin->ringAll();
    twin->removeLeft();
    return G_SOURCE_CONTINUE;
  }

  // The bus as the program's computer should see it now: keypads that left (for their loader,
  // back to their application, or pulled) go with udev's remove events, arrivals come with add.
  void sync() {
    std::unique_lock busy(busMutex_, std::try_to_lock);
    if (!busy) return;
    std::map<std::string, std::shared_ptr<VirtualKeypad>> present;
    for (const auto& keypad : virtual_keypad::VirtualBus::instance().keypads()) {
      if (keypad->onBus() && !keypad->unplugged()) present[keypad->port()] = keypad;
    }
    for (auto it = plugged_.begin(); it != plugged_.end();) {
      const auto now = present.find(it->first);
      if (now != present.end() && now->second.get() == it->second.keypad &&
          now->second->generation() == it->second.generation &&
          now->second->identity().productId == it->second.productId) {
        ++it;
        continue;
      }
      depart(it->second);
      it = plugged_.erase(it);
    }
    for (const auto& [port, keypad] : present) {
      if (plugged_.count(port) == 0) arrive(port, keypad);
    }
    {
      std::lock_guard lock(settledMutex_);
      ++syncs_;
    }
    settled_.notify_all();
  }

  void depart(Plugged& plugged) {
    std::error_code error;
    gchar* root = umockdev_testbed_get_root_dir(bed_);
    for (Node* node : plugged.nodes) {
      node->left = true;
      // A program waiting on the node wakes, and its read fails as on a pulled device.
      ring(*node);
      // Gone from the list and from /dev before anyone hears of it, as udev tells a program
      // only once the kernel has let go: a program that looks again on the event must not find
      // it. Not umockdev_testbed_remove_device: that would end the connections of programs that
      // hold the node open, which on a real computer keep their descriptor and see it fail.
      std::filesystem::remove(std::string(root) + "/sys/class/hidraw/" + node->name, error);
      std::filesystem::remove(std::string(root) + "/dev/" + node->name, error);
    }
    // The nodes, then the USB device: what arrived with events leaves with them. (Not the HID
    // devices and interfaces between: nobody here listens for them.)
    for (auto node = plugged.nodes.rbegin(); node != plugged.nodes.rend(); ++node)
      events_->post((*node)->devices.front(), "remove");
    events_->post(plugged.usbDevice, "remove");
    g_free(root);
    // Its files stay a moment for a program that listed it just before and reads them now
    // (hidapi reads a device's uevent without asking whether it is still there).
    leaving_.push_back(
        {std::chrono::steady_clock::now() + std::chrono::milliseconds(500), plugged.usbDevice});
  }

  // Removes from sysfs the devices that left: those whose moment is over, or the one at `only`,
  // whose port a keypad arrives at now.
  void removeLeft(const std::string& only = {}) {
    gchar* root = umockdev_testbed_get_root_dir(bed_);
    const auto now = std::chrono::steady_clock::now();
    std::error_code error;
    const auto removed = std::remove_if(leaving_.begin(), leaving_.end(), [&](const auto& left) {
      if (only.empty() ? left.first > now : left.second != only) return false;
      std::filesystem::remove_all(std::string(root) + left.second, error);
      return true;
    });
    const bool any = removed != leaving_.end();
    leaving_.erase(removed, leaving_.end());
    g_free(root);
    if (any) removeDanglingLinks();
  }

  // The links in sysfs to what was removed go too: the keypad that comes back at the same port
  // needs their names.
  void removeDanglingLinks() {
    namespace fs = std::filesystem;
    gchar* sys = umockdev_testbed_get_sys_dir(bed_);
    std::error_code error;
    for (const char* kind : {"bus", "class"}) {
      for (fs::recursive_directory_iterator it(fs::path(sys) / kind, error), end; it != end;
           it.increment(error)) {
        if (error) break;
        if (it->is_symlink(error) && !fs::exists(it->path(), error)) {
          fs::remove(it->path(), error);
        } else if (it->is_symlink(error)) {
          it.disable_recursion_pending();
        }
      }
    }
    g_free(sys);
  }

  void arrive(const std::string& port, const std::shared_ptr<VirtualKeypad>& arrived) {
    VirtualKeypad& keypad = *arrived;
    const auto identity = keypad.identity();
    const bool loader = identity.productId == kLoaderProductId;
    const std::string manufacturer = Utf8(keypad.manufacturer());
    const std::string product = Utf8(keypad.product());
    const std::string serial = keypad.usbSerial();
    Plugged plugged{&keypad,
                    keypad.generation(),
                    identity.productId,
                    std::string(kHostController) + "/" + port,
                    {}};
    ++usbNumber_;
    std::string tree = "P: " + devicePath(plugged.usbDevice) +
                       "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: PRODUCT=2047/" +
                       Lower(Hex4(identity.productId)) +
                       "/100\nA: idVendor=2047\nA: idProduct=" + Lower(Hex4(identity.productId)) +
                       "\nA: manufacturer=" + Attribute(manufacturer) +
                       "\nA: product=" + Attribute(product) + "\nA: serial=" + Attribute(serial) +
                       "\nA: bcdDevice=0100\nA: busnum=1\nA: devnum=" + std::to_string(usbNumber_) +
                       "\n\n";
    std::vector<std::unique_ptr<Node>> made;
    for (int interfaceNumber : identity.interfaces) {
      auto node = std::make_unique<Node>();
      node->keypadId = keypad.id();
      node->keypad = arrived;
      node->twin = this;
      node->interfaceNumber = interfaceNumber;
      node->productId = identity.productId;
      node->name = "hidraw" + std::to_string(nextHidraw_++);
      node->descriptor = loader                 ? kLoaderDescriptor
                         : interfaceNumber == 0 ? kKeyboardDescriptor
                                                : kConfigurationDescriptor;
      const std::string usbInterface =
          plugged.usbDevice + "/" + port + ":1." + std::to_string(interfaceNumber);
      const std::string hid = usbInterface + "/0003:2047:" + Hex4(identity.productId) + "." +
                              Hex4(static_cast<unsigned>(++hidNumber_));
      const std::string hidraw = hid + "/hidraw/" + node->name;
      tree += "P: " + devicePath(usbInterface) +
              "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceNumber=0" +
              std::to_string(interfaceNumber) + "\nA: bInterfaceClass=03\n\n";
      tree += "P: " + devicePath(hid) + "\nE: SUBSYSTEM=hid\nE: HID_ID=0003:00002047:0000" +
              Hex4(identity.productId) + "\nE: HID_NAME=" + Property(manufacturer + " " + product) +
              "\nE: HID_PHYS=usb-0000:00:14.0-" + port.substr(port.find('-') + 1) + "/input" +
              std::to_string(interfaceNumber) + "\nE: HID_UNIQ=" + Property(serial) +
              "\nH: report_descriptor=" + support::HexText(node->descriptor) + "\n\n";
      tree += "P: " + devicePath(hidraw) + "\nN: " + node->name +
              "\nE: SUBSYSTEM=hidraw\nE: DEVNAME=/dev/" + node->name +
              "\nA: dev=" + std::to_string(kHidrawMajor) + ":" + node->name.substr(6) +
              "\nL: device=../../../" + hid.substr(hid.rfind('/') + 1) + "\n\n";
      node->devices = {hidraw, hid, usbInterface};
      made.push_back(std::move(node));
    }
    removeLeft(plugged.usbDevice);
    // Each node is answered before it is there: a program that finds it the moment it appears
    // (a station looks every 100 ms) must not reach umockdev's fallback, nor a handler's socket
    // bound but not yet listening (umockdev's preload library ends the program then).
    for (auto& node : made) serve(*node, keypad);
    GError* error = nullptr;
    bool added = false;
    events_->unheard([&] { added = umockdev_testbed_add_from_string(bed_, tree.c_str(), &error); });
    if (!added) {
      std::fprintf(stderr, "navkeypad-twin: %s\n", error->message);
      g_error_free(error);
      // Their handlers stay attached until the twin ends; so do they, as nodes that left.
      for (auto& node : made) {
        node->left = true;
        nodes_.push_back(std::move(node));
      }
      return;
    }
    events_->post(plugged.usbDevice, "add");
    for (auto& node : made) {
      connectTerminal(*node, keypad);
      events_->post(node->devices.front(), "add");
      plugged.nodes.push_back(node.get());
      if (!nodesFile_.empty()) {
        std::ofstream(nodesFile_, std::ios::app) << "/dev/" << node->name << " " << node->keypadId
                                                 << " " << node->interfaceNumber << "\n";
      }
      nodes_.push_back(std::move(node));
    }
    plugged_[port] = std::move(plugged);
  }

  // The node answers as hidraw does: its ioctls and writes come here, its reads take one report
  // each from what the keypad answered.
  void serve(Node& node, VirtualKeypad& keypad) {
    const std::string devnode = "/dev/" + node.name;
    // Who may open the keypad is the node's mode; the twin itself always reaches it.
    const bool openable = keypad.openable();
    keypad.setOpenable(true);
    node.handle = virtual_keypad::VirtualHid().openPath(
        virtual_keypad::InterfacePath(node.keypadId, node.interfaceNumber).c_str());
    keypad.setOpenable(openable);
    node.handler = umockdev_ioctl_base_new();
    g_signal_connect(node.handler, "handle-ioctl", G_CALLBACK(&Served::OnIoctl), &node);
    g_signal_connect(node.handler, "handle-read", G_CALLBACK(&Served::OnRead), &node);
    g_signal_connect(node.handler, "handle-write", G_CALLBACK(&Served::OnWrite), &node);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(bed_, devnode.c_str(), node.handler, &error)) {
      std::fprintf(stderr, "navkeypad-twin: %s\n", error->message);
      g_error_free(error);
    }
    // Where a program of another user reaches the node's handler; the node decides.
    gchar* root = umockdev_testbed_get_root_dir(bed_);
    chmod((std::string(root) + "/ioctl" + devnode).c_str(), 0777);
    g_free(root);
  }

  // The node's pty, which umockdev makes with the node: what the program's poll watches.
  void connectTerminal(Node& node, const VirtualKeypad& keypad) {
    node.terminal = umockdev_testbed_get_dev_fd(bed_, ("/dev/" + node.name).c_str());
    if (const char* slave = ptsname(node.terminal)) {
      node.bell = open(slave, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      termios raw{};
      if (node.bell >= 0 && tcgetattr(node.bell, &raw) == 0) {
        cfmakeraw(&raw);
        tcsetattr(node.bell, TCSANOW, &raw);
      }
      // As the package's udev rule leaves a keypad's node: open to the user at the seat, or,
      // for a keypad that stands for one without the rule, to root alone.
      chmod(slave, keypad.openable() ? 0666 : 0600);
    }
  }

  static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    const Node& node = *static_cast<Node*>(data);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    if (node.gone()) {
      umockdev_ioctl_client_complete(client, -1, ENODEV);
      return TRUE;
    }
    UMockdevIoctlData* argument = umockdev_ioctl_client_get_arg(client);
    const auto answer = [&](const void* bytes, std::size_t size) {
      GError* error = nullptr;
      UMockdevIoctlData* target = umockdev_ioctl_data_resolve(argument, 0, size, &error);
      if (target == nullptr) {
        g_clear_error(&error);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
      }
      umockdev_ioctl_data_update(target, 0, static_cast<guint8*>(const_cast<void*>(bytes)),
                                 static_cast<gint>(size));
      umockdev_ioctl_client_complete(client, 0, 0);
      g_object_unref(target);
    };
    if (request == HIDIOCGRDESCSIZE) {
      const int size = static_cast<int>(node.descriptor.size());
      answer(&size, sizeof size);
    } else if (request == HIDIOCGRDESC) {
      hidraw_report_descriptor descriptor{};
      descriptor.size = static_cast<__u32>(node.descriptor.size());
      std::memcpy(descriptor.value, node.descriptor.data(), node.descriptor.size());
      answer(&descriptor, sizeof descriptor);
    } else if (request == HIDIOCGRAWINFO) {
      hidraw_devinfo info{};
      info.bustype = 3;  // BUS_USB
      info.vendor = 0x2047;
      info.product = static_cast<__s16>(node.productId);
      answer(&info, sizeof info);
    } else {
      umockdev_ioctl_client_complete(client, -1, EINVAL);
    }
    return TRUE;
  }

  // As hidraw reads: one report a read, EAGAIN when none is there, EIO once the device is gone.
  static gboolean OnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    Node& node = *static_cast<Node*>(data);
    Served& twin = *node.twin;
    if (node.gone()) {
      umockdev_ioctl_client_complete(client, -1, EIO);
      return TRUE;
    }
    UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
    guint8* into = nullptr;
    gint room = 0;
    umockdev_ioctl_data_retrieve(buffer, &into, &room);
    std::array<uint8_t, 64> report{};
    if (node.ringing.exchange(false)) {
      [[maybe_unused]] const auto taken = read(node.bell, report.data(), report.size());
    }
    const int got =
        virtual_keypad::VirtualHid().readTimeout(node.handle, report.data(), report.size(), 0);
    if (got <= 0) {
      umockdev_ioctl_client_complete(client, -1, EAGAIN);
      return TRUE;
    }
    const gint count = std::min(static_cast<gint>(got), room);
    umockdev_ioctl_data_update(buffer, 0, report.data(), count);
    umockdev_ioctl_client_complete(client, count, 0);
    // The keypad may leave the bus once its answer is read; one report more may be waiting.
    twin.sync();
    twin.ring(node);
    return TRUE;
  }

  static gboolean OnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    Node& node = *static_cast<Node*>(data);
    Served& twin = *node.twin;
    UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
    guint8* from = nullptr;
    gint length = 0;
    umockdev_ioctl_data_retrieve(buffer, &from, &length);
    const int written = node.gone() ? -1
                                    : virtual_keypad::VirtualHid().write(
                                          node.handle, from, static_cast<size_t>(length));
    umockdev_ioctl_client_complete(client, written, written < 0 ? ENODEV : 0);
    // An answer ready at once is there before the program's next read, and a keypad that left
    // the bus on this report is gone from it before the program's next look.
    twin.ring(node);
    twin.sync();
    return TRUE;
  }

  void ringAll() {
    for (auto& node : nodes_) ring(*node);
  }

  // Makes the node readable for the program's poll: when the keypad has a report ready, or once
  // the keypad is gone (its read then fails).
  void ring(Node& node) {
    if (!node.gone() && (node.keypad == nullptr || !node.keypad->reportReady())) return;
    if (node.ringing.exchange(true)) return;
    const std::array<uint8_t, 64> block{};
    if (write(node.terminal, block.data(), block.size()) <= 0) node.ringing = false;
  }

  static std::string devicePath(const std::string& sysfs) { return sysfs.substr(4); }
  static std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  }

  UMockdevTestbed* bed_ = nullptr;
  // Posted to under busMutex_; outlives the testbed, whose handlers may sync until it goes.
  std::unique_ptr<TwinEvents> events_;
  std::string nodesFile_;
  std::map<std::string, Plugged> plugged_;
  std::vector<std::unique_ptr<Node>> nodes_;
  // umockdev calls the nodes' handlers on a thread of its own, which syncs after a write or read
  // as this one does on its tick: one at a time, the other passing over (never waiting, so that
  // neither waits on umockdev while umockdev waits on it).
  std::mutex busMutex_;
  std::vector<std::pair<std::chrono::steady_clock::time_point, std::string>> leaving_;
  std::mutex settledMutex_;
  std::condition_variable settled_;
  uint64_t syncs_ = 0;  // whole passes over the bus
  int nextHidraw_ = 0;
  int hidNumber_ = 0;
  int usbNumber_ = 1;
  GMainContext* context_ = nullptr;
  GMainLoop* loop_ = nullptr;
  std::thread thread_;
};

KeypadTwin::KeypadTwin(std::string nodesFile)
    : served_(std::make_unique<Served>(std::move(nodesFile))) {}

KeypadTwin::~KeypadTwin() = default;

void KeypadTwin::settle() {
  served_->settle();
}

void KeypadTwin::start() {
  served_->start();
}

bool RunUnderUmockdev(int argc, char** argv) {
  const char* preloaded = std::getenv("LD_PRELOAD");
  if (preloaded != nullptr && std::strstr(preloaded, "libumockdev-preload") != nullptr) return true;
  // The preload library comes before a sanitizer's runtime, which would otherwise refuse to run.
  const char* sanitizer = std::getenv("ASAN_OPTIONS");
  std::string options = sanitizer != nullptr ? sanitizer : "";
  if (options.find("verify_asan_link_order") == std::string::npos)
    setenv("ASAN_OPTIONS",
           (options.empty() ? "" : options + ":").append("verify_asan_link_order=0").c_str(), 1);
  std::vector<char*> wrapped{const_cast<char*>("umockdev-wrapper")};
  for (int i = 0; i < argc; ++i) wrapped.push_back(argv[i]);
  wrapped.push_back(nullptr);
  execvp(wrapped[0], wrapped.data());
  return false;
}

}  // namespace virtual_keypad
