// Everything the server keeps on disk for one agent: its directory (named
// after the agent's address), one image per device number and the binlog,
// a journal of every block applied. Worker threads open images, write and
// append through these functions; the loop thread opens and closes the files.
#pragma once

#include <stdint.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/image_writer.h"

struct agent_t {
  std::string name;  // the agent's IP address as text
  std::string dir;   // root/<filesystem-safe name>

  // Loop thread only.
  int connections = 0;        // connection records not yet released
  int busy = 0;               // sync jobs of this agent still running
  bool incremental = false;   // the agent announced an incremental run
  bool sync_failed = false;   // an fsync failed: never claim durability again

  // Any thread; `lock` guards the table and the binlog descriptor.
  std::mutex lock;
  std::map<int, std::unique_ptr<image_file_t>> images;  // devno -> open image
  int binlog_fd = -1;
  std::atomic<int64_t> binlog_size{0};  // bytes in the binlog file
};

// The directory name for an agent address: letters, digits, '.', ':' and '-'
// are kept, every other byte becomes '_'.
std::string agent_dir_name(const std::string& address);

// Image file name of a device number: "disk<devno>.img".
std::string image_file_name(int devno);

// Name of the journal in each agent's directory.
constexpr char kBinlogName[] = "binlog";

// Creates the agent's directory when missing and opens its binlog (appending).
// Safe to call again after agent_close_files. Returns 0, or -1 with `error`.
int agent_open_files(agent_t* a, std::string* error);

// The open image of `devno`, created on first use. Null with `error` when it
// cannot be opened. The pointer stays valid until agent_close_files.
image_file_t* agent_image(agent_t* a, int devno, std::string* error);

// Appends one journal record for an applied block. Returns 0 or -1 with `error`.
int agent_append_binlog(agent_t* a, int64_t when, int devno, int64_t offset, int length,
                        uint64_t hash, std::string* error);

// Formats a journal record: "<unix time> <devno> <offset> <length> <xxh64 hex>\n".
// Returns its length.
int format_binlog_record(char* out, size_t cap, int64_t when, int devno, int64_t offset,
                         int length, uint64_t hash);

// fsync of every image, the binlog and the directory. Images may keep being
// written meanwhile; no descriptor is closed while a sync runs (the caller
// counts it in `busy`). Returns 0, or -1 with the first failure in `error`.
int agent_sync(agent_t* a, std::string* error);

// Closes every descriptor. Loop thread, only when no job of the agent runs.
void agent_close_files(agent_t* a);
