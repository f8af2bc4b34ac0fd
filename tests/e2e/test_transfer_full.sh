#!/usr/bin/env bash
# A whole disk of mixed content, no mounted volume, replicated to the real
# server under libfaketime (100x): the first run copies it byte for byte and
# ends 0; a second run sends nothing; after a few MiB change, a third run
# sends only the changed blocks. Exit 77 when the testbed cannot run here.
source "$(dirname "$0")/testbed.sh"
tb_init "$@"

MiB=1048576
agent=$TB_WORK/agent
srv=$TB_WORK/srv
db=$agent/data.db

tb_make_disk sdx 96 none 512 41 || exit 1
tb_install_agent "$agent" || exit 1
tb_fake_modules loaded || exit 1
tb_start_server "$srv" || exit 1
img=$srv/127.0.0.1/disk0.img

log_file() { ls "$agent"/*.log 2>/dev/null | head -1; }
log_lines() { local f; f=$(log_file); [[ -n $f ]] && wc -l <"$f" || echo 0; }
# Log lines written since line $1.
log_since() { tail -n +"$(($1 + 1))" "$(log_file)"; }
# The last "send %d, same: %d, diff: %d" of the run that started at line $1.
last_counts() { log_since "$1" | grep -o 'send [0-9]*, same: [0-9]*, diff: [0-9]*' | tail -1; }

# --- run 1: everything is sent -------------------------------------------------
mark=$(log_lines)
t0=$(date +%s.%N)
tb_run_agent "$agent" --faketime 127.0.0.1
echo "run 1: status $TB_AGENT_STATUS after $(echo "$(date +%s.%N) - $t0" | bc) s (real)"
tb_check "run 1 ends with status 0" test "$TB_AGENT_STATUS" = 0
tb_check "run 1: image equals the disk" tb_compare_image "$(tb_disk_image sdx)" "$img"
tb_check "run 1: 12 blocks sent" test "$(last_counts "$mark")" = "send 12, same: 0, diff: 0"
tb_check "run 1: every row acknowledged" \
  test "$(tb_sql "$db" 'SELECT count(*), sum(ACK) FROM T_BLOCK')" = "12|12"
tb_check "run 1: 'all done' logged" bash -c 'grep -q "all done" "$1"' _ "$(log_file)"

# --- run 2: nothing changed, nothing sent --------------------------------------
mark=$(log_lines)
tb_run_agent "$agent" --faketime 127.0.0.1
tb_check "run 2 ends with status 0" test "$TB_AGENT_STATUS" = 0
tb_check "run 2: nothing sent" test "$(last_counts "$mark")" = "send 0, same: 12, diff: 0"
tb_check "run 2: ledger unchanged" test "$(tb_sql "$db" 'SELECT count(*) FROM T_BLOCK')" = 12
tb_check "run 2: image still equals the disk" tb_compare_image "$(tb_disk_image sdx)" "$img"

# --- run 3: 3 MiB changed across two blocks (offsets 15..17 MiB) ---------------
tb_fill_mixed /dev/sdx 77 15 3 || exit 1
mark=$(log_lines)
tb_run_agent "$agent" --faketime 127.0.0.1
tb_check "run 3 ends with status 0" test "$TB_AGENT_STATUS" = 0
tb_check "run 3: only the two changed blocks sent" \
  test "$(last_counts "$mark")" = "send 0, same: 10, diff: 2"
tb_check "run 3: two new rows, at 8 and 16 MiB" \
  test "$(tb_sql "$db" 'SELECT group_concat(OFFSET) FROM (SELECT OFFSET FROM T_BLOCK WHERE ID > 12 ORDER BY OFFSET)')" = "$((8 * MiB)),$((16 * MiB))"
tb_check "run 3: every row acknowledged" \
  test "$(tb_sql "$db" 'SELECT count(*) FROM T_BLOCK WHERE ACK=0')" = 0
tb_check "run 3: image equals the changed disk" tb_compare_image "$(tb_disk_image sdx)" "$img"

tb_done
