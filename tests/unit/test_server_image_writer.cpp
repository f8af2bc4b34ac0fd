#include "server/image_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace {

class ImageWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/bf_image_writer.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
    path_ = dir_ + "/disk0.img";
    img_.fd = open(path_.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(img_.fd, 0);
  }
  void TearDown() override {
    close(img_.fd);
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }

  void apply(int64_t offset, const std::string& data, bool expect_zero) {
    bool zero = !expect_zero;
    std::string error;
    ASSERT_EQ(0, image_apply_block(&img_, offset, reinterpret_cast<const unsigned char*>(data.data()),
                                   data.size(), &zero, &error))
        << error;
    EXPECT_EQ(expect_zero, zero);
  }

  std::string read_at(int64_t offset, size_t n) {
    std::string out(n, '\x55');
    ssize_t got = pread(img_.fd, &out[0], n, offset);
    out.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return out;
  }

  struct stat st() {
    struct stat s;
    fstat(img_.fd, &s);
    return s;
  }

  // True when [offset, offset+len) holds no data extent.
  bool is_hole(int64_t offset, int64_t len) {
    off_t data = lseek(img_.fd, offset, SEEK_DATA);
    return data < 0 || data >= offset + len;
  }

  std::string dir_, path_;
  image_file_t img_;
};

const size_t kMiB = 1 << 20;

TEST_F(ImageWriter, WritesDataAtItsOffset) {
  std::string data(kMiB, 'a');
  apply(3 * kMiB, data, false);
  EXPECT_EQ(static_cast<off_t>(4 * kMiB), st().st_size);
  EXPECT_EQ(data, read_at(3 * kMiB, kMiB));
  EXPECT_EQ(std::string(kMiB, '\0'), read_at(0, kMiB));
}

TEST_F(ImageWriter, ZeroBlockPastTheEndExtendsWithoutAllocating) {
  apply(0, std::string(4096, 'd'), false);
  apply(8 * kMiB, std::string(8 * kMiB, '\0'), true);
  EXPECT_EQ(static_cast<off_t>(16 * kMiB), st().st_size);
  EXPECT_TRUE(is_hole(8 * kMiB, 8 * kMiB));
  EXPECT_EQ(std::string(kMiB, '\0'), read_at(15 * kMiB, kMiB));
}

TEST_F(ImageWriter, ZeroBlockOverDataReadsBackAsZeros) {
  apply(0, std::string(4 * kMiB, 'x'), false);
  apply(kMiB, std::string(2 * kMiB, '\0'), true);
  EXPECT_EQ(static_cast<off_t>(4 * kMiB), st().st_size);  // size kept
  EXPECT_EQ(std::string(kMiB, 'x'), read_at(0, kMiB));
  EXPECT_EQ(std::string(2 * kMiB, '\0'), read_at(kMiB, 2 * kMiB));
  EXPECT_EQ(std::string(kMiB, 'x'), read_at(3 * kMiB, kMiB));
}

TEST_F(ImageWriter, ZeroBlockAcrossTheEndClearsAndExtends) {
  apply(0, std::string(2 * kMiB, 'y'), false);
  apply(kMiB, std::string(4 * kMiB, '\0'), true);
  EXPECT_EQ(static_cast<off_t>(5 * kMiB), st().st_size);
  EXPECT_EQ(std::string(kMiB, 'y'), read_at(0, kMiB));
  EXPECT_EQ(std::string(4 * kMiB, '\0'), read_at(kMiB, 4 * kMiB));
}

TEST_F(ImageWriter, ZeroExtensionNeverCutsOffAConcurrentWrite) {
  // Regression: extending with ftruncate after an unlocked size check could
  // shrink the file below data another thread had just written past it.
  const int kRounds = 200;
  const size_t kBlock = 64 * 1024;
  std::string data(kBlock, 'w');
  std::string zeros(kBlock, '\0');
  std::thread writer([&] {
    for (int i = 0; i < kRounds; i++) {
      bool zero;
      std::string error;
      image_apply_block(&img_, static_cast<int64_t>(2 * i + 1) * kBlock,
                        reinterpret_cast<const unsigned char*>(data.data()), kBlock, &zero, &error);
    }
  });
  for (int i = 0; i < kRounds; i++) {
    bool zero;
    std::string error;
    image_apply_block(&img_, static_cast<int64_t>(2 * i) * kBlock,
                      reinterpret_cast<const unsigned char*>(zeros.data()), kBlock, &zero, &error);
  }
  writer.join();
  EXPECT_EQ(static_cast<off_t>(2 * kRounds * kBlock), st().st_size);
  for (int i = 0; i < kRounds; i++) {
    SCOPED_TRACE(i);
    ASSERT_EQ(data, read_at(static_cast<int64_t>(2 * i + 1) * kBlock, kBlock));
    ASSERT_EQ(zeros, read_at(static_cast<int64_t>(2 * i) * kBlock, kBlock));
  }
}

TEST(ImageWriterZero, DetectsZeroBuffers) {
  std::vector<unsigned char> b(8192, 0);
  EXPECT_TRUE(is_all_zero(b.data(), b.size()));
  EXPECT_TRUE(is_all_zero(b.data(), 1));
  b[8191] = 1;
  EXPECT_FALSE(is_all_zero(b.data(), b.size()));
  b[8191] = 0;
  b[0] = 1;
  EXPECT_FALSE(is_all_zero(b.data(), b.size()));
}

TEST(ImageWriterErrors, WriteFailureIsReportedWithTheSystemText) {
  image_file_t img;
  img.fd = open("/dev/null", O_RDONLY);
  ASSERT_GE(img.fd, 0);
  bool zero;
  std::string error;
  std::string data(10, 'e');
  EXPECT_EQ(-1, image_apply_block(&img, 0, reinterpret_cast<const unsigned char*>(data.data()),
                                  data.size(), &zero, &error));
  EXPECT_NE(std::string::npos, error.find("pwrite")) << error;
  close(img.fd);
}

}  // namespace
