#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "app/PathRules.h"
#include "app/Printf.h"
#include "app/ProfileFile.h"
#include "app/Settings.h"

namespace veska::app {
namespace {

class ProfileFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("veska_profile_" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::remove_all(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }
  void Write(const std::string& text) {
    std::filesystem::create_directories(file_().parent_path());
    std::ofstream(file_()) << text;
  }
  std::string Content() const {
    std::ifstream in(file_());
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }
  std::filesystem::path file_() const { return folder_ / "sub" / "T.INI"; }
  std::filesystem::path folder_;
};

TEST_F(ProfileFileTest, ReadsLikeThePrivateProfileFunctions) {
  EXPECT_EQ(ProfileFile(file_()).GetInt("Setting", "UartPort", -1), -1);  // no file at all
  std::filesystem::create_directories(file_().parent_path());
  std::ofstream(file_()) << "; comment\r\n[other]\r\nUartPort=9\r\n"
                            "[ setting ]\r\n  uartport = 12abc \r\nm_nBaudRate=abc\r\n"
                            "Empty=\r\nNeg=-3\r\nPath=\"C:\\fw\\a.img\"\r\n";
  const ProfileFile profile(file_());
  EXPECT_EQ(profile.GetInt("Setting", "UartPort", -1), 12);
  EXPECT_EQ(profile.GetInt("Setting", "m_nBaudRate", 5), 0);
  EXPECT_EQ(profile.GetInt("Setting", "Empty", 5), 5);
  EXPECT_EQ(profile.GetInt("Setting", "Neg", 5), -3);
  EXPECT_EQ(profile.GetInt("Setting", "Missing", 4), 4);
  EXPECT_EQ(profile.GetString("SETTING", "Path", ""), "C:\\fw\\a.img");
  EXPECT_EQ(profile.GetString("Nowhere", "Path", "dflt"), "dflt");
}

TEST_F(ProfileFileTest, WritesReplaceInPlaceAndKeepTheRest) {
  std::filesystem::create_directories(file_().parent_path());
  std::ofstream(file_()) << "; keep me\n[Setting]\nA=1\nB=2\n\n[Ports]\nCOM1=/dev/x\n";
  const ProfileFile profile(file_());
  EXPECT_TRUE(profile.WriteString("setting", "b", "/new path"));
  EXPECT_TRUE(profile.WriteInt("Setting", "C", 7));
  EXPECT_TRUE(profile.WriteString("Fresh", "K", "v"));
  EXPECT_EQ(Content(),
            "; keep me\n[Setting]\nA=1\nb=/new path\nC=7\n\n[Ports]\nCOM1=/dev/x\n[Fresh]\nK=v\n");
  EXPECT_EQ(profile.GetString("Setting", "B", ""), "/new path");
  EXPECT_EQ(profile.GetInt("Setting", "C", 0), 7);
}

TEST_F(ProfileFileTest, ALineBreakInAValueIsRefusedRatherThanForgingKeys) {
  const ProfileFile profile(file_());
  ASSERT_TRUE(profile.WriteString("Setting", "m_strAPPSFileName", "/ok.img"));
  EXPECT_FALSE(profile.WriteString("Setting", "m_strAPPSFileName", "/x\n[Setting]\nUartPort=3"));
  EXPECT_EQ(profile.GetString("Setting", "m_strAPPSFileName", ""), "/ok.img");
  EXPECT_EQ(profile.GetInt("Setting", "UartPort", -1), -1);
}

TEST_F(ProfileFileTest, UnwritableFileFailsQuietlyAndTheValueHoldsForThisRun) {
  std::filesystem::create_directories(file_());  // a folder where the file should be
  const ProfileFile profile(file_());
  EXPECT_FALSE(profile.WriteInt("Setting", "UartPort", 1));
  EXPECT_EQ(profile.GetInt("Setting", "UartPort", -1), 1);
  EXPECT_EQ(ProfileFile(file_()).GetInt("Setting", "UartPort", -1), -1);
}

TEST_F(ProfileFileTest, TheFileIsReadOnceAndAWriteChangesOnlyItsKeyInTheFileAsItIsNow) {
  Write("[Setting]\nA=1\n");
  Settings first(file_());
  Settings second(file_());
  EXPECT_TRUE(first.WriteString("A", "first"));
  EXPECT_TRUE(second.WriteInt("B", 2));
  EXPECT_TRUE(first.WriteInt("C", 3));
  EXPECT_EQ(Content(), "[Setting]\nA=first\nB=2\nC=3\n");
  // Each object answers from what it read and wrote itself.
  EXPECT_EQ(second.GetString("A"), "1");
  EXPECT_EQ(first.GetInt("B", -1), -1);
  // A later write of the second window keeps the first one's A.
  EXPECT_TRUE(second.WriteString("B", "two"));
  EXPECT_EQ(Content(), "[Setting]\nA=first\nB=two\nC=3\n");
}

// Every key written by either writer must survive, whichever order the writes interleave in.
void ExpectAllKeys(const ProfileFile& profile, const std::string& prefix, int count) {
  for (int i = 0; i < count; ++i) {
    EXPECT_EQ(profile.GetInt("Setting", prefix + std::to_string(i), -1), i) << prefix << i;
  }
}

TEST_F(ProfileFileTest, ConcurrentWritersLoseNoKey) {
  constexpr int kKeys = 150;
  {
    // Two threads, each with its own object, and a third sharing one of them.
    Settings left(file_());
    Settings right(file_());
    auto writer = [kKeys](const Settings& settings, const std::string& prefix) {
      for (int i = 0; i < kKeys; ++i) settings.WriteInt(prefix + std::to_string(i), i);
    };
    std::jthread a(writer, std::cref(left), "L");
    std::jthread b(writer, std::cref(right), "R");
    std::jthread c(writer, std::cref(right), "S");
  }
  const ProfileFile after(file_());
  ExpectAllKeys(after, "L", kKeys);
  ExpectAllKeys(after, "R", kKeys);
  ExpectAllKeys(after, "S", kKeys);
}

TEST_F(ProfileFileTest, WritersInTwoProcessesLoseNoKey) {
  constexpr int kKeys = 150;
  Settings parent(file_());
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Settings own(file_());
    for (int i = 0; i < kKeys; ++i) own.WriteInt("C" + std::to_string(i), i);
    std::_Exit(0);
  }
  for (int i = 0; i < kKeys; ++i) parent.WriteInt("P" + std::to_string(i), i);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  const ProfileFile after(file_());
  ExpectAllKeys(after, "C", kKeys);
  ExpectAllKeys(after, "P", kKeys);
}

TEST_F(ProfileFileTest, ReadOnlySettingsChangeOnlyThisRun) {
  Write("; untouched\r\n[Setting]\r\nUartPort=4\r\n");
  const std::string before = Content();
  const Settings settings(file_(), SettingsAccess::ReadOnly);
  EXPECT_TRUE(settings.WriteInt(KEY_UART_PORT, 7));
  EXPECT_TRUE(settings.WriteString(KEY_APPS, "/fw/APPS/a.img"));
  EXPECT_FALSE(settings.WriteString(KEY_APPS, "/x\nUartPort=1"));
  EXPECT_EQ(settings.GetInt(KEY_UART_PORT, -1), 7);
  EXPECT_EQ(settings.GetString(KEY_APPS), "/fw/APPS/a.img");
  EXPECT_EQ(Content(), before);
  EXPECT_FALSE(std::filesystem::exists(folder_ / "sub" / "T.INI.lock"));

  // No file at all stays no file.
  const Settings fresh(folder_ / "none" / "N.INI", SettingsAccess::ReadOnly);
  EXPECT_TRUE(fresh.WriteInt(KEY_USB_PORT, 2));
  EXPECT_EQ(fresh.GetInt(KEY_USB_PORT, -1), 2);
  EXPECT_FALSE(std::filesystem::exists(folder_ / "none"));
}

// A name that stands for something other than a settings file is read as far as it can be, and
// never replaced; a link is followed and stays a link.
TEST_F(ProfileFileTest, OnlyARegularFileIsEverWritten) {
  std::filesystem::create_directories(folder_);
  const auto device = folder_ / "null";
  if (::mknod(device.c_str(), S_IFCHR | 0600, ::makedev(1, 3)) == 0) {  // what /dev/null is
    const ProfileFile profile(device);
    EXPECT_FALSE(profile.WriteInt("Setting", "UartPort", 1));
    EXPECT_EQ(profile.GetInt("Setting", "UartPort", -1), 1);  // memory keeps it for this run
    EXPECT_TRUE(std::filesystem::is_character_file(device));
  }
  const auto fifo = folder_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const ProfileFile fromFifo(fifo);  // no writer: reading must not wait for one
  EXPECT_FALSE(fromFifo.WriteInt("Setting", "UartPort", 1));
  EXPECT_TRUE(std::filesystem::is_fifo(fifo));

  Write("[Setting]\nA=1\n");
  const auto link = folder_ / "link.ini";
  std::filesystem::create_symlink(file_(), link);
  EXPECT_TRUE(ProfileFile(link).WriteInt("Setting", "B", 2));
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(Content(), "[Setting]\nA=1\nB=2\n");
}

TEST_F(ProfileFileTest, ARewrittenFileKeepsItsLineBreaksAndPermissions) {
  Write("; c\r\n[Setting]\r\nA=1\r\n\r\n[Other]\r\nX=y");  // no break after the last line
  std::filesystem::permissions(file_(), std::filesystem::perms(0640));
  const ProfileFile profile(file_());
  EXPECT_TRUE(profile.WriteInt("Setting", "A", 2));
  EXPECT_TRUE(profile.WriteInt("Setting", "B", 3));
  EXPECT_TRUE(profile.WriteInt("New", "K", 4));
  EXPECT_EQ(Content(), "; c\r\n[Setting]\r\nA=2\r\nB=3\r\n\r\n[Other]\r\nX=y\r\n[New]\r\nK=4\r\n");
  EXPECT_EQ(profile.GetInt("Setting", "A", -1), 2);
  EXPECT_EQ(ProfileFile(file_()).GetString("Other", "X", ""), "y");
  EXPECT_EQ(std::filesystem::status(file_()).permissions(), std::filesystem::perms(0640));
}

// Windows' line end: a new file gets CR LF, and so does every line of one written with LF
// before; reading takes either.
TEST_F(ProfileFileTest, WindowsLineEndsAreWrittenThroughout) {
  const ProfileFile fresh(file_(), SettingsAccess::ReadWrite, LineEnd::CrLf);
  EXPECT_TRUE(fresh.WriteInt("Setting", "A", 1));
  EXPECT_TRUE(fresh.WriteInt("Setting", "B", 2));
  EXPECT_EQ(Content(), "[Setting]\r\nA=1\r\nB=2\r\n");
  EXPECT_EQ(ProfileFile(file_()).GetInt("Setting", "B", -1), 2);

  Write("[Setting]\nA=1\n\n[Other]\nX=y");
  EXPECT_TRUE(ProfileFile(file_(), SettingsAccess::ReadWrite, LineEnd::CrLf)
                  .WriteString("Other", "Z", "w"));
  EXPECT_EQ(Content(), "[Setting]\r\nA=1\r\n\r\n[Other]\r\nX=y\r\nZ=w\r\n");
  EXPECT_EQ(
      ProfileFile(file_(), SettingsAccess::ReadOnly, LineEnd::CrLf).GetString("Other", "X", ""),
      "y");
}

TEST_F(ProfileFileTest, AFileTooLargeToReadWholeIsNeverRewritten) {
  std::string text = "[Setting]\nA=1\n";
  while (text.size() <= ProfileFile::kMaxFileSize) text += "; padding padding padding\n";
  text += "[Tail]\nZ=9\n";
  Write(text);
  const ProfileFile profile(file_());
  EXPECT_EQ(profile.GetInt("Setting", "A", -1), 1);
  EXPECT_EQ(profile.GetInt("Tail", "Z", -1), -1);  // beyond what is read
  EXPECT_FALSE(profile.WriteInt("Setting", "A", 2));
  EXPECT_EQ(profile.GetInt("Setting", "A", -1), 2);
  EXPECT_EQ(Content(), text);
}

TEST(UserSettingsFile, LivesInTheConfigurationFolderUnderTheProgramsName) {
  const char* home = std::getenv("HOME");
  const std::string savedHome = home != nullptr ? home : "";
  ::setenv("XDG_CONFIG_HOME", "/cfg", 1);
  EXPECT_EQ(UserSettingsFile("VeskaDownloader"),
            std::filesystem::path("/cfg/VeskaDownloader/VeskaDownloader.INI"));
  ::setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored
  ::setenv("HOME", "/home/t", 1);
  EXPECT_EQ(UserSettingsFile("VeskaDownloader"),
            std::filesystem::path("/home/t/.config/VeskaDownloader/VeskaDownloader.INI"));
  ::unsetenv("XDG_CONFIG_HOME");
  if (home != nullptr) ::setenv("HOME", savedHome.c_str(), 1);
}

TEST(PathRules, ReleaseRootIsTheGrandparent) {
  EXPECT_EQ(DeriveSiblingPaths("/fw/APPS/FUSE_APPS.img"), std::optional<std::string>("/fw"));
  EXPECT_EQ(DeriveSiblingPaths("/APPS/FUSE_APPS.img"), std::optional<std::string>(""));
  EXPECT_FALSE(DeriveSiblingPaths("/FUSE_APPS.img").has_value());
  EXPECT_FALSE(DeriveSiblingPaths("").has_value());
  // On Linux a backslash is part of a name.
  EXPECT_FALSE(DeriveSiblingPaths("D:\\fw\\APPS\\FUSE_APPS.img", "/").has_value());
  // Windows takes both separators.
  EXPECT_EQ(DeriveSiblingPaths("D:\\fw\\APPS\\FUSE_APPS.img", "\\/"),
            std::optional<std::string>("D:\\fw"));
  EXPECT_EQ(DeriveSiblingPaths("D:\\fw/APPS\\FUSE_APPS.img", "\\/"),
            std::optional<std::string>("D:\\fw"));
  EXPECT_FALSE(DeriveSiblingPaths("C:\\FUSE_APPS.img", "\\/").has_value());
  EXPECT_EQ(ReleasePath("D:\\fw", "COMMS", "COMMS.img", '\\'), "D:\\fw\\COMMS\\COMMS.img");
  EXPECT_EQ(ReleasePath("/fw", "COMMS", "*.bin"), "/fw/COMMS/*.bin");
}

TEST(PathRules, ListingPathCutsAtTheLastDotOfTheWholePath) {
  EXPECT_EQ(ListingPathFor("D:\\fw\\tfs.tfs"), "D:\\fw\\tfs.cfg");
  EXPECT_EQ(ListingPathFor("C:\\x\\a.b\\tfs"), "C:\\x\\a.cfg");
  EXPECT_EQ(ListingPathFor("/x/tfs"), ".cfg");
  EXPECT_EQ(ListingPathFor(""), ".cfg");
  EXPECT_EQ(FileNamePart("C:\\img\\APPS.img", "\\/"), "APPS.img");
  EXPECT_EQ(FileNamePart("/img/"), "");
}

// The log's fixed formats, and a text longer than any first guess at its size comes out whole.
TEST(Printf, FormatsTheLogTextsWhole) {
  EXPECT_EQ(Printf("     ( Elapsed Time : %5.1fs)\n", 12.34), "     ( Elapsed Time :  12.3s)\n");
  EXPECT_EQ(Printf("Fail! (0x%X)\r\n", 0xABu), "Fail! (0xAB)\r\n");
  EXPECT_EQ(Printf("%s", ""), "");
  const std::string path(5000, 'p');
  EXPECT_EQ(Printf("'%s' %d", path.c_str(), 7), "'" + path + "' 7");
}

}  // namespace
}  // namespace veska::app
