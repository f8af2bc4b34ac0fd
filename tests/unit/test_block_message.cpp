// Block data messages: golden MessagePack bytes at every width boundary, the
// marker and zstd frame, a round trip through the server's decoder, and the
// agent's queueing step with its ratio log line.
#include "proto/block_message.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <zstd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "agent/block_queueing.h"
#include "agent/support/slog.h"
#include "agent/waitlist.h"
#include "proto/block_message_decode.h"

namespace {

using bytes_t = std::vector<unsigned char>;

std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 31 + 7);
  return s;
}

// Builds a message and returns its decompressed content; checks the marker
// and the zstd frame on the way.
std::string content_of(int devno, uint64_t offset, const std::string& block) {
  encoded_block_t m;
  EXPECT_EQ(BLOCK_MSG_OK, block_message_build(devno, offset, block.data(),
                                              static_cast<int>(block.size()), &m));
  if (m.msg == nullptr) return std::string();
  EXPECT_EQ(static_cast<size_t>(m.msg_size), m.csize + 3);
  const unsigned char magic[] = {0x61, 0x62, 0x63, 0x28, 0xB5, 0x2F, 0xFD};
  EXPECT_EQ(0, memcmp(m.msg, magic, sizeof magic));
  const unsigned long long n = ZSTD_getFrameContentSize(m.msg + 3, m.csize);
  EXPECT_NE(ZSTD_CONTENTSIZE_UNKNOWN, n);  // one-shot frames record their size
  EXPECT_NE(ZSTD_CONTENTSIZE_ERROR, n);
  std::string out(static_cast<size_t>(n), '\0');
  size_t got = ZSTD_decompress(&out[0], out.size(), m.msg + 3, m.csize);
  EXPECT_FALSE(ZSTD_isError(got));
  EXPECT_EQ(n, got);
  free(m.msg);
  return out;
}

std::string hex(const std::string& s) {
  std::string out;
  char b[4];
  for (unsigned char c : s) {
    snprintf(b, sizeof b, "%02X ", c);
    out += b;
  }
  return out;
}

struct header_case_t {
  const char* name;
  int devno;
  uint64_t offset;
  size_t block_size;
  std::string header;  // MessagePack bytes ahead of the block's bytes
};

TEST(BlockMessage, MessagePackHeaderAtEveryWidth) {
  using s = std::string;
  const header_case_t cases[] = {
      {"device 0, offset 0, 100 bytes", 0, 0, 100, s("\x93\x00\x00\xC4\x64", 5)},
      {"offset 127", 0, 127, 1, s("\x93\x00\x7F\xC4\x01", 5)},
      {"offset 128", 0, 128, 1, s("\x93\x00\xCC\x80\xC4\x01", 6)},
      {"offset 200", 0, 200, 1, s("\x93\x00\xCC\xC8\xC4\x01", 6)},
      {"offset 255", 0, 255, 1, s("\x93\x00\xCC\xFF\xC4\x01", 6)},
      {"offset 256", 0, 256, 1, s("\x93\x00\xCD\x01\x00\xC4\x01", 7)},
      {"offset 65535", 0, 65535, 1, s("\x93\x00\xCD\xFF\xFF\xC4\x01", 7)},
      {"offset 65536", 0, 65536, 1, s("\x93\x00\xCE\x00\x01\x00\x00\xC4\x01", 9)},
      {"offset 8388608", 0, 8388608, 1, s("\x93\x00\xCE\x00\x80\x00\x00\xC4\x01", 9)},
      {"offset 4294967295", 0, 4294967295ULL, 1, s("\x93\x00\xCE\xFF\xFF\xFF\xFF\xC4\x01", 9)},
      {"offset 4294967296", 0, 4294967296ULL, 1,
       s("\x93\x00\xCF\x00\x00\x00\x01\x00\x00\x00\x00\xC4\x01", 13)},
      {"device 127", 127, 0, 1, s("\x93\x7F\x00\xC4\x01", 5)},
      {"device 300", 300, 0, 1, s("\x93\xCD\x01\x2C\x00\xC4\x01", 7)},
      {"device -1 widened with its sign", -1, 0, 1,
       s("\x93\xCF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x00\xC4\x01", 13)},
      {"bin 255", 0, 0, 255, s("\x93\x00\x00\xC4\xFF", 5)},
      {"bin 256", 0, 0, 256, s("\x93\x00\x00\xC5\x01\x00", 6)},
      {"bin 65535", 0, 0, 65535, s("\x93\x00\x00\xC5\xFF\xFF", 6)},
      {"bin 65536", 0, 0, 65536, s("\x93\x00\x00\xC6\x00\x01\x00\x00", 8)},
      {"8 MiB block of device 1 at 8 MiB", 1, 8388608, 8388608,
       s("\x93\x01\xCE\x00\x80\x00\x00\xC6\x00\x80\x00\x00", 12)},
  };
  for (const header_case_t& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string block = pattern(c.block_size);
    const std::string content = content_of(c.devno, c.offset, block);
    ASSERT_EQ(c.header.size() + block.size(), content.size());
    EXPECT_EQ(hex(c.header), hex(content.substr(0, c.header.size())));
    EXPECT_TRUE(content.compare(c.header.size(), std::string::npos, block) == 0);
  }
}

