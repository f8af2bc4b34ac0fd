// The inventory against real block devices: loop devices over small images
// with real partition tables, and the agent's disk-size commands as processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "agent/inventory.h"
#include "agent/proc_runner.h"

namespace {

constexpr int64_t kGiB = 1073741824;

// Captured run of a shell command line; returns the output, sets *status.
std::string sh(const std::string& cmd, int* status = nullptr) {
  const char* args[] = {"sh", "-c", cmd.c_str(), nullptr};
  char* out = nullptr;
  size_t size = 0;
  int r = runcmd(args, out, size);
  if (status != nullptr) *status = r;
  std::string text = out != nullptr ? std::string(out, size) : std::string();
  free(out);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

bool have(const char* tool) {
  int st = 0;
  sh(std::string("command -v ") + tool + " >/dev/null", &st);
  return st == 0;
}

class LoopDisks : public testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to attach loop devices";
    for (const char* t : {"losetup", "partx", "sfdisk", "fdisk"}) {
      if (!have(t)) GTEST_SKIP() << t << " is not installed";
    }
    char tmpl[] = "/tmp/bf-inventory-loop.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
  }
  void TearDown() override {
    // Partitions added by partx outlive the detach on this kernel: drop them first.
    for (const std::string& loop : loops_) sh("partx -d " + loop + " 2>/dev/null; losetup -d " + loop);
    if (!dir_.empty()) sh("rm -rf '" + dir_ + "'");
  }
  // Makes an image of `size` bytes with the sfdisk `table`, attaches it with
  // `sector` byte logical sectors and adds its partitions.
  std::string attach(const std::string& name, const std::string& size, const std::string& table,
                     int sector = 512) {
    std::string img = dir_ + "/" + name;
    int st = 0;
    sh("truncate -s " + size + " '" + img + "'", &st);
    EXPECT_EQ(0, st);
    std::string loop = sh("losetup -f --show -b " + std::to_string(sector) + " '" + img + "'", &st);
    EXPECT_EQ(0, st);
    if (st != 0) return "";
    loops_.push_back(loop);
    sh("printf '" + table + "' | sfdisk --no-tell-kernel -q " + loop, &st);
    EXPECT_EQ(0, st);
    sh("partx -d " + loop + " 2>/dev/null; partx -a " + loop, &st);
    EXPECT_EQ(0, st);
    return loop;
  }

  std::string dir_;
  std::vector<std::string> loops_;
};

TEST_F(LoopDisks, SizesAndOffsetsFromTheRealTools) {
  std::string dos = attach("dos.img", "64M",
                           "label: dos\\nstart=2048, size=20480, type=83, bootable\\n"
                           "start=22528, size=40960, type=83\\n");
  std::string gpt = attach("gpt.img", "110G",
                           "label: gpt\\nstart=2048, size=2048\\nstart=209717248, size=204800\\n");
  std::string four_k = attach("4k.img", "64M", "label: gpt\\nstart=256, size=4096\\nstart=4352, size=8192\\n",
                              4096);
  ASSERT_FALSE(dos.empty() || gpt.empty() || four_k.empty());

  EXPECT_EQ(64LL << 20, get_disk_size(dos.c_str()));
  EXPECT_EQ(110LL * kGiB, get_disk_size(gpt.c_str()));
  EXPECT_EQ(40960LL * 512, get_disk_size((dos + "p2").c_str()));
  EXPECT_EQ(8192LL * 4096, get_disk_size((four_k + "p2").c_str()));

  testing::internal::CaptureStdout();
  struct {
    std::string volume, disk;
    int64_t offset;
  } cases[] = {
      {dos + "p1", dos, 2048LL * 512},
      {dos + "p2", dos, 22528LL * 512},
      {gpt + "p2", gpt, 107375230976LL},
      {four_k + "p2", four_k, 4352LL * 4096},
      {dos + "p7", dos, -1},
      {dos, dos, 0},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.volume);
    EXPECT_EQ(c.offset, get_volume_offset_on_disk(c.volume.c_str(), c.disk.c_str()));
  }
  testing::internal::GetCapturedStdout();
}

// The one-shot commands run as the agent does in the field: a copy of the
// executable in its own directory (the ledger and the log land there).
class DiskCommands : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/bf-disk-commands.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
    int st = 0;
    sh("cp '" + std::string(BF_AGENT_EXE) + "' '" + dir_ + "/blockferry'", &st);
    ASSERT_EQ(0, st);
  }
  void TearDown() override { sh("rm -rf '" + dir_ + "'"); }
  std::string agent(const char* word, int* status) {
    return sh("cd '" + dir_ + "' && ./blockferry " + word, status);
  }
  // What the machine's disks should print, from the kernel's own figures.
  std::vector<int64_t> expected_sizes() {
    std::vector<disk_info_t*> disks;
    testing::internal::CaptureStdout();
    query_disks(disks);
    testing::internal::GetCapturedStdout();
    std::vector<int64_t> sizes;
    for (disk_info_t* d : disks) {
      std::ifstream in(std::string("/sys/block/") + (d->name + 5) + "/size");
      int64_t sectors = 0;
      in >> sectors;
      sizes.push_back(sectors * 512 / kGiB);
      free(d);
    }
    return sizes;
  }
  // The value lines, without the per-disk "open error" notes that share stdout.
  static std::string values(const std::string& out) {
    std::stringstream in(out);
    std::string line, kept;
    while (std::getline(in, line)) {
      if (line.rfind("open error", 0) == 0 || line.rfind("ioctl error", 0) == 0) continue;
      kept += line + "\n";
    }
    if (!kept.empty()) kept.pop_back();
    return kept;
  }
  std::string dir_;
};

TEST_F(DiskCommands, QueryDiskSizePrintsWholeGiBPerDisk) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to open the disks";
  std::vector<int64_t> want = expected_sizes();
  ASSERT_FALSE(want.empty()) << "no disk under /sys/block";
  int st = -1;
  std::string out = agent("query_disk_size", &st);
  EXPECT_EQ(0, st);
  std::string lines;
  for (int64_t gib : want) lines += std::to_string(gib) + "\n";
  lines.pop_back();
  EXPECT_EQ(lines, values(out));
  if (access("/sys/block/vda", F_OK) == 0) {
    std::ifstream in("/sys/block/vda/size");
    int64_t sectors = 0;
    in >> sectors;
    EXPECT_NE(std::string::npos, out.find(std::to_string(sectors * 512 / kGiB))) << "vda listed";
  }
}

TEST_F(DiskCommands, QueryDiskTotalBytesSumsWholeGiB) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to open the disks";
  int64_t total = 0;
  for (int64_t gib : expected_sizes()) total += gib * kGiB;
  int st = -1;
  std::string out = agent("query_disk_total_bytes", &st);
  EXPECT_EQ(0, st);
  EXPECT_EQ(std::to_string(total), values(out));
}

}  // namespace
