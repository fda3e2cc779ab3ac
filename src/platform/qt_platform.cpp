#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QSemaphore>
#include <QThread>
#include <QUrl>
#include <atomic>
#include <memory>

#include "platform/platform.h"
#include "support/paths.h"

namespace platform {
namespace {

// Dialogs belong to the GUI thread; a worker's call is carried out there while it waits.
template <typename Function>
auto OnGuiThread(Function function) -> decltype(function()) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr || QThread::currentThread() == app->thread()) return function();
  decltype(function()) result{};
  QMetaObject::invokeMethod(
      app, [&] { result = function(); }, Qt::BlockingQueuedConnection);
  return result;
}

class QtPlatform : public Platform {
 public:
  void warning(const QString& text, const QString& caption) override {
    OnGuiThread([&] {
      QMessageBox::warning(QApplication::activeWindow(), caption, text, QMessageBox::Ok);
      return 0;
    });
  }

  void noticeForWorker(const QString& text, const QString& caption,
                       const std::function<bool()>& abandoned) override {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() == app->thread()) return warning(text, caption);
    auto dismissed = std::make_shared<QSemaphore>(0);
    QPointer<QMessageBox> box;
    QMetaObject::invokeMethod(
        app,
        [&] {
          box = new QMessageBox(QMessageBox::Warning, caption, text, QMessageBox::Ok,
                                QApplication::activeWindow());
          box->setWindowModality(Qt::NonModal);
          box->setAttribute(Qt::WA_DeleteOnClose);
          QObject::connect(box, &QMessageBox::finished, [dismissed] { dismissed->release(); });
          box->show();
        },
        Qt::BlockingQueuedConnection);
    while (!dismissed->tryAcquire(1, 20)) {
      if (!abandoned()) continue;
      QMetaObject::invokeMethod(app, [box] {
        if (!box.isNull()) box->close();
      });
      return;
    }
  }

  bool question(const QString& text, const QString& caption) override {
    return OnGuiThread([&] {
      return QMessageBox::question(QApplication::activeWindow(), caption, text,
                                   QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
    });
  }

  std::optional<QString> openFile(const FileRequest& request) override {
    return OnGuiThread([&]() -> std::optional<QString> {
      QFileDialog dialog(QApplication::activeWindow(), request.title, request.folder,
                         request.filter);
      dialog.setFileMode(QFileDialog::ExistingFile);
      if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
      }
      return dialog.selectedFiles().first();
    });
  }

  std::optional<QString> chooseFolder(const FolderRequest& request) override {
    return OnGuiThread([&]() -> std::optional<QString> {
      const QString folder = QFileDialog::getExistingDirectory(
          QApplication::activeWindow(), request.description, request.initialFolder);
      if (folder.isEmpty()) return std::nullopt;
      return folder;
    });
  }

  QString localAppDataFolder() override {
    // The command line's folder too: both programs work on one configuration file.
    return QString::fromStdString(support::Utf8FromPath(support::UserDataFolder()));
  }

  void openLink(const QString& link) override {
    QDesktopServices::openUrl(QUrl::fromUserInput(link));
  }

  bool startThisProgram(const QStringList& arguments) override {
    return QProcess::startDetached(QCoreApplication::applicationFilePath(), arguments);
  }
};

QtPlatform& qtPlatform() {
  static QtPlatform instance;
  return instance;
}

std::atomic<Platform*> installed{nullptr};

}  // namespace

Platform& current() {
  Platform* replacement = installed.load();
  return replacement != nullptr ? *replacement : qtPlatform();
}

void setCurrent(Platform* replacement) {
  installed.store(replacement);
}

std::string ToLocal8Bit(const QString& text) {
  return text.toLocal8Bit().toStdString();
}

std::string PathText(const QString& path) {
  return path.toStdString();
}

QString FromLocal8Bit(const std::string& text) {
  return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

QString HomeFolder() {
  return QDir::homePath();
}

QString ExportFolderStart() {
#ifdef _WIN32
  return qEnvironmentVariable("SystemDrive", "C:") + "\\";
#else
  return HomeFolder();
#endif
}

QPixmap PictureFromCurrentDirectory(const QString& fileName, const QString& builtInResource) {
  QPixmap picture(QDir::current().filePath(fileName));
  if (picture.isNull()) picture.load(builtInResource);
  return picture;
}

}  // namespace platform
