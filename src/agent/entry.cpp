#include "agent/entry.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "agent/agent_state.h"
#include "agent/commands.h"
#include "agent/confreader.h"
#include "agent/disks.h"
#include "agent/inventory.h"
#include "agent/modinstall.h"
#include "agent/sqlaccess.h"
#include "agent/support/slog.h"
#include "agent/transfer.h"

namespace {

struct command_t {
  const char* word;
  int (*run)();
};

// Tested in this order after the disk inventory; "check" comes before it.
const command_t kCommands[] = {
    {"env_check", env_check_func},
    {"begin_session", begin_session_func},
    {"end_session", end_session_func},
    {"query", query_func},
    {"sentbytes", sentbytes_func},
    {"query_disk_size", query_disk_func},
    {"query_disk_total_bytes", query_disk_total_bytes_func},
};

bool is_ipv6_text(const char* addr) { return strchr(addr, ':') != nullptr; }

// A host name or a typo would otherwise leave the unspecified address of the
// family, and the connections would go to this machine.
void exit_unless_literal_address(const char* addr) {
  struct sockaddr_in v4;
  struct sockaddr_in6 v6;
  int rc = is_ipv6_text(addr) ? uv_ip6_addr(addr, kServerPort, &v6)
                              : uv_ip4_addr(addr, kServerPort, &v4);
  if (rc == 0) return;
  log_info("not a server address or command: %s", addr);
  fprintf(stderr,
          "blockferry: \"%s\" is neither a command nor a literal IPv4 or IPv6 server address\n",
          addr);
  exit(1);
}

void set_up_transfer(int argc, char** argv) {
  exit_unless_literal_address(argv[1]);

  log_info("a new instance launched.");
  log_info("snap_assert_or_install begin");
  snap_assert_or_install();
  log_info("snap_assert_or_install end");

  query_volumes(g_disks, g_volumes);
  for (const volume_info_t* v : g_volumes)
    log_info("VerboseInfo: Volumes(on disk: %d) %s, %lld, %lld\n", v->device_index, v->name,
             static_cast<long long>(v->offset), static_cast<long long>(v->size));

  remote_server_ip = argv[1];
  loop = uv_default_loop();
  set_server_address(argv[1]);  // checked above
  remote_ip = remote_server_ip;

  if (wants_incremental(argc, argv)) {
    printf("incremental mode\n");
    log_info("incremental mode");
    incremental_mode = 1;
  }
}

}  // namespace

int set_server_address(const char* addr) {
  if (is_ipv6_text(addr)) {
    log_info("use IPv6");
    dest_ptr = reinterpret_cast<const struct sockaddr*>(&dest6);
    return uv_ip6_addr(addr, kServerPort, &dest6);
  }
  log_info("use IPv4");
  dest_ptr = reinterpret_cast<const struct sockaddr*>(&dest4);
  return uv_ip4_addr(addr, kServerPort, &dest4);
}

int wants_incremental(int argc, char** argv) {
  return argc == 3 && strcmp(argv[2], "incremental") == 0 ? 1 : 0;
}

void parse_args(int argc, char** argv) {
  if (argc < 2) {
    printf("need a ip or command\n");
    exit(0);
  }
  const char* word = argv[1];
  if (strcmp(word, "check") == 0) exit(check_func());

  query_disks(g_disks);
  for (const command_t& c : kCommands)
    if (strcmp(word, c.word) == 0) exit(c.run());

  set_up_transfer(argc, argv);
}

void signal_handler(uv_signal_t* handle, int signum) {
  printf("Signal received: %d\n", signum);
  log_info("Signal received: %d\n", signum);
  uv_signal_stop(handle);
  fflush(stdout);  // _exit skips stdio; the operator should still see the line
  _exit(0);
}

void after_stub(uv_work_t* req, int) { delete req; }

int agent_main(int argc, char** argv) {
  signal(SIGHUP, SIG_IGN);  // a closed terminal must not stop a transfer
  if (init_logger(".", 2) != 1) {
    printf("init logger failed\n");
    return 1;
  }

  char exe_dir[4096];
  if (get_exe_path(exe_dir) != 0) {
    // Without it neither user.json nor data.db can be found.
    const char* why = strerror(errno);
    log_info("get_exe_path failed: %s", why);
    fprintf(stderr, "blockferry: cannot find the executable's directory (/proc/self/exe): %s\n",
            why);
    return 1;
  }
  readStrJson((std::string(exe_dir) + "/user.json").c_str());
  ensure_database(exe_dir);

  parse_args(argc, argv);
  return start_transfer();
}
