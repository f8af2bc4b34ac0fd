#include "agent/mbrgpt.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace {

constexpr int64_t kSector = 512;
constexpr size_t kEntriesOffset = 446;
constexpr int kMaxEbrChain = 1024;  // a looping chain of EBRs must still end

// The descriptor travels in an untyped pointer so the callers stay free of
// descriptor arithmetic; null means "not open".
void* open_file(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  return reinterpret_cast<void*>(static_cast<intptr_t>(fd) + 1);
}

int fd_of(void* handle) { return static_cast<int>(reinterpret_cast<intptr_t>(handle) - 1); }

int64_t file_seek(void* handle, int64_t offset) {
  return static_cast<int64_t>(lseek(fd_of(handle), static_cast<off_t>(offset), SEEK_SET));
}

// Reads up to `len` bytes, retrying short reads; returns the count read or -1.
ssize_t file_read(void* handle, void* buf, size_t len) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = read(fd_of(handle), static_cast<char*>(buf) + done, len - done);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

void file_close(void* handle) {
  if (handle != nullptr) close(fd_of(handle));
}

bool read_sector(void* handle, uint64_t pos, uint8_t* sector) {
  if (pos > static_cast<uint64_t>(INT64_MAX)) return false;
  if (file_seek(handle, static_cast<int64_t>(pos)) != static_cast<int64_t>(pos)) return false;
  return file_read(handle, sector, kSector) == kSector;
}

// Little-endian field at `p` (the on-disk order), via the big-endian reader.
uint32_t le32(const uint8_t* p) {
  const unsigned char reversed[4] = {p[3], p[2], p[1], p[0]};
  return transtoint(reversed);
}

bool is_extended(uint8_t type) { return type == 0x05 || type == 0x0f || type == 0x85; }

void print_gpt(const gpt_t& gpt) {
  const primary_gpt_header_t& h = gpt.primary_gpt_header;
  char signature[sizeof h.signature + 1] = {};
  memcpy(signature, h.signature, sizeof h.signature);
  printf("##### Primary GPT Header #####\n");
  printf("Signature : %s\n", signature);
  printf("GPT Revision : %d\n", static_cast<int>(h.gpt_revision));
  printf("Header Size : %d\n", static_cast<int>(h.header_size));
  printf("Header CRC32 : 0x%08X\n", h.header_crc32);
  printf("Current LBA : 0x%08lX\n", static_cast<unsigned long>(h.current_lba));
  printf("Backup LBA : 0x%08lX\n", static_cast<unsigned long>(h.backup_lba));
  printf("First Usable Partitions : 0x%08lX\n", static_cast<unsigned long>(h.first_usable_partitions));
  printf("Last Usable Partitions : 0x%08lX\n", static_cast<unsigned long>(h.last_usable_partitions));
  printf("Start Partition Entries : 0x%08lX\n", static_cast<unsigned long>(h.start_partition_entries));
  printf("Number of Partition Entries : %d\n", static_cast<int>(h.number_of_partition_entries));
  printf("Partition Entry Size : 0x%08x\n", h.partition_entry_size);
  printf("Partition Array CRC32 : %#08x\n\n", h.partition_array_crc32);

  // Only the 128 entries inside the block read exist here, whatever the
  // header announces.
  const uint32_t kInBlock = sizeof gpt.guid_partition_entries / sizeof gpt.guid_partition_entries[0];
  uint32_t count = h.number_of_partition_entries < kInBlock ? h.number_of_partition_entries : kInBlock;
  for (uint32_t i = 0; i < count; ++i) {
    const guid_partition_entrie_t& e = gpt.guid_partition_entries[i];
    if (e.first_lba == 0 || e.last_lba == 0) continue;
    printf("##### GUID Partition Entries [%d] #####\n", static_cast<int>(i));
    printf("First LBA : %ld\n", static_cast<long>(e.first_lba));
    printf("\t=> Disk Offset : 0x%08lX\n", static_cast<unsigned long>(e.first_lba * kSector));
    printf("Last LBA : %ld\n", static_cast<long>(e.last_lba));
    printf("\t=> Disk Offset : 0x%08lX\n", static_cast<unsigned long>(e.last_lba * kSector));
    printf("Partition Name : ");
    for (uint8_t c : e.partition_name) putchar(c);
    puts("\n");
  }
}

}  // namespace

uint32_t transtoint(const unsigned char* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

int gpt_main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "Usage: %s <file name>\n", argc > 0 ? argv[0] : "gpt");
    return 1;
  }
  void* file = open_file(argv[1]);
  if (file == nullptr) {
    fprintf(stderr, "Error opening gpt file\n");
    return 1;
  }
  static gpt_t gpt;  // 17 KiB: kept off the caller's stack
  ssize_t got = file_read(file, &gpt, sizeof gpt);
  file_close(file);
  if (got != static_cast<ssize_t>(sizeof gpt)) {
    fprintf(stderr, "Error reading gpt\n");
    return 1;
  }
  print_gpt(gpt);
  return 0;
}

bool mbr_parse(const uint8_t* sector, size_t len, bool is_parsing_mbr, uint64_t* base,
               uint64_t* next, int ebr_num, int64_t expected_offset, int64_t* ret_size) {
  (void)ebr_num;
  if (len < static_cast<size_t>(kSector) || sector[510] != 0x55 || sector[511] != 0xAA) return true;
  // Every entry of this sector counts from the sector's own position: the
  // extended partition's start plus this EBR's place in it.
  const uint64_t table_pos = *base + *next;
  const int entries = is_parsing_mbr ? 4 : 2;
  bool link_seen = false;
  uint64_t new_base = *base, new_next = *next;
  int used = 0;
  for (int i = 0; i < entries; ++i) {
    const uint8_t* entry = sector + kEntriesOffset + 16 * i;
    uint8_t type = entry[4];
    if (type == 0) continue;  // empty slots may sit between used ones
    ++used;
    uint64_t first = static_cast<uint64_t>(le32(entry + 8)) * kSector;
    uint64_t count = static_cast<uint64_t>(le32(entry + 12)) * kSector;
    if (is_extended(type)) {
      if (link_seen) continue;  // one link per sector; more would fork the walk
      link_seen = true;
      if (is_parsing_mbr) {
        new_base = first;
        new_next = 0;
      } else {
        new_next = first;
      }
      continue;
    }
    if (expected_offset >= 0 && table_pos + first == static_cast<uint64_t>(expected_offset)) {
      *ret_size = static_cast<int64_t>(count);
      return true;
    }
  }
  if (is_parsing_mbr && used == 0) printf("partition table is empty\n");
  if (!link_seen) return true;
  *base = new_base;
  *next = new_next;
  return false;
}

int64_t get_device_partition_size(const char* dev, int64_t offset) {
  void* file = open_file(dev);
  if (file == nullptr) return -1;
  uint8_t sector[kSector];
  uint64_t base = 0, next = 0;
  int64_t size = -1;
  if (read_sector(file, 0, sector)) {
    bool over = mbr_parse(sector, sizeof sector, true, &base, &next, 0, offset, &size);
    for (int ebr = 1; !over && ebr <= kMaxEbrChain; ++ebr) {
      if (!read_sector(file, base + next, sector)) break;
      over = mbr_parse(sector, sizeof sector, false, &base, &next, ebr, offset, &size);
    }
  }
  file_close(file);
  return size;
}
