// Worker threads, and passes over bands made on them: the program spreads
// the lines of a model over the processors in bands, and the thread that
// started the workers uses the bands in their order (it prints and writes
// the results). The workers hold the ending signals back, so that the
// starting thread alone handles them.
//
// Nothing here prints, exits or throws: a thread the system refuses is not
// started, and a pass goes on with the threads that are (the calling thread
// alone at worst). One pass runs at a time.
#ifndef QUARVELIN_WORKERS_H
#define QUARVELIN_WORKERS_H

// A pass: bands 0 .. bands - 1, each made by make(context, band, slot,
// worker) on one of up to `workers` threads (worker 0 .. workers - 1), into
// the caller's slot `band % slots`, and used in order by use(context, band,
// slot) on the calling thread. At most `slots` bands are made ahead of the
// one being used. When use returns false, or stop_bands is called (from use
// or from what it calls), no other band is made; the pass waits for the
// workers and returns false.
bool run_bands_with(int bands, int slots, int workers, void (*make)(void *, int, int, int),
                    bool (*use)(void *, int, int), void *context);

// Ends the pass being run, from the calling thread: its workers finish the
// band they make and are waited for.
void stop_bands();

template <typename Make, typename Use>
bool run_bands(int bands, int slots, int workers, Make make, Use use)
{
    struct Pair {
        Make &make;
        Use &use;
    } pair{make, use};
    return run_bands_with(
        bands, slots, workers,
        [](void *c, int band, int slot, int worker) { static_cast<Pair *>(c)->make(band, slot, worker); },
        [](void *c, int band, int slot) { return static_cast<Pair *>(c)->use(band, slot); }, &pair);
}

#endif
