// Snapshot module installation: the build-tool check ("check"), the loaded
// test and the build-and-load ("env_check", transfer start). Main thread only:
// an installation changes the process's working directory to kmod for good,
// which must happen before the worker thread exists.
#pragma once

// 0 when make, gcc, xargs and fdisk can be started; otherwise ends the process
// with 2, 3, 4 or 5 naming the first missing tool. Later tools are not tried.
int check_install_env();

// True when a line of `modules_file` starts with the module name "dattobd"
// as a whole word (the whole file is read). False when the file cannot be
// opened ("open modules error" and the system's text on stderr).
bool snap_installed(const char* modules_file = "/proc/modules");

// 0 when the module is loaded or its installation was attempted; 1 when the
// kmod directory beside the executable cannot be entered (or the executable's
// directory is unknown). Results of make and insmod are logged, not returned.
int snap_assert_or_install();

// The same with the executable's directory (as get_exe_path gives it, with a
// trailing "/") and the modules list named by the caller; for tests.
int snap_assert_or_install_at(const char* exe_dir, const char* modules_file);
