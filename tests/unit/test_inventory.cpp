// Disk list, parsers of captured lsblk/fdisk/mounts text, and query_volumes
// against fake tools on PATH that print the captured listings.
#include "agent/inventory.h"
#include "test_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kFixtures = std::string(BF_FIXTURES_DIR) + "/discovery/";

void free_all(std::vector<disk_info_t*>& disks) {
  for (disk_info_t* d : disks) free(d);
  disks.clear();
}

disk_info_t* make_disk(const char* name, int index, int64_t size = 0) {
  disk_info_t* d = static_cast<disk_info_t*>(calloc(1, sizeof(disk_info_t)));
  snprintf(d->name, sizeof d->name, "%s", name);
  d->device_index = index;
  d->size = size;
  return d;
}

std::vector<std::string> names_of(const std::vector<disk_info_t*>& disks) {
  std::vector<std::string> names;
  for (size_t i = 0; i < disks.size(); ++i) {
    EXPECT_EQ(static_cast<int>(i), disks[i]->device_index);
    EXPECT_FALSE(disks[i]->is_offline);
    names.push_back(disks[i]->name);
  }
  return names;
}

TEST(QueryDisks, FiltersAndSortsBytewise) {
  struct {
    const char* name;
    std::vector<std::string> entries;
    std::vector<std::string> disks;
  } cases[] = {
      {"skip list", {"sda", "loop0", "loop1", "sr0", "nvme0n1", "nbd0", "dm-0"},
       {"/dev/dm-0", "/dev/nvme0n1", "/dev/sda"}},
      {"byte order", {"sdb", "sdaa", "nvme1n1", "nvme10n1"},
       {"/dev/nvme10n1", "/dev/nvme1n1", "/dev/sdaa", "/dev/sdb"}},
      {"substring skips", {"xloopy", "datto3", "elastio-snap0", "nbd12", "sdc"}, {"/dev/sdc"}},
      {"empty directory", {}, {}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir sys;
    for (auto& e : c.entries) mkdir((sys.path() + "/" + e).c_str(), 0755);
    std::vector<disk_info_t*> disks;
    testing::internal::CaptureStdout();  // "open error" for the made-up devices
    EXPECT_EQ(0, query_disks(disks, sys.path().c_str()));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(c.disks, names_of(disks));
    for (disk_info_t* d : disks) EXPECT_EQ(-1, d->size) << d->name;
    free_all(disks);
  }
}

// The made-up devices cannot be opened: sizes come from the sysfs entries.
TEST(QueryDisks, SizeFromSysfsWhenTheDeviceIsClosedToUs) {
  TempDir sys;
  for (auto e : {"sda", "sdb", "sdc"}) mkdir((sys.path() + "/" + e).c_str(), 0755);
  write_file(sys.path() + "/sda/size", "20971520\n");
  write_file(sys.path() + "/sdb/size", "3145728\n");
  write_file(sys.path() + "/sdc/size", "garbage\n");
  std::vector<disk_info_t*> disks;
  testing::internal::CaptureStdout();
  query_disks(disks, sys.path().c_str());
  EXPECT_EQ("open error: -1\nopen error: -1\nopen error: -1\n", testing::internal::GetCapturedStdout());
  ASSERT_EQ(3u, disks.size());
  EXPECT_EQ(10737418240LL, disks[0]->size);
  EXPECT_EQ(1610612736LL, disks[1]->size);
  EXPECT_EQ(-1, disks[2]->size);
  EXPECT_EQ((std::vector<int>{10, 1, 0}), disk_sizes_in_gib(disks));
  free_all(disks);
}

TEST(QueryDisks, MissingDirectoryReturnsOne) {
  std::vector<disk_info_t*> disks;
  testing::internal::CaptureStderr();
  EXPECT_EQ(1, query_disks(disks, "/nonexistent/sys/block"));
  EXPECT_NE("", testing::internal::GetCapturedStderr());
  EXPECT_TRUE(disks.empty());
}

// "/dev/" + 58 characters fills 63 bytes and keeps the terminator; one more
// would leave the name unterminated.
TEST(QueryDisksDeathTest, PathThatDoesNotFitTheNameAborts) {
  TempDir ok, too_long;
  mkdir((ok.path() + "/" + std::string(58, 'a')).c_str(), 0755);
  mkdir((too_long.path() + "/" + std::string(59, 'a')).c_str(), 0755);
  std::vector<disk_info_t*> disks;
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, query_disks(disks, ok.path().c_str()));
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(1u, disks.size());
  EXPECT_EQ(63u, strlen(disks[0]->name));
  free_all(disks);
  EXPECT_DEATH(
      {
        dup2(2, 1);
        query_disks(disks, too_long.path().c_str());
      },
      "block path > 64");
}

