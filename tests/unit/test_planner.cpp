#include "agent/planner.h"

#include <gtest/gtest.h>
#include <string.h>

#include <vector>

namespace {

constexpr int64_t MiB = 1048576;

disk_info_t make_disk(int index, int64_t size) {
  disk_info_t d{};
  snprintf(d.name, sizeof d.name, "/dev/sd%c", 'a' + index);
  d.device_index = index;
  d.size = size;
  return d;
}

volume_info_t make_volume(const char* name, int disk, int64_t offset, int64_t size) {
  volume_info_t v{};
  snprintf(v.name, sizeof v.name, "%s", name);
  v.device_index = disk;
  v.offset = offset;
  v.size = size;
  return v;
}

struct expected_range_t {
  int64_t start;
  const volume_info_t* volume;
  int64_t length;
};

void expect_plan(const std::vector<expected_range_t>& want, const disk_plan_t& got) {
  ASSERT_EQ(want.size(), got.ranges.size());
  for (size_t i = 0; i < want.size(); i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(want[i].start, got.ranges[i].start);
    EXPECT_EQ(want[i].volume, got.ranges[i].volume);
    EXPECT_EQ(want[i].length, got.ranges[i].length);
  }
}

}  // namespace

TEST(Planner, TwoVolumesListedOutOfOrder) {
  disk_info_t disk = make_disk(0, 100 * MiB);
  volume_info_t b = make_volume("/dev/sda2", 0, 30 * MiB, 60 * MiB);
  volume_info_t a = make_volume("/dev/sda1", 0, 1 * MiB, 20 * MiB);
  volume_info_t other = make_volume("/dev/sdb1", 1, 0, 5 * MiB);
  std::vector<volume_info_t*> inventory = {&b, &other, &a};

  disk_plan_t with_tail = plan_disk(&disk, inventory, true);
  expect_plan({{0, nullptr, 1 * MiB},
               {1 * MiB, &a, 20 * MiB},
               {21 * MiB, nullptr, 9 * MiB},
               {30 * MiB, &b, 60 * MiB},
               {90 * MiB, nullptr, 10 * MiB}},
              with_tail);
  ASSERT_EQ(2u, with_tail.sorted.size());
  EXPECT_EQ(&a, with_tail.sorted[0]);
  EXPECT_TRUE(with_tail.has_tail_step);
  EXPECT_EQ(10 * MiB, with_tail.tail_length);

  disk_plan_t no_tail = plan_disk(&disk, inventory, false);
  expect_plan({{0, nullptr, 1 * MiB},
               {1 * MiB, &a, 20 * MiB},
               {21 * MiB, nullptr, 9 * MiB},
               {30 * MiB, &b, 60 * MiB}},
              no_tail);
  EXPECT_TRUE(no_tail.has_tail_step);  // the tail length is still logged
}

TEST(Planner, TableOfDiskShapes) {
  volume_info_t at_zero = make_volume("/dev/sda1", 0, 0, 40 * MiB);
  volume_info_t to_end = make_volume("/dev/sda2", 0, 50 * MiB, 50 * MiB);
  struct {
    const char* name;
    int64_t disk_size;
    std::vector<volume_info_t*> volumes;
    bool tail;
    std::vector<expected_range_t> want;
    bool tail_step;
  } cases[] = {
      {"no volumes, tail on", 64 * MiB, {}, true, {{0, nullptr, 64 * MiB}}, true},
      {"no volumes, tail off", 64 * MiB, {}, false, {}, true},
      {"size 0, tail on", 0, {}, true, {{0, nullptr, 0}}, true},
      {"volume at offset 0 has no leading range", 100 * MiB, {&at_zero}, false,
       {{0, &at_zero, 40 * MiB}}, true},
      {"last volume ends at the disk's end: no tail step", 100 * MiB, {&to_end, &at_zero}, true,
       {{0, &at_zero, 40 * MiB}, {40 * MiB, nullptr, 10 * MiB}, {50 * MiB, &to_end, 50 * MiB}},
       false},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    disk_info_t disk = make_disk(0, c.disk_size);
    disk_plan_t plan = plan_disk(&disk, c.volumes, c.tail);
    expect_plan(c.want, plan);
    EXPECT_EQ(c.tail_step, plan.has_tail_step);
  }
}

// Every byte of a disk with non-overlapping volumes is planned exactly once.
TEST(Planner, CoversDiskExactlyOnce) {
  disk_info_t disk = make_disk(0, 1000 * MiB);
  volume_info_t v1 = make_volume("/dev/sda1", 0, 3 * MiB, 100 * MiB);
  volume_info_t v2 = make_volume("/dev/sda2", 0, 200 * MiB, 1 * MiB);
  volume_info_t v3 = make_volume("/dev/sda3", 0, 201 * MiB, 500 * MiB);
  disk_plan_t plan = plan_disk(&disk, {&v3, &v1, &v2}, true);
  int64_t pos = 0;
  for (const plan_range_t& r : plan.ranges) {
    EXPECT_EQ(pos, r.start);
    pos = r.start + r.length;
  }
  EXPECT_EQ(disk.size, pos);
}
