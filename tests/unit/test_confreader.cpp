#include "agent/confreader.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "agent/config.h"

namespace {

struct flags_t {
  bool tail;
  bool skip_offline;
  bool skip_snap;
};
const flags_t kDefaults = {true, false, false};

class ConfReader : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/bf_conf_XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    dir_ = tmpl;
    path_ = dir_ + "/user.json";
  }
  void TearDown() override {
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  void write(const std::string& text) {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out << text;
  }
  flags_t read_from_defaults() {
    tail_send_enabled = kDefaults.tail;
    skip_offline_enabled = kDefaults.skip_offline;
    allow_skip_snap = kDefaults.skip_snap;
    readStrJson(path_.c_str());
    return {tail_send_enabled, skip_offline_enabled, allow_skip_snap};
  }

  std::string dir_;
  std::string path_;
};

std::string padded_object(size_t total, bool closing) {
  std::string head = "{\"allow_skip_snap\": true";
  std::string text = head + std::string(total - head.size() - 1, ' ');
  return text + (closing ? "}" : " ");
}

}  // namespace

TEST_F(ConfReader, Cases) {
  struct {
    const char* name;
    std::string text;  // "<none>": no file at all
    flags_t expected;
  } cases[] = {
      {"no file", "<none>", kDefaults},
      {"empty file", "", kDefaults},
      {"all three booleans",
       R"({"tail_send_enabled": false, "skip_offline_enabled": true, "allow_skip_snap": true})",
       {false, true, true}},
      {"one member, others default", R"({"allow_skip_snap": true})", {true, false, true}},
      {"string \"true\" is not a boolean", R"({"allow_skip_snap": "true"})", kDefaults},
      {"number is not a boolean", R"({"allow_skip_snap": 1, "tail_send_enabled": 0})", kDefaults},
      {"null member", R"({"allow_skip_snap": null})", kDefaults},
      {"unknown members ignored", R"({"verbose": true, "allow_skip_snap": true})",
       {true, false, true}},
      {"syntax error after a member", R"({"allow_skip_snap": true, "tail_send_enabled": })",
       kDefaults},
      {"top-level array", R"([{"allow_skip_snap": true}])", kDefaults},
      {"top-level number", "42", kDefaults},
      {"top-level null", "null", kDefaults},
      {"comments around the object",
       "// settings\n{\n  // skip snapshots\n  \"allow_skip_snap\": true\n}\n// end\n",
       {true, false, true}},
      {"object ending at byte 4096", padded_object(4096, true), {true, false, true}},
      {"object ending beyond byte 4096", padded_object(4097, true), kDefaults},
      {"text ends at a NUL byte", std::string("{\"allow_skip_snap\": true}\0junk", 30),
       {true, false, true}},
      {"NUL inside the object", std::string("{\"allow_skip_snap\": \0true}", 26), kDefaults},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(path_.c_str());
    if (c.text != "<none>") write(c.text);
    flags_t got = read_from_defaults();
    EXPECT_EQ(c.expected.tail, got.tail);
    EXPECT_EQ(c.expected.skip_offline, got.skip_offline);
    EXPECT_EQ(c.expected.skip_snap, got.skip_snap);
  }
}

TEST_F(ConfReader, UnreadablePathLeavesFlagsAlone) {
  // A directory opens but cannot be read as text.
  path_ = dir_;
  flags_t got = read_from_defaults();
  EXPECT_EQ(kDefaults.tail, got.tail);
  EXPECT_EQ(kDefaults.skip_snap, got.skip_snap);
  path_ = dir_ + "/user.json";
}
