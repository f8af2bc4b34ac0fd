// Snapshot set-up and tear-down against a fake control tool in
// "./tools/dbdctl" that records "dbdctl args|cwd", creates the device file on
// set-up when asked and removes it on destroy. Device paths point into a temp
// dir (snap_device_prefix) because tests cannot make /dev/datto<N>.
#include "agent/snapshot.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "agent/config.h"
#include "agent/disks.h"
#include "agent/support/slog.h"
#include "test_files.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

const char kFakeDbdctl[] =
    "#!/bin/sh\n"
    "printf '%s|%s\\n' \"dbdctl $*\" \"$(pwd)\" >> \"$BF_CALL_LOG\"\n"
    "case \"$1\" in\n"
    "  setup-snapshot) if [ -n \"$BF_DBDCTL_MAKES_DEVICE\" ]; then : > \"$BF_DEV_PREFIX$6\"; fi ;;\n"
    "  destroy) rm -f \"$BF_DEV_PREFIX$2\" ;;\n"
    "esac\n"
    "exit ${BF_STATUS_dbdctl:-0}\n";

std::string g_log_dir;  // this process's log directory (test main thread)

class LogEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    char tmpl[] = "/tmp/bf_snapshot_log_XXXXXX";
    g_log_dir = mkdtemp(tmpl);
    ASSERT_EQ(1, init_logger(g_log_dir.c_str(), 2));
  }
  void TearDown() override { fs::remove_all(g_log_dir); }
};
::testing::Environment* const g_log_env = ::testing::AddGlobalTestEnvironment(new LogEnvironment);

volume_info_t make_volume(const char* name, const char* mountpoint) {
  volume_info_t v{};
  snprintf(v.name, sizeof v.name, "%s", name);
  snprintf(v.mountpoint, sizeof v.mountpoint, "%s", mountpoint);
  return v;
}

class Snapshot : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/bf_snapshot_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    root_ = tmpl;
    work_ = root_ + "/work";
    fs::create_directories(work_ + "/tools");
    fs::create_directories(root_ + "/dev");
    write_file(work_ + "/tools/dbdctl", kFakeDbdctl, 0755);
    call_log_ = root_ + "/calls";
    prefix_ = root_ + "/dev/datto";
    start_dir_ = fs::current_path().string();
    ASSERT_EQ(0, chdir(work_.c_str()));
    setenv("BF_CALL_LOG", call_log_.c_str(), 1);
    setenv("BF_DEV_PREFIX", prefix_.c_str(), 1);
    old_prefix_ = snap_device_prefix;
    snap_device_prefix = prefix_.c_str();
    old_volumes_ = g_volumes;
    volumes_ = {make_volume("/dev/sdx1", "/mnt/data"), make_volume("/dev/sdx2", "/"),
                make_volume("/dev/sdx1", "/mnt/second_listing")};
    g_volumes.clear();
    for (auto& v : volumes_) g_volumes.push_back(&v);
    log_start_ = read_file(slog_file_path()).size();
    allow_skip_snap = false;
  }

  void TearDown() override {
    ASSERT_EQ(0, chdir(start_dir_.c_str()));
    for (const char* v : {"BF_CALL_LOG", "BF_DEV_PREFIX", "BF_STATUS_dbdctl",
                          "BF_DBDCTL_MAKES_DEVICE"})
      unsetenv(v);
    snap_device_prefix = old_prefix_;
    g_volumes = old_volumes_;
    allow_skip_snap = false;
    fs::remove_all(root_);
  }

  std::vector<std::string> calls() const {
    std::vector<std::string> out;
    std::istringstream in(read_file(call_log_));
    for (std::string line; std::getline(in, line);) out.push_back(line.substr(0, line.rfind('|')));
    return out;
  }
  std::string new_log() const { return read_file(slog_file_path()).substr(log_start_); }
  std::string device(int n) const { return prefix_ + std::to_string(n); }
  static std::string setup_call(const char* volume, const char* cow, int n) {
    return std::string("dbdctl setup-snapshot -f 40000 ") + volume + " " + cow + " " +
           std::to_string(n);
  }

  std::string root_, work_, call_log_, prefix_, start_dir_;
  const char* old_prefix_ = nullptr;
  std::vector<volume_info_t*> old_volumes_;
  std::vector<volume_info_t> volumes_;
  size_t log_start_ = 0;
};

