#include "main_window/form1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMouseEvent>
#include <QStringList>
#include <filesystem>

#include "bsl430/bsl430.h"
#include "code_table/my4way_layout.h"
#include "device/hid_seam.h"
#include "device/keypad_bus.h"
#include "device/keypad_commands.h"
#include "firmware/firmware_upgrade.h"
#include "firmware/pending_upgrade.h"
#include "firmware/upgrade_operation.h"
#include "info/about.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/window_placement.h"
#include "self_test/self_test.h"
#include "settings/keypad_settings_file.h"
#include "store/service_log.h"
#include "store/store.h"
#include "support/event_log.h"
#include "support/ini_file.h"

namespace tarvik_usb_encoder {

using namespace navkeypad;
namespace cfg = navkeypad::settings;

std::string FileName;
std::array<uint8_t, 32> Form1::keyCodeArray{};
std::array<QString, 3> Form1::configArray{};

namespace {

constexpr int kStatusReadWaitMs = 500;
// Marks an entry of the keypad list that is a keypad waiting in its loader.
constexpr int kLoaderRole = Qt::UserRole + 1;
const QString kLayoutPlaceholder = "Keypad - Layout";
const QString kBrightnessPlaceholder = "LED Brightness";
const QStringList kLayoutEntries = {"Default Table", "Alternate Table", "Customise Table"};

QString ConfigFileName() {
  return QString::fromLatin1(cfg::kConfigFileName);
}

}  // namespace

Form1::Form1(navkeypad::store::Store& store, QWidget* parent) : QMainWindow(parent), store_(store) {
  setObjectName("Form1");
  setWindowTitle("Velto USB Navigation Keypad Configuration Utility");
  setWindowIcon(QIcon(":/app/icon.png"));
  // No close, minimise or maximise button: "Exit" is the way out.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  setFixedWidth(891);
  setMinimumHeight(484);
  setMaximumHeight(524);
  resize(891, 484);
  buildMenu();
  buildControls();
}

QPushButton* Form1::addButton(const char* name, const QString& caption, QRect geometry) {
  auto* button = new QPushButton(caption, centralWidget());
  button->setObjectName(name);
  button->setGeometry(geometry);
  return button;
}

void Form1::buildMenu() {
  QMenuBar* bar = menuBar();
  bar->setObjectName("menuStrip1");
  QMenu* file = bar->addMenu("&File");
  file->setObjectName("helpToolStripMenuItem");
  QAction* import = file->addAction("Import Cfg File");
  import->setObjectName("aboutVeltoUSBEncoderConfiguratorToolStripMenuItem");
  connect(import, &QAction::triggered, this,
          &Form1::aboutVeltoUSBEncoderConfiguratorToolStripMenuItem_Click);
  QAction* exportFile = file->addAction("Export Cfg File");
  exportFile->setObjectName("exitToolStripMenuItem");
  connect(exportFile, &QAction::triggered, this, &Form1::exitToolStripMenuItem_Click);
  QAction* exit = file->addAction("Exit");
  exit->setObjectName("exitToolStripMenuItem1");
  connect(exit, &QAction::triggered, this, &Form1::exitToolStripMenuItem1_Click);

  // The station, beside the keypad windows: a program of its own, which takes the keypads as they
  // are plugged in while this window holds one.
  QMenu* station = bar->addMenu("S&tation");
  station->setObjectName("stationMenu");
  QAction* openStation = station->addAction("Open the Station Window...");
  openStation->setObjectName("openStationWindow");
  connect(openStation, &QAction::triggered, this, &Form1::openStationWindow);

  QMenu* help = bar->addMenu("&Help");
  help->setObjectName("helpToolStripMenuItem1");
  QAction* about = help->addAction("About USB Navigation Keypad Configuration Utility");
  about->setObjectName("aboutVeltoUSBEncoderConfiguratorToolStripMenuItem1");
  connect(about, &QAction::triggered, this,
          &Form1::aboutVeltoUSBEncoderConfiguratorToolStripMenuItem1_Click);
}

void Form1::buildControls() {
  auto* central = new QWidget(this);
  setCentralWidget(central);

  label1 = new QLabel("USB Navigation Keypad Configuration Utility", central);
  label1->setObjectName("label1");
  QFont titleFont = label1->font();
  titleFont.setPointSize(14);
  titleFont.setBold(true);
  label1->setFont(titleFont);
  label1->setGeometry(20, 8, 851, 32);

  auto group = [&](const QString& title, QRect geometry) {
    auto* box = new QGroupBox(title, central);
    box->setGeometry(geometry);
    box->lower();
    return box;
  };
  QGroupBox* keypadGroup = group("Keypad", QRect(12, 44, 867, 146));
  QGroupBox* settingsGroup = group("Settings", QRect(12, 202, 430, 158));
  QGroupBox* fileGroup = group("Configuration File", QRect(449, 202, 430, 158));
  QGroupBox* toolsGroup = group("Tools", QRect(12, 372, 730, 62));

  button11 = addButton("button11", "Scan For Device", QRect(28, 68, 200, 32));
  // Only with several keypads attached: which one the window works on.
  keypadList = new QComboBox(centralWidget());
  keypadList->setObjectName("keypadList");
  keypadList->setAccessibleName("Keypad");
  keypadList->setGeometry(240, 68, 260, 32);
  keypadList->hide();
  connect(keypadList, qOverload<int>(&QComboBox::activated), this, [this](int index) {
    // A keypad in its loader cannot be opened: it is finished by an upgrade.
    if (keypadList->itemData(index, kLoaderRole).toBool()) {
      warn(waitingLoaderMessage());
      showKeypadList(GetDeviceStatusMessage() == 0);
      return;
    }
    PreferKeypadPath(keypadList->itemData(index).toString().toStdString());
    scanAndShowStatus();
  });
  richTextBox1 = new QTextEdit(central);
  richTextBox1->setObjectName("richTextBox1");
  richTextBox1->setReadOnly(true);
  richTextBox1->setFocusPolicy(Qt::NoFocus);
  richTextBox1->setLineWrapMode(QTextEdit::NoWrap);
  richTextBox1->setGeometry(28, 108, 835, 72);

  auto makeList = [&](const char* name, const QStringList& entries, QRect geometry) {
    auto* list = new QComboBox(central);
    list->setObjectName(name);
    list->setEditable(true);
    list->setInsertPolicy(QComboBox::NoInsert);
    list->lineEdit()->setReadOnly(true);
    list->addItems(entries);
    list->setMaxVisibleItems(5);
    list->setGeometry(geometry);
    list->setEnabled(false);
    list->installEventFilter(this);
    list->lineEdit()->installEventFilter(this);
    return list;
  };
  QStringList levels;
  for (int level = 0; level <= kMaxLedBrightness; ++level) {
    levels << QString("LED Brightness - %1").arg(level);
  }
  ledBrightnessCbox = makeList("ledBrightnessCbox", levels, QRect(28, 236, 190, 30));
  ledBrightnessCbox->setCurrentIndex(0);
  keypadTypeCbox = makeList("keypadTypeCbox", kLayoutEntries, QRect(236, 236, 190, 30));
  keypadTypeCbox->setCurrentIndex(-1);
  keypadTypeCbox->setEditText(kLayoutPlaceholder);
  connect(ledBrightnessCbox, qOverload<int>(&QComboBox::activated), this,
          &Form1::ledBrightnessCbox_SelectionChangeCommitted);
  connect(keypadTypeCbox, qOverload<int>(&QComboBox::activated), this,
          &Form1::keypadTypeCbox_SelectionChangeCommitted);

  button1 = addButton("button1", "Customise Code Table", QRect(28, 296, 398, 36));
  button8 = addButton("button8", "Save Changes", QRect(465, 236, 398, 36));
  button3 = addButton("button3", "Reset From Configuration File", QRect(465, 296, 398, 36));
  button2 = addButton("button2", "Test Keypad", QRect(28, 391, 160, 32));
  button9 = addButton("button9", "Reset To Factory Default", QRect(200, 391, 220, 32));
  btnLoadFirmware =
      addButton("btnLoadFirmware", "Update Navigation Keypad Firmware", QRect(432, 391, 294, 32));
  button10 = addButton("button10", "Exit", QRect(763, 391, 116, 32));

  for (QPushButton* disabled : {button2, button9, button1, button8}) disabled->setEnabled(false);

  // Each group holds its controls, where they are drawn, so a screen reader reads the group's
  // title with them; the lists say what they set, not only the entry they show.
  auto into = [](QGroupBox* box, std::initializer_list<QWidget*> controls) {
    for (QWidget* control : controls) {
      const QPoint at = control->pos() - box->pos();
      control->setParent(box);
      control->move(at);
    }
  };
  into(keypadGroup, {button11, richTextBox1});
  into(settingsGroup, {ledBrightnessCbox, keypadTypeCbox, button1});
  into(fileGroup, {button8, button3});
  into(toolsGroup, {button2, button9, btnLoadFirmware});
  richTextBox1->setAccessibleName("Status");
  richTextBox1->setFocusPolicy(Qt::TabFocus);
  // An editable list is read through its text field: both carry the name.
  for (auto [list, name] : {std::pair{ledBrightnessCbox, "LED brightness"},
                            std::pair{keypadTypeCbox, "Keypad layout"}}) {
    list->setAccessibleName(name);
    list->lineEdit()->setAccessibleName(name);
  }
  QWidget* order[] = {button11, richTextBox1, ledBrightnessCbox, keypadTypeCbox,  button1, button8,
                      button3,  button2,      button9,           btnLoadFirmware, button10};
  for (std::size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);

  connect(button11, &QPushButton::clicked, this, &Form1::button11_Click);
  connect(button9, &QPushButton::clicked, this, &Form1::button9_Click);
  connect(button10, &QPushButton::clicked, this, &Form1::button10_Click);
  connect(button8, &QPushButton::clicked, this, &Form1::button8_Click);
  connect(button3, &QPushButton::clicked, this, &Form1::button3_Click);
  connect(button1, &QPushButton::clicked, this, &Form1::button1_Click);
  connect(button2, &QPushButton::clicked, this, &Form1::button2_Click);
  // Reacts to the mouse only; keyboard activation of this button does nothing.
  btnLoadFirmware->installEventFilter(this);

  statusStrip1 = new QStatusBar(this);
  statusStrip1->setObjectName("statusStrip1");
  setStatusBar(statusStrip1);
}

void Form1::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (!loaded_) {
    loaded_ = true;
    Form1_Load();
  }
}

