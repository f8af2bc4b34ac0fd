#!/usr/bin/env bash
# One-shot "sentbytes" run again and again while a transfer (libfaketime, 100x)
# writes the ledger: each call must end 0 within the ledger's busy timeout and
# print a number (or -1, the documented answer when the ledger cannot be
# read), never an error text; the numbers never go down; after the run it
# prints the whole disk. Exit 77 when the testbed cannot run here.
source "$(dirname "$0")/testbed.sh"
tb_init "$@"
source "$TB_E2E_DIR/suite_lib.sh"

agent=$TB_WORK/agent
srv=$TB_WORK/srv
db=$agent/data.db
bytes=$((160 * SL_MiB))

tb_make_disk sdx 160 none 512 131 || exit 1
tb_install_agent "$agent" || exit 1
tb_fake_modules loaded || exit 1
tb_start_server "$srv" --fault-ack-delay-ms 200 || exit 1 # a longer run

sentbytes() { (cd "$agent" && ./blockferry sentbytes) 2>>"$TB_WORK/sentbytes.err"; }

tb_start_agent "$agent" --faketime 127.0.0.1
until [[ -s $db ]] && tb_sql "$db" 'SELECT 1 FROM T_BLOCK LIMIT 1' >/dev/null 2>&1; do
  _tb_running "$TB_AGENT_PID" || break
  sleep 0.02
done
calls=0 bad=0 slow=0 down=0 during=0 last=-1 max_s=0
while _tb_running "$TB_AGENT_PID"; do
  t0=$EPOCHREALTIME
  out=$(sentbytes); rc=$?
  s=$(echo "$EPOCHREALTIME - $t0" | bc)
  calls=$((calls + 1))
  (($(echo "$s > $max_s" | bc))) && max_s=$s
  if [[ $rc != 0 || ! $out =~ ^-?[0-9]+$ ]]; then
    bad=$((bad + 1)); echo "call $calls: status $rc, output: $out"
  else
    ((out >= 0 && out < last)) && down=$((down + 1))
    ((out >= 0)) && last=$out
    ((out > 0 && out < bytes)) && during=$((during + 1))
  fi
  (($(echo "$s > 3" | bc))) && slow=$((slow + 1))
done
tb_wait_agent 300
echo "sentbytes called $calls times during the run (slowest $max_s s), $during saw a partial count"
tb_check "transfer ends with status 0" test "$TB_AGENT_STATUS" = 0
tb_check "sentbytes ran during the transfer" test "$calls" -ge 5
tb_check "every call printed a number and ended 0" test "$bad" = 0
tb_check "every call ended within the busy timeout (under 3 s)" test "$slow" = 0
tb_check "the count never went down" test "$down" = 0
tb_check "a partial count was seen mid-run" test "$during" -ge 1
tb_check "after the run it prints the whole disk" test "$(sentbytes)" = "$bytes"
tb_check "image equals the disk" tb_compare_image "$(tb_disk_image sdx)" "$srv/127.0.0.1/disk0.img"
tb_done
