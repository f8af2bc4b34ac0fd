// Writes the replies the server sends back to the agent: tpl images of the
// format "S(iiIi)" (type, devno, offset, size), always 36 bytes. The agent only
// decodes them; the server and the tests build them here. Pure function, any
// thread.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "proto/reply_record.h"  // kReplyImageSize: header 8 + format 8 + data 20

// Reply types the agent tells apart; every value other than 1 and 2 is an
// acknowledgement of one block.
constexpr int32_t kReplyAck = 0;       // devno, offset and size name the block
constexpr int32_t kReplyBinlog = 1;    // offset carries the server's binlog size in bytes
constexpr int32_t kReplyDurable = 2;   // an incremental transfer's data is on stable storage

// Fills `out` with the image of one reply in this host's byte order (flags
// bit 0 set on a big-endian host). Always writes exactly kReplyImageSize bytes.
void write_reply_image(int32_t type, int32_t devno, int64_t offset, int32_t size,
                       unsigned char out[kReplyImageSize]);