void Form1::closeEvent(QCloseEvent* event) {
  if (!leaving_ && refuseExitDuringUpgrade()) {
    event->ignore();
    return;
  }
  // The window manager may still close a window without a close button; leave cleanly.
  leave();
  event->accept();
}

bool Form1::refuseExitDuringUpgrade() {
  if (!firmware_upgrade::upgradeInProgress()) return false;
  warn(
      QString("A firmware upgrade is running. The program can be closed when it has "
              "finished.."));
  return true;
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
  if (watched == btnLoadFirmware) {
    if (event->type() == QEvent::MouseButtonRelease) {
      auto* mouse = static_cast<QMouseEvent*>(event);
      if (mouse->button() == Qt::LeftButton &&
          btnLoadFirmware->rect().contains(mouse->position().toPoint())) {
        QMetaObject::invokeMethod(this, &Form1::btnLoadFirmware_MouseClick, Qt::QueuedConnection);
      }
    } else if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) {
      // The keys that would press it do nothing; Tab and the rest move on as anywhere else.
      const int key = static_cast<QKeyEvent*>(event)->key();
      if (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter ||
          key == Qt::Key_Select) {
        return true;
      }
    }
    return QMainWindow::eventFilter(watched, event);
  }
  // The lists take no typed characters; arrows and the mouse still choose entries.
  if (event->type() == QEvent::KeyPress) {
    const bool inLists = watched == ledBrightnessCbox || watched == keypadTypeCbox ||
                         watched == ledBrightnessCbox->lineEdit() ||
                         watched == keypadTypeCbox->lineEdit();
    const auto* key = static_cast<QKeyEvent*>(event);
    if (inLists && !key->text().isEmpty() && key->text().at(0).isPrint()) return true;
  }
  return QMainWindow::eventFilter(watched, event);
}

