#!/usr/bin/env bash
# End-to-end testbed: runs a scenario in private mount, network and PID
# namespaces where chosen loop devices look like ordinary disks (sdx, nvme9n1)
# to lsblk, fdisk and the agent, with a private /dev, a faked /sys/block and a
# faked /proc/modules. Nothing is created on the host's /dev or mount table;
# the only host-wide objects are the loop devices, which are detached on exit
# (and by `testbed.sh gc` after a run that was killed).
#
# As a library:   source testbed.sh; tb_init "$@"   (first thing in a scenario)
# As a command:   testbed.sh check | gc | shell [CMD...]
# See README.md beside this file.

# Variables such as TB_AGENT_STATUS are results for the calling scenario.
# shellcheck disable=SC2034,SC2120
TB_E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
TB_LIB="$TB_E2E_DIR/testbed.sh"
TB_FAKETIME_LIB=/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1
TB_SKIP=77

_tb_say() { echo "testbed: $*" >&2; }
_tb_now_ms() { local t=${EPOCHREALTIME/./}; echo $((t / 1000)); }

# ---------------------------------------------------------------------------
# Prerequisites and the namespace

# Prints the reason and exits 77 when the testbed cannot run here.
tb_check_prereqs() {
  local t missing=()
  if [[ $(id -u) -ne 0 ]]; then
    _tb_say "skip: needs root (loop devices, mounts, namespaces)"; exit $TB_SKIP
  fi
  for t in unshare losetup partx sfdisk fdisk lsblk mkfs.ext4 fsfreeze blockdev ip mknod \
           mount umount openssl cmp sha256sum sqlite3 make; do
    command -v "$t" >/dev/null 2>&1 || missing+=("$t")
  done
  if ((${#missing[@]})); then
    _tb_say "skip: missing tools: ${missing[*]} (run scripts/setup.sh)"; exit $TB_SKIP
  fi
  if [[ ! -e /dev/loop-control ]]; then
    _tb_say "skip: no /dev/loop-control (loop devices unavailable)"; exit $TB_SKIP
  fi
  if ! unshare --mount --net --pid --fork --kill-child --mount-proc true 2>/dev/null; then
    _tb_say "skip: unshare of mount/net/pid namespaces is not permitted here"; exit $TB_SKIP
  fi
}

# Start time of a process in clock ticks since boot: with the pid it names the
# process uniquely, so a recycled pid is not mistaken for a live testbed.
_tb_proc_start() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  set -- $stat
  echo "${20}"
}

# Loop devices (host-wide) whose backing file lies under directory $1.
_tb_loops_under() {
  local dir=$1 name back
  while read -r name back; do
    [[ -n $name ]] || continue
    [[ $back == "$dir"/* ]] && echo "$name"
  done < <(losetup -n -l -O NAME,BACK-FILE 2>/dev/null)
}

# Host side of clean-up, also used by gc: detach what is still backed by files
# in the work directory (a loop busy in a dying namespace gets autoclear and
# goes when its last user does), then remove the directory.
_tb_host_cleanup() {
  local dir=$1 dev deadline left
  [[ -d $dir && $dir == /tmp/bf-testbed.* ]] || return 0
  deadline=$(($(_tb_now_ms) + 3000))
  # Retried: a mount in a namespace that is still dying keeps a partition busy
  # for a moment, and a busy loop device is only marked for detaching.
  while left=$(_tb_loops_under "$dir") && [[ -n $left ]]; do
    for dev in $left; do
      partx -d "$dev" >/dev/null 2>&1
      losetup -d "$dev" 2>/dev/null
    done
    (($(_tb_now_ms) < deadline)) || break
    sleep 0.05
  done
  if [[ -n $left ]]; then
    _tb_say "LEAK: loop devices still attached: $left"
    return 1
  fi
  rm -rf "$dir"
}

# Re-executes the calling scenario inside fresh namespaces and exits with its
# status; inside, prepares the private views and returns. Call it first.
tb_init() {
  if [[ -n ${BF_TESTBED:-} ]]; then
    _tb_inside_init
    return
  fi
  tb_check_prereqs
  local work=/tmp/bf-testbed.$$ status
  _tb_host_cleanup "$work" || exit 1 # a dead run that had this pid
  mkdir -p "$work" || exit 1
  echo "$$ $(_tb_proc_start $$)" >"$work/owner"
  TB_NS_PID=
  trap '[[ -n $TB_NS_PID ]] && kill -KILL "$TB_NS_PID" 2>/dev/null; wait; _tb_host_cleanup "'"$work"'"; exit 130' INT TERM HUP
  BF_TESTBED=1 TB_WORK=$work TB_T0=$(_tb_now_ms) \
    unshare --mount --net --pid --fork --kill-child --mount-proc --propagation private \
    bash "$0" "$@" <&0 &
  TB_NS_PID=$!
  wait "$TB_NS_PID"
  status=$?
  trap - INT TERM HUP
  _tb_host_cleanup "$work" || { ((status == 0)) && status=1; }
  exit "$status"
}

_tb_mount() { # records the target so clean-up unmounts in reverse order
  mount "$@" || return 1
  echo "${@: -1}" >>"$TB_WORK/mounts"
}

_tb_inside_init() {
  set -o pipefail
  : "${TB_WORK:?}"
  export BF_TESTBED TB_WORK TB_LIB TB_E2E_DIR
  export BLKID_FILE=$TB_WORK/blkid.tab   # keep libblkid's cache off the host's /run
  mkdir -p "$TB_WORK"/{img,realsys,hostdev,rproc,bin,snap,mnt,agent}
  : >"$TB_WORK/mounts"
  : >"$TB_WORK/loops"
  trap _tb_inside_cleanup EXIT
  trap 'exit 130' INT TERM
  mount --make-rprivate / || { _tb_say "cannot make mounts private"; exit 1; }

  # Host views for the tools that must see real loop devices (losetup, partx).
  mount -t sysfs sysfs "$TB_WORK/realsys" || exit 1
  mount --bind /dev "$TB_WORK/hostdev" || exit 1
  mount --bind /proc "$TB_WORK/rproc" || exit 1

  _tb_fake_sys || exit 1
  _tb_fake_dev || exit 1
  _tb_fake_proc || exit 1
  ip link set lo up || exit 1

  cp "$TB_E2E_DIR/doubles/insmod" "$TB_WORK/bin/insmod"
  chmod +x "$TB_WORK/bin/insmod"
  export PATH="$TB_WORK/bin:$PATH"
  cd "$TB_WORK" || exit 1
  tb_fake_modules not_loaded
  TB_READY_MS=$(_tb_now_ms)
}

_tb_fake_sys() {
  local d
  for d in /sys/block /sys/dev/block /sys/class/block; do
    mount -t tmpfs -o mode=755 tbsys "$d" || return 1
  done
}

_tb_fake_dev() {
  local hd=$TB_WORK/hostdev
  mount -t tmpfs -o mode=755,nosuid tbdev /dev || return 1
  mknod -m 666 /dev/null c 1 3 && mknod -m 666 /dev/zero c 1 5 &&
    mknod -m 666 /dev/full c 1 7 && mknod -m 666 /dev/random c 1 8 &&
    mknod -m 666 /dev/urandom c 1 9 && mknod -m 666 /dev/tty c 5 0 &&
    mknod -m 660 /dev/loop-control c 10 237 || return 1
  mkdir -p /dev/pts /dev/shm
  mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts /dev/pts || return 1
  ln -s pts/ptmx /dev/ptmx
  mount -t tmpfs -o mode=1777,nosuid,nodev shm /dev/shm || return 1
  ln -s /proc/self/fd /dev/fd
  ln -s /proc/self/fd/0 /dev/stdin
  ln -s /proc/self/fd/1 /dev/stdout
  ln -s /proc/self/fd/2 /dev/stderr
  [[ -e $hd/null ]]
}

# /proc/modules does not exist on a kernel without module support and a file
# cannot be bind-mounted onto a missing proc entry, so /proc becomes a tmpfs of
# links into the real proc mount plus a plain modules file. /proc/self,
# /proc/mounts and friends keep working; pid directories of processes started
# later are not listed (nothing the agent or the tools here need).
_tb_fake_proc() {
  local rp=$TB_WORK/rproc
  mount -t tmpfs -o mode=755 tbproc /proc || return 1
  ln -s -t /proc "$rp"/[!0-9]* || return 1
  rm -f /proc/modules
  : >/proc/modules
}

# Runs a bash SCRIPT (with ARGS) where /dev and /sys are the host's, private to
# that script: for tools that open /dev/loopN or read real loop attributes.
_tb_hostview_sh() {
  local script=$1
  shift
  unshare --mount --propagation private bash -c '
    mount --bind "$TB_WORK/hostdev" /dev && mount --bind "$TB_WORK/realsys" /sys || exit 1
    '"$script" _ "$@"
}

_tb_inside_cleanup() {
  local rc=$? t0 m n loops
  t0=$(_tb_now_ms)
  trap - EXIT
  tb_stop_server 2>/dev/null
  [[ -n ${TB_AGENT_PID:-} ]] && kill -KILL "$TB_AGENT_PID" 2>/dev/null && wait "$TB_AGENT_PID" 2>/dev/null
  for n in $(ls /dev 2>/dev/null | sed -n 's/^datto\([0-9]\+\)$/\1/p'); do
    _tb_snap_destroy "$n" 2>/dev/null
  done
  if [[ -s $TB_WORK/mounts ]]; then
    while read -r m; do
      umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null
    done < <(tac "$TB_WORK/mounts")
  fi
  if [[ -s $TB_WORK/loops ]]; then
    mapfile -t loops <"$TB_WORK/loops"
    _tb_hostview_sh 'for l in "$@"; do set -- "$l"; '"$_TB_DETACH"'; done' "${loops[@]}" 2>/dev/null
  fi
  _tb_say "namespace set-up $((${TB_READY_MS:-t0} - TB_T0)) ms, tear-down $(($(_tb_now_ms) - t0)) ms, exit $rc"
  exit "$rc"
}

# ---------------------------------------------------------------------------
# Loop devices and fake disks

# Partitions added with partx outlive the loop device's detach (the kernel
# drops only those it scanned itself): drop any left by an earlier user of the
# device after attaching, and ours before detaching.
_TB_ATTACH='d=$(losetup -f --show'
_TB_ATTACH_END=') || exit 1; partx -d "$d" >/dev/null 2>&1; echo "$d"'
_TB_DETACH='partx -d "$1" >/dev/null 2>&1; losetup -d "$1"'

# Attaches FILE to a free loop device and prints its path. Options: -r
# (read-only), --sector-size N.
tb_loop_attach() {
  local dev
  dev=$(_tb_hostview_sh "$_TB_ATTACH"' "$@"'"$_TB_ATTACH_END" "$@") || { _tb_say "losetup failed: $*"; return 1; }
  _tb_loop_record "$dev"
  echo "$dev"
}

# Notes a loop device of this run for clean-up and gives it a node in /dev.
_tb_loop_record() {
  local dev=$1 devno
  echo "$dev" >>"$TB_WORK/loops"
  devno=$(<"$TB_WORK/realsys/block/${dev#/dev/}/dev")
  [[ -e $dev ]] || mknod -m 660 "$dev" b "${devno%:*}" "${devno#*:}"
}

tb_loop_detach() {
  _tb_hostview_sh "$_TB_DETACH" "$1" || return 1
  rm -f "$1"
  sed -i "\#^$1\$#d" "$TB_WORK/loops"
}

_tb_disk_dir() { echo "$TB_WORK/disks/$1"; }
_tb_disk_loop() { cat "$TB_WORK/disks/$1/loop" 2>/dev/null || { _tb_say "no disk $1"; return 1; }; }

# Kernel name of partition N of disk NAME: a digit at the end takes a "p".
tb_part_name() {
  if [[ $1 == *[0-9] ]]; then echo "${1}p$2"; else echo "$1$2"; fi
}

# tb_make_disk NAME SIZE_MIB LABEL [SECTOR_SIZE [SEED]]
# LABEL is dos, gpt or none; SECTOR_SIZE 512 (default) or 4096. With SEED the
# image is filled with mixed content first, so gaps between partitions hold
# data too. The disk then appears as /dev/NAME.
tb_make_disk() {
  local name=$1 mib=$2 label=$3 ss=${4:-512} seed=${5:-} img dir loop
  [[ $name =~ ^[a-z][a-z0-9]*$ && $mib =~ ^[0-9]+$ ]] || { _tb_say "bad disk spec: $*"; return 1; }
  case $label in dos|gpt|none) ;; *) _tb_say "label must be dos|gpt|none"; return 1 ;; esac
  case $ss in 512|4096) ;; *) _tb_say "sector size must be 512 or 4096"; return 1 ;; esac
  dir=$(_tb_disk_dir "$name")
  [[ -e $dir ]] && { _tb_say "disk $name exists"; return 1; }
  img=$TB_WORK/img/$name.img
  truncate -s "${mib}M" "$img" || return 1
  [[ -n $seed ]] && { tb_fill_mixed "$img" "$seed" || return 1; }
  # Attach and label in one go; the label goes through the loop device so that
  # a 4096-byte-sector disk gets a table in its own sector size.
  loop=$(_tb_hostview_sh "$_TB_ATTACH"' --sector-size "$2" "$1"'"$_TB_ATTACH_END"'
    [ "$3" = none ] || echo "label: $3" | sfdisk -q --no-tell-kernel "$d" >/dev/null' \
    "$img" "$ss" "$label")
  local rc=$?
  [[ -n $loop ]] && _tb_loop_record "$loop"
  ((rc == 0)) || { _tb_say "attaching or labelling $name failed"; return 1; }
  mkdir -p "$dir"
  echo "$loop" >"$dir/loop"
  echo "$img" >"$dir/img"
  echo "$ss" >"$dir/sector"
  _tb_publish "$name"
}

# tb_add_partition NAME SIZE_MIB [TYPE [boot]]
# Appends a partition (SIZE_MIB empty or "rest": the rest of the disk) and
# prints its kernel name (sdx1, nvme9n1p2 ...). TYPE is an sfdisk type (L by
# default); "boot" sets the DOS bootable flag.
tb_add_partition() {
  local name=$1 mib=$2 type=${3:-L} boot=${4:-} loop line nr
  loop=$(_tb_disk_loop "$name") || return 1
  line="type=$type"
  [[ -n $mib && $mib != rest ]] && line="size=${mib}MiB, $line"
  [[ $boot == boot ]] && line="$line, bootable"
  nr=$(_tb_hostview_sh '
    echo "$2" | sfdisk -q --no-tell-kernel --append "$1" >/dev/null || exit 1
    n=$(sfdisk -d "$1" | grep -c "^$1") && partx -a --nr "$n:$n" "$1" && echo "$n"' "$loop" "$line") ||
    { _tb_say "adding a partition to $name failed"; return 1; }
  _tb_publish "$name" || return 1
  tb_part_name "$name" "$nr"
}

# Copies the readable attribute files of a real sysfs directory (cp skips the
# subdirectories and links) and renames the device inside uevent.
_tb_copy_attrs() {
  local src=$1 dst=$2 from=$3 to=$4
  mkdir -p "$dst"
  cp -t "$dst" "$src"/* 2>/dev/null
  [[ -f $dst/uevent ]] && sed -i "s/\b$from\b/$to/g" "$dst/uevent"
  [[ -f $dst/dev ]]
}

# (Re)builds /sys/block/NAME, its partitions, the /sys/dev/block and
# /sys/class/block links and the /dev nodes from the loop device's real sysfs
# entries. Plain copies, not links: lsblk names devices after the directory.
_tb_publish() {
  local name=$1 loop ln real pdir p pname devno
  loop=$(_tb_disk_loop "$name") || return 1
  ln=${loop#/dev/}
  real=$TB_WORK/realsys/block/$ln
  [[ -d $real ]] || { _tb_say "no sysfs entry for $ln"; return 1; }
  local made=$TB_WORK/disks/$name/published
  # The disk's own attributes do not change when partitions are added: only
  # partitions not shown yet are added on later calls.
  if [[ ! -d /sys/block/$name ]]; then
    _tb_copy_attrs "$real" "/sys/block/$name" "$ln" "$name" || return 1
    _tb_copy_attrs "$real/queue" "/sys/block/$name/queue" "$ln" "$name"
    mkdir -p "/sys/block/$name/holders" "/sys/block/$name/slaves"
    devno=$(<"$real/dev")
    ln -s "../../block/$name" "/sys/dev/block/$devno"
    ln -s "../../block/$name" "/sys/class/block/$name"
    mknod -m 660 "/dev/$name" b "${devno%:*}" "${devno#*:}"
    printf '%s\n' "/sys/block/$name" "/sys/dev/block/$devno" "/sys/class/block/$name" "/dev/$name" >"$made"
  fi
  for pdir in "$real/${ln}p"*; do
    [[ -d $pdir ]] || continue
    p=${pdir##*/"${ln}"p}
    if [[ $name == *[0-9] ]]; then pname=${name}p$p; else pname=$name$p; fi
    [[ -d /sys/block/$name/$pname ]] && continue
    _tb_copy_attrs "$pdir" "/sys/block/$name/$pname" "${ln}p$p" "$pname" || return 1
    mkdir -p "/sys/block/$name/$pname/holders"
    devno=$(<"$pdir/dev")
    ln -s "../../block/$name/$pname" "/sys/dev/block/$devno"
    ln -s "../../block/$name/$pname" "/sys/class/block/$pname"
    mknod -m 660 "/dev/$pname" b "${devno%:*}" "${devno#*:}"
    printf '%s\n' "/sys/dev/block/$devno" "/sys/class/block/$pname" "/dev/$pname" >>"$made"
  done
}

# Path of the image file behind disk NAME (what the server's copy must equal).
tb_disk_image() { cat "$TB_WORK/disks/$1/img"; }

# ---------------------------------------------------------------------------
# Content

# tb_fill_mixed TARGET SEED [OFFSET_MIB [LENGTH_MIB]]
# Overwrites TARGET (file or block device) in 1 MiB chunks of zeros, text or
# pseudo-random bytes, all chosen and generated from SEED: the same seed gives
# the same bytes on every run.
tb_fill_mixed() {
  local target=$1 seed=$2 off=${3:-0} len=${4:-} size key
  [[ $seed =~ ^[0-9]+$ ]] || { _tb_say "seed must be a number"; return 1; }
  if [[ -b $target ]]; then size=$(blockdev --getsize64 "$target"); else size=$(stat -c %s "$target"); fi
  [[ -n $len ]] || len=$((size / 1048576 - off))
  ((len > 0)) || return 0
  printf -v key '%016x%016x' "$seed" "$off"
  # One keystream for the whole range; the chunk picker keeps the random chunks
  # and replaces the others, so each chunk depends only on (seed, off, index).
  head -c $((len * 1048576)) /dev/zero | openssl enc -aes-128-ctr -K "$key" -iv 00000000000000000000000000000000 |
    perl -e '
      my ($seed, $off, $len) = @ARGV;
      binmode STDIN; binmode STDOUT;
      my $mib = 1048576;
      for my $i ($off .. $off + $len - 1) {
        read(STDIN, my $rand, $mib) == $mib or die "short keystream\n";
        my $kind = (($seed * 2654435761 + $i * 40503 + 12345) % 1000003) % 5;
        if ($kind == 0) { print "\0" x $mib; next }
        if ($kind >= 3) { print $rand; next }
        my ($text, $n) = ("", $i * 20000);
        $text .= sprintf("%08d seed %d: the quick brown fox jumps over the lazy dog; lorem ipsum\n",
                         $n++, $seed) while length($text) < $mib;
        print substr($text, 0, $mib);
      }' "$seed" "$off" "$len" |
    dd of="$target" bs=1M seek="$off" iflag=fullblock conv=notrunc status=none
}

# tb_mount_volume PART DIR [SEED]
# Makes an ext4 on /dev/PART, mounts it at DIR and fills it with directories of
# text files, a few pseudo-random binaries and a duplicate file.
tb_mount_volume() {
  local part=$1 dir=$2 seed=${3:-1} d f key
  [[ -b /dev/$part ]] || { _tb_say "no device /dev/$part"; return 1; }
  # No lazy init: a background writer would change the volume under the tests.
  mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 -L "${part:0:16}" "/dev/$part" ||
    return 1
  mkdir -p "$dir"
  _tb_mount "/dev/$part" "$dir" || return 1
  for d in etc home/user var/log; do
    mkdir -p "$dir/$d"
    for f in 1 2 3 4; do
      seq -f "%g $d line of file $f, seed $seed: some configuration = value" 1 $((f * 700)) \
        >"$dir/$d/file$f.txt"
    done
    printf -v key '%016x%016x' "$seed" "${#d}"
    head -c $((192 * 1024)) /dev/zero | openssl enc -aes-128-ctr -K "$key" -iv 00000000000000000000000000000000 \
      >"$dir/$d/blob.bin" 2>/dev/null
  done
  cp "$dir/etc/blob.bin" "$dir/home/user/blob-copy.bin"
  sync -f "$dir"
}

tb_umount() {
  umount "$1" || return 1
  sed -i "\#^$1\$#d" "$TB_WORK/mounts"
}

# ---------------------------------------------------------------------------
# Snapshot module doubles (used by kmod_double/tools/dbdctl and doubles/insmod)

# tb_fake_modules loaded|not_loaded|loaded_late
# loaded_late lists the module after the first 8 KiB of the file.
tb_fake_modules() {
  local i
  {
    echo "ext4 1015808 1 - Live 0x0000000000000000"
    echo "mbcache 16384 1 ext4, Live 0x0000000000000000"
    case $1 in
      loaded) echo "dattobd 241664 0 - Live 0x0000000000000000" ;;
      not_loaded) ;;
      loaded_late)
        for ((i = 0; i < 200; i++)); do
          printf 'filler_mod_%03d 16384 0 - Live 0x0000000000000000\n' "$i"
        done
        echo "dattobd 241664 0 - Live 0x0000000000000000" ;;
      *) _tb_say "tb_fake_modules loaded|not_loaded|loaded_late"; return 1 ;;
    esac
  } >/proc/modules
}

# Makes /dev/datto<N> a frozen copy of volume VOL; see kmod_double/tools/dbdctl.
_tb_snap_setup() {
  local vol=$1 n=$2 mp copy loop devno
  mp=$(awk -v v="$vol" '$1 == v { print $2; exit }' /proc/mounts)
  mp=$(printf '%b' "$mp") # /proc/mounts escapes spaces as \040
  copy=$TB_WORK/snap/datto$n.img
  [[ -n $mp ]] && { fsfreeze -f "$mp" || return 1; }
  dd if="$vol" of="$copy" bs=1M status=none
  local rc=$?
  [[ -n $mp ]] && fsfreeze -u "$mp"
  ((rc == 0)) || { rm -f "$copy"; return 1; }
  loop=$(tb_loop_attach -r "$copy") || { rm -f "$copy"; return 1; }
  echo "$loop" >"$TB_WORK/snap/datto$n.loop"
  devno=$(<"$TB_WORK/realsys/block/${loop#/dev/}/dev")
  # The real module also lists its devices in /sys/block; the agent skips them.
  mkdir -p "/sys/block/datto$n/queue"
  echo "$devno" >"/sys/block/datto$n/dev"
  echo 1 >"/sys/block/datto$n/ro"
  cat "$TB_WORK/realsys/block/${loop#/dev/}/size" >"/sys/block/datto$n/size"
  ln -sfn "../../block/datto$n" "/sys/dev/block/$devno"
  mknod -m 440 "/dev/datto$n" b "${devno%:*}" "${devno#*:}"
}

_tb_snap_destroy() {
  local n=$1 loop devno
  [[ -e /dev/datto$n ]] || return 1
  devno=$(<"/sys/block/datto$n/dev") 2>/dev/null
  rm -f "/dev/datto$n"
  rm -rf "/sys/block/datto$n"
  [[ -n $devno ]] && rm -f "/sys/dev/block/$devno"
  loop=$(cat "$TB_WORK/snap/datto$n.loop" 2>/dev/null)
  [[ -n $loop ]] && tb_loop_detach "$loop"
  # Keep what the snapshot showed, so scenarios can compare the replica's
  # volume range with the snapshot's content byte for byte.
  mv -f "$TB_WORK/snap/datto$n.img" "$TB_WORK/snap/last-datto$n.img" 2>/dev/null
  rm -f "$TB_WORK/snap/datto$n.loop"
}

# ---------------------------------------------------------------------------
# Server and agent

# tb_start_server DIR [OPTS...]: starts $BF_SERVER_EXE in the background on
# 127.0.0.1:3389 and waits (polling, 10 s deadline) until the port answers.
tb_start_server() {
  local dir=$1 deadline
  shift
  [[ -x ${BF_SERVER_EXE:-} ]] || { _tb_say "BF_SERVER_EXE is not set to an executable"; return 1; }
  mkdir -p "$dir"
  "$BF_SERVER_EXE" --dir "$dir" --listen 127.0.0.1:3389 "$@" >"$TB_WORK/server.log" 2>&1 &
  TB_SERVER_PID=$!
  echo "$TB_SERVER_PID" >"$TB_WORK/server.pid"
  deadline=$(($(_tb_now_ms) + 10000))
  until (exec 3<>/dev/tcp/127.0.0.1/3389) 2>/dev/null; do
    if ! kill -0 "$TB_SERVER_PID" 2>/dev/null; then
      _tb_say "server exited during start-up:"; cat "$TB_WORK/server.log" >&2; return 1
    fi
    if (($(_tb_now_ms) > deadline)); then
      _tb_say "server did not answer on 127.0.0.1:3389 within 10 s"; return 1
    fi
    sleep 0.02
  done
}

# True while process PID runs (not yet a zombie). Reads the real proc mount:
# the faked /proc lists no pid directories.
_tb_running() {
  local stat
  { stat=$(<"$TB_WORK/rproc/$1/stat"); } 2>/dev/null || return 1
  stat=${stat##*) }
  [[ ${stat:0:1} != Z ]]
}

# Stops the server (TERM, then KILL after 5 s); its exit status in TB_SERVER_STATUS.
tb_stop_server() {
  local pid deadline
  pid=$(cat "$TB_WORK/server.pid" 2>/dev/null) || return 0
  kill -TERM "$pid" 2>/dev/null
  deadline=$(($(_tb_now_ms) + 5000))
  while _tb_running "$pid" && (($(_tb_now_ms) < deadline)); do
    sleep 0.02
  done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  TB_SERVER_STATUS=$?
  rm -f "$TB_WORK/server.pid"
}

# tb_install_agent DIR: the agent executable and the kmod double beside it.
tb_install_agent() {
  local dir=$1
  [[ -x ${BF_AGENT_EXE:-} ]] || { _tb_say "BF_AGENT_EXE is not set to an executable"; return 1; }
  mkdir -p "$dir"
  cp "$BF_AGENT_EXE" "$dir/blockferry" && tb_install_kmod "$dir"
}

# tb_install_kmod DIR: only the kmod double, as DIR/kmod (no dattobd.ko yet).
tb_install_kmod() {
  local dir=$1
  mkdir -p "$dir/kmod/tools"
  rm -f "$dir/kmod/dattobd.ko"
  cp "$TB_E2E_DIR/kmod_double/Makefile" "$dir/kmod/"
  cp "$TB_E2E_DIR/kmod_double/tools/dbdctl" "$dir/kmod/tools/"
  chmod +x "$dir/kmod/tools/dbdctl"
}

# tb_faketime [CMD...]: runs CMD with time 100x faster; without CMD prints the
# environment assignments.
tb_faketime() {
  local env=("LD_PRELOAD=$TB_FAKETIME_LIB" "FAKETIME=+0 x100" "FAKETIME_DONT_FAKE_MONOTONIC=0")
  if (($# == 0)); then printf '%s\n' "${env[@]}"; return; fi
  [[ -r $TB_FAKETIME_LIB ]] || { _tb_say "libfaketime missing: $TB_FAKETIME_LIB"; return 1; }
  env "${env[@]}" "$@"
}

# tb_start_agent DIR [--faketime] ARGS...: starts DIR/blockferry in the
# background with cwd DIR; stdout/stderr go to DIR/agent.out and DIR/agent.err.
tb_start_agent() {
  local dir=$1 pre=()
  shift
  if [[ ${1:-} == --faketime ]]; then mapfile -t pre < <(tb_faketime); shift; fi
  # A background job of a script starts with SIGINT ignored; the agent must
  # see SIGINT as it would from a terminal.
  (cd "$dir" && exec env --default-signal=INT,QUIT "${pre[@]}" ./blockferry "$@") \
    >"$dir/agent.out" 2>"$dir/agent.err" &
  TB_AGENT_PID=$!
  TB_AGENT_DIR=$dir
}

# tb_wait_agent [TIMEOUT_S]: waits for the agent started last; its exit status
# goes to TB_AGENT_STATUS (124 after a timeout, when it is killed).
tb_wait_agent() {
  local limit=${1:-120} deadline
  deadline=$(($(_tb_now_ms) + limit * 1000))
  while _tb_running "$TB_AGENT_PID"; do
    if (($(_tb_now_ms) > deadline)); then
      _tb_say "agent still running after $limit s: killed"
      kill -KILL "$TB_AGENT_PID" 2>/dev/null; wait "$TB_AGENT_PID" 2>/dev/null
      TB_AGENT_STATUS=124; return 0
    fi
    sleep 0.05
  done
  wait "$TB_AGENT_PID"
  TB_AGENT_STATUS=$?
  return 0
}

# tb_run_agent DIR [--faketime] ARGS...: runs the agent to its end (timeout
# TB_AGENT_TIMEOUT, 120 s). Always returns 0; the status is in
# TB_AGENT_STATUS, the output in DIR/agent.out and DIR/agent.err.
tb_run_agent() {
  tb_start_agent "$@"
  tb_wait_agent "${TB_AGENT_TIMEOUT:-120}"
}

# ---------------------------------------------------------------------------
# Checks

# tb_compare_image SRC IMG [BYTES]: byte comparison (first BYTES only when
# given) with the sha256 of both printed; returns cmp's status.
tb_compare_image() {
  local src=$1 img=$2 n=${3:-} rc
  if [[ -n $n ]]; then
    cmp -n "$n" "$src" "$img"; rc=$?
    echo "sha256 $(head -c "$n" "$src" | sha256sum | cut -d' ' -f1) $src (first $n bytes)"
    echo "sha256 $(head -c "$n" "$img" | sha256sum | cut -d' ' -f1) $img (first $n bytes)"
  else
    cmp "$src" "$img"; rc=$?
    echo "sha256 $(sha256sum <"$src" | cut -d' ' -f1) $src"
    echo "sha256 $(sha256sum <"$img" | cut -d' ' -f1) $img"
  fi
  return $rc
}

# tb_sql DB "SELECT ...": one row per line, columns separated by "|".
tb_sql() { sqlite3 -batch -noheader "$1" "$2"; }

# tb_check DESCRIPTION CMD...: runs CMD, prints ok/FAIL, counts failures.
TB_FAILS=0
tb_check() {
  local what=$1
  shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; TB_FAILS=$((TB_FAILS + 1)); fi
}

# Ends the scenario: status 1 when any tb_check failed.
tb_done() {
  if ((TB_FAILS)); then echo "$TB_FAILS check(s) failed"; exit 1; fi
  echo "all checks passed"
  exit 0
}

# ---------------------------------------------------------------------------
# Sub-commands

# Detaches loop devices left by testbeds that died (SIGKILL, power cut of the
# VM aside) and removes their work directories. Live testbeds are left alone.
tb_gc() {
  local dir pid start now
  for dir in /tmp/bf-testbed.*; do
    [[ -d $dir ]] || continue
    read -r pid start <"$dir/owner" 2>/dev/null
    if [[ -n $pid ]] && now=$(_tb_proc_start "$pid") && [[ $now == "$start" ]]; then
      continue
    fi
    _tb_say "gc: $dir (owner ${pid:-?} is gone)"
    _tb_host_cleanup "$dir"
  done
}

_tb_main() {
  case ${1:-} in
    check) tb_check_prereqs; echo "testbed: prerequisites present" ;;
    gc) tb_gc ;;
    shell)
      tb_init "$@"
      shift
      if (($#)); then "$@"; else bash -i; fi ;;
    *) echo "usage: testbed.sh check | gc | shell [CMD...]" >&2; exit 2 ;;
  esac
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
  _tb_main "$@"
fi
