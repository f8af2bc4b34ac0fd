#include "proto/block_message_decode.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <zstd.h>

#include <memory>
#include <string>
#include <vector>

#include "proto/block_message.h"

namespace {

std::string build(int devno, uint64_t offset, const std::string& bytes) {
  encoded_block_t e{};
  EXPECT_EQ(0, block_message_build(devno, offset, bytes.data(), static_cast<int>(bytes.size()), &e));
  std::string out(e.msg, static_cast<size_t>(e.msg_size));
  free(e.msg);
  return out;
}

// "abc" + zstd (one-shot, content size recorded) of arbitrary content.
std::string wrap(const std::string& content) {
  std::string out(ZSTD_compressBound(content.size()) + 3, '\0');
  memcpy(&out[0], "abc", 3);
  size_t n = ZSTD_compress(&out[3], out.size() - 3, content.data(), content.size(), 1);
  EXPECT_FALSE(ZSTD_isError(n));
  out.resize(n + 3);
  return out;
}

std::string bytes(std::initializer_list<int> v) {
  std::string s;
  for (int b : v) s.push_back(static_cast<char>(b));
  return s;
}

class BlockMessageDecode : public ::testing::Test {
 protected:
  void SetUp() override {
    dctx_ = ZSTD_createDCtx();
    buf_.reset(new unsigned char[kMaxBlockContent]);
  }
  void TearDown() override { ZSTD_freeDCtx(dctx_); }

  int decode(const std::string& msg, block_message_t* out, std::string* error) {
    return decode_block_message(dctx_, msg.data(), msg.size(), buf_.get(), kMaxBlockContent, out,
                                error);
  }

  ZSTD_DCtx* dctx_ = nullptr;
  std::unique_ptr<unsigned char[]> buf_;
};

TEST_F(BlockMessageDecode, RoundTripsTheEncoder) {
  struct {
    const char* name;
    int devno;
    uint64_t offset;
    size_t length;
  } cases[] = {
      {"one byte", 0, 0, 1},
      {"fixint limits", 127, 127, 255},
      {"uint8/uint16 widths", 200, 65535, 65535},
      {"uint32 width", 4095, 8388608, 65536},
      {"uint64 offset", 1, 4294967296ULL, 1000},
      {"full block", 2, 8388608ULL * 1000, 8388608},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string data(c.length, '\0');
    for (size_t i = 0; i < c.length; i++) data[i] = static_cast<char>(i * 7 + c.devno);
    block_message_t b{};
    std::string error;
    ASSERT_EQ(0, decode(build(c.devno, c.offset, data), &b, &error)) << error;
    EXPECT_EQ(c.devno, b.devno);
    EXPECT_EQ(static_cast<int64_t>(c.offset), b.offset);
    ASSERT_EQ(static_cast<int>(c.length), b.length);
    EXPECT_EQ(0, memcmp(data.data(), b.data, c.length));
  }
}

TEST_F(BlockMessageDecode, AcceptsWiderThanShortestIntegers) {
  // devno 1 as uint64, offset 2 as uint16: still unsigned integers.
  std::string content = bytes({0x93, 0xcf, 0, 0, 0, 0, 0, 0, 0, 1, 0xcd, 0, 2, 0xc4, 1, 0x55});
  block_message_t b{};
  std::string error;
  ASSERT_EQ(0, decode(wrap(content), &b, &error)) << error;
  EXPECT_EQ(1, b.devno);
  EXPECT_EQ(2, b.offset);
  EXPECT_EQ(1, b.length);
}

TEST_F(BlockMessageDecode, RejectsMalformedMessages) {
  std::string good = build(0, 0, std::string(1000, 'x'));
  std::string truncated = good.substr(0, good.size() - 5);
  std::string trailing = good + "zz";
  std::string corrupt = good;
  corrupt[3] ^= 0x01;  // zstd magic
  std::string corrupt_block = good;
  corrupt_block[good.size() / 2] ^= 0xff;
  corrupt_block[good.size() / 2 + 1] ^= 0xff;

  // A stream without a recorded content size.
  std::string unknown_size;
  {
    std::string content = bytes({0x93, 0, 0, 0xc4, 1, 7});
    std::vector<char> out(256);
    ZSTD_CCtx* cctx = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 0);
    ZSTD_inBuffer in{content.data(), content.size(), 0};
    ZSTD_outBuffer o{out.data(), out.size(), 0};
    ZSTD_compressStream2(cctx, &o, &in, ZSTD_e_end);
    ZSTD_freeCCtx(cctx);
    unknown_size = "abc" + std::string(out.data(), o.pos);
  }
  // A decompression bomb: 64 MiB of zeros compress to a few kilobytes.
  std::string bomb = wrap(std::string(64 << 20, '\0'));
  std::string over_by_one = wrap(std::string(kMaxBlockContent + 1, '\0'));
  // Content of a bin one byte longer than a block.
  std::string big_bin = bytes({0x93, 0, 0, 0xc6, 0x00, 0x80, 0x00, 0x01}) + std::string(8388609, 'a');

