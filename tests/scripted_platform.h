// The platform for tests: every message and dialog is recorded and answered from a script.
// Thread-safe, so a worker's messages are recorded too. Never linked into the product.
#pragma once

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>
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

  void warning(const QString& text, const QString& caption) override {
    std::lock_guard lock(mutex_);
    messages_.push_back({Kind::Warning, text, caption});
  }
  // Recorded like a warning; the worker goes on at once, or, while notices are held, once the
  // test dismisses it (or the worker abandons it).
  void noticeForWorker(const QString& text, const QString& caption,
                       const std::function<bool()>& abandoned) override {
    warning(text, caption);
    while (holdNotices && !dismissNotice && !abandoned()) std::this_thread::yield();
    dismissNotice = false;
  }
  std::atomic<bool> holdNotices{false};
  std::atomic<bool> dismissNotice{false};
  bool question(const QString& text, const QString& caption) override {
    std::lock_guard lock(mutex_);
    messages_.push_back({Kind::Question, text, caption});
    if (questionAnswers_.empty()) return false;
    const bool yes = questionAnswers_.front();
    questionAnswers_.pop_front();
    return yes;
  }
  std::optional<QString> openFile(const FileRequest& request) override {
    std::lock_guard lock(mutex_);
    fileRequests_.push_back(request);
    return Answer(fileAnswers_);
  }
  std::optional<QString> chooseFolder(const FolderRequest& request) override {
    std::lock_guard lock(mutex_);
    folderRequests_.push_back(request);
    return Answer(folderAnswers_);
  }
  QString localAppDataFolder() override {
    std::lock_guard lock(mutex_);
    return appData_;
  }
  void openLink(const QString&) override {}
  // Started programs are recorded, never run.
  bool startThisProgram(const QStringList& arguments) override {
    std::lock_guard lock(mutex_);
    started_.push_back(arguments);
    return true;
  }
  std::vector<QStringList> started() const {
    std::lock_guard lock(mutex_);
    return started_;
  }

  // Answers, used in order; a question without a scripted answer gets No, a dialog without
  // one is cancelled (as is one answered with nothing).
  void answerQuestion(bool yes) {
    std::lock_guard lock(mutex_);
    questionAnswers_.push_back(yes);
  }
  void answerOpenFile(std::optional<QString> path) {
    std::lock_guard lock(mutex_);
    fileAnswers_.push_back(path.value_or(QString()));
  }
  void answerFolder(std::optional<QString> folder) {
    std::lock_guard lock(mutex_);
    folderAnswers_.push_back(folder.value_or(QString()));
  }
  void setLocalAppDataFolder(QString folder) {
    std::lock_guard lock(mutex_);
    appData_ = std::move(folder);
  }

  std::vector<Message> messages() const { return copy(messages_); }
  void clearMessages() {
    std::lock_guard lock(mutex_);
    messages_.clear();
  }
  std::vector<FileRequest> fileRequests() const { return copy(fileRequests_); }
  std::vector<FolderRequest> folderRequests() const { return copy(folderRequests_); }

 private:
  static std::optional<QString> Answer(std::deque<QString>& answers) {
    if (answers.empty()) return std::nullopt;
    const QString answer = answers.front();
    answers.pop_front();
    if (answer.isEmpty()) return std::nullopt;
    return answer;
  }
  template <typename T>
  T copy(const T& member) const {
    std::lock_guard lock(mutex_);
    return member;
  }

  mutable std::mutex mutex_;
  std::vector<Message> messages_;
  std::deque<bool> questionAnswers_;
  // An empty text stands for a cancelled dialog (GCC 12 misreads optional<QString> here).
  std::deque<QString> fileAnswers_;
  std::deque<QString> folderAnswers_;
  std::vector<FileRequest> fileRequests_;
  std::vector<FolderRequest> folderRequests_;
  std::vector<QStringList> started_;
  QString appData_;
};

}  // namespace platform
