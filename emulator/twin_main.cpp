// navkeypad-twin: a program, a shell or a test run on the keypad twin.
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bus_state.h"
#include "keypad_twin.h"

extern char** environ;

namespace {

constexpr char kUsage[] =
    "Usage: navkeypad-twin COMMAND [ARGUMENTS]\n"
    "Runs COMMAND (navkeypad, navkeypad-utility, a shell) on a computer whose only USB devices\n"
    "are the keypads of the virtual bus, seen through hidapi, udev and hidraw as real ones are.\n"
    "The bus is read from NAVKEYPAD_VIRTUAL_STATE, as the virtual programs read it (one keypad\n"
    "when it is not set), and written back there when COMMAND ends. NAVKEYPAD_TWIN_NODES=FILE\n"
    "lists there each node made: its name, the keypad's id and the interface. The programs (run\n"
    "from their build tree) keep their store in STATE-bench, beside the bus's state file, unless\n"
    "NAVKEYPAD_BENCH_FOLDER names another folder: never in the computer's.\n"
    "Exit status: COMMAND's; 2 when the bus cannot be read or COMMAND cannot be started.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  // umockdev's preload library must be in this program and in every program it starts.
  if (!virtual_keypad::RunUnderUmockdev(argc, argv)) {
    std::fprintf(stderr, "navkeypad-twin: umockdev-wrapper cannot be run (%s); install umockdev\n",
                 std::strerror(errno));
    return 2;
  }
  virtual_keypad::ProgramBus bus;
  if (!bus.ok()) {
    std::fprintf(stderr, "navkeypad-twin: %s\n", bus.problem().c_str());
    return 2;
  }
  const char* nodes = std::getenv("NAVKEYPAD_TWIN_NODES");
  int status = 0;
  {
    virtual_keypad::KeypadTwin twin(nodes != nullptr ? nodes : "");
    twin.start();
    // A twin's keypads are no bench's: their records, numbers and log stay beside its bus.
    const char* state = std::getenv("NAVKEYPAD_VIRTUAL_STATE");
    if (state != nullptr && *state != '\0' && std::getenv("NAVKEYPAD_BENCH_FOLDER") == nullptr) {
      const std::string bench = std::string(state) + "-bench";
      mkdir(bench.c_str(), 0775);
      setenv("NAVKEYPAD_BENCH_FOLDER", bench.c_str(), 1);
    }
    // The bus is this run's: none of its programs may wait for it as a virtual bus.
    unsetenv("NAVKEYPAD_VIRTUAL_STATE");
    pid_t child = 0;
    if (const int failed = posix_spawnp(&child, argv[1], nullptr, nullptr, argv + 1, environ);
        failed != 0) {
      std::fprintf(stderr, "navkeypad-twin: %s: %s\n", argv[1], std::strerror(failed));
      return 2;
    }
    int ended = 0;
    while (waitpid(child, &ended, 0) < 0 && errno == EINTR) {
    }
    status = WIFEXITED(ended) ? WEXITSTATUS(ended) : 128 + WTERMSIG(ended);
    if (WIFSIGNALED(ended))
      std::fprintf(stderr, "navkeypad-twin: %s ended by signal %d\n", argv[1], WTERMSIG(ended));
  }
  if (!bus.save()) {
    std::fprintf(stderr, "navkeypad-twin: %s\n", bus.problem().c_str());
    return status == 0 ? 2 : status;
  }
  return status;
}
