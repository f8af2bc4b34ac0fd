#!/usr/bin/env bash
# Checks shared by the test_suite_*.sh scenarios, on top of testbed.sh (source
# this after tb_init): keeping a copy of every snapshot the agent reads, the
# replica-equals-source comparison of every disk, and counters from the log.
# Used inside the testbed only.

SL_MiB=1048576

# sl_keep_snapshots AGENT_DIR: wraps the snapshot tool double so that every
# snapshot is also copied to $TB_WORK/kept/<volume>.img while it exists. A
# mounted file system writes its superblock again after the snapshot (freeze
# and thaw), so its replica must equal the snapshot, not the live volume.
sl_keep_snapshots() {
  local tools=$1/kmod/tools
  mkdir -p "$TB_WORK/kept"
  mv "$tools/dbdctl" "$tools/dbdctl.testbed" || return 1
  cat >"$tools/dbdctl" <<EOF
#!/usr/bin/env bash
"\$(dirname "\$0")/dbdctl.testbed" "\$@" || exit
if [[ \$1 == setup-snapshot && -e /dev/datto\${@: -1} ]]; then
  vol=\${@: -3:1}
  dd if=/dev/datto\${@: -1} of="$TB_WORK/kept/\${vol##*/}.img" bs=1M status=none
fi
EOF
  chmod +x "$tools/dbdctl"
}

# The disks the agent sees, in its order (device numbers 0, 1, ...).
sl_disks() {
  ls /sys/block | grep -v -e loop -e datto | LC_ALL=C sort
}

# sl_expected_image DISK OUT: the disk's image with each volume whose snapshot
# was kept replaced by that snapshot; prints what was replaced.
sl_expected_image() {
  local disk=$1 out=$2 pdir part start
  cp "$(tb_disk_image "$disk")" "$out" || return 1
  for pdir in /sys/block/"$disk"/"$disk"*; do
    part=${pdir##*/}
    [[ -f $TB_WORK/kept/$part.img ]] || continue
    start=$(($(<"$pdir/start") * 512)) # sysfs counts 512-byte units on any disk
    dd if="$TB_WORK/kept/$part.img" of="$out" bs=4096 seek=$((start / 4096)) conv=notrunc status=none ||
      return 1
    echo "  $disk: $part (from byte $start) compared with its snapshot"
  done
}

# sl_check_replicas SERVER_DIR [AGENT_ADDRESS]: one check per disk: the
# server's image equals the source byte for byte.
sl_check_replicas() {
  local srv=$1 addr=${2:-127.0.0.1} i=0 d
  for d in $(sl_disks); do
    sl_expected_image "$d" "$TB_WORK/expected.img" || { tb_check "expected image of $d" false; continue; }
    tb_check "replica disk$i.img equals /dev/$d" tb_compare_image "$TB_WORK/expected.img" "$srv/$addr/disk$i.img"
    i=$((i + 1))
  done
  rm -f "$TB_WORK/expected.img"
}

# The agent's log file and its length in lines (a mark for sl_log_since).
sl_log() { ls "$1"/*.log 2>/dev/null | head -1; }
sl_log_mark() { local f; f=$(sl_log "$1"); if [[ -n $f ]]; then wc -l <"$f"; else echo 0; fi; }
sl_log_since() { tail -n +"$(($2 + 1))" "$(sl_log "$1")"; }

# sl_range_totals AGENT_DIR MARK: "send S same M diff D" summed over the ranges
# read since line MARK (each range's last counter line).
sl_range_totals() {
  sl_log_since "$1" "$2" | awk '
    match($0, /send [0-9]+, same: [0-9]+, diff: [0-9]+/) {
      split(substr($0, RSTART, RLENGTH), f, /[^0-9]+/); s = f[2]; m = f[3]; d = f[4] }
    /sync_end end/ { S += s; M += m; D += d; s = m = d = 0 }
    END { printf "send %d same %d diff %d\n", S, M, D }'
}

# sl_unacked DB: ledger rows not acknowledged.
sl_unacked() { tb_sql "$1" 'SELECT count(*) FROM T_BLOCK WHERE ACK=0'; }

# sl_wait_acked DB N [TIMEOUT_S]: waits until at least N rows are acknowledged.
sl_wait_acked() {
  local db=$1 n=$2 deadline=$(($(date +%s) + ${3:-60})) got
  while :; do
    got=$(tb_sql "$db" 'SELECT count(*) FROM T_BLOCK WHERE ACK=1' 2>/dev/null)
    ((${got:-0} >= n)) && return 0
    (($(date +%s) > deadline)) && return 1
    sleep 0.02
  done
}
