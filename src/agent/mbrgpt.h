// Partition tables read straight from disk bytes: a GPT dump of an image file
// and the size of the DOS partition that starts at a given offset. A tool for
// checking fdisk's answers; nothing in the transfer path calls it. Any thread.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct primary_gpt_header_t {
  uint8_t signature[8];  // "EFI PART", not NUL-terminated
  uint32_t gpt_revision;
  uint32_t header_size;
  uint32_t header_crc32;
  uint32_t reserved1;
  uint64_t current_lba;
  uint64_t backup_lba;
  uint64_t first_usable_partitions;
  uint64_t last_usable_partitions;
  uint8_t uuid[16];
  uint64_t start_partition_entries;
  uint32_t number_of_partition_entries;
  uint32_t partition_entry_size;
  uint32_t partition_array_crc32;
  uint8_t reserved2[420];
};

struct guid_partition_entrie_t {
  uint8_t partition_type_guid[16];
  uint8_t unique_partition_guid[16];
  uint64_t first_lba;
  uint64_t last_lba;
  uint64_t attribute_flags;
  uint8_t partition_name[72];  // UTF-16LE on disk; printed byte by byte
};

// The first 17408 bytes of a GPT disk (little-endian fields, read as they lie
// on this little-endian machine).
struct gpt_t {
  uint8_t protective_mbr[512];
  primary_gpt_header_t primary_gpt_header;
  guid_partition_entrie_t guid_partition_entries[128];
};

static_assert(sizeof(primary_gpt_header_t) == 512, "GPT header is one sector");
static_assert(sizeof(guid_partition_entrie_t) == 128, "GPT entry is 128 bytes");
static_assert(sizeof(gpt_t) == 17408, "GPT block read at once");

// Prints the GPT of the file named by argv[1] on stdout. Returns 0, or 1 on a
// usage error or when the file cannot be opened or holds fewer than 17408 bytes.
int gpt_main(int argc, char** argv);

// Size in bytes of the DOS partition (primary or logical) that starts at byte
// `offset` of `dev`, or -1 when none does or the table cannot be read.
int64_t get_device_partition_size(const char* dev, int64_t offset);

// Examines one 512-byte table sector. `*base` is the extended partition's
// start (0 while reading the main table), `*next` the position of this EBR
// relative to it; an extended entry updates both for the next sector to read.
// Returns true when the walk is over: the partition was found (`*ret_size`
// set) or this sector links to no further EBR. `len` below 512 or a sector
// without the 0x55AA mark also ends the walk.
bool mbr_parse(const uint8_t* sector, size_t len, bool is_parsing_mbr, uint64_t* base,
               uint64_t* next, int ebr_num, int64_t expected_offset, int64_t* ret_size);

// The four bytes at `p` as a big-endian unsigned 32-bit number.
uint32_t transtoint(const unsigned char* p);
