// Mounted volumes: lsblk's device listing, each volume placed on its disk.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "agent/inventory.h"
#include "agent/proc_runner.h"
#include "agent/support/slog.h"

std::vector<volume_info_t*>& g_volumes = *new std::vector<volume_info_t*>;  // lsblk order; written once by the main thread at start-up

namespace {

constexpr size_t kColumns = 7;  // KNAME TYPE MOUNTPOINT FSTYPE MAJ:MIN SIZE LOG-SEC

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int64_t number_or(const std::string& text, int64_t fallback) {
  if (text.empty()) return fallback;
  errno = 0;
  char* end = nullptr;
  long long v = strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return fallback;
  return v;
}

bool find_disk(const std::vector<disk_info_t*>& disks, const std::string& path) {
  for (const disk_info_t* disk : disks) {
    if (path == disk->name) return true;
  }
  return false;
}

// Why a listed mount cannot become a volume record, or null when it can.
const char* refusal(const lsblk_mount_t& m, const std::string& volume_path) {
  if (volume_path.size() >= sizeof(volume_info_t::name)) return "device path too long";
  // Active swap shows as "[SWAP]": no file system to snapshot; it is read raw with its disk.
  if (m.mountpoint[0] != '/') return "not a mounted file system";
  if (m.mountpoint.size() >= sizeof(volume_info_t::mountpoint)) return "mount point too long";
  return nullptr;
}

}  // namespace

std::string decode_hex_escapes(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x' && hex_value(s[i + 2]) >= 0 &&
        hex_value(s[i + 3]) >= 0) {
      out.push_back(static_cast<char>(hex_value(s[i + 2]) * 16 + hex_value(s[i + 3])));
      i += 3;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

std::vector<lsblk_mount_t> parse_lsblk_listing(const std::string& listing) {
  std::vector<lsblk_mount_t> mounts;
  std::string current_disk;
  size_t pos = 0;
  while (pos < listing.size()) {
    size_t eol = listing.find('\n', pos);
    if (eol == std::string::npos) eol = listing.size();
    std::string line = listing.substr(pos, eol - pos);
    pos = eol + 1;
    if (line.empty()) continue;
    // Raw output escapes blanks inside values, so single spaces separate
    // exactly seven columns; a line that does not is dropped on its own
    // instead of shifting every column after it.
    std::vector<std::string> cols = split(line, " ");
    if (cols.size() != kColumns) {
      log_error("lsblk line without %zu columns ignored: %s", kColumns, line.c_str());
      continue;
    }
    if (cols[1] == "disk") current_disk = cols[0];
    if (cols[2].empty()) continue;
    lsblk_mount_t m;
    m.kname = decode_hex_escapes(cols[0]);
    m.disk = decode_hex_escapes(current_disk);
    m.mountpoint = decode_hex_escapes(cols[2]);
    m.size = number_or(cols[5], 0);
    int64_t log_sec = number_or(cols[6], 512);
    m.log_sec = log_sec > 0 && log_sec <= (1 << 20) ? static_cast<int>(log_sec) : 512;
    mounts.push_back(m);
  }
  return mounts;
}

int query_volumes(std::vector<disk_info_t*>& disks, std::vector<volume_info_t*>& volumes,
                  const char* mounts_file) {
  const char* args[] = {"lsblk", "-r", "-b", "-n", "--output",
                        "KNAME,TYPE,MOUNTPOINT,FSTYPE,MAJ:MIN,SIZE,LOG-SEC", nullptr};
  char* output = nullptr;
  size_t size = 0;
  int result = runcmd(args, output, size);
  if (result != 0) {
    // Without a trustworthy listing no volume is known; every disk is then
    // read whole from the raw device.
    if (result < 0) {
      log_error("lsblk could not be run: %s; no volumes listed", run_strerror(result));
    } else {
      log_error("lsblk failed with status %d; no volumes listed", result);
    }
    free(output);
    return -1;
  }
  std::string listing = output != nullptr ? std::string(output, size) : std::string();
  free(output);

  for (const lsblk_mount_t& m : parse_lsblk_listing(listing)) {
    std::string volume_path = "/dev/" + m.kname;
    std::string disk_path = "/dev/" + m.disk;
    bool ro = check_is_ro_mount(m.mountpoint.c_str(), mounts_file);
    if (const char* why = refusal(m, volume_path)) {
      if (volume_path.size() >= sizeof(volume_info_t::name)) printf("block path > 64 \n");
      log_error("volume %s mounted at %s left out: %s", volume_path.c_str(), m.mountpoint.c_str(), why);
      continue;
    }
    // A volume must be placed exactly on a disk we replicate: one put on the
    // wrong disk or at a guessed offset would overwrite that disk's image.
    if (!find_disk(disks, disk_path)) {
      log_error("volume %s mounted at %s left out: its disk [%s] is not replicated",
                volume_path.c_str(), m.mountpoint.c_str(), disk_path.c_str());
      continue;
    }
    int64_t offset = get_volume_offset_on_disk(volume_path.c_str(), disk_path.c_str(), m.log_sec);
    if (offset < 0) {
      log_error("volume %s mounted at %s left out: not a partition of %s; read with the disk",
                volume_path.c_str(), m.mountpoint.c_str(), disk_path.c_str());
      continue;
    }
    volume_info_t* v = static_cast<volume_info_t*>(calloc(1, sizeof(volume_info_t)));
    if (v == nullptr) {
      perror("");
      abort();
    }
    memcpy(v->name, volume_path.c_str(), volume_path.size() + 1);
    v->device_index = device_path_to_index(disks, disk_path.c_str());
    v->offset = offset;
    v->size = m.size;
    memcpy(v->mountpoint, m.mountpoint.c_str(), m.mountpoint.size() + 1);
    volumes.push_back(v);
    printf("DEBUG: volume [%s] on disk [%s] mounted at [%s] size: %lld offset %lld ro:%d device_index:%d\n",
           m.kname.c_str(), m.disk.c_str(), m.mountpoint.c_str(), static_cast<long long>(v->size),
           static_cast<long long>(v->offset), ro ? 1 : 0, v->device_index);
  }
  return 0;
}
