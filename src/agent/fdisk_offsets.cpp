// Where a volume starts on its disk, from fdisk's partition listing.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sstream>
#include <string>
#include <vector>

#include "agent/inventory.h"
#include "agent/proc_runner.h"
#include "agent/support/slog.h"

namespace {

constexpr int kMaxSectorSize = 1 << 20;

bool parse_int64(const std::string& text, int64_t* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long v = strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *value = v;
  return true;
}

std::vector<std::string> words_of(const std::string& line) {
  std::vector<std::string> words;
  std::stringstream in(line);
  std::string w;
  while (in >> w) words.push_back(w);
  return words;
}

bool starts_with(const std::string& s, const char* prefix) {
  return s.compare(0, strlen(prefix), prefix) == 0;
}

// "Units: sectors of 1 * 4096 = 4096 bytes" (older fdisk: "Units = sectors
// of ..."): the size of the sectors in which Start is counted.
int units_of(const std::string& line) {
  size_t eq = line.rfind('=');
  if (eq == std::string::npos) return 0;
  std::vector<std::string> words = words_of(line.substr(eq + 1));
  int64_t bytes = 0;
  if (words.empty() || !parse_int64(words[0], &bytes)) return 0;
  if (bytes <= 0 || bytes > kMaxSectorSize) return 0;
  return static_cast<int>(bytes);
}

}  // namespace

int64_t parse_fdisk_offset(const std::string& listing, const char* volume, int sector_size) {
  int unit = sector_size > 0 && sector_size <= kMaxSectorSize ? sector_size : 512;
  bool in_table = false;
  int64_t start = -1;
  std::stringstream lines(listing);
  std::string line;
  while (std::getline(lines, line)) {
    if (!in_table) {
      if (starts_with(line, "Units")) {
        int u = units_of(line);
        if (u > 0) unit = u;
      }
      // The heading must begin a line: "Device" inside a model name or a
      // disk identifier is not the table.
      if (starts_with(line, "Device")) in_table = true;
      continue;
    }
    if (line.empty() || starts_with(line, "Device")) continue;
    std::vector<std::string> words = words_of(line);
    if (words.empty()) continue;
    // DOS listings carry a Boot column: "*" after the device path when set.
    size_t at = words.size() > 1 && words[1] == "*" ? 2 : 1;
    int64_t first = 0, last = 0;
    if (words.size() < at + 2 || !parse_int64(words[at], &first) || !parse_int64(words[at + 1], &last)) {
      continue;
    }
    if (words[0] == volume && first >= 0) start = first;
  }
  if (start < 0) return -1;
  if (start > INT64_MAX / unit) return -1;
  return start * unit;
}

int64_t get_volume_offset_on_disk(const char* volume, const char* dev, int sector_size) {
  if (strcmp(volume, dev) == 0) return 0;
  printf("(for volume %s)fdisk --bytes -l %s\n", volume, dev);
  char* output = nullptr;
  size_t size = 0;
  const char* with_bytes[] = {"fdisk", "--bytes", "-l", dev, nullptr};
  int result = runcmd(with_bytes, output, size);
  if (result != 0) {
    // Older fdisk has no --bytes; the sector columns are the same without it.
    free(output);
    const char* plain[] = {"fdisk", "-l", dev, nullptr};
    result = runcmd(plain, output, size);
  }
  if (output == nullptr) {
    log_error("no partition listing of %s (fdisk result %d)", dev, result);
    return -1;
  }
  int64_t offset = parse_fdisk_offset(std::string(output, size), volume, sector_size);
  free(output);
  if (offset < 0) log_error("%s is not a partition in the listing of %s", volume, dev);
  return offset;
}
