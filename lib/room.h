// The room a process has: the memory it may still use and the processors it
// may run on, as the machine, its control group and its limits allow.
//
// Nothing here prints or exits. Figures that cannot be read count as no
// limit.
#ifndef QUARVELIN_ROOM_H
#define QUARVELIN_ROOM_H

#include <string>

// Bytes this process may still use: the least of the machine's available
// memory, the room its control group leaves (cgroup_room) and its
// address-space limit; +inf when none of them can be read.
double usable_memory();

// The room the stacks of `workers` worker threads take (none for one: the
// calling thread works alone).
double worker_stacks(int workers);

// The room the control groups of the process leave, in bytes: the least,
// over every group from its own up to the root that sets a limit, of that
// limit less the group's use (its reclaimable page cache, inactive_file,
// counted as room, as the kernel counts it); -1 when none sets one. proc_cgroup is the
// file that names the groups (/proc/self/cgroup), cgroup_root where their
// folders are (/sys/fs/cgroup); a unified hierarchy and a memory controller
// of its own are both read.
double cgroup_room(const std::string &proc_cgroup, const std::string &cgroup_root);

// The processors the control groups let the process use, as a number of
// whole processors' time (the least quota over period from its own group up
// to the root, cpu.max or cpu.cfs_quota_us); -1 when none sets one.
double cgroup_processors(const std::string &proc_cgroup, const std::string &cgroup_root);

// The number of processors this process may run on, at least 1: those of
// its affinity mask, no more than its control groups allow (rounded up).
int usable_processors();

// Keeps a reserve of memory for the end of the process: when an allocation
// by new fails, the reserve is released and `out` is called (once; it does
// not return), so that it can still tell why the process ends.
void keep_reserve(void (*out)());

// The worker threads of a run: `forced` (the text of $QUARVELIN_THREADS, or
// null) when it is a whole number from 1 on, at most 256; else the usable
// processors.
int threads_wanted(const char *forced);

#endif