TEST_F(Snapshot, SetupRunsControlToolAndDeviceAppears) {
  setenv("BF_DBDCTL_MAKES_DEVICE", "1", 1);
  ::testing::internal::CaptureStdout();
  int n = create_snap("/dev/sdx1");
  std::string out = ::testing::internal::GetCapturedStdout();
  ASSERT_GE(n, 1);
  EXPECT_THAT(calls(), ElementsAre(setup_call("/dev/sdx1", "/mnt/data/snapqcow2file", n)));
  EXPECT_EQ(device(n), get_snap_path(n));
  EXPECT_TRUE(fs::exists(get_snap_path(n)));
  EXPECT_EQ("qcow2 file: /mnt/data/snapqcow2file\n", out);
  std::string log = new_log();
  EXPECT_THAT(log, HasSubstr("create_snap"));
  EXPECT_THAT(log, HasSubstr("create new"));
  EXPECT_THAT(log, HasSubstr("./tools/dbdctl setup-snapshot /dev/sdx1 /mnt/data/snapqcow2file " +
                             std::to_string(n)));

  EXPECT_EQ(0, remove_snap(n));
  EXPECT_FALSE(fs::exists(device(n)));
  EXPECT_EQ("dbdctl destroy " + std::to_string(n), calls().back());
  EXPECT_THAT(new_log(), HasSubstr("remove_snap " + std::to_string(n)));
}

// Runs in a fresh process (threadsafe death tests re-execute the binary), so
// the numbering starts from its beginning.
TEST_F(Snapshot, NumbersStartAtOneAndFailedSetupStillTakesItsNumber) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        setenv("BF_STATUS_dbdctl", "3", 1);
        int first = create_snap("/dev/sdx1");
        unsetenv("BF_STATUS_dbdctl");
        int second = create_snap("/dev/sdx2");
        std::vector<std::string> seen = calls();
        fprintf(stderr, "first=%d second=%d calls=%zu last=[%s]\n", first, second, seen.size(),
                seen.empty() ? "" : seen.back().c_str());
        TearDown();
        fs::remove_all(g_log_dir);  // the child ends here, before the environment's tear-down
        exit(0);
      },
      ::testing::ExitedWithCode(0),
      "first=-1003 second=2 calls=2 last=\\[dbdctl setup-snapshot -f 40000 /dev/sdx2 "
      "//snapqcow2file 2\\]");
}

TEST_F(Snapshot, FailedSetupIsReportedWithItsStatus) {
  struct {
    const char* name;
    const char* status;  // exit status of the fake tool; null: tool missing
    bool expect_exit_encoding;
    int code;
  } cases[] = {
      {"exit status 1", "1", true, 1},
      {"exit status 255", "255", true, 255},
      {"tool cannot start", nullptr, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.status) {
      setenv("BF_STATUS_dbdctl", c.status, 1);
    } else {
      unsetenv("BF_STATUS_dbdctl");
      fs::remove(work_ + "/tools/dbdctl");  // the kmod fallback beside the test binary is absent too
    }
    size_t log_mark = read_file(slog_file_path()).size();
    int r = create_snap("/dev/sdx1");
    std::string log = read_file(slog_file_path()).substr(log_mark);
    if (c.expect_exit_encoding) {
      EXPECT_EQ(kSnapSetupExitBase - c.code, r);
      EXPECT_THAT(log, HasSubstr("failed with exit status " + std::string(c.status)));
    } else {
      EXPECT_LT(r, 0);
      EXPECT_GT(r, kSnapSetupExitBase);
      EXPECT_THAT(log, HasSubstr("could not be started"));
    }
  }
}