void Form1::warn(const QString& text) {
  platform::current().warning(text + "\n", kCaption);
}

void Form1::warn(const std::string& text) {
  // Messages made below the windows are UTF-8, as the paths they name.
  warn(QString::fromStdString(text));
}

template <typename Action>
void Form1::withConfigFile(Action action) {
  try {
    action();
  } catch (const IniFormatError&) {
    warn(cfg::DamagedFileMessage());
  }
}

// --- start-up and connection ---------------------------------------------------------------

void Form1::Form1_Load() {
  const QString appData = platform::current().localAppDataFolder();
  if (!appData.isEmpty()) {
    FileName = cfg::PrepareConfigFile(platform::PathText(appData));
  }
  // Records, sequences and a log this user kept before the computer kept them are the
  // computer's now: said once, when they are brought over.
  for (const std::string& said : store_.takeNotices()) warn(said + ".");
  m_Log1 = RkTools::EventLog("ubs_encoder.cfg", "");
  tellAboutUnfinishedUpgrade(scanAndShowStatus());
}

bool Form1::scanAndShowStatus() {
  CloseSharedKeypad();
  char manufacturer[kDeviceTextCapacity];
  char product[kDeviceTextCapacity];
  hid_handle = ScanForUSBDevice_a(kKeypadVendorId, kKeypadProductId, manufacturer, product);
  const auto closedKeypad = hid_handle == nullptr ? accessProblem() : std::nullopt;
  const std::string loader = hid_handle == nullptr ? waitingLoaderMessage() : std::string();
  if (hid_handle == nullptr && !closedKeypad && !loader.empty()) {
    warn(loader);
  } else if (hid_handle == nullptr) {
    warn(closedKeypad.value_or("Velto NavigationKeypad not connected.."));
  } else if (!LockScannedKeypad(ScannedDevicePath())) {
    warn("The keypad cannot be used here: " + KeypadLockMessage() + " and click Scan For Device..");
  }
  statusStrip1->clearMessage();
  if (closedKeypad) statusStrip1->showMessage("A keypad is connected but cannot be opened.");
  const bool read = GetDeviceStatusMessage() == 0;
  if (read) {
    showConnected();
  } else {
    showNotConnected();
  }
  showKeypadList(read);
  return read;
}

