// The room a process has (room.h): the figures of the system (host.h) and
// the arithmetic of the control groups.
#include "room.h"
#include "host.h"
#include "words.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

namespace {

// The numbers of the first line of a text file (up to two), or none.
int numbers_in_file(const std::string &path, double v[2])
{
    FILE *f = std::fopen(path.c_str(), "r");
    if (f == nullptr)
        return 0;
    const int n = std::fscanf(f, "%lf %lf", &v[0], &v[1]);
    std::fclose(f);
    return n < 0 ? 0 : n;
}

double number_in_file(const std::string &path)
{
    double v[2] = {-1.0, -1.0};
    return numbers_in_file(path, v) >= 1 ? v[0] : -1.0;
}

// The value of `key` in a file of "key value" lines (memory.stat); -1 when
// it has none.
double keyed_number(const std::string &path, const char *key)
{
    FILE *f = std::fopen(path.c_str(), "r");
    if (f == nullptr)
        return -1.0;
    char line[256];
    double v = -1.0;
    const size_t n = std::strlen(key);
    while (v < 0.0 && std::fgets(line, sizeof line, f) != nullptr)
        if (std::strncmp(line, key, n) == 0 && line[n] == ' ')
            v = std::strtod(line + n + 1, nullptr);
    std::fclose(f);
    return v;
}

// The least of `limit(folder, unified)` over the groups of the process that
// take part in `controller`, from each group's own folder up to the root;
// -1 when no group sets a limit (limit returns a negative number).
template <typename Limit>
double least_over_groups(const std::string &proc_cgroup, const std::string &cgroup_root, const char *controller,
                         Limit limit)
{
    // "0::/path" is the group of a unified hierarchy; "N:memory:/path" that
    // of a controller of its own.
    FILE *f = std::fopen(proc_cgroup.c_str(), "r");
    if (f == nullptr)
        return -1.0;
    double least = -1.0;
    char line[4096];
    while (std::fgets(line, sizeof line, f) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        const size_t c1 = text.find(':'), c2 = text.find(':', c1 + 1);
        if (c1 == std::string::npos || c2 == std::string::npos)
            continue;
        const std::string controllers = text.substr(c1 + 1, c2 - c1 - 1);
        std::string group = text.substr(c2 + 1);
        // The controllers of a hierarchy of their own, by their whole names
        // ("cpu" is not "cpuset").
        const bool unified = controllers.empty();
        bool named = false;
        for (size_t at = 0; !unified && at <= controllers.size() && !named;) {
            const size_t end = std::min(controllers.find(',', at), controllers.size());
            named = controllers.compare(at, end - at, controller) == 0;
            at = end + 1;
        }
        if (!unified && !named)
            continue;
        const std::string base = unified ? cgroup_root : cgroup_root + "/" + controller;
        for (;;) {
            const double v = limit(base + group, unified);
            if (v >= 0.0)
                least = least < 0.0 ? v : std::min(least, v);
            if (group.empty() || group == "/")
                break;
            const size_t slash = group.rfind('/');
            group = slash == 0 || slash == std::string::npos ? "/" : group.substr(0, slash);
        }
    }
    std::fclose(f);
    return least;
}

} // namespace

double cgroup_room(const std::string &proc_cgroup, const std::string &cgroup_root)
{
    return least_over_groups(proc_cgroup, cgroup_root, "memory", [](const std::string &dir, bool unified) {
        const double limit = number_in_file(dir + (unified ? "/memory.max" : "/memory.limit_in_bytes"));
        double used = number_in_file(dir + (unified ? "/memory.current" : "/memory.usage_in_bytes"));
        // The page cache of files not used of late is taken back by the
        // kernel before it refuses memory: it is room, not use.
        const double cache = keyed_number(dir + "/memory.stat", unified ? "inactive_file" : "total_inactive_file");
        if (used > 0.0 && cache > 0.0)
            used = std::max(used - cache, 0.0);
        // "max", or the largest page-aligned number: no limit. A group
        // beyond its limit leaves no room.
        return limit >= 0.0 && limit < 1e18 ? std::max(limit - std::max(used, 0.0), 0.0) : -1.0;
    });
}

double cgroup_processors(const std::string &proc_cgroup, const std::string &cgroup_root)
{
    return least_over_groups(proc_cgroup, cgroup_root, "cpu", [](const std::string &dir, bool unified) {
        double v[2] = {-1.0, -1.0};
        if (unified) {
            if (numbers_in_file(dir + "/cpu.max", v) < 2) // "max 100000": no limit
                return -1.0;
        } else {
            v[0] = number_in_file(dir + "/cpu.cfs_quota_us"); // -1: no limit
            v[1] = number_in_file(dir + "/cpu.cfs_period_us");
        }
        return v[0] > 0.0 && v[1] > 0.0 ? v[0] / v[1] : -1.0;
    });
}

double usable_memory()
{
    double room = host.machine_memory();
    for (const double limit : {host.group_memory(), host.address_room()})
        if (limit >= 0.0)
            room = room < 0.0 ? limit : std::min(room, limit);
    return room < 0.0 ? HUGE_VAL : std::max(room, 0.0);
}

double worker_stacks(int workers)
{
    return workers > 1 ? workers * host.thread_stack() : 0.0;
}

int usable_processors()
{
    int n = host.affinity_processors();
    if (n <= 0)
        n = static_cast<int>(std::thread::hardware_concurrency());
    const double quota = host.processor_quota();
    if (quota > 0.0)
        n = std::min(n, static_cast<int>(std::ceil(quota)));
    return std::max(n, 1);
}

int threads_wanted(const char *forced)
{
    int n = 0;
    if (forced != nullptr && int_word(forced, forced + std::strlen(forced), n) && n >= 1)
        return std::min(n, 256);
    return usable_processors();
}

namespace {

void *reserve = nullptr;
void (*out_of_memory)() = nullptr;

} // namespace

void keep_reserve(void (*out)())
{
    reserve = std::malloc(size_t(1) << 16);
    out_of_memory = out;
    std::set_new_handler([] {
        std::free(reserve);
        reserve = nullptr;
        std::set_new_handler(nullptr);
        out_of_memory();
    });
}