// The encoder feeds header and bytes separately to spare a copy; the frame
// must still be the one a one-shot ZSTD_compress of the packed bytes writes.
TEST(BlockMessage, SameFrameAsOneShotCompressionOfThePackedBytes) {
  const size_t sizes[] = {1, 100, 131072, 131073, 1000000, 8388608};
  for (size_t n : sizes) {
    for (bool zero : {true, false}) {
      SCOPED_TRACE(std::to_string(n) + (zero ? " zero bytes" : " patterned bytes"));
      const std::string block = zero ? std::string(n, '\0') : pattern(n);
      char head[kBlockPackHeaderMax];
      const size_t head_len =
          block_message_pack_header(head, 5, 8388608, static_cast<int>(n));
      const std::string packed = std::string(head, head_len) + block;
      std::string want(ZSTD_compressBound(packed.size()), '\0');
      const size_t wlen = ZSTD_compress(&want[0], want.size(), packed.data(), packed.size(), 1);
      ASSERT_FALSE(ZSTD_isError(wlen));
      want.resize(wlen);
      encoded_block_t m;
      ASSERT_EQ(BLOCK_MSG_OK,
                block_message_build(5, 8388608, block.data(), static_cast<int>(n), &m));
      EXPECT_EQ(ZSTD_compressBound(packed.size()), m.bound);
      EXPECT_TRUE(std::string(m.msg + 3, m.csize) == want);
      free(m.msg);
    }
  }
}

TEST(BlockMessage, ServerDecoderReadsWhatWeBuild) {
  const std::string block = pattern(70000);
  encoded_block_t m;
  ASSERT_EQ(BLOCK_MSG_OK, block_message_build(2, 16777216, block.data(), 70000, &m));
  std::vector<unsigned char> out(kMaxBlockContent);
  ZSTD_DCtx* dctx = ZSTD_createDCtx();
  block_message_t decoded;
  std::string error;
  EXPECT_EQ(0, decode_block_message(dctx, m.msg, static_cast<size_t>(m.msg_size), out.data(),
                                    out.size(), &decoded, &error))
      << error;
  EXPECT_EQ(2, decoded.devno);
  EXPECT_EQ(16777216, decoded.offset);
  ASSERT_EQ(70000, decoded.length);
  EXPECT_EQ(0, memcmp(decoded.data, block.data(), 70000));
  EXPECT_LE(static_cast<size_t>(m.msg_size), block_message_max_size());
  ZSTD_freeDCtx(dctx);
  free(m.msg);
}

