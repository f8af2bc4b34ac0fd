#!/usr/bin/env bash
# Incremental mode end to end, under libfaketime (100x), through a recording
# proxy on [::1]:3389 (the agent talks IPv6 to it, it forwards to the server):
# "ctlIncremental" is the first message on every connection and never comes
# again; once every block is acknowledged "ctlEndIncremental" is sent until
# the server's type-2 reply, then no more; the server made the images durable;
# the replica equals the disk. Exit 77 when the testbed cannot run here.
source "$(dirname "$0")/testbed.sh"
tb_init "$@"
source "$TB_E2E_DIR/suite_lib.sh"
command -v python3 >/dev/null || { echo "skip: python3 missing"; exit 77; }

agent=$TB_WORK/agent
srv=$TB_WORK/srv
frames=$TB_WORK/frames.log

tb_make_disk sdx 96 none 512 71 || exit 1
tb_install_agent "$agent" || exit 1
tb_fake_modules loaded || exit 1
tb_start_server "$srv" --log-file "$TB_WORK/server.log" || exit 1

# Frames are a 4-byte big-endian length and the payload; the proxy writes one
# line per control frame and the kind of the first frame of each connection.
cat >"$TB_WORK/proxy.py" <<'PY'
import asyncio, itertools, sys
log = open(sys.argv[1], "w", buffering=1)
ids = itertools.count(1)
def kind(p):
    if p.startswith(b"ctlEndIncremental\0"): return "ctlEndIncremental"
    if p.startswith(b"ctlIncremental\0"): return "ctlIncremental"
    if p.startswith(b"abc"): return "block"
    return "other"
async def agent_to_server(n, r, w):
    buf, count = b"", 0
    while True:
        data = await r.read(1 << 16)
        if not data: break
        w.write(data); await w.drain()
        buf += data
        while len(buf) >= 4:
            size = int.from_bytes(buf[:4], "big")
            if len(buf) < 4 + size: break
            k, buf, count = kind(buf[4:4 + size]), buf[4 + size:], count + 1
            if count == 1: log.write(f"conn {n} first {k}\n")
            elif k.startswith("ctl"): log.write(f"conn {n} frame {count} {k}\n")
    w.close()
async def server_to_agent(r, w):
    while data := await r.read(1 << 16):
        w.write(data); await w.drain()
    w.close()
async def handle(cr, cw):
    n = next(ids)
    try:
        sr, sw = await asyncio.open_connection("127.0.0.1", 3389)
        await asyncio.gather(agent_to_server(n, cr, sw), server_to_agent(sr, cw))
    except (ConnectionError, OSError):
        pass
async def main():
    srv = await asyncio.start_server(handle, "::1", 3389)
    log.write("listening\n")
    async with srv: await srv.serve_forever()
asyncio.run(main())
PY
python3 "$TB_WORK/proxy.py" "$frames" 2>"$TB_WORK/proxy.err" &
proxy=$!
for _ in $(seq 100); do grep -q listening "$frames" 2>/dev/null && break; sleep 0.05; done

tb_run_agent "$agent" --faketime ::1 incremental
kill "$proxy" 2>/dev/null; wait "$proxy" 2>/dev/null
log=$(sl_log "$agent")
conns=$(grep -c ' first ' "$frames")
echo "connections through the proxy: $conns; ctlEndIncremental frames: $(grep -c 'frame.*ctlEndIncremental' "$frames")"

tb_check "run ends with status 0" test "$TB_AGENT_STATUS" = 0
tb_check "the agent used IPv6" grep -q "use IPv6" "$log"
tb_check "ten or more connections" test "$conns" -ge 10
tb_check "ctlIncremental first on every connection" test "$(grep -c ' first ctlIncremental$' "$frames")" = "$conns"
tb_check "ctlIncremental never later in a stream" bash -c '! grep -q "frame.*ctlIncremental$" "$1"' _ "$frames"
tb_check "ctlEndIncremental sent at least once" grep -q 'frame.*ctlEndIncremental' "$frames"
tb_check "the agent sent it only after every block was acknowledged" \
  bash -c 'grep -n -e "block all ack" -e "send ctlEndIncremental" "$1" | head -1 | grep -q "block all ack"' _ "$log"
tb_check "the server's type-2 reply arrived" grep -q "reply.type==2, done" "$log"
# A send whose reply overtakes its own "wait fin" line is the only one allowed.
tb_check "no ctlEndIncremental after the type-2 reply" \
  test "$(sed -n '/reply.type==2, done/,$p' "$log" | grep -c "wait fin")" -le 1
tb_check "'all done' after the type-2 reply" \
  bash -c 'sed -n "/reply.type==2, done/,\$p" "$1" | grep -q "all done"' _ "$log"
tb_check "server: incremental run announced" grep -q "incremental run announced agent=127.0.0.1" "$TB_WORK/server.log"
tb_check "server: end of incremental run requested" grep -q "end of incremental run requested agent=127.0.0.1" "$TB_WORK/server.log"
tb_check "server: incremental data durable" grep -q "incremental data durable agent=127.0.0.1" "$TB_WORK/server.log"
tb_check "image equals the disk" tb_compare_image "$(tb_disk_image sdx)" "$srv/127.0.0.1/disk0.img"
tb_check "every ledger row acknowledged" test "$(sl_unacked "$agent/data.db")" = 0
tb_check "ledger rows carry the address ::1" \
  test "$(tb_sql "$agent/data.db" "SELECT count(*) FROM T_BLOCK WHERE REMOTE_ID != '::1'")" = 0
tb_done
