#!/usr/bin/env bash
# Shows blockferry doing its job on a fresh machine, in real time (about two
# minutes after the build): installs what is missing, builds build/release,
# then inside the end-to-end testbed (private namespaces; nothing is left
# behind on the host) makes two disks of realistic content, replicates them to
# blockferry-server over loopback, proves every replica equal to its source
# (sha256 of both), changes some files and replicates again to show that only
# the changed blocks travel. Ends with a summary; exit status 0 only when every
# check passed.
#
# Usage (root): scripts/demo.sh
ROOT=$(cd "$(dirname "$0")/.." && pwd)

if [[ -z ${BF_TESTBED:-} ]]; then
  if [[ $(id -u) -ne 0 ]]; then
    echo "demo: run as root: the demo attaches loop devices and mounts file systems" >&2
    exit 1
  fi
  echo "== installing missing packages (scripts/setup.sh)"
  "$ROOT/scripts/setup.sh" || { echo "demo: set-up failed" >&2; exit 1; }
  echo "== building build/release"
  mkdir -p "$ROOT/build"
  blog=$ROOT/build/demo-build.log
  if ! { cmake -S "$ROOT" -B "$ROOT/build/release" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
         cmake --build "$ROOT/build/release" -j"$(nproc)" --target blockferry blockferry-server; } >"$blog" 2>&1; then
    tail -30 "$blog" >&2
    echo "demo: build failed (full output in $blog)" >&2
    exit 1
  fi
  export BF_AGENT_EXE=$ROOT/build/release/src/agent/blockferry
  export BF_SERVER_EXE=$ROOT/build/release/src/server/blockferry-server
  echo "== entering the testbed (private mount, network and PID namespaces)"
fi

source "$ROOT/tests/e2e/testbed.sh"
tb_init "$@" # from here on: inside the namespaces, a fresh work directory

MiB=1048576
agent=$TB_WORK/agent
srv=$TB_WORK/srv
snaps=$TB_WORK/demo-snaps
mnt=$TB_WORK/mnt/root
summary=()

die() { echo "demo: $*" >&2; exit 1; }
step() { echo; echo "== $*"; }

# ---------------------------------------------------------------------------
# Disks

step "making the disks"
# sda: DOS label, 192 MiB: a mounted ext4 root full of files, an unmounted data
# partition and unpartitioned space, all of it holding data.
tb_make_disk sda 192 dos 512 11 || die "cannot make sda"
root_part=$(tb_add_partition sda 96 L boot) || die "cannot partition sda"
data_part=$(tb_add_partition sda 48) || die "cannot partition sda"
tb_fill_mixed "/dev/$data_part" 12 || die "cannot fill $data_part"
tb_mount_volume "$root_part" "$mnt" 13 || die "cannot make the file system on $root_part"
mkdir -p "$mnt/usr/include" "$mnt/usr/share" "$mnt/srv/photos" "$mnt/var/lib/app"
cp -a /usr/include/linux /usr/include/c++ "$mnt/usr/include/" 2>/dev/null
cp -a /usr/share/perl5 "$mnt/usr/share/" 2>/dev/null
for i in 1 2 3; do
  head -c $((3 * MiB)) /dev/zero | openssl enc -aes-128-ctr -K "0000000000000000000000000000000$i" \
    -iv 00000000000000000000000000000000 >"$mnt/srv/photos/img_000$i.jpg" 2>/dev/null
done
awk 'BEGIN { for (i = 1; i <= 60000; i++) printf "row %d,customer %d,balance %d.%02d\n", i, i * 7 % 1000, i * 13 % 5000, i % 100 }' \
  >"$mnt/var/lib/app/accounts.csv"
sync -f "$mnt"

# nvme9n1: GPT label, 96 MiB: an unmounted ext4 and a data partition.
tb_make_disk nvme9n1 96 gpt 512 21 || die "cannot make nvme9n1"
p=$(tb_add_partition nvme9n1 40) || die "cannot partition nvme9n1"
q=$(tb_add_partition nvme9n1 rest) || die "cannot partition nvme9n1"
tb_mount_volume "$p" "$TB_WORK/mnt/home" 22 || die "cannot make the file system on $p"
cp -a /usr/include/x86_64-linux-gnu "$TB_WORK/mnt/home/" 2>/dev/null
tb_umount "$TB_WORK/mnt/home" || die "cannot unmount $p"
tb_fill_mixed "/dev/$q" 23 || die "cannot fill $q"
sync

