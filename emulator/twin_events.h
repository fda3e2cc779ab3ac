// udev's events as the keypad twin sends them to the programs that listen. umockdev's own sender
// ends the whole process when a listener's queue is full (a datagram socket holds
// /proc/sys/net/unix/max_dgram_qlen of them, ten by default), and a program whose thread is busy
// for a moment lets a departure and an arrival fill it. Here each event is built when it
// happens, from the device as sysfs shows it then, and delivered in order on a thread of its
// own, which waits for a full listener to read before it sends the next: a slow listener hears
// every event, late; nothing the twin serves waits for it.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace virtual_keypad {

class TwinEvents {
 public:
  // `rootDir`: the testbed's root, where umockdev's preload library binds a socket
  // ("event<fd>") for each udev monitor a program opens.
  explicit TwinEvents(std::string rootDir);
  ~TwinEvents();
  TwinEvents(const TwinEvents&) = delete;
  TwinEvents& operator=(const TwinEvents&) = delete;

  // The event `action` ("add", "remove") of the device at `syspath` (/sys/devices/...), for the
  // listeners there are now. Only from one thread at a time (the twin's bus lock).
  void post(const std::string& syspath, const char* action);
  // Runs `change` out of the listeners' hearing: umockdev announces each device it adds to every
  // listener itself, at once (an arrival's USB device, interfaces, HID devices and nodes), and
  // the twin posts what a listener should hear instead.
  void unheard(const std::function<void()>& change);
  // Returns once every event posted before was delivered, or given up on for a listener that
  // stopped reading.
  void flush();

  class Sender;

 private:
  std::unique_ptr<Sender> sender_;
};

}  // namespace virtual_keypad
