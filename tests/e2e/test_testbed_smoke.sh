#!/usr/bin/env bash
# Proves the testbed itself: fake disks are seen by lsblk, fdisk, the kernel
# (sizes, bytes) and the agent's inventory under their fake names; the snapshot
# doubles (make, insmod, dbdctl) behave as the agent expects; the server helper
# waits for its port. Exit 77 when the machine cannot host the testbed.
source "$(dirname "$0")/testbed.sh"
tb_init "$@"

MiB=1048576
t0=$(_tb_now_ms)

# sdx: DOS, 512-byte sectors, a bootable mounted ext4 and an unmounted partition,
# mixed content in the gap after them.
tb_make_disk sdx 64 dos 512 11 || exit 1
sdx1=$(tb_add_partition sdx 24 L boot) || exit 1
sdx2=$(tb_add_partition sdx 16) || exit 1
tb_fill_mixed "/dev/$sdx2" 12 || exit 1
mnt=$TB_WORK/mnt/sdx1
tb_mount_volume "$sdx1" "$mnt" 13 || exit 1
# nvme9n1: GPT on 4096-byte sectors, one partition over the rest of the disk.
tb_make_disk nvme9n1 40 gpt 4096 21 || exit 1
nvp1=$(tb_add_partition nvme9n1 rest) || exit 1
# sdy: no partition table at all.
tb_make_disk sdy 16 none 512 31 || exit 1
echo "testbed set-up (3 disks, 1 mounted volume): $(($(_tb_now_ms) - t0)) ms"

# --- what the system tools see ------------------------------------------------
lsblk_out=$(lsblk -r -b -n --output KNAME,TYPE,MOUNTPOINT,FSTYPE,MAJ:MIN,SIZE,LOG-SEC)
echo "$lsblk_out"
lsblk_row() { awk -v k="$1" '$1 == k' <<<"$lsblk_out"; }

tb_check "partition names follow the disk names" \
  test "$sdx1 $sdx2 $nvp1" = "sdx1 sdx2 nvme9n1p1"
tb_check "lsblk lists exactly the fake devices" \
  test "$(cut -d' ' -f1 <<<"$lsblk_out" | sort | tr '\n' ' ')" = "nvme9n1 nvme9n1p1 sdx sdx1 sdx2 sdy "
while read -r kname type size logsec; do
  row=$(lsblk_row "$kname")
  tb_check "lsblk: $kname is a $type of $size bytes, $logsec-byte sectors" \
    test "$(awk '{print $2, $(NF-1), $NF}' <<<"$row")" = "$type $size $logsec"
done <<EOF
sdx disk $((64 * MiB)) 512
sdx1 part $((24 * MiB)) 512
sdx2 part $((16 * MiB)) 512
sdy disk $((16 * MiB)) 512
nvme9n1 disk $((40 * MiB)) 4096
nvme9n1p1 part $((38 * MiB)) 4096
EOF
tb_check "lsblk: sdx1 is an ext4 mounted at $mnt" \
  test "$(lsblk_row sdx1 | cut -d' ' -f3,4)" = "$mnt ext4"
tb_check "lsblk: sdx2 is not mounted" test "$(lsblk_row sdx2 | cut -d' ' -f3)" = ""
tb_check "/proc/mounts: /dev/sdx1 mounted read-write" \
  grep -q "^/dev/sdx1 $mnt ext4 rw," /proc/mounts

fd_sdx=$(fdisk --bytes -l /dev/sdx)
fd_nv=$(fdisk --bytes -l /dev/nvme9n1)
echo "$fd_sdx"; echo "$fd_nv"
tb_check "fdisk: /dev/sdx1 bootable, sectors 2048-51199" \
  grep -Eq '^/dev/sdx1 +\* +2048 +51199 ' <<<"$fd_sdx"
tb_check "fdisk: /dev/sdx2 from sector 51200" grep -Eq '^/dev/sdx2 +51200 ' <<<"$fd_sdx"
tb_check "fdisk: nvme9n1 has 4096-byte sectors" \
  grep -q 'Sector size (logical/physical): 4096 bytes' <<<"$fd_nv"
tb_check "fdisk: /dev/nvme9n1p1 starts at sector 256 (1 MiB)" \
  grep -Eq '^/dev/nvme9n1p1 +256 ' <<<"$fd_nv"
