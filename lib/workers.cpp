// Worker threads and passes over bands (workers.h).
#include "workers.h"

#include "outputs.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace {

std::vector<std::thread> running;

// The pass being run: the next band to make, the first band not used yet,
// and which band each slot holds once it is made (-1: none).
struct Pass {
    int bands = 0, slots = 1;
    void (*make)(void *, int, int, int) = nullptr;
    void *context = nullptr;
    int next = 0, used = 0;
    bool stop = false;
    std::vector<int> made;
    std::mutex m;
    std::condition_variable changed;
};
Pass *active = nullptr;

void worker(void *p, int k)
{
    Pass &pass = *static_cast<Pass *>(p);
    std::unique_lock<std::mutex> lock(pass.m);
    for (;;) {
        // A band is taken when its slot is free: the band before it in that
        // slot was used.
        pass.changed.wait(lock,
                          [&] { return pass.stop || pass.next >= pass.bands || pass.next < pass.used + pass.slots; });
        if (pass.stop || pass.next >= pass.bands)
            return;
        const int band = pass.next++;
        lock.unlock();
        pass.make(pass.context, band, band % pass.slots, k);
        lock.lock();
        pass.made[static_cast<size_t>(band % pass.slots)] = band;
        pass.changed.notify_all();
    }
}

// Starts up to n threads, thread k running work(context, k) with k = 0, 1,
// ...; returns how many were started.
int start_workers(int n, void (*work)(void *context, int k), void *context)
{
    // The one place where the standard library reports by exception: a
    // thread the system refuses, or no memory for one, ends the starting.
    hold_ending_signals(); // and so every thread started here
    const size_t before = running.size();
    try {
        running.reserve(running.size() + static_cast<size_t>(n));
        for (int k = 0; k < n; k++)
            running.emplace_back(work, context, k);
    } catch (const std::system_error &) {
    } catch (const std::bad_alloc &) {
    }
    release_ending_signals();
    return static_cast<int>(running.size() - before);
}

// Waits for the end of every thread start_workers started.
void join_workers()
{
    for (std::thread &t : running)
        t.join();
    running.clear();
}

} // namespace

bool run_bands_with(int bands, int slots, int workers, void (*make)(void *, int, int, int),
                    bool (*use)(void *, int, int), void *context)
{
    slots = std::max(slots, 1);
    workers = std::min(workers, bands);
    Pass pass;
    pass.bands = bands;
    pass.slots = slots;
    pass.make = make;
    pass.context = context;
    pass.made.assign(static_cast<size_t>(slots), -1);
    active = &pass;
    if (workers <= 1 || start_workers(workers, worker, &pass) == 0) {
        // One thread (or no worker could start): each band made and used in
        // turn.
        bool ok = true;
        for (int band = 0; band < bands && ok; band++) {
            make(context, band, band % slots, 0);
            ok = use(context, band, band % slots) && !pass.stop;
        }
        active = nullptr;
        return ok;
    }
    bool ok = true;
    for (int band = 0; band < bands && ok; band++) {
        const int slot = band % slots;
        std::unique_lock<std::mutex> lock(pass.m);
        pass.changed.wait(lock, [&] { return pass.made[static_cast<size_t>(slot)] == band; });
        lock.unlock();
        ok = use(context, band, slot) && !pass.stop;
        lock.lock();
        pass.used = band + 1;
        pass.changed.notify_all();
    }
    stop_bands();
    active = nullptr;
    return ok;
}

void stop_bands()
{
    if (active == nullptr)
        return;
    {
        std::lock_guard<std::mutex> lock(active->m);
        active->stop = true;
        active->changed.notify_all();
    }
    join_workers();
}
