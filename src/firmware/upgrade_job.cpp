#include "firmware/upgrade_job.h"

#include <algorithm>

#include "bsl430/bsl430.h"
#include "device/keypad_bus.h"
#include "support/paths.h"

namespace navkeypad::firmware {

namespace {
// The place a user names to pick a keypad or loader: its port where known (the same for a
// keypad, its loader and the keypad back from it), else its path.
std::string PlaceToName(const std::string& port, const std::string& path) {
  return port.empty() ? path : port;
}

UpgradeAdvice::Choice RecordChoice(const PendingUpgrade& record, const std::string& device) {
  return {device, record.serial(),
          KeypadName(record) + (record.port.empty() ? "" : ", kept at " + record.port)};
}
}  // namespace

bool UpgradeEnd::refused() const {
  return kind == kNoKeypad || kind == kSeveralLoaders || kind == kNamedNoRecord ||
         (kind == kStage && outcome.nothingSent());
}

UpgradeJob::UpgradeJob(store::Store& store, const std::string& configFile, Hooks hooks)
    : hooks_(std::move(hooks)), operation_(store, configFile) {}

UpgradeEnd UpgradeJob::ended(UpgradeEnd end) const {
  if (end.stage != "version") end.stage = operation_.step();
  end.port = operation_.port();
  end.returnedPath = operation_.returnedPath();
  end.record = operation_.record();
  if (end.fromLoader && end.record && !end.before) end.before = StatusBefore(*end.record);
  return end;
}

UpgradeEnd UpgradeJob::stageEnded(UpgradeEnd end, const UpgradeOutcome& outcome,
                                  UpgradeAdvice advice) const {
  end.kind = UpgradeEnd::kStage;
  end.outcome = outcome;
  end.message = outcome.message;
  end.advice = std::move(advice);
  return ended(std::move(end));
}

UpgradeEnd UpgradeJob::check(const std::string& firmware) {
  UpgradeEnd end;
  if (const UpgradeOutcome outcome = operation_.checkSetting(); !outcome.ok())
    return stageEnded(end, outcome);
  if (const UpgradeOutcome outcome = operation_.checkFirmware(firmware); !outcome.ok())
    return stageEnded(end, outcome);
  return end;
}

UpgradeEnd UpgradeJob::CheckOnly(store::Store& store, const std::string& configFile,
                                 const std::string& firmware) {
  UpgradeJob job(store, configFile, {});
  const UpgradeEnd checked = job.check(firmware);
  job.operation_.end();
  return checked;
}

UpgradeEnd UpgradeJob::run(UpgradeRequest request) {
  request_ = std::move(request);
  UpgradeEnd end;
  // A keypad waiting in its loader must be finished before any other can be upgraded, so the
  // job is for it unless a keypad in its application is picked: by its place, or by a serial
  // number one of them answers to (else the number names the waiting keypad's record).
  const auto loaders = BSL_USBDevices(kLoaderVendorId, kLoaderProductId);
  const std::optional<std::string>& device = request_.device;
  const bool loaderPicked =
      device && std::any_of(loaders.begin(), loaders.end(),
                            [&](const LoaderOnBus& loader) { return loader.path == *device; });
  const auto picksKeypadInApplication = [&] {
    if (device) return !loaderPicked;
    if (loaders.empty()) return !ListKeypads().empty();
    if (!request_.serial) return false;
    const auto keypads = ListKeypads();
    return std::any_of(keypads.begin(), keypads.end(), [&](const KeypadOnBus& keypad) {
      return SerialNumberAt(keypad.path) == *request_.serial;
    });
  };
  const bool keypadInApplication = !request_.finishingLoader && picksKeypadInApplication();
  // With no keypad in its application, the serial number names the record of the one waiting.
  const std::optional<std::string> settingsOf = request_.settingsOf   ? request_.settingsOf
                                                : keypadInApplication ? std::nullopt
                                                                      : request_.serial;
  if (keypadInApplication) {
    // The user's word, where only the user can tell which keypad a record was kept for.
    return inApplication(end, [settingsOf](const PendingUpgrade& record) {
      return settingsOf && record.serial() == *settingsOf;
    });
  }
  return fromLoader(end, loaders, loaderPicked ? *device : std::string(), settingsOf);
}

UpgradeEnd UpgradeJob::inApplication(UpgradeEnd end,
                                     const std::function<bool(const PendingUpgrade&)>& ask) {
  if (request_.device) operation_.namePlace();
  const auto status = hooks_.openKeypad(end.path);
  if (!status) {
    end.kind = UpgradeEnd::kNotOpened;
    return ended(end);
  }
  end.before = status;
  const UpgradeOutcome left =
      operation_.leaveApplication(KeypadInApplication::FromStatus(end.path, *status), ask);
  for (const std::string& notice : operation_.notices()) hooks_.notice(notice);
  if (!left.ok() && left.kind != UpgradeOutcome::kEnterUnanswered) {
    UpgradeAdvice advice;
    if (left.kind == UpgradeOutcome::kLoaderBeside) advice.kind = UpgradeAdvice::kFinishLoader;
    if (left.kind == UpgradeOutcome::kSameSerialElsewhere) {
      const std::string here = PlaceToName(operation_.port(), end.path);
      advice = {UpgradeAdvice::kNameOne, {RecordChoice(left.records.front(), here)}, {}};
    }
    return stageEnded(end, left, advice);
  }
  CloseSharedKeypad();
  // A switch the keypad did not confirm may have happened all the same: the operation says
  // whether its loader came where it left.
  if (const UpgradeOutcome loader = operation_.awaitLoader(left); !loader.ok()) {
    return stageEnded(end, loader, {UpgradeAdvice::kRetry, {}, {}});
  }
  if (const UpgradeOutcome outcome = operation_.checkLoaders(false, operation_.port());
      !outcome.ok()) {
    end = stageEnded(end, outcome, {UpgradeAdvice::kRetry, {}, {}});
    end.message += " Its settings are kept in " + operation_.recordFile() + ".";
    return end;
  }
  return download(end);
}

UpgradeEnd UpgradeJob::fromLoader(UpgradeEnd end, const std::vector<LoaderOnBus>& loaders,
                                  const std::string& loaderPath,
                                  const std::optional<std::string>& settingsOf) {
  end.fromLoader = true;
  if (loaders.empty()) {
    end.kind = UpgradeEnd::kNoKeypad;
    end.message = "no navigation keypad found. Plug it in and try again.";
    return ended(end);
  }
  const std::string& recordFile = operation_.recordFile();
  if (loaders.size() > 1 && loaderPath.empty()) {
    end.kind = UpgradeEnd::kSeveralLoaders;
    end.message = std::to_string(loaders.size()) +
                  " keypads wait in their firmware loaders; nothing was sent. Finish each on "
                  "its own:";
    end.advice.kind = UpgradeAdvice::kNameOne;
    for (const LoaderOnBus& loader : loaders)
      end.advice.choices.push_back(
          {loader.path, {}, "at " + (loader.port.empty() ? "?" : loader.port)});
    return ended(end);
  }
  const auto ask = [&](const PendingUpgrade& record) {
    return settingsOf && record.serial() == *settingsOf;
  };
  if (const UpgradeOutcome taken = operation_.takeWaitingKeypad(ask, loaderPath); !taken.ok()) {
    UpgradeAdvice advice;
    if (taken.kind == UpgradeOutcome::kWhoseRecord) {
      advice.kind = UpgradeAdvice::kNameOne;
      const auto named = std::find_if(loaders.begin(), loaders.end(), [&](const LoaderOnBus& one) {
        return loaderPath.empty() || one.path == loaderPath;
      });
      const LoaderOnBus& loader = *named;
      for (const PendingUpgrade& record : taken.records)
        advice.choices.push_back(RecordChoice(record, PlaceToName(loader.port, loader.path)));
    }
    return stageEnded(end, taken, advice);
  }
  const std::optional<PendingUpgrade>& record = operation_.record();
  // Which of several records kept where it waits is its own, only the user can say; so
  // whether one kept by an earlier version, which did not note where its keypad was, is.
  auto unsure = RecordsKeptAt(operation_.records(), operation_.port());
  if (unsure.size() < 2) unsure.clear();
  std::copy_if(operation_.records().begin(), operation_.records().end(), std::back_inserter(unsure),
               [](const PendingUpgrade& kept) { return kept.port.empty(); });
  if (!record && !settingsOf && !unsure.empty()) {
    end.kind = UpgradeEnd::kNamedNoRecord;
    end.message =
        (unsure.size() == 1
             ? "the settings of " + KeypadName(unsure.front()) + " are kept in " + recordFile +
                   " by an earlier version, which did not note where that keypad was plugged "
                   "in, so whether it is the keypad waiting in its loader cannot be told"
             : "the settings of " + std::to_string(unsure.size()) + " keypads are kept in " +
                   recordFile +
                   ", and which of them the keypad waiting in its loader is cannot be told") +
        "; nothing was sent. Name it:";
    end.advice.kind = UpgradeAdvice::kNameOne;
    for (const PendingUpgrade& kept : unsure)
      end.advice.choices.push_back({{}, kept.serial(), KeypadName(kept)});
    return ended(end);
  }
  if (settingsOf && (!record || record->serial() != *settingsOf)) {
    end.kind = UpgradeEnd::kNamedNoRecord;
    const auto named =
        std::find_if(operation_.records().begin(), operation_.records().end(),
                     [&](const PendingUpgrade& kept) { return kept.serial() == *settingsOf; });
    if (named != operation_.records().end() && loaderPath.empty()) {
      const LoaderOnBus& loader = loaders.size() == 1 ? loaders.front() : LoaderOnBus{};
      end.message = "the settings of " + KeypadName(*named) + " are kept in " + recordFile +
                    " for the keypad that left its application at " +
                    (named->port.empty() ? "a place not recorded" : named->port) +
                    "; the keypad waiting in its loader is at " + operation_.port() +
                    ". Nothing was sent. If it is that keypad, moved, name both:";
      end.advice = {UpgradeAdvice::kNameOne, {{loader.path, *settingsOf, {}}}, {}};
      return ended(end);
    }
    end.message = "no settings of keypad " + *settingsOf + " are kept in " + recordFile +
                  " that can be given to this keypad; nothing was sent.";
    return ended(end);
  }
  if (record) hooks_.notice("finishing " + KeypadName(*record) + "'s upgrade.");
  for (const std::string& notice : operation_.notices()) hooks_.notice(notice);
  return download(end);
}

UpgradeEnd UpgradeJob::download(UpgradeEnd end) {
  const std::string kept =
      operation_.record() ? "; its settings are kept in " + operation_.recordFile() : std::string();
  const bool written = operation_.download({}, hooks_.progress, RamLoaderWait::kUntilBack);
  BSL_close_BSL();
  if (!written) {
    // Pulled off the bus before the verification: it may start the new firmware, or wait in
    // its loader once plugged in again; only the next look can tell.
    const bool left = BSL_NumOfUSBDevices(kLoaderVendorId, kLoaderProductId) == 0;
    end.kind = left ? UpgradeEnd::kLeftBus : UpgradeEnd::kNotWritten;
    end.advice.kind = left ? UpgradeAdvice::kPlugInAgain : UpgradeAdvice::kRetry;
    end.message = left ? "the keypad left the bus before its new firmware was verified" + kept
                       : "the firmware was not written and the keypad waits in its loader" + kept;
    return ended(end);
  }
  const UpgradeOutcome restored =
      operation_.restore(10, UpgradeOperation::ReturnWait::kAsSoonAsBack);
  const auto readStatus = []() -> std::optional<DeviceStatus> {
    std::vector<uint8_t> status;
    if (SendKeypadCommand(CMD_GET_STATUS, {}, &status) != kExchangeOk) return std::nullopt;
    return DecodeStatusRecord(status);
  };
  if (!restored.ok()) {
    // Back in its application, the keypad may have lost its serial number: name its record.
    UpgradeAdvice advice;
    if (restored.kind != UpgradeOutcome::kRecordNotDropped) {
      advice.kind = UpgradeAdvice::kRetryNamingRecord;
      if (operation_.record()) advice.settingsOf = operation_.record()->serial();
    }
    // What it runs now is known where it came back and answers: the log says so.
    if (!operation_.returnedPath().empty()) end.after = readStatus();
    return stageEnded(end, restored, advice);
  }
  end.after = readStatus();
  if (!end.after) {
    end.kind = UpgradeEnd::kNoStatusAfter;
    end.advice.kind = UpgradeAdvice::kListKeypads;
    end.message =
        "the firmware was written, but the keypad did not answer its status request afterwards; "
        "plug it in again and run:";
    return ended(end);
  }
  // The file's own version is known only now, from the keypad that runs it: one the batch or
  // the station did not ask for is not a success, and running the same file again would not help.
  const std::string& version = end.after->firmwareVersion;
  if (request_.expectVersion && version != *request_.expectVersion) {
    end.kind = UpgradeEnd::kOtherVersion;
    end.stage = "version";
    end.advice.kind = UpgradeAdvice::kCheckFile;
    const bool restoredSome = operation_.record().has_value();
    end.message = "it reports firmware " + version + ", not " + *request_.expectVersion + ": " +
                  support::Utf8FromPath(support::PathFromUtf8(request_.firmware).filename()) +
                  " holds version " + version +
                  (restoredSome ? (operation_.record()->serial().empty()
                                       ? " (its settings were restored)"
                                       : " (its serial number and settings were restored)")
                                : "") +
                  ".";
    return ended(end);
  }
  return ended(end);
}

}  // namespace navkeypad::firmware
