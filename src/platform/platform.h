// The operating system's side of the windows: message boxes, file and folder dialogs, the
// per-user data folder, 8-bit text and links. Windows call these instead of Qt directly, so
// tests can answer every dialog and read every text shown.
#pragma once

#include <QPixmap>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <string>

namespace platform {

class Platform {
 public:
  virtual ~Platform() = default;

  // Modal, OK button, warning icon. Callable from any thread; the caller waits.
  virtual void warning(const QString& text, const QString& caption) = 0;
  // The same box for a worker that waits on the user while every window stays usable:
  // modeless; returns once it is dismissed, or closes it when `abandoned` turns true.
  virtual void noticeForWorker(const QString& text, const QString& caption,
                               const std::function<bool()>& abandoned) = 0;
  // Modal, Yes and No, question icon; true for Yes. Callable from any thread.
  virtual bool question(const QString& text, const QString& caption) = 0;

  struct FileRequest {
    QString title;
    QString filter;  // Qt's form: "Firmware files (*.txt);;All files (*)"
    QString folder;  // where the dialog opens
  };
  // The chosen path, or nothing when the user did not confirm.
  virtual std::optional<QString> openFile(const FileRequest& request) = 0;

  struct FolderRequest {
    QString description;
    QString initialFolder;
  };
  virtual std::optional<QString> chooseFolder(const FolderRequest& request) = 0;

  // The per-user local application-data folder; empty when there is none.
  virtual QString localAppDataFolder() = 0;

  // Hands a link to the desktop's default handler; the result is not reported.
  virtual void openLink(const QString& link) = 0;

  // Starts this program again, on its own, with `arguments`; false where it could not start.
  virtual bool startThisProgram(const QStringList& arguments) = 0;
};

// The platform the windows use; the Qt one unless replaced.
Platform& current();
// Not owned; nullptr puts the Qt platform back.
void setCurrent(Platform* replacement);

// Texts that go into files, to the keypad or to the loader are 8-bit, in the local encoding.
std::string ToLocal8Bit(const QString& text);
// A file or folder name as the rest of the program holds paths: UTF-8, on every system (the
// 8-bit code page cannot name every file on Windows).
std::string PathText(const QString& path);
QString FromLocal8Bit(const std::string& text);

// The user's home folder, where file dialogs start.
QString HomeFolder();
// Where the export's folder dialog starts: the system drive's root on Windows (as the desktop
// utility always did); elsewhere, where no drive letters exist, the home folder.
QString ExportFolderStart();

// A picture file from the current directory, as the windows always read them, or the
// built-in copy when the file is missing or unreadable.
QPixmap PictureFromCurrentDirectory(const QString& fileName, const QString& builtInResource);

}  // namespace platform
