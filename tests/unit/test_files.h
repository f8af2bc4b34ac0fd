// Small file helpers shared by the unit tests: read or write a whole file,
// today's log-file date, and a temporary directory removed with its contents.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <fstream>
#include <sstream>
#include <string>

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void write_file(const std::string& path, const std::string& text, mode_t mode = 0644) {
  std::ofstream(path, std::ios::binary) << text;
  chmod(path.c_str(), mode);
}

// "YYYYMMDD" of the local date, as the agent names its log file.
inline std::string today() {
  time_t now = time(nullptr);
  struct tm t;
  localtime_r(&now, &t);
  char buf[48];
  snprintf(buf, sizeof buf, "%04d%02d%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
  return buf;
}

class TempDir {
 public:
  explicit TempDir(const char* prefix = "bf-test") {
    std::string tmpl = std::string("/tmp/") + prefix + ".XXXXXX";
    path_ = mkdtemp(&tmpl[0]) ? tmpl : std::string();
  }
  ~TempDir() {
    if (!path_.empty()) (void)!system(("rm -rf '" + path_ + "'").c_str());
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};
