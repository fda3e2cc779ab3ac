// The platform for tests: every message and dialog is recorded and answered from a script.
// Thread-safe, so a worker's messages are recorded too.
#pragma once

#include <deque>
#include <mutex>
#include <vector>

#include "platform/platform.h"

namespace platform {

class ScriptedPlatform : public Platform {
 public:
  enum class Kind { Warning, Question };
  struct Message {
    Kind kind;
    QString text;
    QString caption;
    bool operator==(const Message&) const = default;
  };

  void warning(const QString& text, const QString& caption) override;
  // Recorded like a warning; the worker goes on at once.
  void noticeForWorker(const QString& text, const QString& caption,
                       const std::function<bool()>& abandoned) override;
  bool question(const QString& text, const QString& caption) override;
  std::optional<QString> openFile(const FileRequest& request) override;
  std::optional<QString> chooseFolder(const FolderRequest& request) override;
  QString localAppDataFolder() override;
  void openLink(const QString& link) override;

  // Answers, used in order; a question without a scripted answer gets No, a dialog without
  // one is cancelled.
  void answerQuestion(bool yes);
  void answerOpenFile(std::optional<QString> path);
  void answerFolder(std::optional<QString> folder);
  void setLocalAppDataFolder(QString folder);

  std::vector<Message> messages() const;
  std::vector<QString> messageTexts() const;
  void clearMessages();
  std::vector<FileRequest> fileRequests() const;
  std::vector<FolderRequest> folderRequests() const;
  std::vector<QString> openedLinks() const;

 private:
  mutable std::mutex mutex_;
  std::vector<Message> messages_;
  std::deque<bool> questionAnswers_;
  // An empty text stands for a cancelled dialog (GCC 12 misreads optional<QString> here).
  std::deque<QString> fileAnswers_;
  std::deque<QString> folderAnswers_;
  std::vector<FileRequest> fileRequests_;
  std::vector<FolderRequest> folderRequests_;
  std::vector<QString> links_;
  QString appData_;
};

}  // namespace platform
