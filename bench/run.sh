#!/usr/bin/env bash
# Benchmark of a real-time transfer (no faketime) inside the testbed, printed
# as one table. Every figure comes from this run, on the same disk image, with
# the page cache dropped before each measured pass and a pause between passes:
#   - full run of a 2 GiB disk of mixed content (40% zeros, 30% text, 30%
#     random, the same bytes for the same SEED) against the plain pipeline
#     dd | zstd -1 -T2 | socat to a loopback receiver doing zstd -d > image;
#   - rerun with nothing changed against xxh64sum of the same device;
#   - peak resident memory of the agent and of the server during the full run;
#   - time of full runs of 0.5, 1 and 2 GiB disks of the same content.
# Agent rates cover the first block read to the last acknowledgement (to the
# last block read for the unchanged rerun): the agent's 10 s start delay and
# its closing tick are left out. They are timed by polling the agent's read
# counter (/proc/PID/io) and its ledger every 20 ms. MB = 10^6 bytes.
#
# Usage (root): bench/run.sh
#   BF_AGENT_EXE / BF_SERVER_EXE  executables (default: build/release, as built
#                                 by scripts/build.sh)
#   SIZES_MIB="512 1024 2048"     disk sizes; the last one is the main disk
#   SEED=7  PAUSE_S=10
#   AGENT_ENV="NAME=VALUE ..."    extra environment for the agent only, e.g.
#                                 GLIBC_TUNABLES=glibc.malloc.mmap_threshold=...
set -u
BENCH_ROOT=$(cd "$(dirname "$0")/.." && pwd)
: "${BF_AGENT_EXE:=$BENCH_ROOT/build/release/src/agent/blockferry}"
: "${BF_SERVER_EXE:=$BENCH_ROOT/build/release/src/server/blockferry-server}"
export BF_AGENT_EXE BF_SERVER_EXE
for exe in "$BF_AGENT_EXE" "$BF_SERVER_EXE"; do
  [[ -x $exe ]] || { echo "bench: $exe is missing; run scripts/build.sh first" >&2; exit 1; }
done

source "$BENCH_ROOT/tests/e2e/testbed.sh"
tb_init "$@"

read -r -a sizes <<<"${SIZES_MIB:-512 1024 2048}"
seed=${SEED:-7}
pause_s=${PAUSE_S:-10}
main_mib=${sizes[-1]}
MiB=1048576
srv=$TB_WORK/srv
disk_names=(sda sdb sdc sdd sde sdf)
declare -A disk_of # size in MiB -> disk name
table=()           # rows of the result table

say() { echo "bench: $*" >&2; }
die() { say "$*"; exit 1; }
now() { echo "${EPOCHREALTIME}"; }
elapsed() { echo "scale=3; ($2 - $1) / 1" | bc; }
mbps() { echo "scale=1; $1 / $2 / 1000000" | bc; }
row() { table+=("$(printf '%-46s %s' "$1" "$2")"); }

# ---------------------------------------------------------------------------
# Content: 1 MiB chunks, 40% zeros, 30% log-like text, 30% random, each chunk
# chosen and generated from (SEED, index) alone, so disks of any size made
# from the same seed share their first bytes.

