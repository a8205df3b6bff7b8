// Reliability: results committed whole or not at all, whatever ends the run
// or stands in its way; their permissions; the modes agreeing on elevations
// whose sums overflow; names with a zero byte; a model cut while it is
// mapped; the largest bitmap.
#include "files.h"
#include "image.h"
#include "support.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <thread>
#include <tuple>

#if !defined(_WIN32)
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#endif

using namespace qtest;

namespace {

// A 5 x 5 model, cell size 10, as a raw 32-bit model with its descriptor or
// as an ASCII grid; dialogues for each writing a raw image and a raw log DEM
// (the one of an ASCII grid below).
const std::vector<std::string> raw_dialogue = {"0", "site", "m", "1", "1", "0", "res", "0", "0", "0", "1000"};

void put_model(const Site &s, bool ascii)
{
    std::vector<int64_t> z;
    for (int c = 0; c < 25; c++)
        z.push_back(100 + 3 * (c / 5) * (c % 5) + 7 * (c % 5) + (c == 12 ? 20 : 0));
    if (ascii)
        s.write("m.asc", ascii_grid(grid_header({"5", "5", "100", "200", "10", "-9999"}), z, 5));
    else
        s.put_raw("m", 1, z, descriptor_text({5, 5, 4, 100, 176, 10}));
}

} // namespace

// Elevations so large that the weighted sums of a window overflow (a
// gradient of +inf: slope 90) or give inf - inf (a gradient that is not a
// number, its sign bit set as the processor makes it), in patterns about a
// cell of a grid of 7 lines by 3 or 6 columns (of 3, the line of that cell
// has no other gradient): every mode gives the same console text, status
// and files, and a gradient that is not a number is named by its cell.
TEST(Reliability, EveryModeGivesTheSameRunOnElevationsWhoseSumsOverflow)
{
    // The weights of Horn's window in the order the program adds them, from
    // its upper left cell: across, then down.
    const int across[6][3] = {{0, 0, -1}, {0, 2, 1}, {1, 0, -2}, {1, 2, 2}, {2, 0, -1}, {2, 2, 1}};
    const int down[6][3] = {{0, 0, 1}, {0, 1, 2}, {0, 2, 1}, {2, 0, -1}, {2, 1, -2}, {2, 2, -1}};
    // The cells given the value, about the cell: two apart across or down
    // (inf - inf in any order), one alone (an overflow), three (the order of
    // the sum decides).
    const std::vector<std::vector<std::pair<int, int>>> patterns = {
        {{0, -1}, {0, 1}}, {{-1, 0}, {1, 0}}, {{1, 0}}, {{-1, -1}, {-1, 1}, {1, 0}}};
    int failed = 0, steep = 0;
    for (int k = 0; k < 24; k++) {
        const char *huge = k < 8 ? "1.7e308" : k < 16 ? "-1e308" : "6e307";
        const int cols = k % 2 ? 6 : 3, line = cols == 3 ? 5 : 1, col = cols == 3 ? 1 : 3;
        std::vector<std::string> z;
        for (int c = 0; c < 7 * cols; c++)
            z.push_back(std::to_string(100 + 7 * (c / cols) + (c % cols) * (c % cols)));
        for (const auto &[di, dj] : patterns[static_cast<size_t>(k / 2 % 4)])
            z[static_cast<size_t>((line + di) * cols + col + dj)] = huge;
        std::string text = grid_header({std::to_string(cols), "7", "0", "0", "1", "-9999"}), fault;
        for (int c = 0; c < 7 * cols; c++)
            text += z[static_cast<size_t>(c)] + (c % cols == cols - 1 ? "\n" : " ");
        bool infinite = false;
        for (int i = 1; i < 6 && fault.empty(); i++)
            for (int j = 1; j < cols - 1 && fault.empty(); j++) {
                const auto at = [&](const int *w) {
                    return std::stod(z[size_t((i + w[0] - 1) * cols + j + w[1] - 1)]);
                };
                double gx = 0.0, gy = 0.0;
                for (int w = 0; w < 6; w++) {
                    gx += across[w][2] * at(across[w]);
                    gy += down[w][2] * at(down[w]);
                }
                const double g = std::sqrt(gx / 8.0 * (gx / 8.0) + gy / 8.0 * (gy / 8.0));
                infinite = infinite || std::isinf(g);
                if (std::isnan(g))
                    fault = strf("\n\tFile <ROOT>/site/m.asc: the elevations around line %d, column %d are too "
                                 "large for a slope\n",
                                 i, j);
            }
        failed += !fault.empty();
        steep += fault.empty() && infinite;
        SCOPED_TRACE(text);
        std::vector<std::tuple<int, std::string, std::map<std::string, std::string>>> runs;
        for (int mode = 0; mode < 8; mode++) {
            ScopedEnv lines("QUARVELIN_LINE_BY_LINE", mode & 4 ? "1" : "0"),
                plain("QUARVELIN_PLAIN", mode & 2 ? "1" : "0"), threads("QUARVELIN_THREADS", mode & 1 ? "3" : "1");
            Site s;
            s.write("m.asc", text);
            const Outcome r = s.run("1 site m 0 res 0 0 0 1000\n");
            runs.emplace_back(r.status, s.portable(r.out), s.contents());
            EXPECT_EQ(runs.back(), runs.front()) << "mode " << mode << " (4 line by line, 2 plain, 1 three threads)";
        }
        const auto &[status, out, files] = runs.front();
        EXPECT_EQ(status, fault.empty() ? 0 : 1) << out;
        EXPECT_TRUE(fault.empty() ? !infinite || contains(out, "Max = 90.000000 ") : out.ends_with(fault)) << out;
    }
    EXPECT_GT(failed, 0);
    EXPECT_GT(steep, 0);
}

