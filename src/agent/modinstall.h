// Snapshot module installation: the build-tool check ("check"), the loaded
// test and the build-and-load ("env_check", transfer start). Main thread only.
#pragma once

// 0 when make, gcc, xargs and fdisk can be started; otherwise ends the process
// with 2, 3, 4 or 5 naming the first missing tool.
int check_install_env();

// True when "dattobd" is listed in `modules_file`.
bool snap_installed(const char* modules_file = "/proc/modules");

// 0 when the module is loaded or its installation was attempted; 1 when the
// kmod directory cannot be entered.
int snap_assert_or_install();