# fill_disk DEV MIB
fill_disk() {
  local dev=$1 mib=$2 key
  printf -v key '%016x%016x' "$seed" 0
  head -c $((mib * MiB)) /dev/zero |
    openssl enc -aes-128-ctr -K "$key" -iv 00000000000000000000000000000000 |
    perl -e '
      my ($seed, $len) = @ARGV;
      binmode STDIN; binmode STDOUT;
      my $mib = 1048576;
      # A text pool of log and configuration lines; text chunks are 1 MiB
      # slices of it at chunk-dependent offsets.
      my @w = qw(error warning info debug request response user session cache
        disk block volume server client timeout retry connect closed opened
        read write sync flush commit rollback transaction index table query
        update insert delete select from where value config option enabled
        disabled path file directory mount device network address port the of
        and to in is for on with as by at this that be not are);
      my $x = $seed * 7919 + 17;
      my $rnd = sub { $x = ($x * 1103515245 + 12345) % 2147483648; $x >> 8 };
      my $pool = "";
      while (length($pool) < 4 * $mib) {
        my $line = sprintf("2024-%02d-%02d %02d:%02d:%02d host%d svc[%d]:",
          1 + $rnd->() % 12, 1 + $rnd->() % 28, $rnd->() % 24, $rnd->() % 60,
          $rnd->() % 60, $rnd->() % 16, $rnd->() % 65536);
        $line .= " " . $w[$rnd->() % @w] for 1 .. 4 + $rnd->() % 10;
        $line .= sprintf(" id=%d size=%d\n", $rnd->(), $rnd->() % 100000);
        $pool .= $line;
      }
      my @n = (0, 0, 0);
      for my $i (0 .. $len - 1) {
        read(STDIN, my $rand, $mib) == $mib or die "short keystream\n";
        my $h = (($seed * 40503 + $i * 2654435761 + 12345) % 1000003);
        my $kind = $h % 10;
        if ($kind < 4) { print "\0" x $mib; $n[0]++; next }
        if ($kind < 7) { print substr($pool, ($h * 4099) % (3 * $mib), $mib); $n[1]++; next }
        print $rand; $n[2]++;
      }
      printf STDERR "%d MiB: %d zero, %d text, %d random\n", $len, @n;' "$seed" "$mib" |
    dd of="$dev" bs=1M iflag=fullblock oflag=direct conv=notrunc status=none
}

# Only disk NAME stays in /sys/block, where the agent finds disks: the others
# wait in $TB_WORK/hidden. lsblk and the agent see a machine with one disk.
show_only() {
  local want=$1 d
  mkdir -p "$TB_WORK/hidden"
  for d in "${disk_of[@]}"; do
    if [[ $d == "$want" ]]; then
      [[ -d $TB_WORK/hidden/$d ]] && mv "$TB_WORK/hidden/$d" "/sys/block/$d"
    else
      [[ -d /sys/block/$d ]] && mv "/sys/block/$d" "$TB_WORK/hidden/$d"
    fi
  done
  [[ -d /sys/block/$want ]]
}

drop_caches() { sync; echo 3 >/proc/sys/vm/drop_caches; }
pause() { sleep "$pause_s"; }

# ---------------------------------------------------------------------------
# Baselines

# The plain pipeline: seconds to read, compress, send and decompress DEV.
pipeline_secs() {
  local dev=$1 port=4000 t0 t1 rpid
  rm -f "$TB_WORK/pipe.img"
  socat -u TCP-LISTEN:$port,bind=127.0.0.1,reuseaddr - | zstd -d -q >"$TB_WORK/pipe.img" &
  rpid=$!
  until ss -ltn "sport = :$port" | grep -q LISTEN; do sleep 0.01; done
  t0=$(now)
  dd if="$dev" bs=8M status=none | zstd -1 -T2 -q | socat -u - TCP:127.0.0.1:$port
  wait "$rpid"
  t1=$(now)
  cmp -s "$dev" "$TB_WORK/pipe.img" || die "pipeline copy differs from $dev"
  rm -f "$TB_WORK/pipe.img"
  elapsed "$t0" "$t1"
}

xxh_secs() {
  local t0 t1
  t0=$(now)
  xxh64sum "$1" >/dev/null 2>&1 || die "xxh64sum $1 failed"
  t1=$(now)
  elapsed "$t0" "$t1"
}

# ---------------------------------------------------------------------------
# Agent runs

