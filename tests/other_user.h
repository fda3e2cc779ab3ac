// Runs part of a test as another user, where the test runs as root: root may open and write
// anything, so what a user may not do is only seen as one.
#pragma once

#ifndef _WIN32
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

// Starts `body` in a process of its own as the user `uid` (its group the same number, and
// `member` as well where one is given), with a umask that keeps the user's files to themselves;
// the process ends with `body`'s result.
inline pid_t StartAsUser(uid_t uid, const std::function<int()>& body, gid_t member = 0) {
  const pid_t child = fork();
  if (child == 0) {
    if (setgroups(member != 0 ? 1 : 0, &member) != 0 || setgid(uid) != 0 || setuid(uid) != 0)
      _exit(100);
    umask(077);
    _exit(body());
  }
  return child;
}

// `body`'s result as the user `uid`, or -1 when it did not end by itself.
inline int AsUser(uid_t uid, const std::function<int()>& body, gid_t member = 0) {
  int status = 0;
  waitpid(StartAsUser(uid, body, member), &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif
