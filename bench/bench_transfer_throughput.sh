#!/usr/bin/env bash
# Throughput of a full transfer run in real time (no faketime): a disk of
# mixed content (1 GiB unless SIZE_MIB says otherwise) replicated to the real
# server on loopback inside the testbed. Prints MB/s (10^6 bytes per second)
# from the first block read to the last acknowledgement, taken from the log's
# one-second time stamps, and the wall time of the whole run.
# Usage: BF_AGENT_EXE=... BF_SERVER_EXE=... bench/bench_transfer_throughput.sh
source "$(dirname "$0")/../tests/e2e/testbed.sh"
tb_init "$@"

size_mib=${SIZE_MIB:-1024}
agent=$TB_WORK/agent
srv=$TB_WORK/srv

tb_make_disk sdx "$size_mib" none 512 61 || exit 1
tb_install_agent "$agent" || exit 1
tb_fake_modules loaded || exit 1
tb_start_server "$srv" || exit 1

t0=$(date +%s.%N)
TB_AGENT_TIMEOUT=3600 tb_run_agent "$agent" 127.0.0.1
t1=$(date +%s.%N)
log=$(ls "$agent"/*.log | head -1)
stamp() { sed 's/^\[[A-Z ]*\] //' | awk '{print $1, $2}' | head -1 | xargs -I{} date -d {} +%s; }
first=$(grep -m1 "sync_send:.*send [0-9]*, same" "$log" | stamp)
last=$(grep -m1 "block all ack" "$log" | stamp)
secs=$((last - first))
((secs > 0)) || secs=1
bytes=$((size_mib * 1048576))
echo "status: $TB_AGENT_STATUS"
tb_compare_image "$(tb_disk_image sdx)" "$srv/127.0.0.1/disk0.img" >/dev/null &&
  echo "image: identical" || echo "image: DIFFERENT"
echo "disk: $size_mib MiB, first block read to last acknowledgement: ~$secs s (1 s stamps)"
echo "throughput: $(echo "scale=1; $bytes / $secs / 1000000" | bc) MB/s"
# The closing progress line measures from the first read to the moment the
# end-of-run wait saw no unacknowledged byte (it polls once a second).
rate=$(grep -m1 "progress(all acknowledged)" "$log" | grep -o "read_mbps=[0-9.]*" | cut -d= -f2)
echo "throughput (progress line, first read to all acknowledged): ${rate:-?} MB/s"
echo "whole run (incl. 10 s planner delay and the closing tick): $(echo "$t1 - $t0" | bc) s"
