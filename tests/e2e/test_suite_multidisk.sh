#!/usr/bin/env bash
# One run over five kinds of disk at once, under libfaketime (100x): DOS, GPT,
# a 4096-byte-sector disk, a disk with no partition table and an nvme-style
# name, four of them with a mounted ext4 read through a snapshot. Every replica
# must equal its source byte for byte (mounted volumes: as their snapshot
# froze them), every ledger row must be acknowledged and the status 0.
# Exit 77 when the testbed cannot run here.
source "$(dirname "$0")/testbed.sh"
tb_init "$@"
source "$TB_E2E_DIR/suite_lib.sh"

agent=$TB_WORK/agent
srv=$TB_WORK/srv
db=$agent/data.db

# Partitions first: a disk with a mounted file system cannot be repartitioned.
tb_make_disk sda 48 dos 512 31 || exit 1
a1=$(tb_add_partition sda 20 L boot) && a2=$(tb_add_partition sda 12) || exit 1
tb_make_disk sdb 40 gpt 512 32 || exit 1
b1=$(tb_add_partition sdb 24) || exit 1
tb_make_disk sdc 40 gpt 4096 33 || exit 1
c1=$(tb_add_partition sdc 20) || exit 1
tb_make_disk sdd 24 none 512 34 || exit 1
tb_make_disk nvme9n1 40 gpt 512 35 || exit 1
n1=$(tb_add_partition nvme9n1 16) && n2=$(tb_add_partition nvme9n1 rest) || exit 1

tb_fill_mixed "/dev/$a2" 231 && tb_fill_mixed "/dev/$n2" 235 || exit 1
mounted=("$a1" "$b1" "$c1" "$n1")
for p in "${mounted[@]}"; do
  tb_mount_volume "$p" "$TB_WORK/mnt/$p" "${#p}3" || exit 1
done
sync

echo "disks: $(sl_disks | tr '\n' ' ')"
echo "mounted volumes: ${mounted[*]}"
tb_install_agent "$agent" || exit 1
sl_keep_snapshots "$agent" || exit 1
tb_fake_modules loaded || exit 1
tb_start_server "$srv" || exit 1

TB_AGENT_TIMEOUT=180 tb_run_agent "$agent" --faketime 127.0.0.1
log=$(sl_log "$agent")
tb_check "run ends with status 0" test "$TB_AGENT_STATUS" = 0
for p in "${mounted[@]}"; do
  tb_check "/dev/$p read through a snapshot" grep -q "create snap /dev/datto[0-9]* for /dev/$p\$" "$log"
done
tb_check "one image per disk on the server" test "$(ls "$srv/127.0.0.1" | grep -c '^disk[0-9]*\.img$')" = 5
sl_check_replicas "$srv"
tb_check "every ledger row acknowledged" test "$(sl_unacked "$db")" = 0
tb_check "no snapshot left behind" bash -c '! ls /dev/datto* 2>/dev/null | grep -q .'
tb_done