TEST(BlockMessage, RefusesEmptyBlocks) {
  encoded_block_t m;
  char byte = 0;
  EXPECT_EQ(BLOCK_MSG_BAD_ARGS, block_message_build(0, 0, nullptr, 10, &m));
  EXPECT_EQ(nullptr, m.msg);
  EXPECT_EQ(BLOCK_MSG_BAD_ARGS, block_message_build(0, 0, &byte, 0, &m));
  EXPECT_EQ(nullptr, m.msg);
}

TEST(BlockMessage, RatioIsTakenAgainstTheBound) {
  EXPECT_EQ(0, block_message_ratio(0, 1000));
  EXPECT_EQ(0, block_message_ratio(9, 1000));
  EXPECT_EQ(50, block_message_ratio(500, 1000));
  EXPECT_EQ(99, block_message_ratio(999, 1000));  // truncated, not rounded
  EXPECT_EQ(100, block_message_ratio(1000, 1000));
  EXPECT_EQ(0, block_message_ratio(0, 0));
}

TEST(MagicMemdup, PrefixesTheMarker) {
  void* p = magic_memdup("xyz", 3);
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(0, memcmp(p, "abcxyz", 6));
  free(p);
  EXPECT_EQ(nullptr, magic_memdup(nullptr, 3));
  EXPECT_EQ(nullptr, magic_memdup("x", 0));
  EXPECT_EQ(nullptr, magic_memdup("x", -1));
}

// The agent's queueing step, with the log open in a scratch directory.
class BlockQueueing : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char tmpl[] = "/tmp/bf_block_queueing_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
    ASSERT_EQ(1, init_logger(dir_.c_str(), 2));
  }
  static void TearDownTestSuite() {
    // The log stays open for the process; unlinking the file and its
    // directory is still fine on Linux.
    unlink(slog_file_path());
    rmdir(dir_.c_str());
  }
  void TearDown() override {
    char* buf;
    int size;
    while (pop_data_from_waitlist(&buf, &size) == 0) free(buf);
  }
  static std::string log_text() {
    std::ifstream f(slog_file_path());
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  static std::string last_ratio_line() {
    std::string text = log_text();
    size_t at = text.rfind("compress ratio: ");
    if (at == std::string::npos) return std::string();
    return text.substr(at, text.find('\n', at) - at);
  }
  static std::string dir_;
};
std::string BlockQueueing::dir_;

TEST_F(BlockQueueing, ZeroBlockQueuesASmallMessageAndLogsRatioZero) {
  std::vector<char> zeros(8388608, 0);
  EXPECT_EQ(0, send_block_to_queue(nullptr, 1, 8388608, zeros.data(), 8388608));
  ASSERT_EQ(1u, get_waitlist_size());
  char* msg = nullptr;
  int size = 0;
  ASSERT_EQ(0, pop_data_from_waitlist(&msg, &size));
  EXPECT_LT(size, 4096);
  EXPECT_EQ(0, memcmp(msg, "abc\x28\xB5\x2F\xFD", 7));
  free(msg);
  EXPECT_EQ("compress ratio: 0%", last_ratio_line());
}

TEST_F(BlockQueueing, IncompressibleBlockLogs99) {
  std::vector<char> noise(8388608);
  uint64_t x = 88172645463325252ULL;
  for (char& c : noise) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    c = static_cast<char>(x >> 56);
  }
  EXPECT_EQ(0, send_block_to_queue(nullptr, 0, 0, noise.data(), 8388608));
  EXPECT_EQ(1u, get_waitlist_size());
  EXPECT_EQ("compress ratio: 99%", last_ratio_line());
}

TEST_F(BlockQueueing, EmptyBlockQueuesNothing) {
  char byte = 0;
  EXPECT_EQ(0, send_block_to_queue(nullptr, 0, 0, &byte, 0));
  EXPECT_EQ(0u, get_waitlist_size());
  EXPECT_NE(std::string::npos, log_text().find("not built"));
}

}  // namespace