TEST(DiskList, IndexLookupAndGiBSizes) {
  std::vector<disk_info_t*> disks = {make_disk("/dev/sda", 0, 10737418240LL),
                                     make_disk("/dev/sdb", 1, 1610612736LL),
                                     make_disk("/dev/sdc", 2, -1)};
  EXPECT_EQ((std::vector<int>{10, 1, 0}), disk_sizes_in_gib(disks));
  EXPECT_EQ(1, device_path_to_index(disks, "/dev/sdb"));
  EXPECT_EQ(0, device_path_to_index(disks, "/dev/nbd0"));
  EXPECT_TRUE(diskcmp(disks[0], disks[1]));
  EXPECT_FALSE(diskcmp(disks[1], disks[0]));
  EXPECT_FALSE(diskcmp(disks[0], disks[0]));
  free_all(disks);
}

TEST(GetDiskSize, FailuresGiveMinusOne) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(-1, get_disk_size("/nonexistent/disk"));
  EXPECT_EQ(-1, get_disk_size("/proc/self/exe"));  // not a block device
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ("open error: -1\nioctl error \n", out);
}

TEST(ParseLsblk, CapturedListing) {
  std::vector<lsblk_mount_t> m = parse_lsblk_listing(read_file(kFixtures + "lsblk.txt"));
  ASSERT_EQ(4u, m.size());  // sdx2, sdx6, sdy1, sdy2, nvme9n1p1 are not mounted
  struct {
    const char* kname;
    const char* disk;
    const char* mountpoint;
    int64_t size;
    int log_sec;
  } want[] = {
      {"sdx1", "sdx", "/mnt/bf/root", 10485760, 512},
      {"sdx5", "sdx", "/mnt/bf/ro", 10485760, 512},
      {"sdy3", "sdy", "/mnt/bf/with space\\x", 104857600, 512},
      {"nvme9n1p2", "nvme9n1", "/mnt/bf/nv", 33554432, 4096},
  };
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(want[i].kname);
    EXPECT_EQ(want[i].kname, m[i].kname);
    EXPECT_EQ(want[i].disk, m[i].disk);
    EXPECT_EQ(want[i].mountpoint, m[i].mountpoint);
    EXPECT_EQ(want[i].size, m[i].size);
    EXPECT_EQ(want[i].log_sec, m[i].log_sec);
  }
}

