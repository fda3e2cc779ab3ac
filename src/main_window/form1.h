// The main window: connection and status, the two setting lists, the configuration file
// actions, and the doors to the other windows.
#pragma once

#include <QComboBox>
#include <QMainWindow>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTextEdit>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "device/keypad_commands.h"
#include "firmware/upgrade_operation.h"

namespace navkeypad::store {
class Store;
}

class QAction;
class QLabel;

namespace tarvik_usb_encoder {

// Full path of the configuration file, set when the main window loads; empty when there is no
// application-data folder.
extern std::string FileName;

class self_test;
class firmware_upgrade;

class Form1 : public QMainWindow {
  Q_OBJECT

 public:
  // `store` is what the bench knows (records, serial numbers, the log), opened with the program.
  explicit Form1(navkeypad::store::Store& store, QWidget* parent = nullptr);

  // The keypad's code table as last read; bytes 0-9 are the 4-way table.
  static std::array<uint8_t, 32> keyCodeArray;
  // The three status lines, kept between updates.
  static std::array<QString, 3> configArray;

  // Runs once, when the window is first shown: configuration file, event log, connection.
  void Form1_Load();

  int8_t GetDeviceStatusMessage();
  void ShowDeviceStatus();
  void EnableDisableFunctionButtons(bool enable);
  bool SetSettings(const std::string& key, const std::string& value);
  QString GetSettings(const std::string& key);
  void SaveToConfigFile();
  static void ToUnmanagedStr(const QString& text, std::string& out);

  int32_t prev_ledBrightness_index = 0;
  int32_t prev_keypadType_index = 0;
  int32_t prev_jack_status = 0;
  int32_t prev_HV_status = 0;
  QString firmwareVersion;
  QString serialNumber;
  QString temperature;
  // The last self-test window opened.
  QPointer<self_test> selfTestFrm;
  // The upgrade window while it is open.
  QPointer<firmware_upgrade> upgradeFrm;
  // The keypad as it was when its upgrade began, for the service log; none when it was
  // already waiting in its loader.
  std::optional<navkeypad::DeviceStatus> beforeUpgrade_;
  // The upgrade last started here, for its line in the service log.
  std::shared_ptr<const navkeypad::firmware::UpgradeOperation> lastUpgrade_;

  static constexpr const char* kCaption = "Velto NavigationKeypad";

 public slots:
  void button11_Click();  // Scan For Device
  void button9_Click();   // Reset To Factory Default
  void button10_Click();  // Exit
  void exitToolStripMenuItem1_Click();
  void ledBrightnessCbox_SelectionChangeCommitted(int index);
  void keypadTypeCbox_SelectionChangeCommitted(int index);
  void button8_Click();                                             // Save Changes
  void button3_Click();                                             // Reset From Configuration File
  void aboutVeltoUSBEncoderConfiguratorToolStripMenuItem_Click();   // Import Cfg File
  void exitToolStripMenuItem_Click();                               // Export Cfg File
  void aboutVeltoUSBEncoderConfiguratorToolStripMenuItem1_Click();  // About
  void button1_Click();                                             // Customise Code Table
  void button2_Click();                                             // Test Keypad
  void btnLoadFirmware_MouseClick();

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  navkeypad::store::Store& store_;
  void buildControls();
  void buildMenu();
  void openStationWindow();
  QPushButton* addButton(const char* name, const QString& caption, QRect geometry);
  void warn(const QString& text);
  void warn(const std::string& text);
  // True when the keypad opened answered its status.
  bool scanAndShowStatus();
  // With several keypads attached, their serial numbers beside Scan, the open one chosen.
  void showKeypadList(bool openOneRead);
  // The keypad as this window last read and changed it, without asking it again.
  navkeypad::DeviceStatus knownStatus() const;
  // Adds what a window did to the service log beside the configuration file: done unless
  // `failure` says why not. The window works the same when the log cannot be written.
  void logAction(const std::string& action, const std::optional<navkeypad::DeviceStatus>& before,
                 const std::string& failure = {}, bool afterKnown = true);
  void logEntry(const std::string& action, const std::optional<navkeypad::DeviceStatus>& before,
                const std::optional<navkeypad::DeviceStatus>& after, const std::string& failure,
                const navkeypad::firmware::UpgradeOperation* upgrade = nullptr,
                const std::vector<std::pair<std::string, std::string>>& results = {});
  // The last upgrade's line, whatever its end: the step where it failed, and the keypad where it
  // came back (as it was before from its record, where it was finished from its loader).
  void logUpgrade(const std::string& failure, bool afterKnown = false);
  // A keypad on the bus that this user may not open: say so, and how to fix it.
  // Why a keypad on the bus cannot be opened, and what to do; nothing when none is closed.
  static std::optional<QString> accessProblem();
  void showConnected();
  void showNotConnected();
  void showPlaceholders();
  void selectListEntries();
  void selectLedBrightness();
  void selectKeypadType();
  void showStatusLines();
  void leave();
  // True, after saying so, while a firmware upgrade must not be interrupted.
  bool refuseExitDuringUpgrade();
  // The records of unfinished upgrades that the keypad now on the bus may need.
  void tellAboutUnfinishedUpgrade(bool keypadRead);
  // What a keypad waiting in its loader is, whose settings are kept for it, and how to finish
  // it here; empty while none waits.
  std::string waitingLoaderMessage() const;
  // The keypad back from an upgrade, with its new firmware version.
  void showStatusAfterUpgrade(bool restored, const QString& failure);
  // Runs a file action; a configuration file that cannot be read shows one clear message.
  template <typename Action>
  void withConfigFile(Action action);

  bool loaded_ = false;
  bool leaving_ = false;
  QLabel* label1 = nullptr;
  QPushButton* button11 = nullptr;
  QTextEdit* richTextBox1 = nullptr;
  QPushButton* button2 = nullptr;
  QPushButton* button9 = nullptr;
  QPushButton* btnLoadFirmware = nullptr;
  QPushButton* button10 = nullptr;
  QPushButton* button1 = nullptr;
  QPushButton* button8 = nullptr;
  QPushButton* button3 = nullptr;
  QComboBox* ledBrightnessCbox = nullptr;
  QComboBox* keypadTypeCbox = nullptr;
  QComboBox* keypadList = nullptr;  // shown only while several keypads are attached
  QStatusBar* statusStrip1 = nullptr;
};

}  // namespace tarvik_usb_encoder
