// A label for a keypad's serial number, written to a file or printed: the number the technician
// sticks on the keypad in hand, and the firmware the service log last saw on it.
#include "device/keypad_commands.h"
#include "label/label.h"
#include "navkeypad_cli.h"
#include "session.h"
#include "store/service_log.h"
#include "store/site.h"

namespace navkeypad::cli {

namespace {

// The firmware the service log last saw on keypad `serial` into `firmware`; "" where it saw none.
// A log that cannot be read is said so: a label without its firmware line would look like one.
store::StoreError LastFirmwareOf(store::Store& store, const std::string& serial,
                                 std::string& firmware) {
  store::LogLines lines;
  if (store::StoreError unread = store.lines({serial, {}, {}}, lines)) return unread;
  for (auto line = lines.entries.rbegin(); line != lines.entries.rend(); ++line) {
    firmware = store::LogText(*line, "firmwareAfter");
    if (!firmware.empty()) break;
  }
  return {};
}

// "VNK000412 (firmware 2.01)", as the label shows it.
std::string Described(const label::LabelText& text) {
  return text.serial + (text.firmware.empty() ? "" : " (firmware " + text.firmware + ")");
}

}  // namespace

int LabelCommand(Session& session) {
  const auto& words = session.positional();
  const Options& options = session.options();
  if (words.size() != 2 || (!options.output && !options.print)) {
    return session.fail(kBadInput, "usage: " + session.io().program +
                                       " label SERIAL --output FILE.png|FILE.pdf, or --print "
                                       "[PRINTER], or both");
  }
  const std::string& serial = words[1];
  if (const std::string problem = SerialNumberProblem(serial); !problem.empty())
    return session.fail(kBadInput, "no label: " + problem);
  std::string problem;
  const label::LabelLayout layout = label::LayoutFromSiteFile(store::TheSiteFile(), problem);
  if (!problem.empty()) return session.fail(kBadInput, problem + ".");
  label::LabelText text{serial, {}};
  if (const store::StoreError unread = LastFirmwareOf(session.io().store, serial, text.firmware))
    return session.fail(kBadInput, unread.message + "; no label was made.");
  if (options.output) {
    if (const std::string failed = label::WriteLabel(text, layout, *options.output);
        !failed.empty())
      return session.fail(kKeypadFailed, failed + "; nothing was written.");
    session.io().out << "The label of " << Described(text) << " is written to " << *options.output
                     << ".\n";
  }
  if (options.print) {
    if (const std::string failed = label::PrintLabel(text, layout, *options.print); !failed.empty())
      return session.fail(kKeypadFailed, failed + "; nothing was printed.");
    session.io().out << "The label of " << Described(text) << " is sent to "
                     << (options.print->empty() ? "the default printer" : *options.print) << ".\n";
  }
  return kDone;
}

}  // namespace navkeypad::cli
