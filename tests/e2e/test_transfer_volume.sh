#!/usr/bin/env bash
# A disk with a mounted ext4 (read through a snapshot), an unmounted partition
# and raw gaps, under libfaketime (100x): the image equals the disk. Then a run
# whose snapshot cannot be set up must not claim success: it reads the rest,
# names the missing volume in its log and ends with status 1.
# Exit 77 when the testbed cannot run here.
source "$(dirname "$0")/testbed.sh"
tb_init "$@"

agent=$TB_WORK/agent
srv=$TB_WORK/srv

tb_make_disk sdx 64 dos 512 51 || exit 1
p1=$(tb_add_partition sdx 24 L boot) || exit 1
p2=$(tb_add_partition sdx 16) || exit 1
tb_fill_mixed "/dev/$p2" 52 || exit 1
tb_mount_volume "$p1" "$TB_WORK/mnt/a" 53 || exit 1
sync
tb_install_agent "$agent" || exit 1
tb_fake_modules loaded || exit 1
tb_start_server "$srv" || exit 1
img=$srv/127.0.0.1/disk0.img

TB_AGENT_TIMEOUT=300 tb_run_agent "$agent" --faketime 127.0.0.1
log=$(ls "$agent"/*.log | head -1)
tb_check "run 1 ends with status 0" test "$TB_AGENT_STATUS" = 0
tb_check "run 1 read the volume through /dev/datto1" grep -q "create snap /dev/datto1 for /dev/$p1" "$log"
# The mounted file system rewrites its superblock after the snapshot (freeze
# and thaw stamp it), so the volume is the snapshot's state: every byte beyond
# the first 4 KiB of the volume equals the disk, the rest of the disk is equal
# byte for byte, and the copied volume is a clean ext4.
disk_img=$(tb_disk_image sdx)
vol_start=$((1 * 1048576)) vol_len=$((24 * 1048576))
outside_equal() {
  cmp -n "$vol_start" "$disk_img" "$img" &&
    cmp -i $((vol_start + vol_len)) "$disk_img" "$img"
}
volume_equal_past_superblock() {
  local n
  n=$(cmp -l -i "$vol_start" -n "$vol_len" "$disk_img" "$img" | awk '$1 > 4096' | wc -l)
  echo "volume bytes differing past its first 4 KiB: $n"
  test "$n" = 0
}
volume_is_clean_ext4() {
  dd if="$img" of="$TB_WORK/vol.copy" bs=1M skip=1 count=24 status=none &&
    e2fsck -fn "$TB_WORK/vol.copy" >/dev/null
}
volume_equals_snapshot() {
  cmp -i "$vol_start:0" -n "$vol_len" "$img" "$TB_WORK/snap/last-datto1.img"
}
tb_check "run 1: the disk outside the volume is equal" outside_equal
tb_check "run 1: the volume's range equals the snapshot's content" volume_equals_snapshot
tb_check "run 1: the volume equals the disk past its superblock" volume_equal_past_superblock
tb_check "run 1: the copied volume is a clean ext4" volume_is_clean_ext4

# Run 2: the snapshot tool fails; something is missing, so the status is 1.
mark=$(wc -l <"$log")
DBDCTL_FAIL_SETUP=1 TB_AGENT_TIMEOUT=300 tb_run_agent "$agent" --faketime 127.0.0.1
tb_check "run 2 ends with status 1" test "$TB_AGENT_STATUS" = 1
tb_check "run 2 names the volume it could not read" \
  bash -c 'tail -n +"$2" "$1" | grep -q "not replicated: disk 0, /dev/$3"' _ "$log" "$((mark + 1))" "$p1"
tb_check "run 2 still read the rest of the disk" \
  bash -c 'tail -n +"$2" "$1" | grep -q "sync_send /dev/sdx"' _ "$log" "$((mark + 1))"
tb_check "run 2 did not log success" \
  bash -c '! tail -n +"$2" "$1" | grep -q "finish_if_done.*all done"' _ "$log" "$((mark + 1))"
tb_done