lsblk -o NAME,SIZE,TYPE,FSTYPE,MOUNTPOINT /dev/sda /dev/nvme9n1
echo "files on the mounted root: $(find "$mnt" -type f | wc -l), $(du -sm "$mnt" | cut -f1) MiB used"

# The server numbers disks in the agent's order: sorted by name.
mapfile -t disks < <(printf '%s\n' nvme9n1 sda | LC_ALL=C sort)

# ---------------------------------------------------------------------------
# Agent and server

tb_install_agent "$agent" || die "cannot install the agent"
tb_fake_modules loaded || die "cannot fake the snapshot module"
# Keep a copy of each snapshot the agent reads: the replica of a mounted volume
# must equal the volume as frozen at that moment (the live file system writes
# its superblock again when it is thawed).
mkdir -p "$snaps"
mv "$agent/kmod/tools/dbdctl" "$agent/kmod/tools/dbdctl.testbed"
cat >"$agent/kmod/tools/dbdctl" <<EOF
#!/usr/bin/env bash
"\$(dirname "\$0")/dbdctl.testbed" "\$@" || exit
if [[ \$1 == setup-snapshot ]]; then
  vol=\${@: -3:1} minor=\${@: -1}
  dd if=/dev/datto\$minor of="$snaps/\${vol##*/}.img" bs=1M status=none
fi
EOF
chmod +x "$agent/kmod/tools/dbdctl"
tb_start_server "$srv" --log-file "$TB_WORK/server.log" || die "the server did not start"

lo_tx() { awk '$1 == "lo:" { print $10 }' /proc/net/dev; }
ledger_max_id() { tb_sql "$agent/data.db" 'SELECT ifnull(max(ID), 0) FROM T_BLOCK' 2>/dev/null || echo 0; }
disk_bytes() { local d n=0; for d in "${disks[@]}"; do n=$((n + $(blockdev --getsize64 "/dev/$d"))); done; echo "$n"; }