// A name holding a zero byte would be cut short unseen: it is refused and
// the same question asked again, for the folder, the model and the results.
TEST(Reliability, ANameHoldingAZeroByteIsAskedAgain)
{
    Site clean;
    put_model(clean, false);
    const std::string clean_out = clean.portable(clean.run(words(raw_dialogue)).out);
    const std::pair<size_t, std::string> names[] = {
        {1, "\n\n\tName of the File Folder located in the Directory <ROOT>/ : "},
        {2, "\n\tName of DEM File (without any extension) ? "},
        {6, "\n\n\tGeneric name of the resulting file ? "}};
    for (const auto &[at, prompt] : names)
        for (const std::string &bad : {std::string(1, '\0'), std::string("si\0te", 5)}) {
            SCOPED_TRACE(prompt);
            Site s;
            put_model(s, false);
            auto answers = raw_dialogue;
            answers.insert(answers.begin() + static_cast<std::ptrdiff_t>(at), bad);
            const Outcome r = s.run(words(answers));
            std::string expected = clean_out;
            const size_t p = expected.find(prompt);
            ASSERT_NE(p, std::string::npos);
            expected.insert(p + prompt.size(), "\n\tA name without a zero byte is expected." + prompt);
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(s.portable(r.out), expected);
            EXPECT_EQ(s.contents(), clean.contents());
        }
}

// A bitmap file holds its size in 32 bits: the widest picture of each form
// and height fits (lines padded to 4 bytes), one column more does not. A
// size is 2 more than a multiple of 4, so the largest is 4 GiB - 2 bytes:
// 1078 + 2 x 2147483108, two lines of 2147483105 to 2147483108 columns.
TEST(Reliability, ABitmapFitsUpTo4GiBAndNotAColumnMore)
{
    for (int type : {0, 1, 2})
        for (int lines : {1, 2, 3, 7, 1000, 65535, 65536, 1 << 20, INT_MAX}) {
            SCOPED_TRACE(strf("form %d, %d lines", type, lines));
            const uint64_t header = type == 2 ? 54 : 1078, line = (0xFFFFFFFFu - header) / uint64_t(lines) / 4 * 4;
            const int cols = static_cast<int>(std::min<uint64_t>(line / (type == 2 ? 3 : 1), INT_MAX));
            EXPECT_TRUE(TailleBMPPermise(cols, lines, type) && TailleBMPPermise(std::max(cols - 1, 0), lines, type));
            EXPECT_TRUE(cols == INT_MAX || !TailleBMPPermise(cols + 1, lines, type));
        }
    EXPECT_TRUE(TailleBMPPermise(2147483105, 2, 0) && TailleBMPPermise(2147483108, 2, 0));
    EXPECT_FALSE(TailleBMPPermise(2147483109, 2, 0));
}

