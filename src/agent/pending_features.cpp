// Stand-ins for features that are not built yet. Each says plainly that it is
// not available and ends with status 1; never pretend success. Remove a
// stand-in in the same change that adds the real function.
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "agent/disks.h"
#include "agent/inventory.h"
#include "agent/modinstall.h"
#include "agent/snapshot.h"
#include "agent/transfer.h"

namespace {
[[noreturn]] void not_available(const char* what) {
  fprintf(stderr, "blockferry: %s is not available yet\n", what);
  exit(1);
}
}  // namespace

// discovery
std::vector<disk_info_t*> g_disks;
std::vector<volume_info_t*> g_volumes;
int query_disks(std::vector<disk_info_t*>&, const char*) { return 0; }
int query_volumes(std::vector<disk_info_t*>&, std::vector<volume_info_t*>&) {
  not_available("the volume inventory");
}
std::vector<int> get_disk_sizes() { not_available("the disk inventory"); }

// snapshot driver
int check_install_env() { not_available("the build-tool check"); }
bool snap_installed(const char*) { not_available("the snapshot module check"); }
int snap_assert_or_install() { not_available("the snapshot module installation"); }
int create_snap(const char*) { not_available("snapshots"); }
std::string get_snap_path(int) { not_available("snapshots"); }
int remove_snap(int) { not_available("snapshots"); }

// transfer
int start_transfer() { not_available("transfer mode"); }
