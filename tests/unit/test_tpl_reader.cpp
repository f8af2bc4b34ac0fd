// Reply image decoding: golden images in both byte orders, every rejection
// with its message on stderr, and a record left untouched when rejected.
#include "proto/tpl_reader.h"

#include <gtest/gtest.h>
#include <stddef.h>

#include <string>

#include "proto/control_commands.h"
#include "proto/reply_image.h"

namespace {

static_assert(offsetof(reply_record, type) == 0, "layout of S(iiIi)");
static_assert(offsetof(reply_record, devno) == 4, "layout of S(iiIi)");
static_assert(offsetof(reply_record, offset) == 8, "layout of S(iiIi)");
static_assert(offsetof(reply_record, size) == 16, "layout of S(iiIi)");

// Acknowledgement of the 8388608-byte block at offset 8388608 of device 0,
// from a little-endian server.
const std::string kLittle(
    "\x74\x70\x6C\x00\x24\x00\x00\x00\x53\x28\x69\x69\x49\x69\x29\x00"
    "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x80\x00\x00\x00\x00\x00"
    "\x00\x00\x80\x00",
    36);
// The same values from a big-endian server.
const std::string kBig(
    "\x74\x70\x6C\x01\x00\x00\x00\x24\x53\x28\x69\x69\x49\x69\x29\x00"
    "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x80\x00\x00"
    "\x00\x80\x00\x00",
    36);

const reply_record kSentinel = {-7, -7, -7, -7};

bool same(const reply_record& a, const reply_record& b) {
  return a.type == b.type && a.devno == b.devno && a.offset == b.offset && a.size == b.size;
}

std::string with_byte(std::string s, size_t at, char c) {
  s[at] = c;
  return s;
}

TEST(TplReader, DecodesBothByteOrders) {
  for (const std::string* img : {&kLittle, &kBig}) {
    SCOPED_TRACE(img == &kLittle ? "little-endian" : "big-endian");
    reply_record r = kSentinel;
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, load_struct(&r, "S(iiIi)", img->data(), img->size()));
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_EQ(0, r.type);
    EXPECT_EQ(0, r.devno);
    EXPECT_EQ(8388608, r.offset);
    EXPECT_EQ(8388608, r.size);
  }
}

TEST(TplReader, FieldsKeepTheirSignAndWidth) {
  // type 1 (binlog report) with a size above 4 GiB; negative devno.
  std::string img = kLittle;
  const unsigned char data[20] = {1, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00,
                                  0x00, 0x03, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x7F};
  img.replace(16, 20, reinterpret_cast<const char*>(data), 20);
  reply_record r = kSentinel;
  ASSERT_EQ(0, load_reply(&r, img.data(), img.size()));
  EXPECT_EQ(1, r.type);
  EXPECT_EQ(-2, r.devno);
  EXPECT_EQ(12884901888LL, r.offset);
  EXPECT_EQ(INT32_MAX, r.size);
}

TEST(TplReader, RoundTripWithTheWriter) {
  unsigned char img[kReplyImageSize];
  write_reply_image(0, 3, 5368709120LL, 4096, img);
  reply_record r = kSentinel;
  ASSERT_EQ(0, load_reply(&r, reinterpret_cast<const char*>(img), sizeof img));
  EXPECT_TRUE(same(r, reply_record{0, 3, 5368709120LL, 4096}));
}

struct reject_case_t {
  const char* name;
  std::string image;
  const char* message;
};

TEST(TplReader, RejectsWithTheRightMessageAndTouchesNothing) {
  const char* invalid = "not a valid tpl file\n";
  const char* mismatch = "format signature mismatch\n";
  std::string longer = kLittle + "X";  // length field still 36
  std::string says37 = kLittle + "X";
  says37[4] = 37;
  std::string big_says37 = kBig + "X";
  big_says37[7] = 37;
  const reject_case_t cases[] = {
      {"one byte added, length still 36", longer, invalid},
      {"length field says 37", says37, invalid},
      {"big-endian, length field says 37", big_says37, invalid},
      {"one byte short", kLittle.substr(0, 35), invalid},
      {"i in place of I", with_byte(kLittle, 12, 'i'), mismatch},
      {"q in place of the last i", with_byte(kLittle, 13, 'q'), invalid},
      {"8 bytes", kLittle.substr(0, 8), invalid},
      {"empty", std::string(), invalid},
      {"not tpl", with_byte(kLittle, 0, 'T'), invalid},
      {"flags 4", with_byte(kLittle, 3, 4), invalid},
      {"flags 0x80", with_byte(kLittle, 3, '\x80'), invalid},
      {"format without its NUL", std::string("tpl\0\x10\0\0\0S(iiIi)", 15) + "i", invalid},
      {"valid letters, other format", with_byte(kLittle, 10, 'u'), mismatch},
      // The NUL ends the format early: "S(ii" is valid letters, then a mismatch.
      {"format cut short by a NUL", with_byte(kLittle, 12, '\0'), mismatch},
      {"control command as a reply", std::string(kCtlEndIncremental, kCtlEndIncrementalSize),
       invalid},
  };
  for (const reject_case_t& c : cases) {
    SCOPED_TRACE(c.name);
    reply_record r = kSentinel;
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, load_struct(&r, "S(iiIi)", c.image.data(), c.image.size()));
    EXPECT_EQ(c.message, testing::internal::GetCapturedStderr());
    EXPECT_TRUE(same(r, kSentinel));
  }
}

TEST(TplReader, AcceptsStringFlagBit) {
  for (char flags : {'\x02', '\x03'}) {
    SCOPED_TRACE(static_cast<int>(flags));
    // Bit 0 picks the byte order, so flags 3 needs the big-endian image.
    std::string img = with_byte(flags == 2 ? kLittle : kBig, 3, flags);
    reply_record r = kSentinel;
    EXPECT_EQ(0, load_reply(&r, img.data(), img.size()));
    EXPECT_EQ(8388608, r.offset);
  }
}

TEST(TplReader, UnsupportedSignatureIsRefused) {
  reply_record r = kSentinel;
  testing::internal::CaptureStderr();
  EXPECT_EQ(-2, load_struct(&r, "S(iB)", kLittle.data(), kLittle.size()));
  EXPECT_EQ("unsupported tpl format\n", testing::internal::GetCapturedStderr());
  EXPECT_TRUE(same(r, kSentinel));
}

TEST(ControlCommands, BytesOnTheWire) {
  EXPECT_EQ(15, kCtlIncrementalSize);
  EXPECT_EQ(18, kCtlEndIncrementalSize);
  EXPECT_EQ(std::string("ctlIncremental\0", 15), std::string(kCtlIncremental, 15));
  EXPECT_EQ(std::string("ctlEndIncremental\0", 18), std::string(kCtlEndIncremental, 18));
}

}  // namespace
