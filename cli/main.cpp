#include <filesystem>
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif
#include <atomic>
#include <chrono>
#include <iostream>
#include <optional>
#include <sstream>
#include <thread>

#include "command_table.h"
#include "hidapi_virtual.h"
#include "names.h"
#include "navkeypad_cli.h"
#include "platform/clock.h"
#include "settings/keypad_settings_file.h"
#include "store/bench_folder.h"
#include "store/store.h"
#include "support/guarded_main.h"
#include "support/paths.h"
#include "wire/program_hid.h"
#include "wire/replay_sandbox.h"
#ifdef NAVKEYPAD_VIRTUAL
#include "bus_state.h"
#include "stand_in_loader.h"
#else
#include "device/system_hid.h"
#endif

namespace {

// The upgrade's progress line rewrites itself with terminal escapes; a Windows console
// understands them only once asked to.
bool ErrorsGoToATerminal() {
#ifdef _WIN32
  const HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (console == INVALID_HANDLE_VALUE || GetConsoleMode(console, &mode) == 0) return false;
  return SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
#else
  return isatty(STDERR_FILENO) == 1;
#endif
}

#ifdef NAVKEYPAD_VIRTUAL
// The virtual keypad answers at once: the waits a real keypad needs (its restart into the
// loader and back) would only hold up whoever tries the program, and every test that runs it.
// Its time still passes, a hundred times faster than the wall's: a program that waits for
// keypads to arrive (the station) sees them come in order without spinning the processor.
class FastClock : public platform::Clock {
 public:
  void sleepMs(int milliseconds) override {
    now_ += static_cast<uint64_t>(milliseconds);
    std::this_thread::sleep_for(std::chrono::microseconds(milliseconds * 10));
  }
  uint64_t tickMs() override { return now_; }

 private:
  std::atomic<uint64_t> now_{1000};
};
#endif

}  // namespace

namespace {
// The wire's switches, wherever they stand, into `options` (and --virtual into `virtualBus`); the
// rest, the command's, into `arguments`. Why not, where a switch lacks its value.
std::string TakeWireOptions(const std::vector<std::string>& words, wire::WireOptions& options,
                            bool& virtualBus, std::vector<std::string>& arguments) {
  for (std::size_t i = 1; i < words.size(); ++i) {
    const std::string& argument = words[i];
    using navkeypad::cli::Wire;
    const navkeypad::cli::OptionDeclaration* option = navkeypad::cli::FindOption(argument);
    const Wire wire = option != nullptr ? option->wire : Wire::kNone;
    if (wire == Wire::kNone) {
      arguments.push_back(argument);
    } else if (wire == Wire::kVirtual) {
      virtualBus = true;
    } else if (wire == Wire::kTrace) {
      options.trace.assign(1, '-');  // "-" is standard error
    } else {
      if (i + 1 == words.size() || navkeypad::cli::IsOption(words[i + 1]))
        return argument + " needs a value.";
      (wire == Wire::kRecord ? options.record : options.replay) = words[++i];
    }
  }
  return {};
}

// How the program was started, as far as a command it advises must repeat it to do the same: on
// the same bus.
std::string Invocation(const std::string& program, bool virtualGiven) {
  const std::string name = program.empty() ? std::string("navkeypad") : program;
  return virtualGiven ? name + " " + navkeypad::cli::OptionName(navkeypad::cli::Wire::kVirtual)
                      : name;
}

int Main(int argc, char** argv) {
  namespace cli = navkeypad::cli;
  const std::vector<std::string> words = support::Utf8Arguments(argc, argv);
  argc = static_cast<int>(words.size());
  const std::string program =
      argc > 0 ? support::Utf8FromPath(support::PathFromUtf8(words[0]).filename()) : "";
  // The wire's switches are the program's, wherever they stand; the rest is the command's.
  wire::WireOptions wireOptions = wire::WireOptionsFromEnvironment();
#ifdef NAVKEYPAD_VIRTUAL
  bool virtualBus = true;
  virtual_keypad::UseStandInLoader();
  FastClock fast;
  platform::setClock(&fast);
#else
  bool virtualBus = support::EnvironmentText("NAVKEYPAD_VIRTUAL") == "1";
#endif
  // A script that asked for JSON reads one document, whatever fails and wherever.
  const bool json = cli::WantsJson(words);
  const auto refuse = [&](const std::string& message) {
    return cli::SayFailure(std::cout, std::cerr, json, cli::kBadInput, message);
  };
  const bool virtualBefore = virtualBus;
  std::vector<std::string> arguments;
  if (const std::string problem = TakeWireOptions(words, wireOptions, virtualBus, arguments);
      !problem.empty())
    return refuse(problem);
#ifdef NAVKEYPAD_VIRTUAL
  // What a keypad of the virtual bus can be made to do wrong, for whoever writes a state file.
  if (arguments == std::vector<std::string>{"faults"}) {
    std::cout << virtual_keypad::FaultList();
    return cli::kDone;
  }
  navkeypad::HidBackend& realBus = virtual_keypad::VirtualHid();
#else
  navkeypad::HidBackend& realBus = navkeypad::SystemHid();
#endif
  wire::ProgramHid hid(realBus, virtualBus, wireOptions, program, arguments);
  if (!hid.ok()) return refuse(hid.problem());
  // A replay without a command runs the one it recorded, in a sandbox: it writes nothing of
  // the user's. A command given now runs as given.
  std::optional<wire::ReplaySandbox> sandbox;
  if (hid.replay() != nullptr && arguments.empty()) {
    sandbox.emplace();
    if (!sandbox->problem().empty()) return refuse(sandbox->problem() + "; nothing was replayed.");
    arguments = sandbox->confine(hid.replay()->recording().arguments);
  }
  // With JSON the document waits for the end: a run that fails only then (a replay that went
  // another way, a virtual bus that cannot be written back) prints its failure, not a success.
  // The station prints a JSON line a keypad as it goes; a failure found only at the end
  // follows as its last line.
  const bool heldBack = json && !cli::StreamsJsonLines(cli::CommandWord(arguments));
  std::ostringstream held;
  // What the bench knows is opened once, here, where the program knows whether its keypads are
  // real: a virtual bus or a replay keeps a store of its own.
  const auto store =
      navkeypad::store::OpenTheStore(navkeypad::settings::DefaultConfigFile(), !hid.realKeypads());
  hid.holdLinesUntilSaved(*store);
  const int ran =
      cli::Run(arguments, {heldBack ? held : std::cout, std::cerr, *store, ErrorsGoToATerminal(),
                           Invocation(program, virtualBus && !virtualBefore)});
  const int status = hid.finish(ran, cli::kBadInput);
  if (!hid.ok()) std::cerr << "navkeypad: " << hid.problem() << "\n";
  // What the command said is not the end of it when its replay went another way.
  const std::string diverged = hid.replay() != nullptr ? hid.replay()->failure() : "";
  if (json && (status != ran || !diverged.empty())) {
    const std::string why = !hid.ok()           ? hid.problem()
                            : !diverged.empty() ? diverged
                                                : "the replay went another way than its recording";
    std::cout << cli::ErrorJson(why, status) << "\n";
  } else if (heldBack) {
    std::cout << held.str();
  }
  return status;
}
}  // namespace

int main(int argc, char** argv) {
  return support::RunGuarded("navkeypad", [&] { return Main(argc, argv); });
}
