#include "support/ini_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "other_user.h"
#include "support/guarded_main.h"
#include "temp_dir.h"

using ::testing::ElementsAre;

class IniFile : public ::testing::Test {
 protected:
  std::string write(const std::string& bytes) {
    WriteBytes(path_, bytes);
    return path_;
  }
  // A load and a save: what the file looks like after any change.
  std::string resaved(const std::string& bytes) {
    write(bytes);
    CIniFile::RecordList records;
    EXPECT_TRUE(CIniFile::Load(path_, records));
    EXPECT_TRUE(CIniFile::Save(path_, records));
    return ReadBytes(path_);
  }

  TempDir dir_;
  std::string path_ = dir_.file("settings.ini");
};

TEST_F(IniFile, NewKeysGoToTheTopOfTheirSectionWithCrLf) {
  ASSERT_TRUE(CIniFile::Create(path_));
  EXPECT_EQ(ReadBytes(path_), "");
  ASSERT_TRUE(CIniFile::AddSection("appSettings", path_));
  for (const char* key : {"a", "b", "c"})
    ASSERT_TRUE(CIniFile::SetValue(key, "", "appSettings", path_));
  EXPECT_EQ(ReadBytes(path_), " [appSettings]\r\n c=\r\n b=\r\n a=\r\n");

  EXPECT_EQ(CIniFile::GetValue("b", "appSettings", path_), "");
  ASSERT_TRUE(CIniFile::SetValue("b", "7", "appSettings", path_));
  EXPECT_EQ(ReadBytes(path_), " [appSettings]\r\n c=\r\n b=7\r\n a=\r\n");

  ASSERT_TRUE(CIniFile::SetValue("x", "1", "Other", path_));
  EXPECT_EQ(ReadBytes(path_), " [appSettings]\r\n c=\r\n b=7\r\n a=\r\n [Other]\r\n x=1\r\n");
}

TEST_F(IniFile, CommentedRecordIsFoundAndWrittenBackWithItsMarker) {
  write("[S]\r\n#k=v\r\n");
  EXPECT_TRUE(CIniFile::RecordExists("k", "S", path_));
  EXPECT_EQ(CIniFile::GetValue("k", "S", path_), "v");
  ASSERT_TRUE(CIniFile::SetValue("k", "w", "S", path_));
  EXPECT_EQ(ReadBytes(path_), " [S]\r\n#k=w\r\n");
  ASSERT_TRUE(CIniFile::UnCommentRecord("k", "S", path_));
  EXPECT_EQ(ReadBytes(path_), " [S]\r\n k=w\r\n");
  ASSERT_TRUE(CIniFile::CommentRecord(CIniFile::SemiColon, "k", "S", path_));
  EXPECT_EQ(ReadBytes(path_), " [S]\r\n;k=w\r\n");
  EXPECT_FALSE(CIniFile::CommentRecord(CIniFile::Pound, "missing", "S", path_));
}

TEST_F(IniFile, ContentShowsActiveLinesWithoutTheLeadingSpace) {
  write("#c\n[S]\n;k=v\nj=w\n");
  EXPECT_EQ(CIniFile::Content(path_), "#c\n[S]\n;k=v\nj=w\n");
}

TEST_F(IniFile, RepeatedSectionsAndWholeSectionOperations) {
  write("[A]\na=1\n[B]\nb=1\n[A]\nc=1\n");
  ASSERT_TRUE(CIniFile::AddSection("B", path_));
  EXPECT_THAT(CIniFile::GetSectionNames(path_), ElementsAre("A", "B", "A", "B"));
  EXPECT_EQ(CIniFile::GetSection("A", path_).size(), 2u);

  ASSERT_TRUE(CIniFile::CommentSection('#', "A", path_));
  EXPECT_EQ(ReadBytes(path_), "#[A]\r\n#a=1\r\n [B]\r\n b=1\r\n#[A]\r\n#c=1\r\n [B]\r\n");
  ASSERT_TRUE(CIniFile::UnCommentSection("A", path_));
  ASSERT_TRUE(CIniFile::RenameSection("B", "C", path_));
  ASSERT_TRUE(CIniFile::DeleteSection("A", path_));
  EXPECT_EQ(ReadBytes(path_), " [C]\r\n b=1\r\n [C]\r\n");
}

