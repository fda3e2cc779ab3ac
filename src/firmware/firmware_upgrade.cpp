#include "firmware/firmware_upgrade.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QMouseEvent>

#include "bsl430/bsl430.h"
#include "device/keypad_bus.h"
#include "device/keypad_commands.h"
#include "firmware/download_sequence.h"
#include "firmware/firmware_resources.h"
#include "platform/clock.h"
#include "platform/platform.h"
#include "platform/window_placement.h"
#include "settings/keypad_settings_file.h"
#include "support/ini_file.h"

namespace tarvik_usb_encoder {

using namespace navkeypad;

QString firmware_upgrade::myVID;
QString firmware_upgrade::myPID;
QString firmware_upgrade::myDeviceIndex = "0";
uint32_t firmware_upgrade::numberOfUSBDevicesConnected = 0;
bool firmware_upgrade::scanDeviceAgain = false;
int firmware_upgrade::upgradesRunning_ = 0;

namespace {
constexpr char kCaption[] = "Velto NavigationKeypad";

QFont BigFont() {
  QFont font("Microsoft Sans Serif");
  font.setPointSizeF(19.8);
  return font;
}

uint16_t HexId(QString text) {
  return static_cast<uint16_t>(text.remove("0x").toUShort(nullptr, 16));
}
}  // namespace

firmware_upgrade::firmware_upgrade(std::shared_ptr<firmware::UpgradeOperation> upgrade,
                                   QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      upgrade_(std::move(upgrade)) {
  setObjectName("firmware_upgrade");
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle("Velto Navigation Keypad Firmware Upgrade");
  setFixedSize(500, 320);
  platform::AnnounceAsWindow(this);

  auto* groupBox1 = new QGroupBox("Select which firmware to download", this);
  groupBox1->setObjectName("groupBox1");
  groupBox1->setGeometry(12, 6, 476, 90);
  auto label = [](const char* name, const QString& text, QWidget* parent, QRect place) {
    auto* created = new QLabel(text, parent);
    created->setObjectName(name);
    created->setGeometry(place);
    return created;
  };
  label1 = label("label1", "Select Firmware", groupBox1, {12, 26, 110, 24});
  btnBrowse = new QPushButton("&Browse", groupBox1);
  btnBrowse->setObjectName("btnBrowse");
  btnBrowse->setGeometry(130, 24, 96, 28);
  btnBrowse->setEnabled(false);
  label3 = label("label3", "File to download", groupBox1, {12, 58, 110, 24});
  filenameTextBox = new QLineEdit(groupBox1);
  filenameTextBox->setObjectName("filenameTextBox");
  filenameTextBox->setAccessibleName("File to download");
  filenameTextBox->setReadOnly(true);
  filenameTextBox->setGeometry(130, 58, 334, 24);

  label("label2", "VID", this, {14, 102, 30, 20});
  vidLbl = label("vidLbl", QString(), this, {44, 102, 60, 20});
  label("label4", "PID", this, {112, 102, 30, 20});
  pidLbl = label("pidLbl", "        ", this, {142, 102, 60, 20});
  labelNumOfDevices =
      label("labelNumOfDevices", "Searching for devices", this, {220, 102, 268, 20});
  labelNumOfDevices->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

  btnUpgrade = new QPushButton("Upgrade Firmware", this);
  btnUpgrade->setObjectName("btnUpgrade");
  btnUpgrade->setFont(BigFont());
  btnUpgrade->setGeometry(12, 128, 300, 50);
  btnUpgrade->setEnabled(false);
  btnClose = new QPushButton("&Close", this);
  btnClose->setObjectName("btnClose");
  btnClose->setFont(BigFont());
  btnClose->setGeometry(324, 128, 164, 50);
  // Both react to the mouse only; they still take the focus, so a screen reader finds them.
  for (QPushButton* button : {btnUpgrade, btnClose}) {
    button->setFocusPolicy(Qt::TabFocus);
    button->installEventFilter(this);
  }

  progressBar = new QProgressBar(this);
  progressBar->setObjectName("progressBar");
  progressBar->setAccessibleName("Progress");
  progressBar->setRange(0, 100);
  progressBar->setValue(0);
  progressBar->setTextVisible(false);
  progressBar->setGeometry(12, 186, 476, 20);
  statusBox = new QPlainTextEdit(this);
  statusBox->setObjectName("statusBox");
  statusBox->setAccessibleName("Status");
  statusBox->setReadOnly(true);
  statusBox->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  QPalette background = statusBox->palette();
  background.setColor(QPalette::Base, palette().color(QPalette::Window));
  statusBox->setPalette(background);
  statusBox->setGeometry(12, 212, 476, 96);

  connect(btnBrowse, &QPushButton::clicked, this, &firmware_upgrade::btnBrowse_Click);

  InitializeVidPidFirmware();
  registered_ = BSL_RegisterUSBDeviceNotification([this](uint32_t message, uint32_t event) {
                  ParseMessages(message, event);
                }) == 0;
  if (registered_) {
    startDeviceCheck();
  } else {
    labelNumOfDevices->setText("ERROR: Unable to register device");
  }
}

firmware_upgrade::~firmware_upgrade() {
  if (registered_) BSL_UnRegisterUSBDeviceNotification();
  endUpgrade();
  // The workers only queue their reports to this window; waiting for them cannot block.
  for (QThread* worker : {backgroundWorker1, backgroundWorkerCheckDevice}) {
    if (worker != nullptr) worker->wait();
  }
  // Closed before or after a download: the next upgrade, here or in another program, may start
  // (a keypad left in its loader is finished from its record).
  upgrade_->end();
}

void firmware_upgrade::InitializeVidPidFirmware() {
  myVID = QString::fromStdString(firmware::padHexStringValue(firmware::FirmwareResource("VID")));
  myPID = QString::fromStdString(firmware::padHexStringValue(firmware::FirmwareResource("PID")));
  vidLbl->setText(myVID);
  pidLbl->setText(myPID);
}

QString firmware_upgrade::lastFirmwareFolder_;

platform::Platform::FileRequest firmware_upgrade::firmwareFileRequest() {
  const bool known = !lastFirmwareFolder_.isEmpty() && QFileInfo(lastFirmwareFolder_).isDir();
  return {"Select Firmware File", "(*.txt);;All files (*)",
          known ? lastFirmwareFolder_ : platform::HomeFolder()};
}

void firmware_upgrade::setFirmwareFile(const QString& path) {
  firmwarePath_ = path;
  // The file's name tells a firmware apart, and the folder's start where it lies: a path too
  // long for the box loses the middle of its folder, and the whole of it is the box's tooltip.
  const QFontMetrics metrics = filenameTextBox->fontMetrics();
  const int room = filenameTextBox->width() - 2 * metrics.averageCharWidth();
  const QString name = QFileInfo(path).fileName();
  const int folderRoom = room - metrics.horizontalAdvance(name);
  filenameTextBox->setText(
      metrics.horizontalAdvance(path) <= room || folderRoom < room / 3
          ? metrics.elidedText(path, Qt::ElideMiddle, room)
          : metrics.elidedText(path.left(path.size() - name.size()), Qt::ElideMiddle, folderRoom) +
                name);
  filenameTextBox->setCursorPosition(0);
  filenameTextBox->setToolTip(path);
  filenameTextBox->setAccessibleDescription(path);
  lastFirmwareFolder_ = QFileInfo(path).absolutePath();
  try {
    CIniFile::SetValue(settings::kFirmwareFile, platform::ToLocal8Bit(QFileInfo(path).fileName()),
                       settings::kSection, upgrade_->configFile());
  } catch (const IniFormatError&) {
    warn(QString::fromStdString(settings::DamagedFileMessage()));
  }
}

bool firmware_upgrade::upgradeInProgress() {
  return upgradesRunning_ > 0;
}

void firmware_upgrade::endUpgrade() {
  if (!upgrading_) return;
  upgrading_ = false;
  --upgradesRunning_;
}

bool firmware_upgrade::downloadRunning() const {
  return downloadRunning_;
}

bool firmware_upgrade::workerBusy() const {
  return downloadRunning_ || deviceCheckRunning_;
}

void firmware_upgrade::ParseMessages(uint32_t message, uint32_t event) {
  if (message != kDeviceChangeMessage || (event != kDeviceArrived && event != kDeviceRemoved)) {
    return;
  }
  if (workerBusy()) {
    scanDeviceAgain = true;
  } else {
    startDeviceCheck();
  }
}

void firmware_upgrade::startDeviceCheck() {
  if (deviceCheckRunning_) {
    // A check still counting is served again when it completes; deleting its thread now
    // would end the process.
    scanDeviceAgain = true;
    return;
  }
  if (backgroundWorkerCheckDevice != nullptr) backgroundWorkerCheckDevice->deleteLater();
  const uint16_t vendor = HexId(myVID);
  const uint16_t product = HexId(myPID);
  backgroundWorkerCheckDevice = QThread::create(
      [this, vendor, product] { deviceCount_ = BSL_NumOfUSBDevices(vendor, product); });
  backgroundWorkerCheckDevice->setParent(this);
  connect(backgroundWorkerCheckDevice, &QThread::finished, this,
          &firmware_upgrade::backgroundWorkerCheckDevice_RunWorkerCompleted, Qt::QueuedConnection);
  deviceCheckRunning_ = true;
  backgroundWorkerCheckDevice->start();
}

void firmware_upgrade::backgroundWorkerCheckDevice_RunWorkerCompleted() {
  deviceCheckRunning_ = false;
  numberOfUSBDevicesConnected = deviceCount_;
  const uint32_t count = numberOfUSBDevicesConnected;
  if (count == 0) {
    labelNumOfDevices->setText("No device connected");
    btnUpgrade->setEnabled(false);
    btnBrowse->setEnabled(false);
  } else {
    labelNumOfDevices->setText(QString("Found %1 device%2").arg(count).arg(count > 1 ? "s" : ""));
    // The loader is addressed by its place on the bus: with two waiting, the download could
    // write one keypad and the restore give its serial number to the other.
    if (count > 1 && loadersNoted_ != count && !upgrading_) {
      appendStatus(QString("%1 keypads are waiting in their loaders. Leave only the keypad to "
                           "upgrade plugged in; Upgrade Firmware waits until then.\n")
                       .arg(count));
    }
    loadersNoted_ = count;
    // A running download keeps its button: one run at a time.
    btnUpgrade->setEnabled(!upgrading_ && count == 1);
    btnBrowse->setEnabled(true);
  }
  if (count <= 1) loadersNoted_ = count;
  if (scanDeviceAgain) {
    scanDeviceAgain = false;
    startDeviceCheck();
  }
}

bool firmware_upgrade::askIsKeypadOf(const firmware::PendingUpgrade& record) {
  return platform::current().question(
      QString::fromStdString("The firmware upgrade of " + firmware::KeypadName(record) +
                             " did not finish; its serial number and settings are kept. Is the "
                             "keypad being upgraded now that keypad?"),
      "Firmware Upgrade");
}

void firmware_upgrade::btnBrowse_Click() {
  // The running download reads the image it was started with.
  if (upgrading_) return;
  const auto chosen = platform::current().openFile(firmwareFileRequest());
  if (!chosen) return;
  // What gets written is what was checked: a file that would not start is refused here.
  if (const auto outcome = upgrade_->checkFirmware(platform::PathText(*chosen)); !outcome.ok()) {
    warn(QString::fromStdString(outcome.message) + ".");
    return;
  }
  setFirmwareFile(*chosen);
}

void firmware_upgrade::btnUpgrade_MouseClick() {
  if (upgrading_ || !btnUpgrade->isEnabled() || numberOfUSBDevicesConnected > 1) return;
  if (upgradeInProgress()) {
    appendStatus("Another firmware upgrade is running; start this one when it has finished.\n");
    return;
  }
  // A keypad in its loader gets only the record kept where it waits; where that cannot be
  // told, nothing is sent and the box says why.
  // The one loader there is: a record kept elsewhere is its own on the user's answer.
  upgrade_->namePlace();
  if (const auto taken = upgrade_->takeWaitingKeypad(&firmware_upgrade::askIsKeypadOf);
      !taken.ok()) {
    statusBox->setPlainText(QString::fromStdString(taken.message) + "\n");
    return;
  }
  upgrading_ = true;
  ++upgradesRunning_;
  btnUpgrade->setEnabled(false);
  btnClose->setEnabled(false);
  statusBox->setPlainText("Starting\n");
  lastReport_.clear();
  for (const std::string& notice : upgrade_->notices()) {
    appendStatus(QString::fromStdString(notice) + "\n");
  }
  progressBar->setValue(0);

  const std::string path = platform::PathText(firmwarePath_);
  firmware::LoaderIdentity identity{
      myVID.toStdString(), myPID.toStdString(), myDeviceIndex.toStdString(), {}};
  downloadResult_ = false;
  if (backgroundWorker1 != nullptr) backgroundWorker1->deleteLater();
  backgroundWorker1 = QThread::create([this, path, identity, upgrade = upgrade_] {
    auto report = [this](int percent, const std::string& text) {
      // Every text of the sequence is UTF-8, as every message is: the loader's own words are
      // ASCII, and "Sending PATH" names the file as the program holds paths.
      const QString shown = QString::fromStdString(text);
      QMetaObject::invokeMethod(
          this, [this, percent, shown] { backgroundWorker1_ProgressChanged(percent, shown); },
          Qt::QueuedConnection);
    };
    if (path.empty()) {
      report(0, "No file specified\r\n");
      downloadResult_ = false;
      return;
    }
    downloadResult_ = upgrade->download(identity, report);
  });
  backgroundWorker1->setParent(this);
  connect(backgroundWorker1, &QThread::finished, this,
          &firmware_upgrade::backgroundWorker1_RunWorkerCompleted, Qt::QueuedConnection);
  downloadRunning_ = true;
  backgroundWorker1->start();
}

void firmware_upgrade::backgroundWorker1_ProgressChanged(int percent, const QString& text) {
  progressBar->setValue(percent);
  if (text.isEmpty()) return;
  // The loader's texts end their lines with CR LF; the box shows plain lines.
  QString shown = text;
  shown.remove('\r');
  appendStatus(shown);
  lastReport_ = shown.trimmed();
}

void firmware_upgrade::appendStatus(const QString& text) {
  statusBox->moveCursor(QTextCursor::End);
  statusBox->insertPlainText(text);
  statusBox->moveCursor(QTextCursor::End);
}

void firmware_upgrade::backgroundWorker1_RunWorkerCompleted() {
  downloadRunning_ = false;
  btnClose->setEnabled(true);
  if (!downloadResult_) {
    if (upgrade_->record()) {
      appendStatus(QString::fromStdString("The keypad's serial number and settings stay kept in " +
                                          upgrade_->recordFile() +
                                          " until an upgrade succeeds.\n"));
    }
    endUpgrade();
    emit downloadFailed("The firmware was not written: " + lastReport_);
    startDeviceCheck();
    return;
  }
  const QString failure = restoreKeypad();
  endUpgrade();
  // The loader has left: the count follows it, as it follows every change the download hid.
  startDeviceCheck();
  emit restoreFinished(failure.isEmpty(), failure);
}

void firmware_upgrade::warn(const QString& text) {
  platform::current().warning(text + "\n", kCaption);
}

QString firmware_upgrade::restoreKeypad() {
  // The keypad is looked for once, after the wait for its new firmware to start.
  const auto restored = upgrade_->restore(0);
  QString failure;
  switch (restored.kind) {
    case firmware::UpgradeOutcome::kDone:
      return {};
    case firmware::UpgradeOutcome::kNotBack:
      failure = "Velto Lumo not connected..";
      break;
    case firmware::UpgradeOutcome::kRestoreStepFailed:
      failure = QString::fromStdString(restored.message);
      break;
    default:
      failure = QString::fromStdString(restored.message) + ".";
      break;
  }
  warn(failure);
  return failure;
}

void firmware_upgrade::btnClose_MouseClick() {
  close();
}

void firmware_upgrade::closeEvent(QCloseEvent* event) {
  if (upgrading_) {
    // The loader is being written: stopping now could leave a keypad that does not start.
    statusBox->moveCursor(QTextCursor::End);
    statusBox->insertPlainText("The download must finish before this window can close.\n");
    event->ignore();
    return;
  }
  event->accept();
}

bool firmware_upgrade::eventFilter(QObject* watched, QEvent* event) {
  if ((watched == btnUpgrade || watched == btnClose) &&
      event->type() == QEvent::MouseButtonRelease) {
    auto* button = static_cast<QPushButton*>(watched);
    auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() == Qt::LeftButton && button->isEnabled() &&
        button->rect().contains(mouse->position().toPoint())) {
      if (watched == btnUpgrade) {
        QMetaObject::invokeMethod(this, &firmware_upgrade::btnUpgrade_MouseClick,
                                  Qt::QueuedConnection);
      } else {
        QMetaObject::invokeMethod(this, &firmware_upgrade::btnClose_MouseClick,
                                  Qt::QueuedConnection);
      }
    }
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace tarvik_usb_encoder

namespace tarvik_usb_encoder {

firmware_upgrade::Start firmware_upgrade::start(
    navkeypad::store::Store& store, const std::string& configFile,
    const std::function<std::optional<navkeypad::firmware::KeypadInApplication>()>& keypadInHand,
    bool keypadOpen, QWidget* owner) {
  using navkeypad::firmware::UpgradeOperation;
  Start started;
  auto upgrade = std::make_shared<UpgradeOperation>(store, configFile);
  started.upgrade = upgrade;
  // Every ending here lets go of the upgrade's lock at once: another program (or the next
  // click) may upgrade while the message is read.
  const auto refused = [&](const std::string& message) {
    upgrade->end();
    started.refusal = message;
    return started;
  };
  if (const auto outcome = upgrade->checkSetting(); !outcome.ok()) return refused(outcome.message);
  // A keypad waiting in its loader is the one to upgrade, whatever else is attached: no other
  // can be switched to its loader beside it.
  const bool loaderWaiting = BSL_NumOfUSBDevices(kLoaderVendorId, kLoaderProductId) > 0;
  if (const auto outcome =
          upgrade->checkLoaders(!loaderWaiting && !navkeypad::ListKeypads().empty());
      !outcome.ok()) {
    return refused(outcome.message);
  }
  const auto chosen = platform::current().openFile(firmwareFileRequest());
  if (!chosen) {
    upgrade->end();
    return started;
  }
  if (const auto outcome = upgrade->checkFirmware(platform::PathText(*chosen)); !outcome.ok())
    return refused(outcome.message);
  auto* window = new firmware_upgrade(upgrade, owner);
  const auto keypad = loaderWaiting ? std::nullopt : keypadInHand();
  if (keypad) {
    const auto left = upgrade->leaveApplication(*keypad, askIsKeypadOf);
    if (left.nothingSent() || left.kind == navkeypad::firmware::UpgradeOutcome::kRecordNotDropped) {
      delete window;
      return refused(left.message);
    }
    // The window still opens, for a keypad that did reach its loader; an upgrade started
    // there is a line of its own.
    if (!left.ok()) started.switchUnfinished = left.message;
  } else if (!loaderWaiting || !keypadOpen) {
    // Without its settings on disk the keypad stays in its application: an upgrade would
    // leave it without its serial number. One already waiting in its loader is upgraded, and
    // the keypad open here beside it stays as it is.
    started.keypadUnread = true;
  }
  window->setFirmwareFile(*chosen);
  started.window = window;
  return started;
}

}  // namespace tarvik_usb_encoder
