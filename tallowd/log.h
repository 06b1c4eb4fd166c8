// Daemon logging: syslog lines filtered by the daemon's log level.
#pragma once

#include <syslog.h>

// Logs the line when prio is at most the daemon's log_level (6, or 7 while debugging; 6 when no
// daemon context exists). The syslog mask filters the same way. The level is tested before anything
// is formatted, so a debug line needs no guard of its own.
void tlog(int prio, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// True when debug lines are logged. Only for a debug line on a path taken once per prefix, where
// skipping the call to tlog (a variadic function) shows in prefix_db_bench.
bool debug_logging();

// Tests set this to receive every line that passes the level, in addition to syslog.
using log_hook_fn = void (*)(int prio, const char *line);
extern log_hook_fn log_hook;
