// tpl image decoder. Every check runs before a single member of the record
// is written, so a rejected image never reaches the caller's record.
#include "proto/tpl_reader.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

namespace {

constexpr char kFormatChars[] = "AS($)BiucsfIUjv#";
constexpr size_t kHeaderSize = 8;  // magic, flags, length
constexpr size_t kMaxFields = 64;

// Width and alignment of one field in the image and in the record.
struct field_t {
  size_t width;
};

// The decoder's description of a format: fixed-width members only.
struct format_desc_t {
  field_t fields[kMaxFields];
  size_t count;
  size_t data_size;  // bytes of packed data in an image
  size_t hashes;     // '#' count: fixed-length arrays (never supported here)
};

size_t letter_width(char c) {
  switch (c) {
    case 'c': return 1;
    case 'j': case 'v': return 2;
    case 'i': case 'u': return 4;
    case 'I': case 'U': case 'f': return 8;
    default: return 0;
  }
}

// "X..." or "S(X...)" with X fixed-width letters. false for anything else.
bool describe_format(const char* sign, format_desc_t* d) {
  d->count = 0;
  d->data_size = 0;
  d->hashes = 0;
  size_t n = strlen(sign);
  const char* p = sign;
  const char* end = sign + n;
  if (n >= 3 && sign[0] == 'S' && sign[1] == '(' && sign[n - 1] == ')') {
    p += 2;
    end -= 1;
  }
  if (p == end) return false;
  for (; p < end; ++p) {
    size_t w = letter_width(*p);
    if (w == 0 || d->count == kMaxFields) return false;
    d->fields[d->count++] = field_t{w};
    d->data_size += w;
  }
  return true;
}

bool host_is_big_endian() {
  const uint16_t probe = 1;
  unsigned char first;
  memcpy(&first, &probe, 1);
  return first == 0;
}

void copy_swapped(unsigned char* dst, const unsigned char* src, size_t width, bool swap) {
  for (size_t i = 0; i < width; ++i) dst[i] = swap ? src[width - 1 - i] : src[i];
}

int reject(const char* message) {
  fputs(message, stderr);
  return -1;
}

}  // namespace

int load_struct(void* s, const char* sign, const char* buf, size_t size) {
  format_desc_t desc;
  if (s == nullptr || sign == nullptr || !describe_format(sign, &desc)) {
    fputs("unsupported tpl format\n", stderr);
    return -2;
  }
  const char* invalid = "not a valid tpl file\n";
  if (buf == nullptr || size <= kHeaderSize) return reject(invalid);
  if (memcmp(buf, "tpl", 3) != 0) return reject(invalid);
  const unsigned char flags = static_cast<unsigned char>(buf[3]);
  const bool swap = ((flags & 1) != 0) != host_is_big_endian();
  if (flags > 3) return reject(invalid);

  uint32_t length;
  copy_swapped(reinterpret_cast<unsigned char*>(&length),
               reinterpret_cast<const unsigned char*>(buf + 4), 4, swap);
  if (length != size) return reject(invalid);

  const char* fmt = buf + kHeaderSize;
  const void* nul = memchr(fmt, '\0', size - kHeaderSize);
  if (nul == nullptr) return reject(invalid);
  const size_t fmt_len = static_cast<size_t>(static_cast<const char*>(nul) - fmt);
  for (size_t i = 0; i < fmt_len; ++i) {
    if (strchr(kFormatChars, fmt[i]) == nullptr) return reject(invalid);
  }
  if (strcmp(fmt, sign) != 0) return reject("format signature mismatch\n");

  // The supported formats have no '#', so no fixed-length counts follow.
  size_t pos = kHeaderSize + fmt_len + 1;
  if (size - pos < 4 * desc.hashes) return reject(invalid);
  pos += 4 * desc.hashes;
  if (size - pos != desc.data_size) return reject(invalid);

  // Members at natural alignment, as a C compiler lays out the record.
  unsigned char* out = static_cast<unsigned char*>(s);
  size_t member = 0;
  for (size_t i = 0; i < desc.count; ++i) {
    const size_t w = desc.fields[i].width;
    member = (member + w - 1) / w * w;
    copy_swapped(out + member, reinterpret_cast<const unsigned char*>(buf + pos), w, swap);
    member += w;
    pos += w;
  }
  return 0;
}

int load_reply(reply_record* out, const char* buf, size_t size) {
  return load_struct(out, REPLY_TPL_FORMAT, buf, size);
}