TEST(ParseLsblk, EdgeCases) {
  struct {
    const char* name;
    std::string listing;
    std::vector<std::string> kname_disk_mount;  // "kname|disk|mountpoint"
  } cases[] = {
      {"empty output", "", {}},
      {"whole disk mounted", "vda disk / ext4 254:0 274877906944 512\n", {"vda|vda|/"}},
      {"mount before any disk line", "sr9 rom /media iso9660 11:0 100 2048\nsda disk   8:0 10 512\n",
       {"sr9||/media"}},
      {"malformed line dropped alone",
       "sda disk   8:0 10 512\nbroken line\nsda1 part /boot ext4 8:1 5 512\n", {"sda1|sda|/boot"}},
      {"no final newline", "sda disk   8:0 10 512\nsda1 part /x ext4 8:1 5 512", {"sda1|sda|/x"}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> got;
    for (auto& m : parse_lsblk_listing(c.listing)) got.push_back(m.kname + "|" + m.disk + "|" + m.mountpoint);
    EXPECT_EQ(c.kname_disk_mount, got);
  }
}

TEST(Escapes, DecodeBothStyles) {
  EXPECT_EQ("/mnt/a b\\c", decode_hex_escapes("/mnt/a\\x20b\\x5cc"));
  EXPECT_EQ("/mnt/a b\\c", decode_octal_escapes("/mnt/a\\040b\\134c"));
  // Incomplete or foreign escapes stay as they are.
  EXPECT_EQ("a\\x2", decode_hex_escapes("a\\x2"));
  EXPECT_EQ("a\\xzz", decode_hex_escapes("a\\xzz"));
  EXPECT_EQ("a\\04", decode_octal_escapes("a\\04"));
  EXPECT_EQ("a\\089", decode_octal_escapes("a\\089"));
}

TEST(ParseFdisk, Offsets) {
  std::string dos_bytes = read_file(kFixtures + "fdisk_dos_bytes.txt");
  std::string dos = read_file(kFixtures + "fdisk_dos.txt");
  std::string gpt = read_file(kFixtures + "fdisk_gpt_bytes.txt");
  std::string four_k = read_file(kFixtures + "fdisk_4k_bytes.txt");
  std::string no_units = "Device     Start   End Sectors Size Type\n/dev/sdz1   256  4351 4096 16M Linux\n";
  struct {
    const char* name;
    const std::string& listing;
    const char* volume;
    int sector_size;
    int64_t offset;
  } cases[] = {
      {"bootable first primary", dos_bytes, "/dev/sdx1", 512, 2048LL * 512},
      {"second primary", dos_bytes, "/dev/sdx2", 512, 22528LL * 512},
      {"logical", dos_bytes, "/dev/sdx5", 512, 45056LL * 512},
      {"without --bytes", dos, "/dev/sdx6", 512, 67584LL * 512},
      {"beyond 4 GiB", gpt, "/dev/sdy3", 512, 107375230976LL},
      {"4096-byte sectors from Units", four_k, "/dev/nvme9n1p2", 512, 4352LL * 4096},
      {"sector size from lsblk when no Units", no_units, "/dev/sdz1", 4096, 256LL * 4096},
      {"not in listing", dos_bytes, "/dev/sdx9", 512, -1},
      {"prefix of a listed name", dos_bytes, "/dev/sdx", 512, -1},
      {"no heading", "Disk /dev/sdx: 64 MiB\n/dev/sdx1 2048 4095 2048 1M 83 Linux\n", "/dev/sdx1", 512, -1},
      {"empty listing", "", "/dev/sdx1", 512, -1},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.offset, parse_fdisk_offset(c.listing, c.volume, c.sector_size));
  }
}

TEST(ReadOnlyMount, MountsText) {
  std::string mounts = read_file(kFixtures + "proc_mounts.txt");
  std::string twice = "/dev/a /srv ext4 ro 0 0\n/dev/b /srv ext4 rw,relatime 0 0\n";
  struct {
    const char* name;
    const std::string& text;
    const char* path;
    bool ro;
  } cases[] = {
      {"read-write", mounts, "/mnt/bf/root", false},
      {"read-only", mounts, "/mnt/bf/ro", true},
      {"escaped mount point", mounts, "/mnt/bf/with space\\x", false},
      {"not mounted", mounts, "/mnt/bf", true},
      {"empty path", mounts, "", true},
      {"ro and rw entries", twice, "/srv", false},
      {"rw only as part of another option", "/dev/a /x ext4 ro,norw,errors=remount-rw 0 0\n", "/x", true},
      {"short line skipped", "garbage\n/dev/a /x ext4 rw 0 0\n", "/x", false},
  };
  TempDir dir;
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = dir.path() + "/mounts";
    write_file(file, c.text);
    EXPECT_EQ(c.ro, check_is_ro_mount(c.path, file.c_str()));
  }
}

TEST(ReadOnlyMount, ReadsPastFirstPageAndFailsSafe) {
  TempDir dir;
  std::string text;
  for (int i = 0; i < 400; ++i) text += "/dev/x" + std::to_string(i) + " /filler/" + std::to_string(i) + " ext4 ro 0 0\n";
  ASSERT_GT(text.size(), 8192u);
  text += "/dev/y /late ext4 rw 0 0\n";
  std::string file = dir.path() + "/mounts";
  write_file(file, text);
  EXPECT_FALSE(check_is_ro_mount("/late", file.c_str()));
  testing::internal::CaptureStderr();
  EXPECT_TRUE(check_is_ro_mount("/late", (dir.path() + "/missing").c_str()));
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("open mounts error"));
}