void Form1::showKeypadList(bool openOneRead) {
  const auto paths = ScannedKeypadPaths();
  // A keypad left in its loader by an upgrade has a record; the bus is only asked for loaders
  // then, so that a start with one keypad asks the bus nothing more.
  std::vector<firmware::PendingUpgrade> records;
  const store::StoreError unread = store_.records(records);
  const auto loaders = records.empty() && !unread
                           ? std::vector<LoaderOnBus>()
                           : BSL_USBDevices(kLoaderVendorId, kLoaderProductId);
  keypadList->clear();
  const bool several = paths.size() > 1 || (!paths.empty() && !loaders.empty());
  keypadList->setVisible(several);
  if (!several) return;
  const std::string open = ScannedDevicePath();
  for (const std::string& path : paths) {
    const auto serial = path != open  ? SerialNumberAt(path)
                        : openOneRead ? std::optional(platform::ToLocal8Bit(serialNumber))
                                      : std::nullopt;
    const QString name =
        serial ? platform::FromLocal8Bit(*serial) : QString("(in use or not answering)");
    keypadList->addItem(name, QString::fromStdString(path));
    if (path == open) keypadList->setCurrentIndex(keypadList->count() - 1);
  }
  for (const LoaderOnBus& loader : loaders) {
    // Whose settings it gets back: those kept where it waits.
    const auto here = firmware::RecordsKeptAt(records, loader.port);
    std::string kept = unread ? "(unreadable)" : here.empty() ? "nothing" : "";
    for (std::size_t i = 0; i < here.size(); ++i) {
      kept = (i == 0 ? "settings of " : kept + (i + 1 == here.size() ? " or " : ", ")) +
             (here[i].serial().empty() ? "a keypad without a serial number" : here[i].serial());
    }
    keypadList->addItem(platform::FromLocal8Bit("in its loader: " + kept + " kept"),
                        QString::fromStdString(loader.path));
    keypadList->setItemData(keypadList->count() - 1, true, kLoaderRole);
  }
}

std::optional<QString> Form1::accessProblem() {
  for (const KeypadOnBus& keypad : ListKeypads()) {
    if (keypad.accessible) continue;
    return QString::fromStdString("A keypad is connected but cannot be opened (" + keypad.problem +
                                  ").\n\n" + AccessAdvice());
  }
  return std::nullopt;
}

void Form1::showConnected() {
  EnableDisableFunctionButtons(true);
  selectListEntries();
  ShowDeviceStatus();
}

void Form1::showNotConnected() {
  showPlaceholders();
  configArray[0] =
      "Device Connected   -    None"
      "                                Firmware Version        -   None";
  showStatusLines();
  EnableDisableFunctionButtons(false);
}

void Form1::showPlaceholders() {
  keypadTypeCbox->setCurrentIndex(-1);
  keypadTypeCbox->setEditText(kLayoutPlaceholder);
  ledBrightnessCbox->setCurrentIndex(-1);
  ledBrightnessCbox->setEditText(kBrightnessPlaceholder);
}

void Form1::selectListEntries() {
  selectLedBrightness();
  selectKeypadType();
}

namespace {
// A value the list has no entry for shows the placeholder rather than a wrong entry.
void SelectEntry(QComboBox* list, int index, const QString& placeholder) {
  if (index >= 0 && index < list->count()) {
    list->setCurrentIndex(index);
  } else {
    list->setCurrentIndex(-1);
    list->setEditText(placeholder);
  }
}
}  // namespace

void Form1::selectLedBrightness() {
  SelectEntry(ledBrightnessCbox, prev_ledBrightness_index, kBrightnessPlaceholder);
}

void Form1::selectKeypadType() {
  SelectEntry(keypadTypeCbox, prev_keypadType_index, kLayoutPlaceholder);
}

