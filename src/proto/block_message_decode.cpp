#include "proto/block_message_decode.h"

#include <string.h>

namespace {

// Reads a big-endian unsigned integer of `width` bytes.
uint64_t read_be(const unsigned char* p, int width) {
  uint64_t v = 0;
  for (int i = 0; i < width; i++) v = (v << 8) | p[i];
  return v;
}

// Reads one MessagePack unsigned integer at *pos. Any width is accepted (not
// only the shortest), negative and non-integer types are not.
bool read_uint(const unsigned char* p, size_t size, size_t* pos, uint64_t* value) {
  if (*pos >= size) return false;
  unsigned char tag = p[*pos];
  int width;
  if (tag <= 0x7f) {
    *value = tag;
    *pos += 1;
    return true;
  }
  switch (tag) {
    case 0xcc: width = 1; break;
    case 0xcd: width = 2; break;
    case 0xce: width = 4; break;
    case 0xcf: width = 8; break;
    default: return false;
  }
  if (size - *pos - 1 < static_cast<size_t>(width)) return false;
  *value = read_be(p + *pos + 1, width);
  *pos += 1 + width;
  return true;
}

int reject(std::string* error, const std::string& why) {
  if (error) *error = why;
  return -1;
}

}  // namespace

size_t block_message_max_size() { return 3 + ZSTD_compressBound(kMaxBlockContent); }

bool is_block_message(const void* msg, size_t size) {
  return msg && size >= 3 && memcmp(msg, "abc", 3) == 0;
}

int parse_block_content(const unsigned char* p, size_t size, block_message_t* out,
                        std::string* error) {
  if (size < 1 || p[0] != 0x93) return reject(error, "content is not a 3-element array");
  size_t pos = 1;
  uint64_t devno = 0;
  uint64_t offset = 0;
  if (!read_uint(p, size, &pos, &devno)) return reject(error, "device number is not an unsigned integer");
  if (devno >= static_cast<uint64_t>(kMaxDevno))
    return reject(error, "device number " + std::to_string(devno) + " out of range");
  if (!read_uint(p, size, &pos, &offset)) return reject(error, "offset is not an unsigned integer");
  if (pos >= size) return reject(error, "block bytes missing");

  int width;
  switch (p[pos]) {
    case 0xc4: width = 1; break;
    case 0xc5: width = 2; break;
    case 0xc6: width = 4; break;
    default: return reject(error, "block bytes are not a bin");
  }
  if (size - pos - 1 < static_cast<size_t>(width)) return reject(error, "bin header truncated");
  uint64_t length = read_be(p + pos + 1, width);
  pos += 1 + width;
  if (length == 0 || length > static_cast<uint64_t>(bf_proto::kBlockSize))
    return reject(error, "block length " + std::to_string(length) + " out of range");
  if (length != size - pos)
    return reject(error, "block length " + std::to_string(length) + " does not match the " +
                             std::to_string(size - pos) + " bytes present");
  // The last byte written must still be addressable as a signed file offset.
  if (offset > static_cast<uint64_t>(INT64_MAX) - length)
    return reject(error, "offset " + std::to_string(offset) + " out of range");

  out->devno = static_cast<int>(devno);
  out->offset = static_cast<int64_t>(offset);
  out->length = static_cast<int>(length);
  out->data = p + pos;
  return 0;
}

int decode_block_message(ZSTD_DCtx* dctx, const void* msg, size_t size,
                         unsigned char* out_buf, size_t out_cap, block_message_t* out,
                         std::string* error) {
  if (!is_block_message(msg, size)) return reject(error, "not a block message");
  const unsigned char* frame = static_cast<const unsigned char*>(msg) + 3;
  size_t frame_size = size - 3;

  // Decide the output size from the header before touching the payload, and
  // refuse frames that would not say it or say too much.
  unsigned long long content = ZSTD_getFrameContentSize(frame, frame_size);
  if (content == ZSTD_CONTENTSIZE_ERROR) return reject(error, "corrupt zstd frame header");
  if (content == ZSTD_CONTENTSIZE_UNKNOWN) return reject(error, "zstd frame without content size");
  if (content > kMaxBlockContent)
    return reject(error, "zstd content of " + std::to_string(content) + " bytes exceeds the limit");
  if (content > out_cap) return reject(error, "output buffer too small");

  size_t compressed = ZSTD_findFrameCompressedSize(frame, frame_size);
  if (ZSTD_isError(compressed))
    return reject(error, std::string("truncated or corrupt zstd frame: ") + ZSTD_getErrorName(compressed));
  if (compressed != frame_size) return reject(error, "bytes after the zstd frame");

  size_t got = ZSTD_decompressDCtx(dctx, out_buf, static_cast<size_t>(content), frame, frame_size);
  if (ZSTD_isError(got))
    return reject(error, std::string("zstd decompression failed: ") + ZSTD_getErrorName(got));
  if (got != content) return reject(error, "zstd content shorter than its header says");
  return parse_block_content(out_buf, got, out, error);
}