// query_volumes with lsblk and fdisk replaced by scripts that print the
// captured listings and record how fdisk was called.
class QueryVolumes : public testing::Test {
 protected:
  void SetUp() override {
    bin_ = dir_.path() + "/bin";
    mkdir(bin_.c_str(), 0755);
    log_ = dir_.path() + "/fdisk.log";
    lsblk_text_ = dir_.path() + "/lsblk.txt";
    write_file(lsblk_text_, read_file(kFixtures + "lsblk.txt"));
    write_file(bin_ + "/lsblk", "#!/bin/sh\ncat '" + lsblk_text_ + "'\n", 0755);
    set_fdisk("");
    old_path_ = getenv("PATH");
    setenv("PATH", (bin_ + ":/usr/bin:/bin").c_str(), 1);
    disks_ = {make_disk("/dev/nvme9n1", 0), make_disk("/dev/sdx", 1), make_disk("/dev/sdy", 2)};
  }
  void TearDown() override {
    setenv("PATH", old_path_.c_str(), 1);
    free_all(disks_);
    for (volume_info_t* v : volumes_) free(v);
  }
  // `prelude` runs first, e.g. to refuse --bytes.
  void set_fdisk(const std::string& prelude) {
    write_file(bin_ + "/fdisk",
               "#!/bin/sh\necho \"$*\" >>'" + log_ + "'\n" + prelude +
                   "for a; do dev=$a; done\ncase $dev in\n"
                   "/dev/sdx) cat '" + kFixtures + "fdisk_dos_bytes.txt';;\n"
                   "/dev/sdy) cat '" + kFixtures + "fdisk_gpt_bytes.txt';;\n"
                   "/dev/nvme9n1) cat '" + kFixtures + "fdisk_4k_bytes.txt';;\n"
                   "*) echo \"fdisk: cannot open $dev\" >&2; exit 1;;\nesac\n",
               0755);
  }
  int run(std::string* out = nullptr) {
    testing::internal::CaptureStdout();
    int r = query_volumes(disks_, volumes_, (kFixtures + "proc_mounts.txt").c_str());
    std::string o = testing::internal::GetCapturedStdout();
    if (out != nullptr) *out = o;
    return r;
  }
  std::string fdisk_calls() { return read_file(log_); }

  TempDir dir_;
  std::string bin_, log_, lsblk_text_, old_path_;
  std::vector<disk_info_t*> disks_;
  std::vector<volume_info_t*> volumes_;
};

TEST_F(QueryVolumes, CapturedMachine) {
  std::string out;
  ASSERT_EQ(0, run(&out));
  struct {
    const char* name;
    int device_index;
    int64_t offset;
    int64_t size;
    const char* mountpoint;
  } want[] = {
      {"/dev/sdx1", 1, 1048576, 10485760, "/mnt/bf/root"},
      {"/dev/sdx5", 1, 45056LL * 512, 10485760, "/mnt/bf/ro"},
      {"/dev/sdy3", 2, 107375230976LL, 104857600, "/mnt/bf/with space\\x"},
      {"/dev/nvme9n1p2", 0, 4352LL * 4096, 33554432, "/mnt/bf/nv"},
  };
  ASSERT_EQ(4u, volumes_.size());
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(want[i].name);
    EXPECT_STREQ(want[i].name, volumes_[i]->name);
    EXPECT_EQ(want[i].device_index, volumes_[i]->device_index);
    EXPECT_EQ(want[i].offset, volumes_[i]->offset);
    EXPECT_EQ(want[i].size, volumes_[i]->size);
    EXPECT_STREQ(want[i].mountpoint, volumes_[i]->mountpoint);
  }
  EXPECT_NE(std::string::npos,
            out.find("DEBUG: volume [sdx5] on disk [sdx] mounted at [/mnt/bf/ro] size: 10485760 "
                     "offset 23068672 ro:1 device_index:1\n"));
  EXPECT_NE(std::string::npos, out.find("ro:0 device_index:2\n"));
  EXPECT_NE(std::string::npos, out.find("(for volume /dev/sdx1)fdisk --bytes -l /dev/sdx\n"));
}

