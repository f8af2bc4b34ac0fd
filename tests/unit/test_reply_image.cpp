#include "proto/reply_image.h"

#include <gtest/gtest.h>
#include <string.h>

#include "proto/tpl_reader.h"

TEST(ReplyImage, AckOfSecondBlockMatchesGoldenBytes) {
  // The acknowledgement of the 8 MiB block at offset 8 MiB of device 0,
  // as a little-endian server writes it.
  const unsigned char golden[36] = {
      0x74, 0x70, 0x6C, 0x00, 0x24, 0x00, 0x00, 0x00, 0x53, 0x28, 0x69, 0x69,
      0x49, 0x69, 0x29, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00};
  unsigned char image[kReplyImageSize];
  memset(image, 0xEE, sizeof image);
  write_reply_image(kReplyAck, 0, 8388608, 8388608, image);
  EXPECT_EQ(0, memcmp(golden, image, sizeof golden));
}

TEST(ReplyImage, RoundTripsThroughTheAgentDecoder) {
  struct {
    const char* name;
    int32_t type, devno;
    int64_t offset;
    int32_t size;
  } cases[] = {
      {"ack", kReplyAck, 3, 1099511627776LL, 100},
      {"binlog above the agent's limit", kReplyBinlog, 0, 10737418241LL, 0},
      {"durable", kReplyDurable, 0, 0, 0},
      {"largest values", 7, 4095, INT64_MAX, 8388608},
      {"negative fields survive", -1, -2, -3, -4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    unsigned char image[kReplyImageSize];
    write_reply_image(c.type, c.devno, c.offset, c.size, image);
    reply_record r{99, 99, 99, 99};
    ASSERT_EQ(0, load_reply(&r, reinterpret_cast<const char*>(image), sizeof image));
    EXPECT_EQ(c.type, r.type);
    EXPECT_EQ(c.devno, r.devno);
    EXPECT_EQ(c.offset, r.offset);
    EXPECT_EQ(c.size, r.size);
  }
}
