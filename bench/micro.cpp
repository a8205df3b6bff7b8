// Micro-benchmarks of every stage of a run, on a synthetic model.
//
//   quarvelin_micro [google benchmark flags] </dev/null
//   quarvelin_micro --threads      prints the threads a run would use, and ends
//
// The model is BENCH_MICRO_SIZE x BENCH_MICRO_SIZE cells (default 2000),
// written into a temporary directory that is removed at the end. The stages
// print progress lines on standard output: those go to /dev/null, and the
// benchmark table goes to the original standard output. For machine-readable
// results use --benchmark_out=FILE --benchmark_out_format=json.
//
// Each stage is measured both ways a run holds its model (the name ends in
// /held or /lines): every grid at once, or line by line, the passes reading
// the model again from its file, as $QUARVELIN_LINE_BY_LINE forces them. The
// passes spread their bands over as many threads as a run would:
// $QUARVELIN_THREADS, else the processors this process may use.
//
// Stages work on the program-wide Run state, so each benchmark first brings
// that state to what the stage expects (outside the timed region) and every
// grid a stage allocates is released before the next iteration.
#include "console.h"
#include "dem_synth.h"
#include "fastmath.h"
#include "image.h"
#include "nrutil.h"
#include "quarvelin.h"
#include "room.h"
#include "run_state.h"
#include "words.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string dir; // temporary directory, with a trailing '/'
int side = 2000; // lines = columns of the model
synth::ModelInfo model;

// The two ways a run holds its model.
enum Mode { held, lines };

// Runs from now on hold their grids or go line by line, on the threads of a
// run. A change of mode releases the grids, so that the next stage starts
// from a model read the new way.
void use_mode(Mode m)
{
    engine.thread_count = threads_to_use();
    const char *want = m == lines ? "1" : "0";
    const char *now = std::getenv("QUARVELIN_LINE_BY_LINE");
    if (now == nullptr || std::strcmp(now, want) != 0) {
        release_grids();
        setenv("QUARVELIN_LINE_BY_LINE", want, 1);
    }
    read_switches();
}

int64_t cells()
{
    return static_cast<int64_t>(side) * side;
}

