#!/usr/bin/env python3
"""Plants faults in the code that guards keypads, one at a time, and runs the suite on each.

A mutant is an exact text replacement in one file, with the fault it stands for. Each is
planted in a copy of the tree (the repository's files as they are now, committed or not),
built there and tested with ctest; the file is put back before the next. A mutant the suite
fails on is killed; one it passes survived, and either a test is owed or the note of the
change that leaves it says why it may stay. Not part of scripts/test.sh: it takes a while.

  scripts/mutants.py                 every mutant (a copy in $TMPDIR/navkeypad-mutants)
  scripts/mutants.py --check         only that each replacement finds its text exactly once
  scripts/mutants.py 3 17            only these mutants, by number
  scripts/mutants.py --work DIR      another place for the copy and its build

The last line is "mutation score K/N killed".
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# (file, text, replacement, the fault it stands for[, TWIN]). A mutant marked TWIN is run with
# the keypad twin's tests (ctest label "twin", minutes of real waits); the others without them.
TWIN = "twin"
MUTANTS = [
    # --- the exchange with the keypad -------------------------------------------------------
    ("src/device/hid_transport.cpp", "      elapsed = 0;\n      continue;", "      continue;",
     "an acknowledgement no longer grants a fresh time-out"),
    ("src/device/hid_transport.cpp", "constexpr int kAtMostOneQueue = 64;",
     "constexpr int kAtMostOneQueue = 1;",
     "only one late report is dropped before a request"),
    ("src/device/hid_transport.cpp", "  DropWaitingReports(device);\n",
     "  if (device == nullptr) DropWaitingReports(device);\n",
     "a late answer is taken for the next request's"),
    ("src/device/hid_transport.cpp", "if (report[1] > kReportSize) return kExchangeOverlongReport;",
     "if (report[1] >= kReportSize) return kExchangeOverlongReport;",
     "every full report is taken for an overlong one"),
    ("src/device/hid_transport.cpp", "  if (report[8 + length] != expected) return kExchangeRefused;",
     "  if (report[8 + length] != expected && expected == kEtx) return kExchangeRefused;",
     "an answer with a wrong checksum is believed"),
    ("src/device/hid_transport.cpp", "  if (report[7] != 0x00) return kExchangeRefused;\n", "",
     "a refusal in the status byte is taken for success"),
    ("src/device/hid_transport.cpp",
     "  report[8 + length] = FrameChecksum(std::span(report).subspan(2, 6 + length));",
     "  report[8 + length] = FrameChecksum(std::span(report).subspan(3, 5 + length));",
     "requests go out with a checksum that leaves out STX"),
    ("src/device/hid_transport.cpp",
     "if (character >= 'A' && character <= 'F') return static_cast<uint8_t>(character - 'A' + 10);",
     "if (character >= 'A' && character <= 'F') return static_cast<uint8_t>(character - 'A' + 9);",
     "hex digits A-F of a frame's length are read one too low"),
    ("src/device/keypad_commands.cpp", "  offset = ReadText(record, offset, status.serialNumber);",
     "  ReadText(record, offset, status.serialNumber);",
     "the serial number is read from where the firmware version is"),
    ("src/device/keypad_commands.cpp", "  bytes[index] = value.modifier;\n  bytes[index + 1] = value.keyCode;",
     "  bytes[index] = value.keyCode;\n  bytes[index + 1] = value.modifier;",
     "a key's code and modifier swap places in the table"),
    # --- the loader -------------------------------------------------------------------------
    ("src/bsl430/bsl430.cpp", "constexpr int kReplyTimeoutMs = 2000;",
     "constexpr int kReplyTimeoutMs = 200;",
     "the loader's reply window is a tenth of what an erase or a CRC needs"),
    ("src/bsl430/bsl430.cpp", "  if (reply.size() < 2 || reply[0] != kReplyMessage) return 0xFF;",
     "  if (reply.empty()) return 0xFF;", "a data reply is read as a message"),
    ("src/bsl430/bsl430.cpp", "  return reply.size() >= 3 && reply[0] == kReplyData ? 0 : 1;",
     "  return reply.size() >= 1 ? 0 : 1;", "a CRC check passes on any reply"),
    ("src/bsl430/ti_txt.cpp", "      if (address > kHighestAddress) return fail",
     "      if (address >= kHighestAddress) return fail",
     "an address line at the highest legal address is refused"),
    ("src/bsl430/ti_txt.cpp",
     "  std::stable_sort(read.begin(), read.end(), [](const auto& a, const auto& b) {\n"
     "    return a.section.address < b.section.address;\n  });\n",
     "", "a file whose sections are out of address order is refused"),
    ("src/bsl430/ti_txt.cpp", "      if (section.address < lastEnd) {",
     "      if (section.address <= lastEnd) {", "sections that touch are taken for overlapping"),
    ("src/bsl430/ti_txt.cpp", "    for (std::size_t offset = 0; offset < section.bytes.size(); offset += maxBytes) {",
     "    for (std::size_t offset = 0; offset + maxBytes < section.bytes.size(); offset += maxBytes) {",
     "a section's last, shorter block is never written"),
    # --- firmware: CRC, download, records, the upgrade operation ------------------------------
    ("src/firmware/download_sequence.cpp",
     "for (std::size_t i = 1; i < segments.size(); ++i) BSL_eraseSegment(segments[i]);",
     "for (std::size_t i = 1; i + 1 < segments.size(); ++i) BSL_eraseSegment(segments[i]);",
     "a segment only a section's tail reaches keeps its old flash"),
    ("src/firmware/download_sequence.cpp", "  if (!massEraseOccurred) {",
     "  if (massEraseOccurred) {", "the data segments are erased only after a mass erase"),
    ("src/firmware/crc.cpp", "(x << 12) ^ (x << 5) ^ x", "(x << 12) ^ (x << 6) ^ x",
     "the CRC's polynomial is wrong"),
    ("src/firmware/upgrade_operation.cpp", "  if (here.size() == 1) {",
     "  if (!here.empty()) {",
     "with several records kept where it waits, the waiting keypad gets the first without asking"),
    ("src/firmware/upgrade_operation.cpp", "    if (record_ && other.sameKeep(*record_)) continue;",
     "    if (record_ && !other.sameKeep(*record_)) continue;",
     "the record given to the keypad is announced as another keypad's"),
    ("src/firmware/upgrade_operation.cpp", "  if (keypadInApplication && !loaders.empty()) {",
     "  if (keypadInApplication && loaders.size() > 1) {",
     "where places are not known, a keypad is switched beside a loader already waiting"),
    ("src/firmware/upgrade_operation.cpp", "  if (loaders.size() > 1) {", "  if (loaders.size() > 2) {",
     "where places are not known, two loaders waiting are taken for one"),
    ("src/firmware/upgrade_operation.cpp",
     "  const bool keepsEarlierRecord = own != records_.end() && (own->downloaded || serial.empty());",
     "  const bool keepsEarlierRecord = own != records_.end();",
     "an earlier record wins over what a keypad never flashed holds now"),
    ("src/firmware/upgrade_operation.cpp", "    record_->downloaded = true;\n", "",
     "a record does not say the flash was written"),
    ("src/firmware/upgrade_operation.cpp", "  if (!dropRecord()) {", "  if (dropRecord() && false) {",
     "a record that could not be removed is not reported"),
    ("src/firmware/upgrade_operation.cpp",
     "        return returned.kind == ReturnedKeypad::kOne || returned.kind == ReturnedKeypad::kSeveral;",
     "        return returned.kind != ReturnedKeypad::kNone;",
     "the restore stops waiting when the keypad is only busy"),
    ("src/firmware/pending_upgrade.cpp",
     "        !record || serial == record->serial() ||",
     "        !record || !serial.empty() ||",
     "a keypad with another serial number is taken as the upgraded one"),
    # --- where a keypad is: the port ----------------------------------------------------------
    ("src/firmware/pending_upgrade.cpp", "    const bool here = port.empty() || keypad.port == port;",
     "    const bool here = true;",
     "a keypad plugged in elsewhere is taken for the one that came back from the download"),
    ("src/firmware/pending_upgrade.cpp",
     "  return !record.port.empty() && record.port == port;",
     "  return !record.port.empty() && (record.port == port || !port.empty());",
     "a loader anywhere gets a record kept at another port"),
    ("src/firmware/pending_upgrade.cpp",
     "  return record.usbSerial.empty() || usbSerial.empty() || usbSerial == record.usbSerial;",
     "  return record.usbSerial.empty() || !usbSerial.empty() || usbSerial == record.usbSerial;",
     "a keypad without a serial number on the port is taken whatever its USB serial string"),
    ("src/bsl430/bsl430.cpp", "    if (!port || loader.port == *port) paths.push_back(loader.path);",
     "    paths.push_back(loader.path);",
     "the download opens the first loader listed, wherever it is"),
    ("src/firmware/upgrade_operation.cpp", "    if (!answers(*record)) continue;",
     "    continue;",
     "a loader gets the record of a keypad that answers in its application"),
    ("src/firmware/upgrade_operation.cpp",
     "        if (RecordFitsLoaderAt(record, loader.port) && record.serial() == serial)",
     "        if (record.serial() == serial && loader.port.empty())",
     "a keypad is switched beside a loader that has its serial number by the record kept there"),
    ("src/store/pending_records.h",
     "    return serial() == other.serial() && port == other.port && keptAt == other.keptAt;",
     "    return serial() == other.serial();",
     "removing one keypad's record removes another's of the same serial number"),
    ("src/firmware/pending_upgrade.cpp", "    } else if (found.unknown.empty()) {",
     "    } else if (false) {",
     "a keypad that cannot be asked does not hold back a number"),
    ("src/firmware/upgrade_operation.cpp", "  if (recordUnwritten_) {", "  if (false) {",
     "a record that could not be written after the download is not reported"),
    ("cli/station_command.cpp", "      if (at == visit.port || visit.port.empty()) {",
     "      if (true) {",
     "a second keypad with a finished keypad's serial number is passed over as done"),
    ("cli/batch_command.cpp", "  if (options.settingsOf) {", "  if (false) {",
     "one keypad's record is offered to every keypad of a batch"),
    ("src/firmware/upgrade_job.cpp",
     "  if (request_.expectVersion && version != *request_.expectVersion) {",
     "  if (request_.expectVersion && version == *request_.expectVersion) {",
     "a keypad back on another version than asked for is an upgrade done"),
    ("src/firmware/pending_upgrade.cpp", "  if (candidates > 1) found.kind = ReturnedKeypad::kSeveral;",
     "  if (candidates > 1) found.kind = ReturnedKeypad::kOne;",
     "of several candidates, the last is given the settings"),
    ("src/firmware/pending_upgrade.cpp", "  if (openKeypad->serialNumber != record.serial()) return false;",
     "  if (openKeypad->serialNumber == record.serial()) return false;",
     "a record is brought up for every keypad but its own"),
    ("src/firmware/pending_upgrade.cpp",
     "                     [&](const PendingUpgrade& record) { return record.serial() == serial; });",
     "                     [&](const PendingUpgrade& record) { return record.serial() != serial; });",
     "a serial number's record is looked for among the others'"),
    ("src/firmware/pending_upgrade.cpp",
     "    if ((SendKeypadCommand(step.command, step.payload) & 0xFF) != 0) {",
     "    if ((SendKeypadCommand(step.command, step.payload) & 0xFF) == 0xFF) {",
     "a refused restore step is taken as done"),
    # --- support: files and locks -----------------------------------------------------------
    ("src/support/atomic_file.cpp", "  if (size > maxBytes) return",
     "  if (size > maxBytes * 2) return", "a file twice the limit is read whole"),
    ("src/support/atomic_file.cpp",
     "  if (status.type() == fs::file_type::not_found) return \"is missing\";",
     "  if (status.type() == fs::file_type::not_found) return {};",
     "a missing file is read as an empty one"),
    ("src/support/hex.cpp", "return digit - 'A' + 10;", "return digit - 'A' + 11;",
     "hex digits A-F are read wrong"),
    # --- the command line: sessions and batches ---------------------------------------------
    ("cli/session.cpp", "    if (chosen.size() > 1) {\n      return fail(kBadInput, std::to_string(chosen.size()) + \" keypads have",
     "    if (chosen.size() > 2) {\n      return fail(kBadInput, std::to_string(chosen.size()) + \" keypads have",
     "of two keypads with one serial number, one is picked"),
    ("cli/session.cpp", "  if (chosen.size() > 1) {\n    return fail(kBadInput, std::to_string(chosen.size()) +\n                               \" keypads are attached",
     "  if (chosen.size() > 2) {\n    return fail(kBadInput, std::to_string(chosen.size()) +\n                               \" keypads are attached",
     "of two keypads attached, the first is taken"),
    ("cli/batch_command.cpp",
     "         !keypad.serial.empty() && !firmware::HasRecordFor(records, Seen(keypad));",
     "         !keypad.serial.empty() && !firmware::HasRecordFor(records, {});",
     "a keypad on the version whose restore is owed is passed over"),
    ("cli/batch_command.cpp", "      if (outcome.status != kDone) continue;\n", "",
     "a failed keypad's record marks the summary once more"),
    ("cli/batch_command.cpp",
     "    Options one = options_;\n    one.device = loader.path;\n    runOn(outcome, one, true);",
     "    Options one = options_;\n    one.device = loader.path;",
     "a batch does not finish a keypad left in its loader first"),
    ("src/firmware/upgrade_job.cpp", "    if (loaders.empty()) return !ListKeypads().empty();",
     "    return !ListKeypads().empty();",
     "beside a waiting loader, upgrade goes for a keypad in its application"),
    ("src/firmware/upgrade_job.cpp",
     "  if (settingsOf && (!record || record->serial() != *settingsOf)) {",
     "  if (settingsOf && !record) {",
     "the user's named record is not checked against the one taken"),
    # --- one bench, one truth ---------------------------------------------------------------
    ("src/store/bench_folder.cpp",
     "  const std::string named = buildTree ? support::EnvironmentText(kBenchFolderVariable) : \"\";",
     "  const std::string named;",
     "every user keeps the bench's records, sequences and log in a folder of their own"),
    ("src/store/sqlite_store.cpp",
     '"INSERT INTO serials(serial, state, time, port, computer, user, program) "',
     '"INSERT OR REPLACE INTO serials(serial, state, time, port, computer, user, program) "',
     "a number given or reserved before is given again (the ledger's key no longer refuses it)"),
    ("src/store/sqlite_store.cpp", '"BEGIN IMMEDIATE", nullptr', '"BEGIN DEFERRED", nullptr',
     "a change reads before it holds the store: two programs at once fail or lose one's change"),
    ("src/support/program_lock.cpp", "    if (!TrustedOwner(opened, folder)) {",
     "    if (!TrustedOwner(opened, folder) && opened.st_uid == 0) {",
     "another user's lock file, which that user may remove, is held"),
    ("src/support/program_lock.cpp",
     "  if ((found.st_mode & S_IWOTH) != 0 && (found.st_mode & S_ISVTX) == 0)",
     "  if (false)", "a folder where every user may remove the locks is used"),
    ("src/support/program_lock.cpp", "  if (found.st_uid != 0 && found.st_uid != geteuid()) {",
     "  if (false) {", "a folder of another user is used for locks"),
    ("src/firmware/firmware_upgrade.cpp", "  if (!chosen) {\n    upgrade->end();\n    return started;",
     "  if (!chosen) {\n    return started;",
     "the window keeps the upgrade lock after a cancelled file dialog"),
    ("src/firmware/firmware_upgrade.cpp", "  upgrade_->end();\n}", "}",
     "the upgrade window keeps the upgrade lock once it is closed"),
    ("src/firmware/firmware_upgrade.cpp", "    upgrade->end();\n    started.refusal = message;",
     "    started.refusal = message;", "the window keeps the upgrade lock after a refused upgrade"),
    ("src/store/sqlite_store.cpp", "        if (!before.text(2).empty() || time < 0 ||",
     "        if (time < 0 ||", "a keypad's lines take in those of the keypad before it at its port"),
    ("src/store/sqlite_store.cpp",
     '"SELECT time, id, serial FROM log WHERE computer = ? AND port = ? AND "',
     '"SELECT time, id, serial FROM log WHERE computer = ? AND (port = ? OR 1) AND "',
     "a keypad's lines take in those of keypads at other ports"),
    ("src/store/serial_sequences.cpp", "  return one > other ? one : other;", "  return other;",
     "a sequence brought over goes back to numbers already given"),
    ("src/store/sqlite_store.cpp",
     "      fs::rename(support::PathFromUtf8(old.path), support::PathFromUtf8(aside), error);\n", "",
     "a file brought over stays where it was, for a reader of the old files to take as current"),
    ("src/store/sqlite_store.cpp", "        if (seen == SQLITE_ROW) {",
     "        if (seen == SQLITE_ROW && old.path.empty()) {",
     "a file whose renaming was cut off is brought over twice"),
    # --- a store that cannot be read is refused, never taken for empty -------------------------
    ("src/store/sqlite_store.cpp", "    if (StoreError error = checkLength()) return error;\n", "",
     "a store cut short is read as far as it goes"),
    ("src/store/sqlite_store.cpp", "      if (kind) return Unsafe(path, kind);",
     "      if (kind && *suffix) return Unsafe(path, kind);",
     "a link, FIFO or folder at the store's place is opened"),
    ("src/store/sqlite_store.cpp", "    if (version > kStoreSchemaVersion) {",
     "    if (version > kStoreSchemaVersion + 1) {",
     "a store of a later version is read and written as if it were this one's"),
    ("src/store/sqlite_store.cpp",
     '        return damaged(std::string("a record of an upgrade cannot be read: ") + problem.what());',
     "        continue;", "a record that cannot be read is taken for none"),
    ("src/store/sqlite_store.cpp", "      if (checkGroup && status.st_gid != group) {",
     "      if (checkGroup && status.st_gid != group && path.empty()) {", "another user's file at the bench's place is taken for its store"),
    ("cli/session.cpp",
     "  if (store::StoreError unread = store.records(records)) throw StoreRefusal{std::move(unread)};",
     "  store.records(records);", "the command line takes records it cannot read for none"),
    ("cli/session.cpp", "  if (logged_) {\n    if (const store::StoreError unwritable",
     "  if (false) {\n    if (const store::StoreError unwritable",
     "a change is sent to a keypad though nothing could log it"),
    ("src/store/sqlite_store.cpp", "    sqlite3_busy_timeout(db_, waitMs_);",
     "    sqlite3_busy_timeout(db_, 0);",
     "a store another program holds for a moment is given up on at once"),
    # --- the command line waits for the RAM loader, not for the clock ---------------------------
    ("src/firmware/download_sequence.cpp",
     "  constexpr int kBackWithinMs = 10000;  // the protocol's limit for a mode change",
     "  constexpr int kBackWithinMs = 3000;  // the protocol's limit for a mode change",
     "a RAM loader slower than three seconds is given up on"),
    ("src/firmware/download_sequence.cpp",
     "  for (; waited < kSeenToStayMs && LoaderAtPort(); waited += kPollMs)",
     "  for (; waited < kSeenToStayMs && false; waited += kPollMs)",
     "the loader that has not left yet is taken for the RAM loader"),
    # --- a keypad by its port, on the keypad twin -----------------------------------------------
    ("cli/session.cpp", "    if (!keypad.port.empty() && keypad.port == device) return keypad.path;",
     "    if (!keypad.port.empty() && false) return keypad.path;",
     "--device does not find a keypad by the port it is in", TWIN),
    ("emulator/keypad_twin.cpp", "      chmod(slave, keypad.openable() ? 0666 : 0600);",
     "      chmod(slave, 0666);", "the twin opens a keypad to a user without the udev rule", TWIN),
    # --- device events that outrun their listener ------------------------------------------------
    ("emulator/twin_events.cpp",
     "      if (full && patient && !stopping() && std::chrono::steady_clock::now() < giveUp) continue;",
     "      if (full && patient && !stopping() && std::chrono::steady_clock::now() < giveUp &&"
     " false) continue;",
     "the twin drops what a busy listener's queue cannot hold at once", TWIN),
    ("emulator/keypad_twin.cpp",
     "    events_->unheard([&] { added = umockdev_testbed_add_from_string(bed_, tree.c_str(), &error); });",
     "    added = umockdev_testbed_add_from_string(bed_, tree.c_str(), &error);",
     "umockdev's own burst of an arrival's devices overflows a listener", TWIN),
    ("src/platform/udev_device_watch.cpp", "    } else if (errno == ENOBUFS) {\n      lookAfresh();",
     "    } else if (errno == ENOBUFS) {\n      continue;",
     "the windows miss what changed while udev's events were lost", TWIN),
    # --- the service log in a spreadsheet -------------------------------------------------------
    ("cli/log_export.cpp",
     "          lxw_datetime when = column.cell == Cell::kLocalTime ? times->first : times->second;",
     "          lxw_datetime when = times->second;", "the workbook's local times are UTC"),
    ("cli/log_export.cpp", "  const std::string escaped = EscapedControls(text);",
     "  const std::string escaped = text;", "a control character reaches the workbook as it is"),
    ("src/store/sqlite_store.cpp", '.bind(2, query.until ? *query.until + "~" : "~~");',
     '.bind(2, query.until ? *query.until : "~~");', "--until a day leaves out that day's lines"),
    # --- counts of keypads, not of tries --------------------------------------------------------
    ("cli/keypad_tally.h",
     '    return serial.empty() || port.empty() ? "" : "serial " + serial + " at " + port;',
     '    return serial.empty() || port.empty() ? "" : "serial " + serial;',
     "two keypads with one serial number at two ports are counted as one, hiding a failure"),
    ("cli/keypad_tally.h",
     '    return serial.empty() || port.empty() ? "" : "serial " + serial + " at " + port;',
     '    return serial.empty() ? "" : "serial " + serial + " at " + port;',
     "two keypads with one serial number where ports are not known are counted as one"),
    ("cli/keypad_tally.h", "    last_[keypad] = result;", "    if (last_[keypad].empty()) last_[keypad] = result;",
     "a keypad's first result counts, not its last"),
    ("cli/station_command.cpp", "    if (plan.count && tally.keypads() >= *plan.count) {",
     "    if (plan.count && tally.tries() >= *plan.count) {",
     "--count N ends the station after N tries, with keypads still to come"),
    ("cli/setting_commands.cpp", "    if (!ownNumber && !session.options().serialReserved) {",
     "    if (false) {", "serial set gives a number the ledger holds (given, reserved, or logged)"),
    # --- who a keypad is, in the upgrade job --------------------------------------------------
    ("src/firmware/pending_upgrade.cpp",
     "  return record.port == keypad.port && UsbSerialFits(record, keypad.usbSerial);",
     "  return UsbSerialFits(record, keypad.usbSerial);",
     "a keypad reporting a record's number at another port is given that keypad's settings"),
    ("src/firmware/pending_upgrade.cpp", "         (record.serial().empty() || keypad.fresh);",
     "         (record.serial().empty() || true);",
     "a configured keypad without a number at a record's port is given that record"),
    ("src/firmware/pending_upgrade.cpp", "         (record->serial().empty() || fresh));",
     "         (record->serial().empty() || fresh || true));",
     "a configured keypad plugged in where the upgraded one restarts is taken for it"),
    ("src/firmware/upgrade_operation.cpp", "    if (!absent.empty()) {",
     "    if (!absent.empty() && false) {",
     "a loader is downloaded to without a record while a record's keypad is away, which it may be"),
    ("src/firmware/upgrade_job.cpp",
     "    if (!operation_.returnedPath().empty()) end.after = readStatus();", "",
     "a restore that failed is logged without the firmware the keypad runs"),
    ("cli/batch_command.cpp",
     "        return outcome.status == kDone || outcome.upgradeEnd == firmware::UpgradeEnd::kOtherVersion;",
     "        return outcome.status == kDone || !outcome.after.empty();",
     "a batch refused for a shared number ends advising about another firmware version"),
    ("cli/session.cpp", "    hold.emplace(firmware::kFinishedFirst);\n", "",
     "a signal after the restore ends upgrade before its read-back and log line", TWIN),
    ("cli/station_command.cpp", "    if (arrival && AnotherProgramUpgrades()) {",
     "    if (arrival && false && AnotherProgramUpgrades()) {",
     "the station takes the keypad another program upgrades for an arrival", TWIN),
    # --- the command line's table, its advice and its words -----------------------------------
    ("cli/navkeypad_cli.cpp", "      return command.jsonLines || (command.run == &Upgrade && options.all);",
     "      return command.jsonLines || command.run == &Upgrade;",
     "--expect-version is taken by a single upgrade, which does nothing with it"),
    ("cli/navkeypad_cli.cpp", "    case Scope::kStation:\n      return command.jsonLines;",
     "    case Scope::kStation:\n      return true;",
     "the station's options are taken, and ignored, by every command"),
    ("cli/navkeypad_cli.cpp", "      app.add_flag(names, options.*option.flag);",
     "      if (option.flag != &Options::force) app.add_flag(names, options.*option.flag);",
     "the parser does not know a switch of the table (--force)"),
    ("cli/command_table.cpp", "  return command->changesWith == nullptr ||",
     "  return command->changesWith != nullptr ||",
     "a command that only shows (table) is logged, and one that changes (table set) is not"),
    ("cli/main.cpp", "  return virtualGiven ? name", "  return virtualGiven && false ? name",
     "advice leaves out --virtual, and run as printed looks on the USB bus"),
    ("cli/session.cpp", "                      }) == 1 &&", "                      }) >= 1 &&",
     "a keypad to pick is named by a serial number another keypad has too"),
    ("cli/batch_command.cpp", "           &failure};", "           nullptr};",
     "a batch says each keypad's failure twice"),
    ("cli/station_command.cpp", "                   &failure,\n                   io_.watcher});",
     "                   nullptr,\n                   io_.watcher});", "the station says each keypad's failure twice"),
    ("cli/batch_command.cpp", "      logPassedOver(outcome, keypad.status);\n", "",
     "a keypad the batch passes over leaves no line in the log"),
    ("cli/batch_command.cpp", "    if (!options_.json) {\n      io_.out << \"[\"",
     "    if (!options_.json && !done) {\n      io_.out << \"[\"",
     "the batch's numbered lines jump over the keypads it passes over"),
    ("cli/batch_command.cpp", "or try another cable or USB port, then '\" +", "then '\" +",
     "a silent keypad's line says nothing of its cable or port"),
    ("cli/station_command.cpp", "succeeded == keypads && kept.empty() ? kDone", "succeeded == keypads ? kDone",
     "a station run that leaves a keypad's record kept ends as done"),
    ("src/support/program_lock.cpp", "constexpr mode_t kLockFileMode = 0660;",
     "constexpr mode_t kLockFileMode = 0664;", "a lock file every user may open, and hold"),
    ("src/support/program_lock.cpp", "    int descriptor = open(file.c_str(), O_RDWR | kFlags);\n",
     "    int descriptor = open(file.c_str(), O_RDWR | kFlags);\n"
     "    if (descriptor < 0 && errno == EACCES) descriptor = open(file.c_str(), O_RDONLY | kFlags);\n",
     "a user who may only read a lock file holds it all the same"),
    ("src/device/keypad_bus.cpp", "  locks().awaitingReturn = true;\n  if (locks().folder.empty()) return true;",
     "  if (locks().folder.empty()) return true;",
     "whoever holds the return lock keeps an upgrade from its own keypad"),
    ("cli/log_export.cpp", "    if ((point & 0xFFFE) == 0xFFFE ||", "    if (false ||",
     "a non-character goes into the workbook's XML, which no reader then opens"),
    ("cli/log_export.cpp", "  if (cell.size() <= kCellBytes) return cell;", "  return cell;",
     "a text longer than a cell takes is left out of the workbook"),
    ("scripts/common.sh", "      show_build_progress \"$dir/build.log\" ||", "      cat >\"$dir/build.log\" ||",
     "run.sh builds for minutes without a word"),
    ("cli/names.cpp", "    return option != nullptr && option->flag == &Options::json;",
     "    return option != nullptr && option->flag == &Options::force;",
     "a failure given --json is not a JSON document"),
    # --- a site's store on its server -------------------------------------------------------
    ("src/store/site.cpp", "  if (mode == \"verify-full\") return {};",
     "  if (mode != \"verify-ful\") return {};",
     "a server on another computer is reached without its certificate checked"),
    ("src/store/site.cpp", "    if (keyword == \"password\")", "    if (keyword == \"passw0rd\")",
     "a password is kept in the site's settings"),
    ("src/store/postgres_store.cpp", "if (role.text(0, 0) == \"t\" || role.text(0, 1) == \"t\") {",
     "if (role.text(0, 0) == \"t\") {", "the schema's owner works as a bench"),
    ("src/store/postgres_store.cpp", "    if (found > kSiteSchemaVersion) {",
     "    if (found > kSiteSchemaVersion + 5) {", "a schema of a later version is written to"),
    ("src/store/postgres_store.cpp", "      if (kept.rows() == 1) {", "      if (kept.rows() == 99) {",
     "a reservation kept but not answered is given again as a second number"),
    ("src/store/postgres_store.cpp",
     "GRANT INSERT (id, time, computer, port, serial, line) ON navkeypad.log TO navkeypad_bench;",
     "GRANT INSERT, UPDATE ON navkeypad.log TO navkeypad_bench;", "a bench can rewrite the log"),
    ("src/store/postgres_store.cpp",
     "CREATE POLICY changed ON navkeypad.records FOR UPDATE USING (bench = session_user);",
     "CREATE POLICY changed ON navkeypad.records FOR UPDATE USING (true);",
     "a bench changes another bench's records"),
    ("src/store/postgres_store.cpp",
     "            : \"SELECT id, record FROM navkeypad.records WHERE bench = session_user ORDER BY id\");",
     "            : \"SELECT id, record FROM navkeypad.records ORDER BY id\");",
     "a record kept at another bench is taken for one of this bench's ports"),
    ("src/store/postgres_store.cpp", "      if (held.text(0, 0) != \"t\") {", "      if (false) {",
     "two programs restore one record at once"),
    ("src/store/postgres_store.cpp", "      if (whose.rows() == 1 && whose.text(0, 0) != \"t\")",
     "      if (false)", "a number two benches gave before the site is brought over unsaid"),
    ("src/store/postgres_store.cpp", "    IF NOT pg_try_advisory_lock(found.id) THEN",
     "    IF false THEN", "a record is taken to another bench while a program restores it"),
    ("src/store/postgres_store.cpp",
     "  IF (SELECT count(*) FROM navkeypad.records WHERE serial = wanted AND bench <> session_user) > 1",
     "  IF (SELECT count(*) FROM navkeypad.records WHERE serial = wanted AND bench <> session_user) > 9",
     "one of two benches' records of a number is given to a keypad by guess"),
    ("src/firmware/upgrade_operation.cpp", "    return !record.serial().empty() && ask && ask(record);",
     "    return !record.serial().empty() && ask && false && ask(record);",
     "a keypad failed at another bench is not given its record on the word"),
    ("src/firmware/upgrade_operation.cpp", "    if (!elsewhere.empty()) {", "    if (false) {",
     "a loader is flashed without settings while another bench keeps a record it may be"),
    ("src/firmware/upgrade_operation.cpp", "    return !record.serial().empty() && ask && ask(record);",
     "    return !record.serial().empty() && (ask || !ask);",
     "another bench's record goes to a loader unasked"),
    ("src/firmware/upgrade_operation.cpp", "  if (!placeNamed_ || !ask || !ask(current)) {",
     "  if (!placeNamed_ && !ask) {", "another bench's record goes to a keypad by its number alone"),
    # --- labels --------------------------------------------------------------------------------
    ("src/label/label.cpp",
     "  if (const std::string problem = SerialNumberProblem(text.serial); !problem.empty())",
     "  if (const std::string problem = std::string(); !problem.empty())",
     "a label is made for a number no keypad can hold"),
    ("src/label/label_layout.cpp", "  if (read.widthMm < read.heightMm * 1.5) {", "  if (false) {",
     "a label too narrow for the code and the number beside it is taken"),
    ("cli/station_command.cpp",
     "  if (visit.serial.empty() || (visit.result != \"ok\" && !numbered)) return;",
     "  if (visit.serial.empty() || (visit.result != \"ok\" && !numbered && false)) return;",
     "a keypad that failed gets a label"),
    ("cli/navkeypad_cli.cpp",
     "      const bool valued = i + 1 < arguments.size() && !IsOption(arguments[i + 1]);",
     "      const bool valued = i + 1 < arguments.size();",
     "an option after --print is taken for its printer"),
    ("src/firmware/upgrade_operation.cpp",
     "  if (taken.empty() || !record_) return fail(UpgradeOutcome::kRefused, GoneMeanwhile(*named));",
     "  if (false) return fail(UpgradeOutcome::kRefused, GoneMeanwhile(*named));",
     "a loader is flashed without the record another bench finished while its user was asked"),
    # --- the station window --------------------------------------------------------------------
    ("cli/station_command.cpp",
     "  static bool asked(const Io& io) { return asked() || (io.watcher && io.watcher->stopAsked()); }",
     "  static bool asked(const Io& io) { return asked() || (io.watcher && false); }",
     "the station window's Stop is not heard"),
    ("src/station_window/station_window.cpp", "  if (result == \"failed\") {", "  if (false) {",
     "a failed keypad's tile says neither where it failed nor what to do"),
    ("src/station_window/station_window.cpp",
     "  tile.reprint->setEnabled(!made.empty() || !problem.empty());",
     "  tile.reprint->setEnabled(true);", "a keypad given no label offers to reprint one"),
    ("src/station_window/station_window.cpp",
     "      cli::MakeStationLabel(settings_, {tile.serialNumber, tile.firmwareAfter}, made);",
     "      std::string();", "Reprint makes no label"),
]


def run(command, cwd, log):
    with open(log, "a") as out:
        return subprocess.run(command, cwd=cwd, stdout=out, stderr=subprocess.STDOUT).returncode


def copy_tree(work):
    """The repository's files as they are now, into `work` (only files that changed are copied,
    so the build there stays warm)."""
    listed = subprocess.run(["git", "ls-files", "-co", "--exclude-standard"], cwd=ROOT,
                            capture_output=True, text=True, check=True).stdout.splitlines()
    for name in listed:
        source = os.path.join(ROOT, name)
        target = os.path.join(work, name)
        if not os.path.isfile(source):
            continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        with open(source, "rb") as f:
            data = f.read()
        if os.path.exists(target):
            with open(target, "rb") as f:
                if f.read() == data:
                    continue
        with open(target, "wb") as f:
            f.write(data)
        shutil.copymode(source, target)
    # A file the repository no longer has goes from the copy too: a check that reads the tree
    # (the command table's) would otherwise find what was removed.
    kept = set(listed)
    for folder, _, names in os.walk(work):
        for name in names:
            path = os.path.relpath(os.path.join(folder, name), work)
            if path not in kept:
                os.remove(os.path.join(folder, name))


def check(numbered):
    bad = 0
    for number, (name, text, replacement, *_) in numbered:
        with open(os.path.join(ROOT, name)) as f:
            found = f.read().count(text)
        if found != 1 or text == replacement:
            print(f"mutant {number} ({name}): its text is found {found} times", file=sys.stderr)
            bad += 1
    return bad


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("numbers", nargs="*", type=int)
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--work", default=os.path.join(tempfile.gettempdir(), "navkeypad-mutants"))
    arguments = parser.parse_args()
    numbered = [(i + 1, m) for i, m in enumerate(MUTANTS)
                if not arguments.numbers or i + 1 in arguments.numbers]
    if check(numbered):
        return 2
    if arguments.check:
        print(f"{len(numbered)} mutants, each text found once")
        return 0
    tree = os.path.join(arguments.work, "tree")
    build = os.path.join(arguments.work, "build")
    log = os.path.join(arguments.work, "log.txt")
    os.makedirs(tree, exist_ok=True)
    open(log, "w").close()
    copy_tree(tree)
    if not os.path.exists(os.path.join(build, "build.ninja")):
        if run(["cmake", "-S", tree, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Debug",
                "-DNAVKEYPAD_BENCH=OFF"], tree, log) != 0:
            print(f"cmake failed; see {log}", file=sys.stderr)
            return 2
    ctest = ["ctest", "--test-dir", build, "-j2", "--stop-on-failure", "--timeout", "300"]
    if run(["ninja", "-C", build], tree, log) != 0 or run(ctest, tree, log) != 0:
        print(f"the suite does not pass without a mutant; see {log}", file=sys.stderr)
        return 2
    killed = invalid = 0
    for number, (name, text, replacement, fault, *twin) in numbered:
        path = os.path.join(tree, name)
        with open(path) as f:
            original = f.read()
        with open(path, "w") as f:
            f.write(original.replace(text, replacement, 1))
        started = time.time()
        try:
            if run(["ninja", "-C", build], tree, log) != 0:
                verdict = "INVALID (does not build)"
                invalid += 1
            elif run(ctest if twin else ctest + ["-LE", TWIN], tree, log) != 0:
                verdict = "killed"
                killed += 1
            else:
                verdict = "SURVIVED"
        finally:
            with open(path, "w") as f:
                f.write(original)
        print(f"{number:3} {verdict:24} {name}: {fault} ({time.time() - started:.0f} s)",
              flush=True)
    run(["ninja", "-C", build], tree, log)
    # A mutant that does not build is a mistake in this list, not a fault the suite caught.
    print(f"mutation score {killed}/{len(numbered) - invalid} killed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