int8_t Form1::GetDeviceStatusMessage() {
  platform::clock().sleepMs(kStatusReadWaitMs);
  std::vector<uint8_t> record;
  if (SendKeypadCommand(CMD_GET_STATUS, {}, &record) != kExchangeOk) return -1;
  const auto status = DecodeStatusRecord(record);
  if (!status) return -1;
  prev_ledBrightness_index = status->ledBrightness;
  prev_keypadType_index = status->keypadType;
  prev_jack_status = status->jackState;
  prev_HV_status = status->orientation;
  std::copy(status->codeTable.bytes.begin(), status->codeTable.bytes.end(), keyCodeArray.begin());
  firmwareVersion = platform::FromLocal8Bit(status->firmwareVersion);
  serialNumber = platform::FromLocal8Bit(status->serialNumber);
  temperature = platform::FromLocal8Bit(status->temperature);
  return 0;
}

void Form1::ShowDeviceStatus() {
  const QString table = prev_keypadType_index >= 0 && prev_keypadType_index < kLayoutEntries.size()
                            ? kLayoutEntries[prev_keypadType_index]
                            : QString("Keypad Type %1").arg(prev_keypadType_index);
  configArray[0] =
      "Device Connected         NavigationKeypad"
      "                                  Firmware Version        -   " +
      firmwareVersion;
  configArray[1] = "Code Table Loaded      " + table;
  configArray[2] = "Serial Number               " + serialNumber;
  showStatusLines();
}

void Form1::showStatusLines() {
  richTextBox1->setPlainText(QStringList(configArray.begin(), configArray.end()).join("\n"));
}

void Form1::EnableDisableFunctionButtons(bool enable) {
  for (QWidget* control : std::initializer_list<QWidget*>{
           ledBrightnessCbox, keypadTypeCbox, button1, button8, button9, button2, button3}) {
    control->setEnabled(enable);
  }
}

DeviceStatus Form1::knownStatus() const {
  DeviceStatus known;
  known.ledBrightness = static_cast<uint8_t>(prev_ledBrightness_index);
  known.keypadType = static_cast<uint8_t>(prev_keypadType_index);
  std::copy_n(keyCodeArray.begin(), known.codeTable.bytes.size(), known.codeTable.bytes.begin());
  known.firmwareVersion = platform::ToLocal8Bit(firmwareVersion);
  known.serialNumber = platform::ToLocal8Bit(serialNumber);
  return known;
}

void Form1::logAction(const std::string& action, const std::optional<DeviceStatus>& before,
                      const std::string& failure, bool afterKnown) {
  logEntry(action, before,
           failure.empty() && afterKnown ? std::optional(knownStatus()) : std::nullopt, failure);
}

void Form1::logEntry(const std::string& action, const std::optional<DeviceStatus>& before,
                     const std::optional<DeviceStatus>& after, const std::string& failure,
                     const firmware::UpgradeOperation* upgrade,
                     const std::vector<std::pair<std::string, std::string>>& results) {
  store::ServiceEntry entry;
  entry.program = "navkeypad-utility";
  entry.action = action;
  const bool returned = upgrade != nullptr && !upgrade->returnedPath().empty();
  entry.path = returned ? upgrade->returnedPath() : ScannedDevicePath();
  entry.port =
      upgrade != nullptr && !upgrade->port().empty()
          ? upgrade->port()
          : (entry.path.empty() ? std::string() : navkeypad::Hid().port(entry.path.c_str()));
  entry.before = before;
  entry.after = after;
  entry.ok = failure.empty();
  entry.message = failure;
  if (upgrade != nullptr && !entry.ok) entry.step = upgrade->step();
  entry.results = results;
  // The window does what its user asked, as it always has; the log follows where it can.
  store_.append(entry);
}

void Form1::logUpgrade(const std::string& failure, bool afterKnown) {
  if (!lastUpgrade_) return;
  std::optional<DeviceStatus> before = beforeUpgrade_;
  if (!before && lastUpgrade_->record()) before = firmware::StatusBefore(*lastUpgrade_->record());
  logEntry("Update Navigation Keypad Firmware", before,
           failure.empty() && afterKnown ? std::optional(knownStatus()) : std::nullopt, failure,
           lastUpgrade_.get());
}

void Form1::button11_Click() {
  tellAboutUnfinishedUpgrade(scanAndShowStatus());
}

void Form1::button9_Click() {
  const DeviceStatus before = knownStatus();
  if (SendKeypadCommand(CMD_RESET_TO_DEFAULT) != kExchangeOk) {
    warn(QString("Unable to Reset to Default.."));
    logAction("Reset To Factory Default", before, "Unable to Reset to Default..");
    return;
  }
  // The keypad restarts: what it holds now is not known until the next Scan.
  logAction("Reset To Factory Default", before, {}, false);
  warn(QString("Please click on Scan For to re-connect after device reboot."));
  // The lines keep what the keypad held before; the message and the hint below ask for a scan.
  showPlaceholders();
  ShowDeviceStatus();
  EnableDisableFunctionButtons(false);
  statusStrip1->showMessage(
      "The keypad is restarting with its factory settings: click Scan For Device when it is back.");
}