# run_agent LABEL: one real-time run to its end; fills the RUN_* figures.
run_agent() {
  local label=$1 log mark id0 tx0 t0 t1 rchar base="" t_first="" t_last="" io total
  total=$(disk_bytes)
  log=$(ls "$agent"/*.log 2>/dev/null | head -1)
  mark=$([[ -n $log ]] && wc -l <"$log" || echo 0)
  id0=$(ledger_max_id) tx0=$(lo_tx) t0=$EPOCHREALTIME
  echo "blockferry 127.0.0.1   (the agent waits 10 s before reading, and ends at its next 18 s tick)"
  tb_start_agent "$agent" 127.0.0.1
  # The agent's read counter tells when reading starts and ends; its start-up
  # reads are over long before the planner's 10 s delay is.
  sleep 5
  while _tb_running "$TB_AGENT_PID"; do
    { io=$(<"$TB_WORK/rproc/$TB_AGENT_PID/io"); } 2>/dev/null || break
    rchar=${io#*rchar: } rchar=${rchar%%$'\n'*}
    [[ $rchar =~ ^[0-9]+$ ]] || break
    if [[ -z $base ]]; then base=$rchar
    elif [[ -z $t_first ]] && ((rchar > base + MiB)); then t_first=$EPOCHREALTIME
    elif [[ -n $t_first && -z $t_last ]] && ((rchar - base >= total)); then t_last=$EPOCHREALTIME
    fi
    sleep 0.05
  done
  tb_wait_agent 600
  t1=$EPOCHREALTIME
  log=$(ls "$agent"/*.log | head -1)
  RUN_STATUS=$TB_AGENT_STATUS
  RUN_SECS=$(echo "scale=1; ($t1 - $t0) / 1" | bc)
  RUN_READ=$total
  RUN_SENT=$(tb_sql "$agent/data.db" "SELECT ifnull(sum(SIZE), 0) FROM T_BLOCK WHERE ID > $id0")
  RUN_SKIPPED=$((RUN_READ - RUN_SENT))
  RUN_WIRE=$(($(lo_tx) - tx0))
  # Range totals: the last counter line before each range's end.
  RUN_BLOCKS=$(tail -n +"$((mark + 1))" "$log" | awk '
    match($0, /send [0-9]+, same: [0-9]+, diff: [0-9]+/) { split(substr($0, RSTART, RLENGTH), f, /[^0-9]+/); s = f[2]; m = f[3]; d = f[4] }
    /sync_end end/ { S += s; M += m; D += d; s = m = d = 0 }
    END { printf "%d sent new, %d changed, %d unchanged", S, D, M }')
  RUN_RATE="-"
  if [[ -n $t_first && -n $t_last ]]; then
    RUN_RATE=$(echo "scale=1; $RUN_READ / ($t_last - $t_first) / 1000000" | bc)
  fi
  echo "exit status $RUN_STATUS after $RUN_SECS s; blocks: $RUN_BLOCKS"
  echo "the agent's last progress line: $(tail -n +"$((mark + 1))" "$log" | grep -o 'progress(.*' | tail -1)"
  summary+=("$(printf '%-8s %6s %9s %9s %9s %11s %7s %8s' "$label" "$RUN_STATUS" \
    "$(mib "$RUN_READ")" "$(mib "$RUN_SKIPPED")" "$(mib "$RUN_SENT")" "$(mib "$RUN_WIRE")" \
    "$RUN_SECS" "$RUN_RATE")")
}
mib() { echo "scale=1; $1 / $MiB" | bc; }

# verify: each replica against its source, byte for byte. A disk with a
# mounted volume is compared with the volume as its snapshot showed it.
verify() {
  local i=0 d src rep n start size
  for d in "${disks[@]}"; do
    src=$(tb_disk_image "$d")
    rep=$srv/127.0.0.1/disk$i.img
    if [[ $d == sda ]]; then
      start=$(($(cat "/sys/block/sda/$root_part/start") * 512))
      size=$(($(cat "/sys/block/sda/$root_part/size") * 512))
      cp "$src" "$TB_WORK/sda.expected"
      dd if="$snaps/$root_part.img" of="$TB_WORK/sda.expected" bs=1M seek="$((start / MiB))" \
        conv=notrunc status=none
      echo "/dev/sda: the mounted /dev/$root_part (bytes $start..$((start + size))) as its snapshot froze it, the rest as on disk"
      src=$TB_WORK/sda.expected
    fi
    tb_check "replica disk$i.img equals /dev/$d" tb_compare_image "$src" "$rep"
    i=$((i + 1))
  done
}

# ---------------------------------------------------------------------------

step "run 1: first replication of $(mib "$(disk_bytes)") MiB"
run_agent "run 1"
tb_check "run 1 ends with status 0" test "$RUN_STATUS" = 0
tb_check "run 1: every block acknowledged" test "$(tb_sql "$agent/data.db" 'SELECT count(*) FROM T_BLOCK WHERE ACK=0')" = 0
verify

step "changing files: a log grows, a photo is added, a config edited, 1 MiB of the data partition rewritten"
awk 'BEGIN { for (i = 1; i <= 20000; i++) printf "2024-06-01 12:%02d:%02d login user=%d ok\n", i / 60 % 60, i % 60, i }' \
  >>"$mnt/home/user/file1.txt"
head -c $((2 * MiB)) /dev/urandom >"$mnt/srv/photos/img_0004.jpg"
sed -i 's/value/changed/' "$mnt/etc/file2.txt"
sync -f "$mnt"
head -c "$MiB" /dev/urandom | dd of="/dev/$data_part" bs=1M seek=20 conv=notrunc,fsync status=none

step "run 2: the same disks again"
run_agent "run 2"
tb_check "run 2 ends with status 0" test "$RUN_STATUS" = 0
tb_check "run 2 sent fewer than a quarter of the bytes" test "$((RUN_SENT * 4))" -lt "$RUN_READ"
verify

step "summary (MiB = 2^20 bytes, MB/s = 10^6 bytes/s over the reading phase)"
printf '%-8s %6s %9s %9s %9s %11s %7s %8s\n' run status read skipped sent "on the wire" "time s" "MB/s"
printf '%s\n' "${summary[@]}"
echo "'on the wire': loopback bytes during the run: compressed blocks, framing, replies, TCP/IP headers"
echo "'time': whole run, with the agent's 10 s start delay and the wait for its closing 18 s tick"
echo
tb_done