tb_check "fdisk: no loop names leak" bash -c '! grep -q loop <<<"$1"' _ "$fd_sdx$fd_nv$lsblk_out"

# --- what the kernel gives for the nodes --------------------------------------
tb_check "blockdev: /dev/sdx is 64 MiB" test "$(blockdev --getsize64 /dev/sdx)" = $((64 * MiB))
tb_check "blockdev: /dev/nvme9n1 has 4096-byte logical sectors" \
  test "$(blockdev --getss /dev/nvme9n1)" = 4096
tb_check "/dev/sdy reads as its image" cmp -s /dev/sdy "$(tb_disk_image sdy)"
tb_check "/dev/sdx2 is the image at 25 MiB" \
  cmp -s -n $((16 * MiB)) /dev/sdx2 <(tail -c +$((25 * MiB + 1)) "$(tb_disk_image sdx)")
tb_check "content is deterministic from the seed" bash -c '
  source "$TB_LIB"; f=$TB_WORK/fill.a; g=$TB_WORK/fill.b
  truncate -s 8M "$f" "$g"; tb_fill_mixed "$f" 5 && tb_fill_mixed "$g" 5 && cmp -s "$f" "$g" &&
  tb_fill_mixed "$g" 6 && ! cmp -s "$f" "$g"'
tb_check "content mixes zero, text and random MiB" perl -e '
  open(my $f, "<", $ARGV[0]) or die; binmode $f; my %n;
  while (read($f, my $c, 1048576)) {
    $n{$c =~ /^\0+$/ ? "zero" : $c =~ /^\d{8} seed \d+: / ? "text" : "random"}++ }
  exit !($n{zero} && $n{text} && $n{random})' "$(tb_disk_image sdy)"

# --- snapshot module doubles ------------------------------------------------
agent_dir=$TB_WORK/agent
tb_install_kmod "$agent_dir" || exit 1
kmod=$agent_dir/kmod
tb_check "make builds dattobd.ko" bash -c 'cd "$1" && make -s && test -f dattobd.ko' _ "$kmod"
tb_check "make clean removes it" bash -c 'cd "$1" && make -s clean && test ! -e dattobd.ko' _ "$kmod"
tb_check "modules: not loaded by default" bash -c '! grep -q dattobd /proc/modules'
tb_check "insmod double refuses a missing file" bash -c '! insmod "$1/dattobd.ko" 2>/dev/null' _ "$kmod"
tb_check "insmod double loads the built module" \
  bash -c 'cd "$1" && make -s && insmod dattobd.ko && grep -q "^dattobd " /proc/modules' _ "$kmod"
tb_fake_modules loaded_late
tb_check "modules: loaded_late lists dattobd past 8 KiB only" \
  bash -c 'head -c 8192 /proc/modules | grep -q dattobd && exit 1; grep -q "^dattobd " /proc/modules'

dbdctl=$kmod/tools/dbdctl
cow=$mnt/snapqcow2file
tb_fake_modules not_loaded
tb_check "dbdctl: set-up fails while the module is not loaded" \
  bash -c '! "$1" setup-snapshot -f 40000 /dev/sdx1 "$2" 1 2>/dev/null && test ! -e /dev/datto1' _ "$dbdctl" "$cow"
tb_fake_modules loaded
sync -f "$mnt"
tb_check "dbdctl: setup-snapshot makes /dev/datto1" \
  "$dbdctl" setup-snapshot -f 40000 /dev/sdx1 "$cow" 1
tb_check "dbdctl: /dev/datto1 is a read-only block device" \
  bash -c 'test -b /dev/datto1 && test "$(blockdev --getro /dev/datto1)" = 1'
echo "changed after the snapshot" >"$mnt/etc/after-snapshot.txt"
sync -f "$mnt"
fsfreeze -f "$mnt"
tb_check "dbdctl: the snapshot does not follow later writes" bash -c '! cmp -s /dev/datto1 /dev/sdx1'
fsfreeze -u "$mnt"
tb_check "dbdctl: the snapshot holds the volume as of set-up" bash -c '
  d=$TB_WORK/mnt/snap && mkdir -p "$d" && mount -o ro,noload /dev/datto1 "$d" &&
  cmp -s "$d/etc/file1.txt" "$2/etc/file1.txt" && test ! -e "$d/etc/after-snapshot.txt"
  rc=$?; umount "$d"; rmdir "$d"; exit $rc' _ /dev/datto1 "$mnt"
