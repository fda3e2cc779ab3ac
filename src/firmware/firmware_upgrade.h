// The firmware upgrade window: watches the bus for the bootstrap loader, lets the user pick
// a TI-TXT file, runs the download on a worker and, once the keypad is back with its new
// firmware, restores the settings handed over before the upgrade.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QWidget>
#include <array>
#include <atomic>
#include <memory>
#include <optional>

#include "firmware/upgrade_operation.h"
#include "platform/platform.h"

namespace tarvik_usb_encoder {

class firmware_upgrade : public QWidget {
  Q_OBJECT

 public:
  // Renders `upgrade`, whose checks have passed (and which may already have sent the keypad
  // into its loader).
  explicit firmware_upgrade(std::shared_ptr<navkeypad::firmware::UpgradeOperation> upgrade,
                            QWidget* parent = nullptr);
  ~firmware_upgrade() override;

  // Process-wide, kept from one window to the next.
  static QString myVID;
  static QString myPID;
  static QString myDeviceIndex;
  static uint32_t numberOfUSBDevicesConnected;
  static bool scanDeviceAgain;
  // Asks the user whether the keypad being upgraded is the one `record` was kept for.
  static bool askIsKeypadOf(const navkeypad::firmware::PendingUpgrade& record);

  // The way to the window from "Update Navigation Keypad Firmware", once the user confirmed:
  // every check before the file dialog and after it, then the keypad in hand (`keypadInHand`
  // reads it, where none waits in its loader) sent into its loader. Nothing is sent before
  // everything the upgrade needs to finish is at hand.
  struct Start {
    std::shared_ptr<navkeypad::firmware::UpgradeOperation> upgrade;
    firmware_upgrade* window = nullptr;  // to show; none where refused or the dialog cancelled
    std::string refusal;                 // nothing was sent, and why
    std::string switchUnfinished;        // the window opens all the same; why the switch failed
    bool keypadUnread = false;           // no status of the keypad in hand could be read
  };
  static Start start(
      navkeypad::store::Store& store, const std::string& configFile,
      const std::function<std::optional<navkeypad::firmware::KeypadInApplication>()>& keypadInHand,
      bool keypadOpen, QWidget* owner);

  void InitializeVidPidFirmware();
  // Fills the file box, and remembers the file's name, as a confirmed Browse does.
  void setFirmwareFile(const QString& path);
  // The firmware file dialog, opened in the folder of the file chosen last in this run.
  static platform::Platform::FileRequest firmwareFileRequest();
  // A download or the restore after it runs in some window of the process: nothing may end
  // it half way.
  static bool upgradeInProgress();
  // The desktop's device-change message; arrival and removal both owe a device check.
  void ParseMessages(uint32_t message, uint32_t event);
  bool workerBusy() const;
  bool downloadRunning() const;

 public slots:
  void btnBrowse_Click();
  void btnUpgrade_MouseClick();
  void btnClose_MouseClick();
  void backgroundWorker1_ProgressChanged(int percent, const QString& text);
  void backgroundWorker1_RunWorkerCompleted();
  void backgroundWorkerCheckDevice_RunWorkerCompleted();

 signals:
  // After a download that succeeded: whether the keypad got its serial number and settings
  // back, and if not the message that said why.
  void restoreFinished(bool restored, const QString& failure);
  // After a download that failed: what the loader said last.
  void downloadFailed(const QString& failure);

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void startDeviceCheck();
  // Empty when the keypad got its settings back; otherwise the warning it was shown.
  QString restoreKeypad();
  void warn(const QString& text);
  void appendStatus(const QString& text);
  void endUpgrade();

  QLabel* label1 = nullptr;
  QPushButton* btnBrowse = nullptr;
  QLabel* label3 = nullptr;
  QLineEdit* filenameTextBox = nullptr;
  QPushButton* btnUpgrade = nullptr;
  QPushButton* btnClose = nullptr;
  QProgressBar* progressBar = nullptr;
  QPlainTextEdit* statusBox = nullptr;
  QLabel* labelNumOfDevices = nullptr;
  QLabel* vidLbl = nullptr;
  QLabel* pidLbl = nullptr;
  QThread* backgroundWorker1 = nullptr;
  QThread* backgroundWorkerCheckDevice = nullptr;
  std::shared_ptr<navkeypad::firmware::UpgradeOperation> upgrade_;
  std::atomic<bool> downloadResult_{false};
  QString lastReport_;  // the download's last line, for the service log when it fails
  std::atomic<uint32_t> deviceCount_{0};
  bool registered_ = false;
  bool upgrading_ = false;  // from the Upgrade click to the end of the restore
  // A worker counts as running until its completion slot has run: QThread reports itself
  // finished before its queued finished() has been delivered.
  bool downloadRunning_ = false;
  bool deviceCheckRunning_ = false;
  uint32_t loadersNoted_ = 0;
  static int upgradesRunning_;  // GUI thread only
  static QString lastFirmwareFolder_;
  // The file to download, whole; the box shows it cut in the middle where it is too long.
  QString firmwarePath_;
};

}  // namespace tarvik_usb_encoder