TEST_F(QueryVolumes, FallsBackToPlainListingWhenBytesRefused) {
  set_fdisk("[ \"$1\" = --bytes ] && { echo 'fdisk: unrecognized option' >&2; exit 1; }\n");
  testing::internal::CaptureStderr();
  ASSERT_EQ(0, run());
  testing::internal::GetCapturedStderr();
  ASSERT_EQ(4u, volumes_.size());
  EXPECT_EQ(1048576, volumes_[0]->offset);
  EXPECT_NE(std::string::npos, fdisk_calls().find("--bytes -l /dev/sdx\n-l /dev/sdx\n"));
}

// A volume must never be placed on a disk by guesswork: at offset 0 or on
// disk 0 its blocks would overwrite that disk's image.
TEST_F(QueryVolumes, LeavesOutVolumesItCannotPlace) {
  write_file(lsblk_text_,
             "sdx disk   7:0 67108864 512\n"
             "dm-0 lvm /srv ext4 253:0 1000 512\n"        // not a partition of sdx
             "sdx1 part /mnt/bf/root ext4 259:0 10485760 512\n"
             "nbd0 disk   43:0 1000 512\n"
             "nbd0p1 part /net ext4 43:1 500 512\n");     // disk not replicated
  ASSERT_EQ(0, run());
  ASSERT_EQ(1u, volumes_.size());
  EXPECT_STREQ("/dev/sdx1", volumes_[0]->name);
  EXPECT_EQ(std::string::npos, fdisk_calls().find("nbd0")) << "no listing needed for a skipped disk";
}

TEST_F(QueryVolumes, WholeDiskVolumeNeedsNoFdisk) {
  write_file(lsblk_text_, "sdy disk /data ext4 7:1 128849018880 512\n");
  ASSERT_EQ(0, run());
  ASSERT_EQ(1u, volumes_.size());
  EXPECT_EQ(0, volumes_[0]->offset);
  EXPECT_EQ(2, volumes_[0]->device_index);
  EXPECT_EQ("", fdisk_calls());
}

TEST_F(QueryVolumes, OverlongNamesAreRefusedNotCut) {
  std::string long_mount = "/" + std::string(4095, 'm');
  std::string long_kname(59, 'k');
  write_file(lsblk_text_, "sdx disk   7:0 67108864 512\n"
                          "sdx1 part " + long_mount + " ext4 259:0 10485760 512\n" +
                          long_kname + " part /k ext4 259:1 10 512\n"
                          "sdx5 part /mnt/bf/ro ext4 259:3 10485760 512\n");
  std::string out;
  ASSERT_EQ(0, run(&out));
  ASSERT_EQ(1u, volumes_.size());
  EXPECT_STREQ("/dev/sdx5", volumes_[0]->name);
  EXPECT_NE(std::string::npos, out.find("block path > 64 \n"));
}

TEST_F(QueryVolumes, SwapIsNoVolumeAndStaysWithItsDisk) {
  write_file(lsblk_text_, "sdy disk   7:1 128849018880 512\n"
                          "sdy2 part [SWAP] swap 259:2 1073741824 512\n");
  ASSERT_EQ(0, run());
  EXPECT_TRUE(volumes_.empty());
  EXPECT_EQ("", fdisk_calls());
}

TEST_F(QueryVolumes, EmptyListing) {
  write_file(lsblk_text_, "");
  EXPECT_EQ(0, run());
  EXPECT_TRUE(volumes_.empty());
}

TEST_F(QueryVolumes, LsblkFailureListsNothing) {
  write_file(bin_ + "/lsblk", "#!/bin/sh\necho 'sdx disk   7:0 1 512'\nexit 1\n", 0755);
  EXPECT_EQ(-1, run());
  EXPECT_TRUE(volumes_.empty());
  setenv("PATH", (dir_.path() + "/nowhere").c_str(), 1);  // lsblk cannot be started
  testing::internal::CaptureStderr();
  EXPECT_EQ(-1, run());
  EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("No such file"));
  EXPECT_TRUE(volumes_.empty());
}

}  // namespace
