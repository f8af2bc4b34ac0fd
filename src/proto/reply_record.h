// The record a server reply carries: the decoded form of the "S(iiIi)" tpl
// image. Plain data; any thread may hold one.
#pragma once

#include <stdint.h>

// Member order and types follow the image's format "S(iiIi)": the decoder
// copies the fields in this order.
struct reply_record {
  int type;        // 1 binlog report, 2 incremental data durable, else block ack
  int devno;       // ack: device number of the block
  int64_t offset;  // ack: disk offset of the block, bytes; binlog report: binlog size
  int size;        // ack: block length, bytes
};

// Format string of a reply image.
#define REPLY_TPL_FORMAT "S(iiIi)"
// A reply image is 36 bytes; its frame 40.
constexpr int kReplyImageSize = 36;