void Form1::leave() {
  if (leaving_) return;
  // Ending now would leave the keypad half written, or without its settings.
  if (refuseExitDuringUpgrade()) return;
  leaving_ = true;
  // A running self test gives the keypad back its layout and LED level first.
  if (!selfTestFrm.isNull()) selfTestFrm->endForExit();
  CloseSharedKeypad();
  QApplication::closeAllWindows();
  QCoreApplication::exit(0);
}

void Form1::openStationWindow() {
  if (refuseExitDuringUpgrade()) return;
  if (!platform::current().startThisProgram({"--station"})) {
    platform::current().warning("The station window could not be started.\n", kCaption);
    return;
  }
  // The station takes the keypads as they are plugged in: this window lets go of its own.
  leave();
}

void Form1::button10_Click() {
  leave();
}

void Form1::exitToolStripMenuItem1_Click() {
  leave();
}

// --- the setting lists ---------------------------------------------------------------------

void Form1::ledBrightnessCbox_SelectionChangeCommitted(int index) {
  const DeviceStatus before = knownStatus();
  const std::string action = "LED Brightness - " + std::to_string(index);
  const std::vector<uint8_t> payload{static_cast<uint8_t>(index)};
  if (SendKeypadCommand(CMD_SET_LED_BRIGHTNESS, payload) != kExchangeOk) {
    warn(QString("Unable to set the LED Brightness.."));
    selectLedBrightness();
    logAction(action, before, "Unable to set the LED Brightness..");
    return;
  }
  prev_ledBrightness_index = index;
  logAction(action, before);
}

void Form1::keypadTypeCbox_SelectionChangeCommitted(int index) {
  const DeviceStatus before = knownStatus();
  const std::string action = platform::ToLocal8Bit(keypadTypeCbox->itemText(index));
  const std::vector<uint8_t> payload{static_cast<uint8_t>(index)};
  if (SendKeypadCommand(CMD_SET_KEYPAD_TYPE, payload) != kExchangeOk) {
    warn(QString("Unable to set Keypad Type.."));
    selectKeypadType();
    logAction(action, before, "Unable to set Keypad Type..");
    return;
  }
  prev_keypadType_index = index;
  ShowDeviceStatus();
  logAction(action, before);
}

// --- the configuration file ----------------------------------------------------------------

bool Form1::SetSettings(const std::string& key, const std::string& value) {
  if (!CIniFile::SetValue(key, value, cfg::kSection, FileName)) {
    warn(QString("Failed to update USBNavigationKeypadUtilityCfg.ini file."));
    return false;
  }
  return true;
}

QString Form1::GetSettings(const std::string& key) {
  return platform::FromLocal8Bit(CIniFile::GetValue(key, cfg::kSection, FileName));
}

void Form1::ToUnmanagedStr(const QString& text, std::string& out) {
  out = platform::ToLocal8Bit(text);
}

void Form1::button8_Click() {
  const DeviceStatus before = knownStatus();
  if (SendKeypadCommand(CMD_WRITE_DEFAULT) != kExchangeOk) {
    warn(QString("Unable to Write Default.."));
    logAction("Save Changes", before, "Unable to Write Default..");
    return;
  }
  SaveToConfigFile();
  logAction("Save Changes", before);
}

void Form1::SaveToConfigFile() {
  if (GetDeviceStatusMessage() != 0) {
    warn(QString("Unable to Save Config file."));
    return;
  }
  cfg::SavedState state;
  state.keypadLayout = prev_keypadType_index;
  state.ledBrightness = prev_ledBrightness_index;
  std::copy_n(keyCodeArray.begin(), state.codeTable.bytes.size(), state.codeTable.bytes.begin());
  ToUnmanagedStr(serialNumber, state.serialNumber);
  const auto values = cfg::ValuesToSave(state);
  // A value the file would give back otherwise is not written, and neither is the rest.
  if (const std::string problem = cfg::ValueProblem(values); !problem.empty()) {
    return warn(problem + "; nothing was written into the configuration file..");
  }
  // The whole file at once: a program cut off part-way leaves it as it was.
  withConfigFile([&] {
    if (!CIniFile::SetValues(values, cfg::kSection, FileName))
      warn(QString("Failed to update USBNavigationKeypadUtilityCfg.ini file."));
  });
}