# agent_run DIR BYTES MODE: runs the agent in real time until it exits and
# sets RUN_SECS (first block read to last acknowledgement, or to the last
# block read when MODE is read), RUN_WALL, RUN_HWM_KB, SRV_HWM_KB and
# RUN_STATUS. "First block read" is the first rise of the agent's read counter
# after start-up; the poll before it bounds the start.
agent_run() {
  local dir=$1 bytes=$2 mode=$3 pid io rchar base="" t_before="" t_first="" t_read="" t_ack=""
  local t0 st hwm srv_hwm n_blocks=$(((bytes + 8 * MiB - 1) / (8 * MiB))) q
  local rp=$TB_WORK/rproc a
  for a in ${AGENT_ENV:-}; do local -x "$a"; done
  t0=$(now)
  tb_start_agent "$dir" 127.0.0.1
  pid=$TB_AGENT_PID
  RUN_HWM_KB=0 SRV_HWM_KB=0
  sleep 3 # start-up done; the planner waits 10 s before reading
  while _tb_running "$pid"; do
    { io=$(<"$rp/$pid/io"); st=$(<"$rp/$pid/status"); } 2>/dev/null || break
    rchar=${io#*rchar: }; rchar=${rchar%%$'\n'*}
    hwm=${st#*VmHWM:}; hwm=${hwm%%kB*}; hwm=${hwm//[[:space:]]/}
    [[ $hwm =~ ^[0-9]+$ ]] && ((hwm > RUN_HWM_KB)) && RUN_HWM_KB=$hwm
    [[ $rchar =~ ^[0-9]+$ ]] || break # the process is gone
    if [[ -z $base ]]; then
      base=$rchar t_before=$(now)
    elif [[ -z $t_first ]]; then
      if ((rchar > base)); then t_first=$t_before; else t_before=$(now); fi
    elif [[ -z $t_read ]]; then
      ((rchar - base >= bytes)) && t_read=$(now)
    elif [[ $mode == ack && -z $t_ack ]]; then
      q=$(tb_sql "$dir/data.db" "SELECT count(*) = $n_blocks AND sum(ACK) = $n_blocks FROM T_BLOCK" 2>/dev/null)
      [[ $q == 1 ]] && t_ack=$(now)
    fi
    sleep 0.02
  done
  srv_hwm=$(grep VmHWM "$rp/$TB_SERVER_PID/status" 2>/dev/null | tr -dc 0-9)
  SRV_HWM_KB=${srv_hwm:-0}
  tb_wait_agent 30
  RUN_STATUS=$TB_AGENT_STATUS
  RUN_WALL=$(elapsed "$t0" "$(now)")
  if [[ $mode == ack && -z $t_ack && -n $t_read && $RUN_STATUS == 0 ]]; then
    t_ack=$t_read # acknowledged between two polls of the read counter
  fi
  local t_end=$t_read
  [[ $mode == ack ]] && t_end=$t_ack
  if [[ -z $t_first || -z $t_end ]]; then RUN_SECS=""; return; fi
  RUN_SECS=$(elapsed "$t_first" "$t_end")
}

# fresh_run NAME MIB: a first run of a fresh agent on disk NAME against a
# fresh server directory; the image is checked afterwards.
fresh_run() {
  local name=$1 mib=$2 dir=$TB_WORK/agent-$1
  tb_stop_server
  rm -rf "$srv"
  tb_start_server "$srv" || die "server did not start"
  tb_install_agent "$dir" || die "agent install failed"
  show_only "$name" || die "cannot show $name"
  drop_caches
  agent_run "$dir" $((mib * MiB)) ack
  [[ $RUN_STATUS == 0 ]] || die "agent run on $name ended with status $RUN_STATUS (log: $dir)"
  cmp -s "/dev/$name" "$srv/127.0.0.1/disk0.img" || die "replica of $name differs from the disk"
}

# ---------------------------------------------------------------------------

tb_fake_modules loaded || exit 1
i=0
for mib in "${sizes[@]}"; do
  name=${disk_names[i++]}
  tb_make_disk "$name" "$mib" none || die "cannot make disk $name"
  say "filling /dev/$name ($mib MiB, seed $seed)"
  fill_disk "/dev/$name" "$mib" || die "cannot fill $name"
  disk_of[$mib]=$name
done
main=${disk_of[$main_mib]}
main_bytes=$((main_mib * MiB))
tb_start_server "$srv" || die "server did not start"

say "pass 1: pipeline dd | zstd -1 -T2 | socat -> zstd -d"
drop_caches
pipe_s=$(pipeline_secs "/dev/$main")
pipe_rate=$(mbps "$main_bytes" "$pipe_s")
pause

say "pass 2: agent, full run of $main ($main_mib MiB)"
fresh_run "$main" "$main_mib"
full_s=$RUN_SECS full_wall=$RUN_WALL agent_hwm=$RUN_HWM_KB srv_hwm=$SRV_HWM_KB
full_rate=$(mbps "$main_bytes" "$full_s")
declare -A scale_s=([$main_mib]=$full_s)
pause

say "pass 3: xxh64sum /dev/$main"
drop_caches
xxh_s=$(xxh_secs "/dev/$main")
xxh_rate=$(mbps "$main_bytes" "$xxh_s")
pause

say "pass 4: dd bs=8M of /dev/$main to /dev/null"
drop_caches
t0=$(now)
dd if="/dev/$main" of=/dev/null bs=8M status=none || die "dd of /dev/$main failed"
dd_s=$(elapsed "$t0" "$(now)")
dd_rate=$(mbps "$main_bytes" "$dd_s")
pause

say "pass 5: agent, rerun with nothing changed"
drop_caches
agent_run "$TB_WORK/agent-$main" "$main_bytes" read
[[ $RUN_STATUS == 0 ]] || die "unchanged rerun ended with status $RUN_STATUS"
rerun_s=$RUN_SECS rerun_wall=$RUN_WALL
rerun_rate=$(mbps "$main_bytes" "$rerun_s")
sent=$(grep -o 'send [0-9]*, same: [0-9]*, diff: [0-9]*' "$TB_WORK/agent-$main"/*.log | tail -1)

for mib in "${sizes[@]}"; do
  [[ $mib == "$main_mib" ]] && continue
  pause
  say "pass: agent, full run of ${disk_of[$mib]} ($mib MiB)"
  fresh_run "${disk_of[$mib]}" "$mib"
  scale_s[$mib]=$RUN_SECS
done
tb_stop_server

ratio() { echo "scale=2; $1 / $2" | bc; }
verdict() { if (($(echo "$1 >= $2" | bc))); then echo "goal >= $2 met"; else echo "goal >= $2 MISSED"; fi; }
hwm_mib=$((agent_hwm / 1024)) srv_mib=$((srv_hwm / 1024))

row "disk" "/dev/$main, $main_mib MiB, seed $seed (40% zeros, 30% text, 30% random)"
row "pipeline dd|zstd -1 -T2|socat|zstd -d" "$pipe_s s  $pipe_rate MB/s"
row "agent full run (first read .. last ack)" "$full_s s  $full_rate MB/s  (whole run $full_wall s)"
row "  ratio agent / pipeline" "$(ratio "$full_rate" "$pipe_rate")  ($(verdict "$(ratio "$full_rate" "$pipe_rate")" 1.0))"
row "xxh64sum of the device" "$xxh_s s  $xxh_rate MB/s"
row "plain read, dd bs=8M (for reference)" "$dd_s s  $dd_rate MB/s"
row "agent unchanged rerun (first .. last read)" "$rerun_s s  $rerun_rate MB/s  (whole run $rerun_wall s; $sent)"
row "  ratio agent / xxh64sum" "$(ratio "$rerun_rate" "$xxh_rate")  ($(verdict "$(ratio "$rerun_rate" "$xxh_rate")" 0.9))"
row "agent peak resident memory (VmHWM)" "$hwm_mib MiB  ($( ((hwm_mib <= 300)) && echo "goal <= 300 MiB met" || echo "goal <= 300 MiB MISSED"))"
row "server peak resident memory (VmHWM)" "$srv_mib MiB"
for mib in "${sizes[@]}"; do
  s=${scale_s[$mib]}
  row "full run, $mib MiB disk" "$s s  $(mbps $((mib * MiB)) "$s") MB/s  ($(echo "scale=2; $s * 1024 / $mib" | bc) s per GiB)"
done

echo
echo "blockferry benchmark ($(date -u +%Y-%m-%dT%H:%MZ), $(nproc) cores, page cache dropped before each pass, ${pause_s} s pauses)"
printf '%s\n' "------------------------------------------------------------------------------------------"
printf '%s\n' "${table[@]}"
printf '%s\n' "------------------------------------------------------------------------------------------"
exit 0
