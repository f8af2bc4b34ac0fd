#include "agent/confreader.h"

#include <stdio.h>
#include <string.h>

#include <json/json.h>

#include "agent/config.h"

namespace {

const size_t kMaxSettingsBytes = 4096;  // one read; a longer file is cut here

void set_flag_from(const Json::Value& root, const char* name, bool* flag) {
  if (!root.isMember(name)) return;
  const Json::Value& v = root[name];
  if (v.isBool()) *flag = v.asBool();
}

}  // namespace

void readStrJson(const char* path) {
  if (!path) return;
  FILE* f = fopen(path, "r");
  if (!f) return;
  char buf[kMaxSettingsBytes];
  size_t n = fread(buf, 1, sizeof buf, f);
  fclose(f);

  // The text ends at the first NUL byte, if any.
  const char* nul = static_cast<const char*>(memchr(buf, '\0', n));
  if (nul) n = static_cast<size_t>(nul - buf);

  Json::Value root;
  Json::Reader reader;  // default features: comments allowed, not strict
  if (!reader.parse(buf, buf + n, root, true)) return;
  // A top-level null reads as an object without members: nothing to set.
  if (!root.isObject()) return;

  set_flag_from(root, "tail_send_enabled", &tail_send_enabled);
  set_flag_from(root, "skip_offline_enabled", &skip_offline_enabled);
  set_flag_from(root, "allow_skip_snap", &allow_skip_snap);
}
