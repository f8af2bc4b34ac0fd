#include "proto/reply_image.h"

#include <string.h>

namespace {

bool host_is_big_endian() {
  const uint16_t probe = 1;
  unsigned char first;
  memcpy(&first, &probe, 1);
  return first == 0;
}

}  // namespace

void write_reply_image(int32_t type, int32_t devno, int64_t offset, int32_t size,
                       unsigned char out[kReplyImageSize]) {
  // Fields stay in host order: the flags byte tells the reader which one it is.
  const uint32_t length = static_cast<uint32_t>(kReplyImageSize);
  out[0] = 't';
  out[1] = 'p';
  out[2] = 'l';
  out[3] = host_is_big_endian() ? 1 : 0;
  memcpy(out + 4, &length, 4);
  memcpy(out + 8, "S(iiIi)", 8);  // the format and its NUL
  memcpy(out + 16, &type, 4);
  memcpy(out + 20, &devno, 4);
  memcpy(out + 24, &offset, 8);
  memcpy(out + 32, &size, 4);
}
