#include "agent/mbrgpt.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

int64_t sectors(int64_t n) { return n * 512; }

// Owns a temporary directory of small images written by sfdisk or by hand.
class PartitionImages : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/bf-mbrgpt.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
  }
  void TearDown() override { (void)!system(("rm -rf '" + dir_ + "'").c_str()); }

  // Image of `size` bytes partitioned by sfdisk from `table`.
  std::string sfdisk_image(const char* name, const char* size, const std::string& table) {
    if (system("command -v sfdisk >/dev/null") != 0) return "";
    std::string img = dir_ + "/" + name;
    std::string cmd = "truncate -s " + std::string(size) + " '" + img + "' && printf '" + table +
                      "' | sfdisk --no-tell-kernel -q '" + img + "' >/dev/null";
    EXPECT_EQ(0, system(cmd.c_str()));
    return img;
  }
  std::string raw_image(const char* name, const std::vector<uint8_t>& bytes) {
    std::string img = dir_ + "/" + name;
    FILE* f = fopen(img.c_str(), "wb");
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    return img;
  }
  void patch(const std::string& img, off_t at, const void* bytes, size_t len) {
    int fd = open(img.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(static_cast<ssize_t>(len), pwrite(fd, bytes, len, at));
    close(fd);
  }
  int gpt(const std::string& img, std::string* out, std::string* err) {
    std::string prog = "gptdump";
    char* argv[] = {&prog[0], const_cast<char*>(img.c_str()), nullptr};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int r = gpt_main(2, argv);
    *out = testing::internal::GetCapturedStdout();
    *err = testing::internal::GetCapturedStderr();
    return r;
  }

  std::string dir_;
};

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

void put_entry(std::vector<uint8_t>& sector, int slot, uint8_t type, uint32_t first, uint32_t count) {
  uint8_t* e = sector.data() + 446 + 16 * slot;
  e[4] = type;
  for (int i = 0; i < 4; ++i) {
    e[8 + i] = static_cast<uint8_t>(first >> (8 * i));
    e[12 + i] = static_cast<uint8_t>(count >> (8 * i));
  }
  sector[510] = 0x55;
  sector[511] = 0xAA;
}

TEST_F(PartitionImages, GptDumpPrintsHeaderAndUsedEntries) {
  std::string img = sfdisk_image("gpt.img", "8M",
                                 "label: gpt\\nstart=2048, size=2048, name=one\\n"
                                 "start=4096, size=2048, name=two\\nstart=8192, size=4096, name=three\\n");
  if (img.empty()) GTEST_SKIP() << "sfdisk is not installed";
  std::string out, err;
  ASSERT_EQ(0, gpt(img, &out, &err));
  EXPECT_EQ("", err);
  EXPECT_EQ(0u, out.find("##### Primary GPT Header #####\nSignature : EFI PART\nGPT Revision : 65536\n"
                         "Header Size : 92\n"));
  EXPECT_NE(std::string::npos, out.find("Current LBA : 0x00000001\n"));
  EXPECT_NE(std::string::npos, out.find("Start Partition Entries : 0x00000002\n"));
  EXPECT_NE(std::string::npos, out.find("Number of Partition Entries : 128\nPartition Entry Size : 0x00000080\n"));
  EXPECT_EQ(3u, count(out, "##### GUID Partition Entries ["));
  EXPECT_NE(std::string::npos,
            out.find("##### GUID Partition Entries [2] #####\nFirst LBA : 8192\n\t=> Disk Offset : 0x00400000\n"
                     "Last LBA : 12287\n\t=> Disk Offset : 0x005FFE00\nPartition Name : t"));
}

TEST_F(PartitionImages, GptDumpNeverReadsPastTheBlock) {
  std::string img = sfdisk_image("gpt.img", "8M", "label: gpt\\nstart=2048, size=2048\\n");
  if (img.empty()) GTEST_SKIP() << "sfdisk is not installed";
  // A header announcing 100000 entries, and a used entry in the last slot.
  uint32_t many = 100000;
  patch(img, 512 + 80, &many, sizeof many);
  uint64_t lbas[2] = {3000, 3999};
  patch(img, 1024 + 127 * 128 + 32, lbas, sizeof lbas);
  std::string out, err;
  ASSERT_EQ(0, gpt(img, &out, &err));
  EXPECT_EQ(2u, count(out, "##### GUID Partition Entries ["));
  EXPECT_NE(std::string::npos, out.find("##### GUID Partition Entries [127] #####\n"));
}