#if defined(_WIN32)

// Windows has no fork, setpriv, flock nor POSIX signals and access control
// lists, and refuses to cut a file that is mapped.
TEST(Reliability, CommitsPermissionsAndMappedModels)
{
    GTEST_SKIP() << "POSIX processes, signals, locks, permissions and mappings";
}

#else

namespace {

const std::string end_of_input = "\n\tEnd of input: the run is abandoned.\n";
const std::string limit_prompt = "\n\tStretch limit value ? ";

const std::vector<std::string> ascii_dialogue = {"1", "site", "m", "0", "res", "0", "0", "0", "1000"};

std::map<std::string, std::string> clean_files(const std::vector<std::string> &answers, bool ascii)
{
    Site s;
    put_model(s, ascii);
    EXPECT_EQ(s.run(words(answers)).status, 0);
    return s.contents();
}

bool hidden_file_in(const fs::path &dir)
{
    const fs::directory_iterator all(dir);
    return std::any_of(begin(all), end(all), [](const auto &e) { return e.path().filename().string()[0] == '.'; });
}

std::string replaced(std::string s, const std::string &from, const std::string &to)
{
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

} // namespace

// What ends a run, or stands in its way, against what it leaves: the
// earlier results as they were (and no temporary nor backup), or those of a
// complete run. "{site}" stands for the folder.
TEST(Reliability, ResultsAreCommittedWholeOrLeftAsTheyWereWhateverStandsInTheWay)
{
    enum Fault { sent, ignored, moved, sticky, in_place, copy_in_tmpdir, no_tmpdir, copy_too_large };
    const struct {
        const char *what;
        int status; // the exit status; -1: the signal sent ends the run, which leaves no core file
        std::string message;
        bool complete;
    } expected[] = {
        // An ending signal sent while the dialogue waits with every temporary
        // made, or the same signal ignored from the start.
        {"sent at the prompt", -1, "", false},
        {"ignored from the start", 1, end_of_input, false},
        // The folder moved and renamed meanwhile: the temporaries are found
        // through the folder's descriptor.
        {"folder moved", 1, end_of_input, false},
        // In a sticky folder, the last result to replace is another user's,
        // writable by all: found before any rename.
        {"sticky folder", 1, "\n\tFile {site}res_log_dem_m4.hdr could not be written\n", false},
        // The user's own results in a folder the user cannot write to are
        // written in place; an ASCII model read line by line has its copy in
        // TMPDIR, or nowhere; a copy of 200 bytes beyond the file-size limit,
        // which lies above the model's text.
        {"results in place", 0, "", true},
        {"copy in TMPDIR", 0, "", true},
        {"no TMPDIR", 1,
         "\n\tFile {site}m.asc: no temporary file can be made beside it or in {site}absent/ to read it line by line\n",
         false},
        {"copy beyond the file-size limit", 1,
         "\n\tFile {site}m.asc: its copy in {site} for reading it line by line could not be written: the file-size "
         "limit is reached\n",
         false},
    };
    std::vector<std::pair<Fault, int>> rows;
    for (int sig : {SIGXCPU, SIGVTALRM, SIGPROF, SIGUSR1, SIGTERM, SIGRTMIN + 1, SIGRTMAX}) {
        rows.push_back({sent, sig});
        if (sig == SIGUSR1 || sig == SIGTERM || sig == SIGRTMAX)
            rows.push_back({ignored, sig});
    }
    for (Fault f : {moved, sticky, in_place, copy_in_tmpdir, no_tmpdir, copy_too_large})
        rows.push_back({f, 0});

    const std::map<std::string, std::string> complete[2] = {clean_files(raw_dialogue, false),
                                                            clean_files(ascii_dialogue, true)};
    std::vector<std::string> user = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    if (geteuid() != 0 || access(user[0].c_str(), X_OK) != 0)
        user.clear();
    std::string skipped;
    for (const auto &[f, sig] : rows) {
        const auto &e = expected[f];
        SCOPED_TRACE(std::string(e.what) + (sig != 0 ? std::string(": ") + strsignal(sig) : ""));
        const bool ascii = f >= copy_in_tmpdir, as_user = f >= sticky && f <= no_tmpdir;
        if (as_user && user.empty()) {
            skipped += std::string(" ") + e.what;
            continue;
        }
        Site s;
        put_model(s, ascii);
        s.put_earlier_results("res");
        const fs::path root = s.folder().parent_path(), tmp = root / "tmp";
        fs::create_directory(tmp);
        fs::permissions(tmp, fs::perms::all | fs::perms::sticky_bit);
        for (const std::string &name : s.files()) {
            const bool result = name.starts_with("res"), others = f == sticky && name == "res_log_dem_m4.hdr";
            EXPECT_TRUE(!as_user || chown(s.path(name).c_str(), result && !others ? 65534 : 0, 0) == 0);
            fs::permissions(s.folder() / name, static_cast<fs::perms>((result && f != sticky) || others ? 0666 : 0644));
        }
        fs::permissions(root, static_cast<fs::perms>(0755));
        fs::permissions(s.folder(), static_cast<fs::perms>(f == sticky ? 01777 : 0755));
        const auto earlier = s.contents();
        std::vector<std::string> env;
        if (ascii)
            env.push_back("QUARVELIN_LINE_BY_LINE=1");
        if (f == copy_in_tmpdir || f == no_tmpdir)
            env.push_back("TMPDIR=" + (f == no_tmpdir ? s.path("absent") : tmp.string()));
        Child run(s.root(), {}, as_user ? user : std::vector<std::string>{}, env, f == ignored ? sig : 0,
                  f == copy_too_large ? 190 : RLIM_INFINITY);
        const auto &answers = ascii ? ascii_dialogue : raw_dialogue;
        const fs::path away = root / "away" / "renamed";
        if (f >= sticky) {
            run.send(words(answers));
        } else {
            run.send(words(answers, answers.size() - 1));
            ASSERT_TRUE(run.wait_for(limit_prompt)) << run.out;
            EXPECT_TRUE(hidden_file_in(s.folder())) << "no temporary made before the prompt";
            if (sig != 0)
                kill(run.pid, sig);
            if (f == moved) {
                fs::create_directories(away.parent_path());
                fs::rename(s.folder(), away);
            }
        }
        const int status = run.finish();
        if (f == moved)
            fs::rename(away, s.folder()); // back, to be looked at
        EXPECT_EQ(status, e.status >= 0 ? e.status << 8 : sig) << "the wait status" << run.out;
        EXPECT_TRUE(run.out.ends_with(replaced(e.message, "{site}", s.path("")))) << run.out;
        auto left = earlier;
        for (const auto &[name, bytes] : complete[ascii])
            if (e.complete)
                left[name] = bytes;
        EXPECT_EQ(s.contents(), left);
        EXPECT_FALSE(hidden_file_in(s.folder())) << "a temporary or a backup is left";
        EXPECT_TRUE(fs::is_empty(tmp));
    }
    if (!skipped.empty())
        GTEST_SKIP() << "not run as another user (not root, or no setpriv):" << skipped;
}

// Two runs writing the same results at once, with different stretch limits
// (so different log DEMs, descriptors and histograms): their commits take
// turns, waiting for the lock on the folder (here held by the test until
// both wait for it), and the folder holds the results of one of them.
TEST(Reliability, TwoRunsCommittingTheSameResultsAtOnceLeaveTheResultsOfOne)
{
    const std::string limits[2] = {"1000", "500"};
    std::map<std::string, std::string> sets[2];
    for (int k = 0; k < 2; k++) {
        auto answers = raw_dialogue;
        answers.back() = limits[k];
        sets[k] = clean_files(answers, false);
    }
    ASSERT_NE(sets[0]["res_log_dem_m4.txt"], sets[1]["res_log_dem_m4.txt"]);
    Site s;
    put_model(s, false);
    const auto results = [&] { // the files put in place, no temporary
        auto all = s.contents();
        std::erase_if(all, [](const auto &file) { return file.first[0] == '.'; });
        return all;
    };
    for (int round = 0; round < 10; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        Child runs[2] = {Child(s.root()), Child(s.root())};
        for (Child &c : runs) {
            c.send(words(raw_dialogue, raw_dialogue.size() - 1));
            ASSERT_TRUE(c.wait_for(limit_prompt)) << c.out;
        }
        const auto earlier = results();
        const int folder = open(s.folder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_EQ(flock(folder, LOCK_EX), 0);
        for (int k = 0; k < 2; k++)
            runs[k].send(limits[k] + "\n");
        for (Child &c : runs) {
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            long call = -1;
            while (!(std::ifstream("/proc/" + std::to_string(c.pid) + "/syscall") >> call && call == SYS_flock) &&
                   std::chrono::steady_clock::now() < end)
                std::this_thread::yield();
            ASSERT_EQ(call, SYS_flock) << "a commit does not wait for the lock on the folder";
        }
        EXPECT_EQ(results(), earlier);
        close(folder);
        EXPECT_TRUE(runs[0].finish() == 0 && runs[1].finish() == 0);
        const auto left = s.contents(); // no temporary either
        EXPECT_TRUE(left == sets[0] || left == sets[1]) << "a mix of the results of two runs, or a temporary left";
    }
}

// A replaced result keeps its mode, group and access control list; a new one
// has what a plain create gives in that folder (its default access rules,
// its group for a set-group-ID folder).
TEST(Reliability, AReplacedResultKeepsItsPermissionsAndANewOneHasAPlainCreatesOnes)
{
    if (geteuid() != 0 || std::system("command -v setfacl >/dev/null && command -v getfacl >/dev/null") != 0)
        GTEST_SKIP() << "needs root and setfacl and getfacl (Debian's acl package)";
    Site s;
    const auto attributes = [&](const std::string &path) {
        struct stat st {};
        stat(path.c_str(), &st);
        const int acl = std::system(("getfacl -cnp '" + path + "' > '" + s.root() + "acl'").c_str());
        return strf("%o %u:%u %d\n", st.st_mode, st.st_uid, st.st_gid, acl) + read_file(s.root() + "acl");
    };
    put_model(s, false);
    s.put_earlier_results("res");
    fs::remove(s.folder() / "res_dem_log.xls");
    const std::string folder = s.folder().string(), kept = s.path("res_log.raw");
    EXPECT_EQ(chown(folder.c_str(), 0, 65534), 0);
    fs::permissions(s.folder(), static_cast<fs::perms>(02775));
    if (std::system(("setfacl -d -m u:65534:rwx,o::- '" + folder + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "no access control lists on this file system";
    EXPECT_EQ(chown(kept.c_str(), 0, 12345), 0);
    EXPECT_EQ(std::system(("setfacl -m u:65534:r--,g:12345:rw- '" + kept + "' && chmod 640 '" + kept + "'").c_str()),
              0);
    const std::string before = attributes(kept);
    ASSERT_TRUE(contains(before, "user:65534:r--")) << before;
    ASSERT_EQ(s.run(words(raw_dialogue)).status, 0);
    EXPECT_EQ(attributes(kept), before);
    close(open(s.path("plain").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    EXPECT_EQ(attributes(s.path("res_dem_log.xls")), attributes(s.path("plain")));
}

// A model cut short while it is mapped reads as zeros past its new end,
// pages beyond it too, instead of dying of a bus error; the cut is noted.
TEST(Reliability, AModelCutWhileItIsMappedReadsAsZerosPastItsNewEnd)
{
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    for (size_t cut : {size_t(0), size_t(100), page, 2 * page + 1, 3 * page + 90}) { // the last within its last page
        SCOPED_TRACE("cut to " + std::to_string(cut));
        TempDir dir;
        write_file(dir.at("m.asc"), std::string(3 * page + 100, '7'));
        FILE *f = std::fopen(dir.at("m.asc").c_str(), "rb");
        size_t size = 0;
        const char *text = f != nullptr ? map_whole(f, size) : nullptr;
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(size, 3 * page + 100);
        EXPECT_EQ(text[size], '\0');
        EXPECT_FALSE(map_was_cut());
        ASSERT_EQ(truncate(dir.at("m.asc").c_str(), static_cast<off_t>(cut)), 0);
        EXPECT_EQ(std::string(text, size), std::string(cut, '7') + std::string(size - cut, '\0'));
        EXPECT_TRUE(map_was_cut());
        unmap_whole(text, size);
        std::fclose(f);
    }
}

#endif