int64_t file_bytes(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

// The grids that treatment makes (the logarithms are made by pendientes).
void release_outputs()
{
    const int rows = nb_col > 0 ? nb_lig : 0;
    frucmatrice(tab_out, rows);
    frimatrice(itab_out, rows);
    tab_out = nullptr;
    itab_out = nullptr;
}

// The unit question of dem_lecture is answered "1" (decimetres).
void answer_decimetres()
{
    static char text[] = "1\n";
    FILE *in = fmemopen(text, 2, "r");
    if (in == nullptr)
        std::abort();
    feed_answers_from(in);
}

// A run line by line reads its model again in every pass: its file stays
// open until the next model is opened.
void open_input(const std::string &path)
{
    if (f1 != nullptr)
        std::fclose(f1);
    f1 = std::fopen(path.c_str(), "rb");
    if (f1 == nullptr) {
        std::fprintf(stderr, "quarvelin_micro: cannot open %s\n", path.c_str());
        std::exit(1);
    }
}

void close_input()
{
    if (engine.line_by_line)
        return;
    std::fclose(f1);
    f1 = nullptr;
}

// Run state as the dialogue leaves it for a raw 16-bit model with its
// descriptor, just before dem_lecture.
void raw_dialogue_state()
{
    nomim1 = dir + "m_m2.raw";
    nomdescr1 = dir + "m_m2.txt";
    format = 1;
    itype = 0;
    nb_lig = nb_col = side;
    mind = model.min_dm;
    maxd = model.max_dm;
    pix_size = synth::cell_size_m;
    dpix_size = synth::cell_size_m;
    descr_OK = true;
}

// Run state after reading, slopes and normalisation: what image_saving needs
// besides its open files.
void prepared_state()
{
    if (dtab_in != nullptr && dtab_slope != nullptr && tab_out != nullptr)
        return;
    reset_run_state();
    raw_dialogue_state();
    open_input(nomim1);
    answer_decimetres();
    dem_lecture();
    close_input();
    pendientes();
    treatment();
    X_min = 500000.0;
    Y_min = 4000000.0;
}

// ------------------------------------------------------------- readers

void BM_read_raw16(benchmark::State &state, Mode m)
{
    reset_run_state();
    use_mode(m);
    raw_dialogue_state();
    for (auto _ : state) {
        state.PauseTiming();
        release_grids();
        open_input(nomim1);
        answer_decimetres();
        state.ResumeTiming();
        dem_lecture();
        state.PauseTiming();
        close_input();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * file_bytes(nomim1));
    state.SetItemsProcessed(state.iterations() * cells());
}

void BM_read_ascii(benchmark::State &state, Mode m)
{
    reset_run_state();
    use_mode(m);
    const std::string path = dir + "m.asc";
    for (auto _ : state) {
        state.PauseTiming();
        release_grids();
        open_input(path);
        state.ResumeTiming();
        int line = 0, col = 0;
        const AsciiStatus st = ascii_read(f1, line, col);
        state.PauseTiming();
        close_input();
        if (st != ascii_ok)
            state.SkipWithError("ascii_read refused the model");
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * file_bytes(path));
    state.SetItemsProcessed(state.iterations() * cells());
}

// -------------------------------------------------------- computations

void BM_pendientes(benchmark::State &state, Mode m)
{
    use_mode(m);
    prepared_state();
    for (auto _ : state) {
        pendientes();
        benchmark::DoNotOptimize(log_max);
    }
    state.SetItemsProcessed(state.iterations() * cells());
}

// A run line by line makes its tones as the image is written: its treatment
// only readies the tones of the gradients.
void BM_treatment(benchmark::State &state, Mode m)
{
    use_mode(m);
    prepared_state();
    for (auto _ : state) {
        state.PauseTiming();
        release_outputs();
        state.ResumeTiming();
        treatment();
    }
    state.SetItemsProcessed(state.iterations() * cells());
}

// The log DEM grid of a run that holds its grids, to the stretch limit 1000.
void BM_fill_log_dem(benchmark::State &state)
{
    use_mode(held);
    prepared_state();
    strcoef = 1000.0;
    for (auto _ : state) {
        fill_log_dem();
        benchmark::DoNotOptimize(itab_out[1][1]);
    }
    state.SetItemsProcessed(state.iterations() * cells());
}

// ------------------------------------------------------------- writers

struct Writer {
    int output;  // 0 raw, 1 bitmap, 2 ASCII grid
    int log_dem; // -1 none, 0 raw 32-bit, 1 ASCII grid
};

FILE *create(const std::string &path)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        std::fprintf(stderr, "quarvelin_micro: cannot create %s\n", path.c_str());
        std::exit(1);
    }
    return f;
}

// Names and open files as open_outputs leaves them for w; returns the path
// of the file whose size is the measure of the benchmark.
std::string open_writer_files(const Writer &w)
{
    const std::string generic = dir + "res";
    nomhisto = generic + "_log.xls";
    f3h = create(nomhisto);
    output = w.output;
    if (w.output == 0) {
        nomim2 = generic + "_log.raw";
        nomdescr2 = generic + "_log.txt";
        f2 = create(nomim2);
        f2d = create(nomdescr2);
    } else if (w.output == 1) {
        nomim2 = generic + "_log.bmp";
        f2 = create(nomim2);
    } else {
        nomim2 = generic + "_log.asc";
        f2 = create(nomim2);
    }
    dem_result = w.log_dem < 0 ? 1 : 0;
    if (w.log_dem < 0)
        return nomim2;
    strcoef = 10000.0;
    dem_type = w.log_dem;
    nomhisto2 = generic + "_dem_log.xls";
    f2h = create(nomhisto2);
    if (w.log_dem == 0) {
        nomim3 = generic + "_log_dem_m4.raw";
        nomdescr3 = generic + "_log_dem_m4.txt";
        f3 = create(nomim3);
        f3d = create(nomdescr3);
    } else {
        nomim3 = generic + "_log_dem.asc";
        f3 = create(nomim3);
    }
    return nomim3;
}

// Whole image_saving calls: the image (or the log DEM, when one is asked
// for), both histogram files and the final key wait, which finds no input.
void BM_image_saving(benchmark::State &state, Writer w, Mode m)
{
    use_mode(m);
    prepared_state();
    feed_answers_from(stdin);
    std::string measured;
    for (auto _ : state) {
        state.PauseTiming();
        measured = open_writer_files(w);
        state.ResumeTiming();
        image_saving();
    }
    state.SetBytesProcessed(state.iterations() * file_bytes(measured));
    state.SetItemsProcessed(state.iterations() * cells());
}

