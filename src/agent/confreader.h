// Reads the agent's settings file (user.json beside the executable) once at
// start-up, before any other thread exists. Main thread only.
#pragma once

// Sets tail_send_enabled, skip_offline_enabled and allow_skip_snap (config.h)
// from the JSON object in `path`: only members holding a JSON boolean count.
// A missing or unreadable file, a parse error or a non-object value leaves
// every flag as it was; nothing is printed or logged.
void readStrJson(const char* path);