  struct {
    const char* name;
    std::string msg;
    const char* reason;
  } cases[] = {
      {"no marker", "xyz" + good.substr(3), "not a block message"},
      {"marker only", "abc", "corrupt zstd frame header"},
      {"truncated zstd", truncated, "truncated or corrupt"},
      {"bytes after the frame", trailing, "bytes after the zstd frame"},
      {"bad zstd magic", corrupt, "corrupt zstd frame header"},
      {"corrupt compressed block", corrupt_block, "zstd"},
      {"content size unknown", unknown_size, "without content size"},
      {"decompression bomb", bomb, "exceeds the limit"},
      {"content one over the limit", over_by_one, "exceeds the limit"},
      {"empty content", wrap(""), "not a 3-element array"},
      {"array of 2", wrap(bytes({0x92, 0, 0})), "not a 3-element array"},
      {"array of 4", wrap(bytes({0x94, 0, 0, 0xc4, 1, 1, 0})), "not a 3-element array"},
      {"map", wrap(bytes({0x83, 0, 0, 0, 0, 0, 0})), "not a 3-element array"},
      {"negative devno", wrap(bytes({0x93, 0xff, 0, 0xc4, 1, 1})), "device number is not"},
      {"devno as string", wrap(bytes({0x93, 0xa1, 'a', 0, 0xc4, 1, 1})), "device number is not"},
      {"devno too large", wrap(bytes({0x93, 0xcd, 0x10, 0x00, 0, 0xc4, 1, 1})), "out of range"},
      {"devno -1 sign-extended", wrap(bytes({0x93, 0xcf, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0, 0xc4, 1, 1})),
       "out of range"},
      {"offset as float", wrap(bytes({0x93, 0, 0xca, 0, 0, 0, 0, 0xc4, 1, 1})), "offset is not"},
      {"offset truncated", wrap(bytes({0x93, 0, 0xcf, 0, 0})), "offset is not"},
      {"bytes missing", wrap(bytes({0x93, 0, 0})), "block bytes missing"},
      {"bytes as str", wrap(bytes({0x93, 0, 0, 0xa1, 'x'})), "not a bin"},
      {"bin header truncated", wrap(bytes({0x93, 0, 0, 0xc6, 0, 0})), "bin header truncated"},
      {"zero length", wrap(bytes({0x93, 0, 0, 0xc4, 0})), "out of range"},
      {"length over a block", wrap(big_bin), "out of range"},
      {"length beyond content", wrap(bytes({0x93, 0, 0, 0xc4, 5, 1, 2})), "does not match"},
      {"bytes after the bin", wrap(bytes({0x93, 0, 0, 0xc4, 1, 1, 2})), "does not match"},
      {"offset past int64", wrap(bytes({0x93, 0, 0xcf, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xc4, 1, 1})),
       "offset"},
      {"offset 2^64-1", wrap(bytes({0x93, 0, 0xcf, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xc4, 1, 1})),
       "offset"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    block_message_t b{-7, -7, -7, nullptr};
    std::string error;
    EXPECT_EQ(-1, decode(c.msg, &b, &error));
    EXPECT_NE(std::string::npos, error.find(c.reason)) << error;
    EXPECT_EQ(-7, b.devno);  // untouched on rejection
  }
}

TEST_F(BlockMessageDecode, LastByteAtInt64MaxIsAccepted) {
  // offset + length == INT64_MAX: the last byte sits at INT64_MAX - 1.
  std::string content =
      bytes({0x93, 0, 0xcf, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xfe, 0xc4, 1, 9});
  block_message_t b{};
  std::string error;
  ASSERT_EQ(0, decode(wrap(content), &b, &error)) << error;
  EXPECT_EQ(INT64_MAX - 1, b.offset);
}

TEST_F(BlockMessageDecode, SmallOutputBufferIsRefusedNotOverrun) {
  std::string msg = build(0, 0, std::string(1000, 'q'));
  unsigned char small[100];
  block_message_t b{};
  std::string error;
  EXPECT_EQ(-1, decode_block_message(dctx_, msg.data(), msg.size(), small, sizeof small, &b, &error));
  EXPECT_EQ("output buffer too small", error);
}

TEST(BlockMessageLimits, MaxSizeCoversTheLargestRealMessage) {
  // Incompressible full block with the widest header.
  std::string data(8388608, '\0');
  uint32_t x = 1;
  for (auto& ch : data) {
    x = x * 1103515245u + 12345u;
    ch = static_cast<char>(x >> 24);
  }
  encoded_block_t e{};
  ASSERT_EQ(0, block_message_build(4095, UINT64_C(1) << 40, data.data(), 8388608, &e));
  EXPECT_LE(static_cast<size_t>(e.msg_size), block_message_max_size());
  free(e.msg);
}

}  // namespace