void Form1::button3_Click() {
  const DeviceStatus before = knownStatus();
  withConfigFile([&] {
    const cfg::StoredSettings stored = cfg::ReadStoredSettings(FileName);
    if (!stored.saved) return;
    if (!stored.problem.empty()) {
      warn(stored.problem);
      return;
    }
    for (const cfg::RestoreStep& step : stored.steps) {
      if (SendKeypadCommand(step.command, step.payload) == kExchangeOk) continue;
      warn(step.failureMessage);
      if (step.command == CMD_SET_KEYPAD_TYPE) selectKeypadType();
      if (step.command == CMD_SET_LED_BRIGHTNESS) selectLedBrightness();
      logAction("Reset From Configuration File", before, step.failureMessage);
      return;
    }
    const bool read = GetDeviceStatusMessage() == 0;
    if (read) {
      showConnected();
    } else {
      showNotConnected();
    }
    logAction("Reset From Configuration File", before, {}, read);
  });
}

void Form1::aboutVeltoUSBEncoderConfiguratorToolStripMenuItem_Click() {
  try {
    const auto chosen = platform::current().openFile(
        {"Import Cfg File", "(*.ini);;All files (*)", platform::HomeFolder()});
    if (!chosen) return;
    if (QFileInfo(*chosen).fileName() != ConfigFileName()) {
      warn(QString("Incorrect Filename."));
      return;
    }
    const std::string path = platform::PathText(*chosen);
    bool complete = CIniFile::SectionExists(cfg::kSection, path);
    for (const char* key : cfg::kAllKeys) {
      complete = CIniFile::RecordExists(key, cfg::kSection, path) && complete;
    }
    if (!complete) {
      warn(QString("File is incorrect format."));
      return;
    }
    if (!cfg::CopyFileAtomically(path, FileName)) warn(QString("Failed to copy the new file."));
  } catch (const std::exception&) {
    warn(QString("Exception :Failed to copy the new file."));
  }
}

void Form1::exitToolStripMenuItem_Click() {
  try {
    const auto folder = platform::current().chooseFolder(
        {"Select Folder - To Copy The USBNavigationKeypadUtilityCfg.ini File",
         platform::ExportFolderStart()});
    if (!folder) {
      warn(QString("Unable to save the cfg file."));
      return;
    }
    const QString target = QDir(*folder).filePath(ConfigFileName());
    if (QFileInfo::exists(target) &&
        !platform::current().question(
            "USBNavigationKeypadUtilityCfg.ini file already exists. Do you want to overwrite it?",
            "Save USBNavigationKeypadUtilityCfg File")) {
      return;
    }
    if (!cfg::CopyFileAtomically(FileName, platform::PathText(target)))
      warn(QString("Failed to export the file"));
  } catch (const std::exception&) {
    warn(QString("Exception :Unable to save cfg file."));
  }
}

// --- other windows -------------------------------------------------------------------------

void Form1::aboutVeltoUSBEncoderConfiguratorToolStripMenuItem1_Click() {
  auto* window = new about();
  platform::PlaceOnScreen(window, pos(), this);
  window->show();
}

void Form1::button1_Click() {
  if (GetDeviceStatusMessage() != 0) {
    warn(QString("Load Table-Unable to get device status.."));
    return;
  }
  if (prev_keypadType_index != kKeypadTypeCustom) {
    warn(QString("Please select a customise table.."));
    return;
  }
  KeyCodeTable table;
  std::copy_n(keyCodeArray.begin(), table.bytes.size(), table.bytes.begin());
  auto* editor = new My4way_layout(table, this);
  connect(editor, &My4way_layout::tableApplied, this, [this, editor](bool sent) {
    // The window keeps the table it read; the log tells what the keypad holds now.
    const DeviceStatus before = knownStatus();
    std::optional<DeviceStatus> after;
    if (sent) {
      after = before;
      after->codeTable = editor->currentTable();
    }
    logEntry("Apply Code Table", before, after, sent ? std::string() : "Unable to Load Table..");
  });
  editor->pictureBox1->setPixmap(
      platform::PictureFromCurrentDirectory("NavigationKeypad.jpg", ":/code_table/keypad.png"));
  platform::CentreOnScreen(editor, this);
  editor->show();
}

void Form1::button2_Click() {
  if (GetDeviceStatusMessage() != 0) {
    warn(QString("Unable to get device message..Please click on Scan for and try again.."));
    return;
  }
  selfTestFrm = new self_test(this);
  selfTestFrm->selfTestFrm1 = selfTestFrm;
  const DeviceStatus before = knownStatus();
  connect(selfTestFrm, &self_test::testEnded, this,
          [this, before](const std::vector<std::pair<std::string, std::string>>& results,
                         const std::string& failure) {
            logEntry("Test Keypad", before, std::nullopt, failure, nullptr, results);
          });
  selfTestFrm->pictureBox1->setPixmap(
      platform::PictureFromCurrentDirectory("Navigationkeypad.jpg", ":/self_test/keypad.png"));
  platform::PlaceOnScreen(selfTestFrm, pos(), this);
  selfTestFrm->show();
}

