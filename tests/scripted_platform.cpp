#include "scripted_platform.h"

namespace platform {
namespace {
std::optional<QString> TakeAnswer(std::deque<QString>& answers) {
  if (answers.empty()) return std::nullopt;
  const QString answer = answers.front();
  answers.pop_front();
  if (answer.isEmpty()) return std::nullopt;
  return answer;
}
}  // namespace

void ScriptedPlatform::warning(const QString& text, const QString& caption) {
  std::lock_guard lock(mutex_);
  messages_.push_back({Kind::Warning, text, caption});
}

void ScriptedPlatform::noticeForWorker(const QString& text, const QString& caption,
                                       const std::function<bool()>& /*abandoned*/) {
  warning(text, caption);
}

bool ScriptedPlatform::question(const QString& text, const QString& caption) {
  std::lock_guard lock(mutex_);
  messages_.push_back({Kind::Question, text, caption});
  if (questionAnswers_.empty()) return false;
  const bool answer = questionAnswers_.front();
  questionAnswers_.pop_front();
  return answer;
}

std::optional<QString> ScriptedPlatform::openFile(const FileRequest& request) {
  std::lock_guard lock(mutex_);
  fileRequests_.push_back(request);
  return TakeAnswer(fileAnswers_);
}

std::optional<QString> ScriptedPlatform::chooseFolder(const FolderRequest& request) {
  std::lock_guard lock(mutex_);
  folderRequests_.push_back(request);
  return TakeAnswer(folderAnswers_);
}

QString ScriptedPlatform::localAppDataFolder() {
  std::lock_guard lock(mutex_);
  return appData_;
}

void ScriptedPlatform::openLink(const QString& link) {
  std::lock_guard lock(mutex_);
  links_.push_back(link);
}

void ScriptedPlatform::answerQuestion(bool yes) {
  std::lock_guard lock(mutex_);
  questionAnswers_.push_back(yes);
}

void ScriptedPlatform::answerOpenFile(std::optional<QString> path) {
  std::lock_guard lock(mutex_);
  fileAnswers_.push_back(path.value_or(QString()));
}

void ScriptedPlatform::answerFolder(std::optional<QString> folder) {
  std::lock_guard lock(mutex_);
  folderAnswers_.push_back(folder.value_or(QString()));
}

void ScriptedPlatform::setLocalAppDataFolder(QString folder) {
  std::lock_guard lock(mutex_);
  appData_ = std::move(folder);
}

std::vector<ScriptedPlatform::Message> ScriptedPlatform::messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

std::vector<QString> ScriptedPlatform::messageTexts() const {
  std::lock_guard lock(mutex_);
  std::vector<QString> texts;
  for (const auto& message : messages_) texts.push_back(message.text);
  return texts;
}

void ScriptedPlatform::clearMessages() {
  std::lock_guard lock(mutex_);
  messages_.clear();
}

std::vector<Platform::FileRequest> ScriptedPlatform::fileRequests() const {
  std::lock_guard lock(mutex_);
  return fileRequests_;
}

std::vector<Platform::FolderRequest> ScriptedPlatform::folderRequests() const {
  std::lock_guard lock(mutex_);
  return folderRequests_;
}

std::vector<QString> ScriptedPlatform::openedLinks() const {
  std::lock_guard lock(mutex_);
  return links_;
}

}  // namespace platform