void BM_SauveBMP(benchmark::State &state)
{
    use_mode(held);
    prepared_state();
    const std::string path = dir + "alone.bmp";
    for (auto _ : state)
        if (SauveBMP(path.c_str(), tab_out, nb_col, nb_lig, 0, nullptr) != 0)
            state.SkipWithError("SauveBMP failed");
    state.SetBytesProcessed(state.iterations() * file_bytes(path));
    state.SetItemsProcessed(state.iterations() * cells());
}

void register_all()
{
    using benchmark::RegisterBenchmark;
    const auto ms = benchmark::kMillisecond;
    for (const Mode m : {held, lines}) {
        const std::string how = m == held ? "/held" : "/lines";
        auto add = [&](const std::string &name, auto &&...args) {
            RegisterBenchmark((name + how).c_str(), args...)->Unit(ms)->UseRealTime();
        };
        add("BM_read_raw16", BM_read_raw16, m);
        add("BM_read_ascii", BM_read_ascii, m);
        add("BM_pendientes", BM_pendientes, m);
        add("BM_treatment", BM_treatment, m);
        if (m == held)
            add("BM_fill_log_dem", BM_fill_log_dem);
        add("BM_write_raw_image", BM_image_saving, Writer{0, -1}, m);
        add("BM_write_bmp_image", BM_image_saving, Writer{1, -1}, m);
        if (m == held)
            add("BM_SauveBMP", BM_SauveBMP);
        add("BM_write_ascii_image", BM_image_saving, Writer{2, -1}, m);
        // With a raw image beside them (its 1 byte a cell is part of the time).
        add("BM_write_raw_logdem", BM_image_saving, Writer{0, 0}, m);
        add("BM_write_ascii_logdem", BM_image_saving, Writer{0, 1}, m);
    }
}

} // namespace

int main(int argc, char **argv)
{
    engine.thread_count = threads_to_use();
    if (argc == 2 && std::strcmp(argv[1], "--threads") == 0) {
        std::printf("%d\n", engine.thread_count);
        return 0;
    }
    fast_variant_in_use(); // chosen once, before any thread
    if (const char *s = std::getenv("BENCH_MICRO_SIZE")) {
        side = std::atoi(s);
        if (side < 3 || side > 20000) {
            std::fprintf(stderr, "quarvelin_micro: BENCH_MICRO_SIZE must be 3 to 20000\n");
            return 2;
        }
    }
    char tmpl[] = "/tmp/quarvelin-micro-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        std::perror("quarvelin_micro: mkdtemp");
        return 1;
    }
    dir = std::string(tmpl) + "/";
    model = synth::write_model(tmpl, "m", side, side);
    if (!model.error.empty()) {
        std::fprintf(stderr, "quarvelin_micro: %s\n", model.error.c_str());
        std::filesystem::remove_all(tmpl);
        return 1;
    }

    // The table keeps the original standard output; the stages' progress
    // lines and the key wait's input go to /dev/null.
    std::fflush(stdout);
    const int table_fd = dup(STDOUT_FILENO);
    std::ofstream table("/dev/fd/" + std::to_string(table_fd));
    if (table_fd < 0 || !table || !std::freopen("/dev/null", "w", stdout) || !std::freopen("/dev/null", "r", stdin)) {
        std::fprintf(stderr, "quarvelin_micro: cannot redirect the standard streams\n");
        std::filesystem::remove_all(tmpl);
        return 1;
    }
    reset_run_state();

    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        std::filesystem::remove_all(tmpl);
        return 2;
    }
    table << "model: " << side << " x " << side << " cells, " << model.min_dm << ".." << model.max_dm << " dm, in "
          << dir << "; " << engine.thread_count << " threads, fast kernels " << fast_variant_name(fast_variant_in_use())
          << "\n";
    benchmark::ConsoleReporter reporter(isatty(table_fd) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                         : benchmark::ConsoleReporter::OO_Tabular);
    reporter.SetOutputStream(&table);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    release_grids();
    std::filesystem::remove_all(tmpl);
    return 0;
}