TEST_F(Snapshot, FailedSetupTearsDownHalfMadeDevice) {
  setenv("BF_DBDCTL_MAKES_DEVICE", "1", 1);
  setenv("BF_STATUS_dbdctl", "2", 1);
  int r = create_snap("/dev/sdx1");
  ASSERT_EQ(kSnapSetupExitBase - 2, r);
  std::vector<std::string> seen = calls();
  ASSERT_EQ(2u, seen.size());
  int n = atoi(seen[0].substr(seen[0].rfind(' ') + 1).c_str());
  EXPECT_EQ(setup_call("/dev/sdx1", "/mnt/data/snapqcow2file", n), seen[0]);
  EXPECT_EQ("dbdctl destroy " + std::to_string(n), seen[1]);
  EXPECT_FALSE(fs::exists(device(n)));
}

TEST_F(Snapshot, DeviceLeftFromEarlierRunIsRemovedFirst) {
  int before = create_snap("/dev/sdx1");
  ASSERT_GE(before, 1);
  int next = before + 1;
  write_file(device(next), "");  // survives from an earlier process
  fs::remove(call_log_);
  log_start_ = read_file(slog_file_path()).size();

  EXPECT_EQ(next, create_snap("/dev/sdx2"));
  EXPECT_THAT(calls(), ElementsAre("dbdctl destroy " + std::to_string(next),
                                   setup_call("/dev/sdx2", "//snapqcow2file", next)));
  std::string log = new_log();
  size_t old_at = log.find("remove old");
  ASSERT_NE(std::string::npos, old_at);
  EXPECT_NE(std::string::npos, log.find("remove_snap " + std::to_string(next), old_at));
  EXPECT_EQ(std::string::npos, log.find("create new"));
}

TEST_F(Snapshot, UnknownVolumeFailsWithoutRunningTheTool) {
  EXPECT_EQ(-EINVAL, create_snap("/dev/not_a_volume"));
  EXPECT_THAT(calls(), IsEmpty());
}

TEST_F(Snapshot, FailedTeardownStillReturnsZero) {
  setenv("BF_STATUS_dbdctl", "1", 1);
  EXPECT_EQ(0, remove_snap(7));
  EXPECT_THAT(calls(), ElementsAre("dbdctl destroy 7"));
  EXPECT_THAT(new_log(), HasSubstr("destroy exited with status 1"));
}

TEST_F(Snapshot, CopyOnWritePathFollowsMountPoint) {
  struct {
    const char* volume;
    std::string cow;
  } cases[] = {
      {"/dev/sdx1", "/mnt/data/snapqcow2file"},  // first listing wins
      {"/dev/sdx2", "//snapqcow2file"},           // root keeps its slash
      {"/dev/sdx9", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.volume);
    ::testing::internal::CaptureStdout();
    std::string cow = alloc_cow_file_on_volume(c.volume);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(c.cow, cow);
    EXPECT_EQ(c.cow.empty() ? "" : "qcow2 file: " + c.cow + "\n", out);
  }
  EXPECT_EQ(nullptr, get_mountpoint_by_device_volume_path("/dev/sdx9"));
}

TEST_F(Snapshot, DevicePathCarriesTheNumber) {
  EXPECT_EQ(prefix_ + "12", get_snap_path(12));
  EXPECT_EQ(prefix_ + "-3", get_snap_path(-3));
}

TEST_F(Snapshot, AllowSkipSnapRunsNothingAndMapsToTheVolume) {
  allow_skip_snap = true;
  fake_snap_map.clear();
  EXPECT_EQ(0, create_snap("/dev/sdx1"));
  ASSERT_EQ(1u, fake_snap_map.size());
  int n = fake_snap_map.begin()->first;
  EXPECT_EQ("/dev/sdx1", get_snap_path(n));
  EXPECT_EQ("", get_snap_path(n + 1000));
  EXPECT_EQ(0, remove_snap(n));
  EXPECT_THAT(calls(), IsEmpty());
}

TEST_F(Snapshot, ControlToolFoundInWorkingDirOrBesideExecutable) {
  EXPECT_EQ("./tools/dbdctl", snap_control_tool_path_in("/opt/agent/"));
  // The module was already loaded, so the agent never moved into kmod.
  fs::remove(work_ + "/tools/dbdctl");
  EXPECT_EQ("/opt/agent/kmod/tools/dbdctl", snap_control_tool_path_in("/opt/agent/"));
}

}  // namespace
