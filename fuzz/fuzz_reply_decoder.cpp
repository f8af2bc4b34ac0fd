// Arbitrary frame payloads through the reply decoder: never a crash or an
// out-of-bounds read, never a write to the record on rejection, and an
// accepted image is always a 36-byte "S(iiIi)" image.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "proto/tpl_reader.h"

namespace {
FILE* g_quiet = nullptr;  // /dev/null for the decoder's stderr lines; set once at start
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_quiet = fopen("/dev/null", "w");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size heap copy, so a read past the end is caught.
  std::vector<char> buf(data, data + size);
  reply_record r = {-7, -7, -7, -7};
  // Swap only the stdio stream: sanitizer reports go straight to fd 2.
  FILE* saved = stderr;
  if (g_quiet != nullptr) stderr = g_quiet;
  int rc = load_struct(&r, "S(iiIi)", buf.data(), buf.size());
  stderr = saved;
  if (rc == 0) {
    if (size != 36 || memcmp(data, "tpl", 3) != 0 || memcmp(data + 8, "S(iiIi)", 8) != 0) abort();
  } else if (rc != -1 || r.type != -7 || r.devno != -7 || r.offset != -7 || r.size != -7) {
    abort();
  }
  return 0;
}