void Form1::btnLoadFirmware_MouseClick() {
  // One upgrade window at a time: a second would start a second download.
  if (!upgradeFrm.isNull()) {
    upgradeFrm->raise();
    upgradeFrm->activateWindow();
    return;
  }
  if (!platform::current().question("Are you sure you want to upgrade the firmware?",
                                    "Firmware Upgrade")) {
    return;
  }
  beforeUpgrade_.reset();
  auto started = firmware_upgrade::start(
      store_, FileName,
      [this]() -> std::optional<firmware::KeypadInApplication> {
        if (GetDeviceStatusMessage() != 0) return std::nullopt;
        beforeUpgrade_ = knownStatus();
        firmware::KeypadInApplication keypad{
            ScannedDevicePath(), {}, platform::ToLocal8Bit(firmwareVersion)};
        keypad.settings.serialNumber = platform::ToLocal8Bit(serialNumber);
        keypad.settings.keypadType = prev_keypadType_index;
        keypad.settings.ledBrightness = prev_ledBrightness_index;
        std::copy_n(keyCodeArray.begin(), keypad.settings.keyCodes.size(),
                    keypad.settings.keyCodes.begin());
        return keypad;
      },
      hid_handle != nullptr, this);
  lastUpgrade_ = started.upgrade;
  if (!started.refusal.empty()) {
    logUpgrade(started.refusal);
    warn(started.refusal + ".");
    return;
  }
  if (!started.window) return;
  if (!started.switchUnfinished.empty()) {
    logUpgrade(started.switchUnfinished);
    EnableDisableFunctionButtons(false);
  }
  if (started.keypadUnread) warn(QString("Unable to get device status information"));
  auto* window = started.window;
  upgradeFrm = window;
  connect(window, &firmware_upgrade::restoreFinished, this, &Form1::showStatusAfterUpgrade);
  connect(window, &firmware_upgrade::downloadFailed, this,
          [this](const QString& failure) { logUpgrade(platform::ToLocal8Bit(failure)); });
  platform::CentreOnScreen(window, this);
  window->show();
}

void Form1::showStatusAfterUpgrade(bool restored, const QString& failure) {
  bool read = false;
  if (hid_handle != nullptr) {
    read = GetDeviceStatusMessage() == 0;
    if (read) {
      showConnected();
    } else {
      showNotConnected();
    }
  }
  logUpgrade(restored ? std::string() : platform::ToLocal8Bit(failure), read);
}

void Form1::tellAboutUnfinishedUpgrade(bool keypadRead) {
  const std::string recordFile = store_.where();
  std::vector<firmware::PendingUpgrade> records;
  if (const store::StoreError unread = store_.records(records)) return warn(unread.message + ".");
  if (records.empty()) return;
  // The scan has said what waits, where no keypad in its application was opened.
  if (BSL_NumOfUSBDevices(kLoaderVendorId, kLoaderProductId) > 0) {
    if (hid_handle != nullptr) warn(waitingLoaderMessage());
    return;
  }
  const auto open = keypadRead ? std::optional(knownStatus()) : std::nullopt;
  for (const auto& record : records) {
    if (!firmware::RecordNeededNow(record, open)) continue;
    warn("The firmware upgrade of " + firmware::KeypadName(record) +
         " did not finish, so the keypad may be waiting in its loader without its serial "
         "number and settings. They are kept in " +
         recordFile +
         ". To finish, plug in only that keypad, click \"Update Navigation Keypad Firmware\" "
         "and upgrade it again..");
  }
}

std::string Form1::waitingLoaderMessage() const {
  const auto loaders = BSL_USBDevices(kLoaderVendorId, kLoaderProductId);
  if (loaders.empty()) return {};
  const std::string recordFile = store_.where();
  std::vector<firmware::PendingUpgrade> all;
  const store::StoreError unread = store_.records(all);
  const auto records = firmware::RecordsKeptAt(all, loaders.front().port);
  std::string kept = "No serial number or settings are kept for it";
  if (unread) {
    kept = "Whose settings are kept for it cannot be told: " + unread.message;
  } else if (records.size() == 1) {
    kept = "The serial number and settings of " + firmware::KeypadName(records[0]) +
           " are kept for it in " + recordFile;
  } else if (records.size() > 1) {
    kept = "The settings of " + std::to_string(records.size()) + " keypads are kept in " +
           recordFile + "; you will be asked which are its";
  }
  return "A keypad is waiting in its firmware loader: its firmware upgrade did not finish. " +
         kept + ". To finish, click \"Update Navigation Keypad Firmware\" and upgrade it again..";
}

}  // namespace tarvik_usb_encoder