TEST_F(IniFile, CommentTextsGetTheirLineEndAndDeleteTakesThemAlong) {
  write("[S]\nk=v\nj=w\n");
  ASSERT_TRUE(CIniFile::SetSectionComments("# about S", "S", path_));
  ASSERT_TRUE(CIniFile::SetRecordComments("; about k\n", "k", "S", path_));
  EXPECT_EQ(ReadBytes(path_), "# about S\r\n [S]\r\n; about k\r\n k=v\r\n j=w\r\n");
  ASSERT_TRUE(CIniFile::DeleteRecord("k", "S", path_));
  EXPECT_EQ(ReadBytes(path_), "# about S\r\n [S]\r\n j=w\r\n");
  EXPECT_FALSE(CIniFile::SetSectionComments("# x", "Missing", path_));
}

TEST_F(IniFile, SortOrdersSectionsAndKeys) {
  write("[B]\nz=1\na=2\n[A]\nm=3\n");
  ASSERT_TRUE(CIniFile::Sort(path_, false));
  EXPECT_EQ(ReadBytes(path_), " [A]\r\n m=3\r\n [B]\r\n a=2\r\n z=1\r\n");
  ASSERT_TRUE(CIniFile::Sort(path_, true));
  EXPECT_EQ(ReadBytes(path_), " [B]\r\n z=1\r\n a=2\r\n [A]\r\n m=3\r\n");
  write("k=v\n");
  EXPECT_FALSE(CIniFile::Sort(path_, false));
}

// `body`'s result, as an unprivileged user when the tests run as root, since root may write
// anywhere.
bool AsUnprivilegedUser(const std::function<bool()>& body) {
#ifdef _WIN32
  return body();
#else
  return geteuid() == 0 ? AsUser(65534, body) == 1 : body();
#endif
}

#ifndef _WIN32
// Modes, owners, links and file-size limits are POSIX matters; a Windows file has only its
// read-only attribute, which the test after these covers on both.
TEST_F(IniFile, ASaveWritesThroughALinkAndKeepsTheOwner) {
  write("[S]\nk=v\n");
  const auto link = dir_.path() / "link.ini";
  std::filesystem::create_symlink(path_, link);
  ASSERT_TRUE(CIniFile::SetValue("k", "w", "S", link.string()));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(ReadBytes(path_), " [S]\r\n k=w\r\n");
  if (geteuid() == 0) {
    // Saved by root for another user, the file stays theirs.
    ASSERT_EQ(chown(path_.c_str(), 65534, 65534), 0);
    ASSERT_TRUE(CIniFile::SetValue("k", "x", "S", path_));
    struct stat after {};
    ASSERT_EQ(stat(path_.c_str(), &after), 0);
    EXPECT_EQ(after.st_uid, 65534u);
    EXPECT_EQ(after.st_gid, 65534u);
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()),
                          std::filesystem::directory_iterator()),
            2);
}

TEST_F(IniFile, AWriteThatFailsHalfWayLeavesTheOldBytesAndNoStrayFile) {
  const std::string original = "[S]\nk=v\n";
  write(original);
  // The disk takes 16 bytes of this process and no more.
  const pid_t child = fork();
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{16, 16};
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(CIniFile::SetValue("k", std::string(200, 'w'), "S", path_) ? 1 : 0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(ReadBytes(path_), original);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()),
                          std::filesystem::directory_iterator()),
            1);
}

#endif

TEST_F(IniFile, ReadOnlyFileIsNotReplaced) {
  const std::string original = "[S]\nk=v\n";
  write(original);
  std::filesystem::permissions(path_, std::filesystem::perms::owner_read |
                                          std::filesystem::perms::group_read |
                                          std::filesystem::perms::others_read);
  std::filesystem::permissions(dir_.path(), std::filesystem::perms::all);
  const bool saved = AsUnprivilegedUser([&] { return CIniFile::SetValue("k", "w", "S", path_); });
  EXPECT_FALSE(saved);
  EXPECT_EQ(ReadBytes(path_), original);
  // Windows removes no read-only file, so the folder could not be cleared otherwise.
  std::filesystem::permissions(path_, std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::add);
}

TEST(Trim, ModesAndAllSpaceTexts) {
  EXPECT_EQ(Trim("  a b \t", " \t", kTrimBoth), "a b");
  EXPECT_EQ(Trim("  a b \t", " \t", kTrimFront), "a b \t");
  EXPECT_EQ(Trim("  a b \t", " \t", kTrimEnd), "  a b");
  for (int mode : {kTrimBoth, kTrimFront, kTrimEnd}) EXPECT_EQ(Trim(" \t ", " \t", mode), "");
}

TEST(RunGuarded, AnythingThrownEndsTheProgramWithStatusOne) {
  EXPECT_EQ(support::RunGuarded("t", [] { return 3; }), 3);
  EXPECT_EQ(support::RunGuarded("t", []() -> int { throw std::runtime_error("x"); }), 1);
  EXPECT_EQ(support::RunGuarded("t", []() -> int { throw 7; }), 1);
}
