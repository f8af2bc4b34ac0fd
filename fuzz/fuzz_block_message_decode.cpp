// Hostile bytes into the server's block message decoder: the whole message
// (marker, zstd, MessagePack) and, since random bytes rarely decompress, the
// MessagePack step on its own. Neither may crash, overrun or over-allocate.
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <zstd.h>

#include <memory>
#include <string>

#include "proto/block_message_decode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ZSTD_DCtx* dctx = ZSTD_createDCtx();
  static std::unique_ptr<unsigned char[]> buf(new unsigned char[kMaxBlockContent]);
  block_message_t b{};
  std::string error;
  if (decode_block_message(dctx, data, size, buf.get(), kMaxBlockContent, &b, &error) == 0) {
    // A decoded block lies inside the output buffer and within the limits.
    if (b.length < 1 || b.length > bf_proto::kBlockSize || b.devno < 0 || b.devno >= kMaxDevno ||
        b.offset < 0 || b.data < buf.get() || b.data + b.length > buf.get() + kMaxBlockContent)
      __builtin_trap();
  }
  if (parse_block_content(data, size, &b, &error) == 0) {
    if (b.data < data || b.data + b.length != data + size) __builtin_trap();
  }
  return 0;
}
