// Decoder of tpl images, the self-describing records the server replies with
// (magic "tpl", byte-order flag, length, format string, packed data). Only
// fixed-width formats are supported; the agent uses "S(iiIi)". Any thread:
// nothing is shared between calls.
#pragma once

#include <stddef.h>

#include "proto/reply_record.h"

// Validates the image `buf`/`size` (one frame's payload) against the format
// `sign` and on success fills the record `s`, whose members follow the
// format's letters in order with their natural C alignment
// (for "S(iiIi)": struct reply_record).
// Returns 0 on success. Returns -1 for a rejected image, leaving `s` untouched
// and writing "format signature mismatch\n" (format differs from `sign`) or
// "not a valid tpl file\n" (anything else) to stderr. Returns -2, writing
// "unsupported tpl format\n", when `sign` itself is not a supported format.
int load_struct(void* s, const char* sign, const char* buf, size_t size);

// Convenience for the reply handler: load_struct with REPLY_TPL_FORMAT.
int load_reply(reply_record* out, const char* buf, size_t size);