tb_check "dbdctl: datto1 is listed in /sys/block as the real module does" test -e /sys/block/datto1/dev
tb_check "dbdctl: a used minor is refused" \
  bash -c '! "$1" setup-snapshot -f 40000 /dev/sdx1 "$2" 1 2>/dev/null' _ "$dbdctl" "$cow"
tb_check "dbdctl: destroy removes /dev/datto1" \
  bash -c '"$1" destroy 1 && test ! -e /dev/datto1 && test ! -e /sys/block/datto1' _ "$dbdctl"
tb_check "dbdctl: destroy of a missing minor fails" bash -c '! "$1" destroy 1 2>/dev/null' _ "$dbdctl"
tb_check "dbdctl: DBDCTL_FAIL_SETUP=1 fails without a device" \
  bash -c '! DBDCTL_FAIL_SETUP=1 "$1" setup-snapshot -f 40000 /dev/sdx1 "$2" 2 2>/dev/null &&
           test ! -e /dev/datto2' _ "$dbdctl" "$cow"
tb_check "dbdctl: DBDCTL_SETUP_DELAY makes the device appear later" bash -c '
  DBDCTL_SETUP_DELAY=0.3 "$1" setup-snapshot -f 40000 /dev/sdx1 "$2" 3 && test ! -e /dev/datto3 || exit 1
  for i in $(seq 100); do test -b /dev/datto3 && break; sleep 0.05; done
  test -b /dev/datto3 && "$1" destroy 3' _ "$dbdctl" "$cow"
tb_check "dbdctl: every call is recorded" \
  grep -qx "setup-snapshot -f 40000 /dev/sdx1 $cow 1" "$TB_WORK/dbdctl.calls"
tb_check "dbdctl: refuses to run outside a testbed" \
  bash -c '! env -u BF_TESTBED "$1" destroy 1 2>/dev/null' _ "$dbdctl"
tb_check "no snapshot copy is left attached (only the kept last-datto* contents)" \
  test "$(ls "$TB_WORK/snap" | grep -cv '^last-datto')" = 0

# --- network and helpers --------------------------------------------------------
tb_check "loopback is up and port 3389 is free" \
  bash -c '! (exec 3<>/dev/tcp/127.0.0.1/3389) 2>/dev/null && ip -o addr show lo | grep -q "127.0.0.1"'
tb_check "faketime: a 20 s sleep ends within 5 s of real time" bash -c '
  source "$TB_LIB"; a=$SECONDS; tb_faketime sleep 20 && ((SECONDS - a < 5))'
tb_check "tb_compare_image tells equal from different" bash -c '
  source "$TB_LIB"; img=$(tb_disk_image sdy)
  tb_compare_image /dev/sdy "$img" >/dev/null && ! tb_compare_image /dev/sdx "$img" >/dev/null 2>&1'
tb_check "tb_sql reads a database" \
  test "$(sqlite3 "$TB_WORK/t.db" "CREATE TABLE t(a); INSERT INTO t VALUES(7);" && tb_sql "$TB_WORK/t.db" "SELECT a FROM t")" = 7

if [[ -x ${BF_SERVER_EXE:-} ]]; then
  tb_check "server answers on 127.0.0.1:3389" tb_start_server "$TB_WORK/server"
  tb_stop_server
else
  echo "note: no BF_SERVER_EXE; server helper not exercised"
fi

# --- the agent's view -----------------------------------------------------------
if [[ -x ${BF_AGENT_EXE:-} ]]; then
  tb_install_agent "$agent_dir" || exit 1
  tb_run_agent "$agent_dir" query_disk_size
  out=$(cat "$agent_dir/agent.out" "$agent_dir/agent.err")
  echo "agent query_disk_size (status $TB_AGENT_STATUS):"; echo "$out"
  # Three fake disks, each under 1 GiB, and nothing of the host's.
  tb_check "agent: query_disk_size exits 0" test "$TB_AGENT_STATUS" = 0
  tb_check "agent: one size per fake disk" \
    test "$(tr '\n' ' ' <"$agent_dir/agent.out")" = "0 0 0 "
else
  echo "note: no BF_AGENT_EXE; agent inventory not exercised"
fi

tb_done