TEST_F(PartitionImages, GptDumpErrors) {
  std::string out, err;
  EXPECT_EQ(1, gpt(raw_image("short.img", std::vector<uint8_t>(17407)), &out, &err));
  EXPECT_EQ("Error reading gpt\n", err);
  EXPECT_EQ(1, gpt(dir_ + "/missing.img", &out, &err));
  EXPECT_EQ("Error opening gpt file\n", err);
  std::string prog = "gptdump";
  char* argv[] = {&prog[0], nullptr};
  testing::internal::CaptureStderr();
  EXPECT_EQ(1, gpt_main(1, argv));
  EXPECT_EQ("Usage: gptdump <file name>\n", testing::internal::GetCapturedStderr());
}

TEST_F(PartitionImages, DosPartitionSizeAtOffset) {
  std::string img = sfdisk_image("dos.img", "64M",
                                 "label: dos\\nstart=2048, size=20480, type=83, bootable\\n"
                                 "start=22528, size=10240, type=83\\nstart=43008, size=88064, type=5\\n"
                                 "start=45056, size=20480, type=83\\nstart=67584, size=8192, type=83\\n");
  if (img.empty()) GTEST_SKIP() << "sfdisk is not installed";
  struct {
    const char* name;
    int64_t offset;
    int64_t size;
  } cases[] = {
      {"first primary", sectors(2048), sectors(20480)},
      {"second primary", sectors(22528), sectors(10240)},
      {"first logical", sectors(45056), sectors(20480)},
      {"second logical, relative to its own EBR", sectors(67584), sectors(8192)},
      {"no partition there", sectors(12345), -1},
      {"the extended container itself", sectors(43008), -1},
  };
  testing::internal::CaptureStdout();
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.size, get_device_partition_size(img.c_str(), c.offset));
  }
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(-1, get_device_partition_size((dir_ + "/missing").c_str(), 0));
}

TEST_F(PartitionImages, HandMadeTables) {
  std::vector<uint8_t> disk(64 * 512);
  std::vector<uint8_t> mbr(512), ebr(512);
  // Extended first, then a primary after it; the only EBR links to itself.
  put_entry(mbr, 0, 0x0f, 8, 40);
  put_entry(mbr, 2, 0x83, 50, 10);
  put_entry(ebr, 0, 0x83, 2, 4);
  put_entry(ebr, 1, 0x05, 0, 40);
  memcpy(disk.data(), mbr.data(), 512);
  memcpy(disk.data() + 8 * 512, ebr.data(), 512);
  std::string img = raw_image("loop.img", disk);
  EXPECT_EQ(sectors(10), get_device_partition_size(img.c_str(), sectors(50)));
  EXPECT_EQ(sectors(4), get_device_partition_size(img.c_str(), sectors(10)));
  EXPECT_EQ(-1, get_device_partition_size(img.c_str(), sectors(33))) << "a looping chain must end";

  std::string unmarked = raw_image("zero.img", std::vector<uint8_t>(4096));
  EXPECT_EQ(-1, get_device_partition_size(unmarked.c_str(), 0));
  std::string short_img = raw_image("short.img", std::vector<uint8_t>(100));
  EXPECT_EQ(-1, get_device_partition_size(short_img.c_str(), 0));
}

TEST(MbrParse, EmptyTableEndsTheWalk) {
  std::vector<uint8_t> sector(512);
  sector[510] = 0x55;
  sector[511] = 0xAA;
  uint64_t base = 0, next = 0;
  int64_t size = -1;
  testing::internal::CaptureStdout();
  EXPECT_TRUE(mbr_parse(sector.data(), sector.size(), true, &base, &next, 0, 0, &size));
  EXPECT_EQ("partition table is empty\n", testing::internal::GetCapturedStdout());
  EXPECT_EQ(-1, size);
  EXPECT_TRUE(mbr_parse(sector.data(), 100, true, &base, &next, 0, 0, &size)) << "short buffer";
}

TEST(MbrParse, ExtendedEntryPointsAtTheNextTable) {
  std::vector<uint8_t> mbr(512), ebr(512);
  put_entry(mbr, 0, 0x05, 100, 50);
  uint64_t base = 0, next = 0;
  int64_t size = -1;
  EXPECT_FALSE(mbr_parse(mbr.data(), 512, true, &base, &next, 0, sectors(7), &size));
  EXPECT_EQ(static_cast<uint64_t>(sectors(100)), base);
  EXPECT_EQ(0u, next);
  put_entry(ebr, 0, 0x83, 2, 8);
  put_entry(ebr, 1, 0x05, 20, 10);
  EXPECT_FALSE(mbr_parse(ebr.data(), 512, false, &base, &next, 1, sectors(7), &size));
  EXPECT_EQ(static_cast<uint64_t>(sectors(100)), base);
  EXPECT_EQ(static_cast<uint64_t>(sectors(20)), next);
  EXPECT_EQ(-1, size);
}

TEST(Transtoint, BigEndian) {
  const unsigned char bytes[4] = {0x12, 0x34, 0x56, 0x78};
  EXPECT_EQ(0x12345678u, transtoint(bytes));
}

}  // namespace
