// Appending to the operator's files under /opt/set: entries accumulate, nothing earlier is lost.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <string>

#include <atomic>
#include <thread>

#include "platform/optset.h"
#include "platform/shell.h"
#include "tests/testlib/temp_root.h"

using testlib::LogCapture;
using testlib::TempRoot;

namespace {

const char* kFailingMount = "#!/bin/sh\necho \"mount $*\" >> \"$(dirname \"$0\")/../var/log/commands.log\"\nexit 32\n";

size_t occurrences(const std::string& s, const std::string& what) {
  size_t n = 0;
  for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
  return n;
}

}  // namespace

TEST(OptSetAppend, CreatesTheFileThenEntriesAccumulateInsideTheRemountPair) {
  TempRoot root;
  root.activate();
  ASSERT_FALSE(root.exists("/opt/set/log.txt"));
  ASSERT_EQ(optSetAppendFile("/opt/set/log.txt", "first\n"), 0);
  EXPECT_EQ(root.read("/opt/set/log.txt"), "first\n");
  struct stat st;
  ASSERT_EQ(stat(root.file("/opt/set/log.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  ASSERT_EQ(optSetAppendFile("/opt/set/log.txt", "second\n"), 0);
  ASSERT_EQ(optSetAppendFile("/opt/set/log.txt", ""), 0);
  ASSERT_EQ(optSetAppendFile("/opt/set/log.txt", "third\n"), 0);
  EXPECT_EQ(root.read("/opt/set/log.txt"), "first\nsecond\nthird\n");
  const std::string cmds = root.read("/var/log/commands.log");
  EXPECT_EQ(occurrences(cmds, "remount defaults,rw"), 4u);
  EXPECT_EQ(occurrences(cmds, "remount -r"), 4u);
}

TEST(OptSetAppend, FileLargerThanAnyReadLimitKeepsEveryByte) {
  TempRoot root;
  root.activate();
  std::string big(17u << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 23);
  big.back() = '\n';
  root.write("/opt/set/big.txt", big);
  ASSERT_EQ(optSetAppendFile("/opt/set/big.txt", "entry\n"), 0);
  const std::string now = root.read("/opt/set/big.txt");
  ASSERT_EQ(now.size(), big.size() + 6);
  EXPECT_TRUE(now.compare(0, big.size(), big) == 0);
  EXPECT_EQ(now.substr(big.size()), "entry\n");
}

TEST(OptSetAppend, FailingRemountLeavesTheFileUntouched) {
  TempRoot root;
  root.activate();
  root.write("/opt/set/log.txt", "old entry\n");
  root.standIn("mount", kFailingMount);
  LogCapture log;
  EXPECT_EQ(optSetAppendFile("/opt/set/log.txt", "new entry\n"), -1);
  EXPECT_EQ(root.read("/opt/set/log.txt"), "old entry\n");
  EXPECT_EQ(optSetAppendFile("/opt/set/none.txt", "new entry\n"), -1);
  EXPECT_FALSE(root.exists("/opt/set/none.txt"));
  EXPECT_TRUE(log.contains("can't mount rw /opt/set/"));
}

TEST(OptSetAppend, UnwritablePlaceIsLoggedAndTheFileSystemGoesBackReadOnly) {
  TempRoot root;
  root.activate();
  LogCapture log;
  EXPECT_EQ(optSetAppendFile("/opt/set/no/such/folder.txt", "entry\n"), -2);
  EXPECT_TRUE(log.contains("can't open /opt/set/no/such/folder.txt"));
  EXPECT_NE(root.read("/var/log/commands.log").find("remount -r"), std::string::npos);
}

// errno after a shell command means nothing: the line says what the command itself answered.
TEST(OptSetRemount, FailedRemountLogsTheCommandsExitStatus) {
  TempRoot root;
  root.activate();
  root.standIn("mount", kFailingMount);
  LogCapture log;
  EXPECT_EQ(optSetWriteFile("/opt/set/x.txt", "x\n"), -1);
  EXPECT_TRUE(log.contains("can't mount rw /opt/set/ error: mount exit status 32")) << log.lines().back();
  EXPECT_FALSE(log.contains("error 0"));
  root.standIn("mount", "#!/bin/sh\ncase \"$*\" in *\" -r \"*) kill -9 $$;; esac\nexit 0\n");
  EXPECT_EQ(optSetWriteFile("/opt/set/x.txt", "x\n"), 0);
  EXPECT_TRUE(log.contains("can't mount ro /opt/set/ error: mount ended by signal 9"));
}

// A write cut short leaves "<name>.tmpXXXXXX" behind; start-up removes them, and only them.
TEST(OptSetStale, TemporariesOfCutWritesAreRemovedInsideTheRemountPair) {
  TempRoot root;
  root.activate();
  for (const char* f : {"/opt/set/setup.txt.tmpA1b2C3", "/opt/set/atu_ant1_b3.txt.tmpzzzzzz", "/opt/set/setup.txt",
                        "/opt/set/notes.tmp", "/opt/set/notes.tmp1234567", "/opt/set/.tmpabcdef"})
    root.write(f, "x");
  LogCapture log;
  EXPECT_EQ(optSetRemoveStaleTemporaries(), 2);
  EXPECT_FALSE(root.exists("/opt/set/setup.txt.tmpA1b2C3"));
  EXPECT_FALSE(root.exists("/opt/set/atu_ant1_b3.txt.tmpzzzzzz"));
  for (const char* kept :
       {"/opt/set/setup.txt", "/opt/set/notes.tmp", "/opt/set/notes.tmp1234567", "/opt/set/.tmpabcdef"})
    EXPECT_TRUE(root.exists(kept)) << kept;
  EXPECT_EQ(log.count("left by a write that never ended"), 2u);
  const std::string cmds = root.read("/var/log/commands.log");
  EXPECT_EQ(occurrences(cmds, "remount defaults,rw"), 1u);
  EXPECT_EQ(occurrences(cmds, "remount -r"), 1u);
  // Nothing stale: no remount at all.
  EXPECT_EQ(optSetRemoveStaleTemporaries(), 0);
  EXPECT_EQ(occurrences(root.read("/var/log/commands.log"), "remount defaults,rw"), 1u);
}

// The temporary is opened close-on-exec: a command started while it is open does not hold it.
TEST(OptSetStale, TemporaryIsNotInheritedByACommandStartedMeanwhile) {
  TempRoot root;
  root.activate();
  // The stand-in lists the descriptors it inherited while the writer below has its temporary open.
  root.standIn("lsfd", "#!/bin/sh\nls -l /proc/$$/fd > \"$(dirname \"$0\")/../var/log/fds.log\"\n");
  std::atomic<bool> done{false};
  std::thread writer([&] {
    std::string big(16u << 20, 'x');
    while (!done) atomicWriteFile(root.file("/opt/set/big.txt"), big);
  });
  // The writer has its temporary open most of the time: a leak shows within a few of these.
  bool seen = false;
  for (int i = 0; i < 20 && !seen; ++i) {
    runShell("lsfd");
    seen = root.read("/var/log/fds.log").find("big.txt.tmp") != std::string::npos;
  }
  done = true;
  writer.join();
  EXPECT_FALSE(seen) << root.read("/var/log/fds.log");
}
