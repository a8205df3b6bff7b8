// Fault runs of the whole program: answers that end early or are not
// numbers, disks that fill up, folders that do not exist, results that would
// overwrite their model, and damaged models. Each run is the built program on
// a tiny model in a temporary root; a failed run must say why, end with
// status 1 within seconds and leave no incomplete file behind.
//
// Reliability: results committed whole or not at all, whatever ends the run
// or stands in its way; their permissions; the modes agreeing on elevations
// whose sums overflow; names with a zero byte; a model cut while it is
// mapped.
//
// In-process faults, on every system: the host table's calls made to fail
// (the Nth rename, a full disk at the flush, a scratch file refused) under
// the commit, the writers and the scratch copy, which must leave the earlier
// files whole and no temporary; the room's figures, the key wait and the
// ending-signal handler through the same table.
#include "console.h"
#include "files.h"
#include "host.h"
#include "outputs.h"
#include "room.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <optional>
#include <set>
#include <tuple>

#include <sys/stat.h>
#if !defined(_WIN32)
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#endif

using namespace qtest;

namespace {

const std::vector<std::string> no_prefix;
const std::string end_of_input = "\n\tEnd of input: the run is abandoned.\n";
const std::string not_a_number = "\n\tA number is expected.";

// A 5 x 5 model with slopes of several sizes, in metres, cell size 10.
std::vector<int64_t> model_cells()
{
    std::vector<int64_t> z;
    for (int i = 0; i < 5; i++)
        for (int j = 0; j < 5; j++)
            z.push_back(100 + 3 * i * j + 7 * j + (i == 2 && j == 2 ? 20 : 0));
    return z;
}

const std::string model_raw = le32(model_cells());
const std::string model_descriptor = descriptor_text({5, 5, 4, 100, 176, 10});

// The 5 x 5 model as an ASCII grid, its first `values` cells after `header`.
std::string ascii_model(const std::string &header, size_t values = 25)
{
    return ascii_grid(header, model_cells(), 5, values);
}
const std::string six_line_header = grid_header({"5", "5", "100", "200", "10", "-9999"});

// Dialogue with a missing descriptor (typed dimensions, a pixel size of 0
// asked again), an ASCII image with coordinates and an ASCII log DEM: every
// numeric question of the program is in it.
const std::vector<std::string> typed_dialogue = {"1", "site", "m", "1",   "1",   "5", "5", "0",   "10",
                                                 "0", "res",  "2", "100", "200", "0", "1", "1000"};

// Dialogue with the descriptor present, the information box, a raw image
// and a raw log DEM; the same with a bitmap; an ASCII image and log DEM.
const std::vector<std::string> raw_dialogue = {"0", "site", "m", "1", "1", "0", "res", "0", "0", "0", "1000"};
const std::vector<std::string> bitmap_dialogue = {"0", "site", "m", "1", "1", "0", "res", "1", "0", "0", "1000"};
const std::vector<std::string> ascii_dialogue = {"1", "site", "m",   "1", "1", "0",   "res",
                                                 "2", "100",  "200", "0", "1", "1000"};

// What is shown again after a refused answer to each word of typed_dialogue
// (empty: the word is a name, not a number).
const std::string yes_no = "\n\t\t0 ====> yes\n\t\t1 ====> no\n\t\t";
const std::vector<std::string> shown_again = {
    yes_no,
    "",
    "",
    "\n\tFormat Type :\n\t\t0 ====> ascii\n\t\t1 ====> raster\n\t\t",
    "\n\ttype of DEM raster :\n\t\t0 ====> 16 bits\n\t\t1 ====> 32 bits\n\t\t",
    "\n\tNumber of lines   ? ",
    "\n\tNumber of columns ? ",
    "\n\tPixel size ? ",
    "\n\tPixel Size (in meters) ? ",
    "\n\n\tAre these values\n\t\t0 ====> in meters\n\t\t1 ====> in decimeters\n\t\t2 ====> in centimeters"
    "\n\t\t3 ====> in millimeters\n\t\t",
    "",
    "\n\t\t0 ====> raster\n\t\t1 ====> bitmap\n\t\t2 ====> ascii\n\t\t",
    "\n\t\tX_min ? ",
    "\t\tY_min ? ",
    "\n\tSave the result as a Digital Elevation Model:\n\tNote: gray tones result from a stretching" + yes_no,
    "\n\tType of DEM:\n\t\t0 ====> raster (integer 4 with extension _m4.raw)\n\t\t1 ====> ascii\n\t\t",
    "\n\tStretch limit value ? ",
};

std::vector<std::string> with(std::vector<std::string> w, size_t at, const std::string &word)
{
    w[at] = word;
    return w;
}

std::vector<std::string> inserted(std::vector<std::string> w, size_t at, const std::string &word)
{
    w.insert(w.begin() + static_cast<std::ptrdiff_t>(at), word);
    return w;
}

// The 5 x 5 model in a new site: raw, with or without its descriptor, or as
// an ASCII grid.
void put_model(const Site &s, bool descriptor, bool ascii = false)
{
    if (ascii)
        s.write("m.asc", ascii_model(six_line_header));
    else
        s.put_raw("m", 1, model_cells(), descriptor ? model_descriptor : "");
}

// What put_entry makes in the place of a file, besides a regular file of
// the given bytes: a directory, a FIFO, or ("-> PATH") a symbolic link.
const std::string a_directory = "<directory>", a_fifo = "<fifo>";

void put_entry(const Site &s, const std::string &name, const std::string &what)
{
    const fs::path p = s.folder() / name;
    if (what == a_directory)
        fs::create_directory(p);
#if !defined(_WIN32)
    else if (what == a_fifo)
        EXPECT_EQ(mkfifo(p.c_str(), 0644), 0);
#endif
    else if (what.rfind("-> ", 0) == 0)
        fs::create_symlink(what.substr(3), p);
    else
        s.write(name, what);
}

struct Clean {
    Outcome run;
    std::map<std::string, std::string> files;
};

Clean clean_run(const std::vector<std::string> &answers, bool descriptor, bool ascii = false)
{
    Site s;
    put_model(s, descriptor, ascii);
    Clean c{s.run(words(answers)), s.contents()};
    c.run.out = s.portable(c.run.out);
    EXPECT_EQ(c.run.status, 0) << c.run.out;
    return c;
}

// The names in `dir` that begin with a dot: a temporary (.NAME.XXXXXX) or a
// backup of a run.
std::vector<std::string> hidden_names(const fs::path &dir)
{
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(dir))
        if (const std::string name = e.path().filename().string(); name[0] == '.')
            names.push_back(name);
    return names;
}
const std::vector<std::string> no_names;

// The regular files of the folder are exactly these, and no temporary is
// left: no earlier file was touched.
void expect_left(const Site &s, const std::map<std::string, std::string> &files)
{
    EXPECT_EQ(s.contents(), files);
    EXPECT_EQ(hidden_names(s.folder()), no_names);
}

} // namespace

TEST(FaultRuns, EndOfInputAtAnyQuestionAbandonsTheRunAndLeavesNoFile)
{
    struct Dialogue {
        const std::vector<std::string> *answers;
        bool descriptor;
    };
    for (const Dialogue &d : {Dialogue{&typed_dialogue, false}, Dialogue{&raw_dialogue, true}}) {
        const Clean clean = clean_run(*d.answers, d.descriptor);
        for (size_t k = 0; k < d.answers->size(); k++) {
            SCOPED_TRACE("input ends after " + std::to_string(k) + " answers");
            Site s;
            put_model(s, d.descriptor);
            s.put_earlier_results("res");
            const auto earlier = s.contents();
            const Outcome r = s.run(words(*d.answers, k), 3);
            EXPECT_FALSE(r.hung);
            EXPECT_EQ(r.status, 1);
            ASSERT_TRUE(r.out.ends_with(end_of_input)) << r.out;
            // Everything printed before the input ended is what a whole run
            // prints up to that question.
            const std::string before = s.portable(r.out.substr(0, r.out.size() - end_of_input.size()));
            EXPECT_EQ(clean.run.out.substr(0, before.size()), before);
            // Every earlier result is left as it was, and no temporary; a
            // descriptor that the run created stays only once the model was
            // read and it was complete.
            auto left = earlier;
            if (s.exists("m_m4.txt"))
                left["m_m4.txt"] = model_descriptor;
            expect_left(s, left);
        }
    }
}

// A refused answer prints why (a word that is no number, a number out of
// range) and shows the question again exactly; the run then ends with the
// very files of a clean run. A byte-order mark before the first answer is
// no part of it.
TEST(FaultRuns, RefusedAnswersAreAskedAgainAndTheRunCompletesAsACleanOne)
{
    const Clean clean = clean_run(typed_dialogue, false);
    ASSERT_EQ(shown_again.size(), typed_dialogue.size());

    struct Refused {
        size_t at;
        std::string word;
        std::string message; // printed before the question is shown again
    };
    const std::string dimension = "\n\tA whole number from 0 to 2147483647 is expected.";
    const std::string pixel = "\n\tA whole number from -2147483648 to 2147483647 is expected.";
    const std::string limit =
        "\n\tThe log DEM holds 32-bit values: a stretch limit from -2147483647 to 2147483647 is expected.";
    std::vector<Refused> cases;
    // A real number may be hexadecimal, as "%lf" reads it; a whole number
    // may not.
    for (size_t k = 0; k < typed_dialogue.size(); k++)
        if (!shown_again[k].empty())
            for (const char *w : {"abc", "12abc", k == 12 || k == 13 || k == 16 ? "0x1p" : "0x10"})
                cases.push_back({k, w, not_a_number});
    cases.push_back({12, "inf", not_a_number});
    cases.push_back({16, "nan", not_a_number});
    // A choice beyond its n options 0 .. n - 1 (and 7 for the format), or a
    // pixel size of 0, is asked again without a word.
    for (const auto &[k, n] :
         std::vector<std::pair<size_t, int>>{{0, 2}, {3, 2}, {4, 2}, {9, 4}, {11, 3}, {14, 2}, {15, 2}})
        for (const std::string &w : {std::to_string(n), std::string("-1")})
            cases.push_back({k, w, ""});
    cases.push_back({3, "7", ""});
    cases.push_back({8, "0", ""});
    for (const char *w : {"-1", "2147483648"})
        cases.push_back({5, w, dimension});
    for (const char *w : {"-3", "+99999999999"})
        cases.push_back({6, w, dimension});
    cases.push_back({7, "3000000000", pixel});
    cases.push_back({8, "-2147483649", pixel});
    for (const char *w : {"3e9", "-2147483648.5"})
        cases.push_back({16, w, limit});

    // What the program has printed when it reads each answer.
    std::vector<std::string> printed_before;
    for (size_t k = 0; k < typed_dialogue.size(); k++) {
        Site s;
        put_model(s, false);
        std::string out = s.portable(s.run(words(typed_dialogue, k)).out);
        ASSERT_TRUE(out.ends_with(end_of_input));
        printed_before.push_back(out.substr(0, out.size() - end_of_input.size()));
    }

    for (const Refused &c : cases) {
        SCOPED_TRACE("answer " + std::to_string(c.at) + " preceded by \"" + c.word + "\"");
        const std::string &before = printed_before[c.at];
        Site s;
        put_model(s, false);
        const Outcome r = s.run(words(inserted(typed_dialogue, c.at, c.word)));
        EXPECT_EQ(r.status, 0);
        const std::string expected = before + c.message + shown_again[c.at] + clean.run.out.substr(before.size());
        EXPECT_EQ(s.portable(r.out), expected);
        EXPECT_EQ(s.contents(), clean.files);
    }

    for (const char *bom : {"\xEF\xBB\xBF", "\xEF\xBB\xBF\n"}) {
        Site s;
        put_model(s, false);
        const Outcome r = s.run(bom + words(typed_dialogue));
        EXPECT_EQ(s.portable(r.out), clean.run.out);
        EXPECT_EQ(s.contents(), clean.files);
    }
}

// How to run the program as a user other than root, for whom write
// permissions count: empty when this process is not root, null when there
// is no way.
const std::vector<std::string> *as_a_user()
{
#if defined(_WIN32)
    return &no_prefix; // a read-only file binds every user there
#else
    static const std::vector<std::string> nobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                                    "--clear-groups"};
    if (geteuid() != 0)
        return &no_prefix;
    return access(nobody[0].c_str(), X_OK) == 0 ? &nobody : nullptr;
#endif
}

// A result that cannot be created (no such folder, a name too long for the
// system, a directory or a write-protected file in its place) is reported
// before the long work; one that reaches a full disk (a link to /dev/full)
// or the limit of a file's size is reported when it is written, after the
// image when it is the log DEM. Either way no result is put in place:
// whatever stands in the place of a result and every earlier result are
// left as they were, a device too, and no temporary is left.
TEST(FaultRuns, AResultThatCannotBeCreatedOrWrittenIsReportedAndLeavesEveryEarlierFile)
{
    const std::string long_name(300, 'r');
    const std::string cannot = " cannot be created\n", too_long = ": the name is too long for the system\n",
                      unwritten = " could not be written\n";
    enum Blocker { nothing, a_folder, a_protected_file, a_full_disk, a_size_limit };
    const char *const blockers[] = {"nothing", "a folder", "a protected file", "a full disk", "a size limit"};
    struct Blocked {
        std::string generic; // typed
        ResultRole file;
        Blocker blocker;
        std::string message;
    };
    std::vector<Blocked> cases = {{"nofolder/res", result_histogram, nothing, cannot},
                                  {long_name, result_histogram, nothing, too_long}};
    for (ResultRole role : {result_raw_image, result_raw_image_descriptor, result_ascii_image, result_dem_histogram,
                            result_raw_dem_descriptor, result_ascii_dem, result_bitmap})
        cases.push_back({"res", role, a_folder, cannot});
    for (ResultRole role : {result_bitmap, result_histogram, result_raw_dem})
        cases.push_back({"res", role, a_protected_file, cannot});
#if !defined(_WIN32) // Windows has neither a limit on the size of files nor a full device
    for (ResultRole role : {result_bitmap, result_dem_histogram})
        cases.push_back({"res", role, a_size_limit, unwritten});
    for (int role = 0; role < result_count && fs::exists("/dev/full"); role++) // where the system has one
        cases.push_back({"res", static_cast<ResultRole>(role), a_full_disk, unwritten});
#endif
    for (const Blocked &c : cases) {
        const std::string name = result_name(c.generic, c.file);
        SCOPED_TRACE(name + " blocked by " + blockers[c.blocker]);
        const std::vector<std::string> *user = c.blocker == a_protected_file ? as_a_user() : &no_prefix;
        if (user == nullptr) {
            ADD_FAILURE() << "no setpriv to run as another user: a write-protected file is not tried";
            continue;
        }
        Site s;
        put_model(s, true);
        // The sidecars of a placed model in a known system are made only
        // for one: its header gives them (the coordinates of an ASCII
        // result stay typed).
        const bool placed = c.file == result_bitmap_world || c.file == result_bitmap_crs;
        if (placed || c.file == result_ascii_image_crs || c.file == result_ascii_dem_crs)
            s.write("m_m4.hdr", std::string("ENVI\nsamples = 5\nlines = 5\n") +
                                    (placed ? "map info = {UTM, 1, 1, 100, 250, 10, 10, 33, North}\n" : "") +
                                    "coordinate system string = {PROJCS[\"WGS 84 / UTM zone 33N\"]}\n");
        s.put_earlier_results("res");
        const fs::path place = s.folder() / name;
        if (c.blocker == a_folder || c.blocker == a_full_disk)
            fs::remove(place);
        if (c.blocker == a_folder)
            fs::create_directory(place);
        if (c.blocker == a_full_disk)
            fs::create_symlink("/dev/full", place);
        if (c.blocker == a_protected_file) {
            // Another user may read the model, make files in the folder and
            // replace every earlier file, but this one.
            for (const std::string &f : s.files())
                fs::permissions(s.folder() / f, fs::perms::others_read | fs::perms::others_write,
                                fs::perm_options::add);
            fs::permissions(place, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
            fs::permissions(s.folder(), fs::perms::all);
            fs::permissions(s.folder().parent_path(),
                            fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
        }
        const bool bitmap = c.file == result_bitmap || placed;
        const bool ascii = c.file == result_ascii_image || c.file == result_ascii_dem ||
                           c.file == result_ascii_image_crs || c.file == result_ascii_dem_crs;
        const auto &answers = bitmap ? bitmap_dialogue : ascii ? ascii_dialogue : raw_dialogue;
        const auto names = s.files();
        const auto earlier = s.contents();
        const Outcome r =
            s.run(words(with(answers, 6, c.generic)), 5, *user, c.blocker == a_size_limit ? 1000 : UINT64_MAX);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(contains(r.out, "\n\tFile " + s.path(name) + c.message)) << r.out;
        const bool log_dem = c.file == result_raw_dem || c.file == result_raw_dem_descriptor ||
                             c.file == result_raw_dem_header || c.file == result_ascii_dem ||
                             c.file == result_ascii_dem_crs;
        EXPECT_EQ(contains(r.out, "has been saved"), log_dem && c.message == unwritten) << r.out;
        EXPECT_FALSE(contains(r.out, "Processing completed"));
        EXPECT_EQ(s.files(), names);
        expect_left(s, earlier);
        if (c.blocker == a_full_disk) {
            EXPECT_TRUE(fs::is_symlink(place));
        }
    }
}

#if !defined(_WIN32)
// Results the user may write, in a folder the user may not write, are
// written in place; the GIS sidecars that would be new files there are
// skipped, and the run says so in one line.
TEST(FaultRuns, SidecarsThatCannotBeCreatedAreSkippedAndTold)
{
    const std::vector<std::string> *user = as_a_user();
    if (user == nullptr)
        GTEST_SKIP() << "no setpriv to run as another user";
    Site s;
    put_model(s, true);
    s.write("m_m4.hdr", "ENVI\nsamples = 5\nlines = 5\nmap info = {UTM, 1, 1, 100, 250, 10, 10, 33, North}\n"
                        "coordinate system string = {PROJCS[\"WGS 84 / UTM zone 33N\"]}\n");
    s.put_earlier_results("res");
    const std::vector<std::string> sidecars = {"res_log.bpw", "res_log.bmp.aux.xml"};
    for (const std::string &name : sidecars)
        fs::remove(s.folder() / name);
    for (const std::string &f : s.files())
        fs::permissions(s.folder() / f, fs::perms::others_read | fs::perms::others_write, fs::perm_options::add);
    // The user, or another one when the tests run as root, may not make files there.
    fs::permissions(s.folder(),
                    fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(s.folder().parent_path(), fs::perms::owner_all | fs::perms::others_exec);
    const auto earlier = s.contents();
    const Outcome r = s.run(words(bitmap_dialogue), 5, *user);
    fs::permissions(s.folder(), fs::perms::owner_all);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(count(r.out, "\n\tThe GIS sidecars " + s.path(sidecars[0]) + ", " + s.path(sidecars[1]) +
                               " cannot be created: the results are written without them.\n"),
              1u)
        << r.out;
    EXPECT_NE(s.read("res_log.bmp"), earlier.at("res_log.bmp"));
    EXPECT_EQ(hidden_names(s.folder()), no_names);
    for (const std::string &name : sidecars)
        EXPECT_FALSE(fs::exists(s.folder() / name)) << name;
}
#endif

// A complete run replaces every earlier result; a result whose name is a
// symbolic link replaces the file the link leads to, and the link stays. A
// new result has the permissions of the umask, a replaced one keeps its own.
TEST(FaultRuns, ResultsReplaceTheFilesTheyNameAndTheirLinksLeadTo)
{
#if defined(_WIN32)
    // Windows programs make no symbolic links and know no umask: the results
    // replace plain files there.
    const std::vector<std::string> links = {""};
#else
    const mode_t mask = umask(022);
    const std::vector<std::string> links = {"", "other/x.xls", "../other/x.xls", "<abs>", "../other/absent.xls"};
#endif
    const Clean clean = clean_run(raw_dialogue, true);
    for (const std::string &link : links) {
        SCOPED_TRACE("res_log.xls a link to " + link);
        Site s;
        put_model(s, true);
        s.put_earlier_results("res");
        fs::remove(s.folder() / "res_dem_log.xls");
        fs::permissions(s.folder() / "res_log.raw", fs::perms::owner_read | fs::perms::owner_write);
        const fs::path other = s.folder().parent_path() / "other";
        for (const fs::path &dir : {other, s.folder() / "other"}) {
            fs::create_directory(dir);
            write_file(dir / "x.xls", "earlier x\n");
        }
        std::string to = link;
        if (!to.empty()) {
            if (to == "<abs>")
                to = (other / "x.xls").string();
            fs::remove(s.folder() / "res_log.xls");
            fs::create_symlink(to, s.folder() / "res_log.xls");
        }
        const Outcome r = s.run(words(raw_dialogue));
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(s.portable(r.out), clean.run.out);
        for (const auto &[name, bytes] : clean.files)
            EXPECT_EQ(s.read(name), bytes) << name;
        // The results of other forms are not written and stay as they were.
        EXPECT_EQ(s.read("res_log.bmp"), "earlier res_log.bmp\n");
#if !defined(_WIN32)
        EXPECT_EQ(fs::status(s.folder() / "res_log.raw").permissions(), fs::perms::owner_read | fs::perms::owner_write);
        EXPECT_EQ(fs::status(s.folder() / "res_dem_log.xls").permissions(), static_cast<fs::perms>(0644));
#endif
        if (!to.empty()) {
            EXPECT_TRUE(fs::is_symlink(s.folder() / "res_log.xls"));
            EXPECT_EQ(fs::read_symlink(s.folder() / "res_log.xls").string(), to);
        }
        // Nothing but the results in either folder: no temporary is left.
        auto names = s.files();
        names.erase(std::remove(names.begin(), names.end(), "other"), names.end());
        EXPECT_EQ(names.size(), result_count + 2);
        for (const fs::path &dir : {other, s.folder() / "other"})
            EXPECT_EQ(hidden_names(dir), no_names) << dir;
    }
#if !defined(_WIN32)
    umask(mask);
#endif
}

TEST(FaultRuns, AResultNameThatWouldOverwriteTheModelIsAskedAgain)
{
    // A log DEM read back: "res" would write its log DEM over it, and so
    // would "./res", another spelling of the same file. An ASCII image read
    // back: "res" would write its image over it.
    const std::pair<ResultRole, std::vector<std::string>> cases[] = {
        {result_raw_dem, {"1", "site", "res_log_dem", "1", "1", "0", "./res", "res", "res2", "0", "0", "0", "1000"}},
        {result_ascii_image, {"1", "site", "res_log", "0", "res", "./res", "res2", "2", "0", "1", "1000"}},
    };
    const std::string again = " is the input model: choose another name\n\n\n\tGeneric name of the resulting file ? ";
    for (const auto &[role, answers] : cases) {
        const std::string model_file = result_name("res", role),
                          descriptor = result_name("res", result_raw_dem_descriptor);
        SCOPED_TRACE(model_file);
        Site s;
        const std::string model = role == result_ascii_image ? ascii_model(six_line_header) : model_raw;
        s.write(model_file, model);
        if (role == result_raw_dem)
            s.write(descriptor, model_descriptor);
        const Outcome r = s.run(words(answers));
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(contains(r.out, "\n\tFile " + s.path("./" + model_file) + again)) << r.out;
        EXPECT_TRUE(contains(r.out, "\n\tFile " + s.path(model_file) + again)) << r.out;
        EXPECT_EQ(s.read(model_file), model);
        if (role == result_raw_dem) {
            EXPECT_EQ(s.read(descriptor), model_descriptor);
        }
        EXPECT_TRUE(s.exists("res2_log.xls"));
    }
}

TEST(FaultRuns, DamagedModelsAreRefusedWithAClearMessage)
{
    const std::string raw_answers = "1 site m 1 1 0 res 0 1\n";
    const std::string ascii_answers = "1 site m 0 res 0 1\n";
    const std::string long_name(300, 'm');
    // A column of elevations whose weighted sums leave the range of a double.
    std::string huge_column = six_line_header;
    for (int i = 0; i < 5; i++)
        huge_column += "1 1 1e308 1 1\n";
    struct Damaged {
        const char *what;
        std::vector<std::pair<std::string, std::string>> files;
        std::string answers;
        std::string message; // "{}" stands for the folder path
    };
    std::vector<Damaged> cases = {
        {"a raw file cut short",
         {{"m_m4.raw", model_raw.substr(0, 99)}, {"m_m4.txt", model_descriptor}},
         raw_answers,
         "\n\tFile {}m_m4.raw is too short: 25 cells expected, 24 found\n"},
        {"a 16-bit raw file cut short, its descriptor being typed",
         {{"m_m2.raw", std::string(7, '\1')}},
         "1 site m 1 0 2 2 10 0 res 0 1\n",
         "\n\tFile {}m_m2.raw is too short: 4 cells expected, 3 found\n"},
        {"a descriptor with negative dimensions",
         {{"m_m4.raw", model_raw}, {"m_m4.txt", "-5\n5\n4\n0\n0\n10\n"}},
         raw_answers,
         "\n\tFile {}m_m4.txt: the dimensions are not valid\n"},
        {"a descriptor with enormous dimensions",
         {{"m_m4.raw", model_raw}, {"m_m4.txt", "2000000000\n2000000000\n4\n0\n0\n10\n"}},
         raw_answers,
         "\n\tFile {}m_m4.raw is too short: 4000000000000000000 cells expected, 25 found\n"},
        {"an unknown raw model", {}, raw_answers, "\n File {}m_m4.raw unknown\n"},
        {"an unknown ASCII grid", {}, ascii_answers, "\n\tFile {}m.asc unknown\n"},
        {"a model name too long for the system",
         {},
         "1 site " + long_name + " 0 res 0 1\n",
         "\n\tFile {}" + long_name + ".asc: the name is too long for the system\n"},
        {"elevations too large for a slope",
         {{"m.asc", huge_column}},
         ascii_answers,
         "\n\tFile {}m.asc: the elevations around line 1, column 2 are too large for a slope\n"},
    };
    // Descriptors of words that are not whole 32-bit numbers, or of fewer
    // than two values.
    for (const char *text :
         {"99999999999\n99999999999\n4\n0\n0\n10\n", "5.\n5\n4\n100\n176\n10\n", "five\n5\n4\n100\n176\n10\n",
          "5 lines\n5 columns\n", "5\n5\n4\n100\n176\n2.5\n", "5\n", "\n\n"})
        cases.push_back({"a damaged descriptor",
                         {{"m_m4.raw", model_raw}, {"m_m4.txt", text}},
                         raw_answers,
                         "\n\tFile {}m_m4.txt is not a valid descriptor file\n"});
    // Models and descriptors that are not regular files, or lead to none.
    for (const auto &[name, typed] :
         {std::pair{"m_m4.raw", raw_answers}, {"m_m4.txt", raw_answers}, {"m.asc", ascii_answers}})
        for (const std::string &kind : {a_directory, a_fifo, std::string("-> /dev/urandom")}) {
#if defined(_WIN32)
            if (kind != a_directory)
                continue; // no FIFO on Windows, nor a symbolic link that a program makes
#endif
            std::vector<std::pair<std::string, std::string>> files = {{"m_m4.raw", model_raw},
                                                                      {"m_m4.txt", model_descriptor}};
            if (std::string(name) == "m.asc")
                files.clear();
            std::erase_if(files, [&](const auto &f) { return f.first == name; });
            files.push_back({name, kind});
            cases.push_back(
                {"not a regular file", files, typed, std::string("\n\tFile {}") + name + " is not a regular file\n"});
        }
    for (const Damaged &c : cases) {
        SCOPED_TRACE(c.what +
                     (c.files.empty() ? "" : ": " + c.files.back().first + " " + c.files.back().second.substr(0, 20)));
        Site s;
        std::set<std::string> inputs;
        for (const auto &[name, bytes] : c.files) {
            put_entry(s, name, bytes);
            inputs.insert(name);
        }
        const Outcome r = s.run(c.answers);
        EXPECT_EQ(r.status, 1);
        std::string message = c.message;
        message.replace(message.find("{}"), 2, s.path(""));
        EXPECT_TRUE(r.out.ends_with(message)) << r.out;
        const auto left = s.files();
        EXPECT_EQ(std::set<std::string>(left.begin(), left.end()), inputs);
        for (const auto &[name, bytes] : c.files)
            if (fs::is_regular_file(fs::symlink_status(s.folder() / name))) {
                EXPECT_EQ(s.read(name), bytes) << name;
            }
    }

    // A model whose very lines no memory holds, beside a (sparse) raw file
    // long enough for them, is refused before anything is allocated. (A
    // model of many lines is read line by line instead.)
    Site s;
    s.write("m_m4.txt", "1\n2147483647\n4\n0\n0\n10\n");
    s.write("m_m4.raw", "");
    std::error_code ec;
    fs::resize_file(s.folder() / "m_m4.raw", 4ull * 2147483647u, ec);
    if (ec)
        GTEST_SKIP() << "no sparse file of 8 GB here: " << ec.message();
    const Outcome r = s.run(raw_answers);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.ends_with("\n\tNot enough memory for a grid of 1 lines by 2147483647 columns\n")) << r.out;
    EXPECT_EQ(s.files(), (std::vector<std::string>{"m_m4.raw", "m_m4.txt"}));
}

// A damaged ASCII grid: the reader names its fault (the header line, the
// cell without a valid value) without allocating for the dimensions it
// announces, and a run says it in so many words, ends with status 1 and
// leaves the folder as it was.
TEST(FaultRuns, DamagedAsciiGridsAreNamedByTheReaderAndRefusedByTheRun)
{
    const std::string h = grid_header({"3", "2", "512000", "4100000.5", "12.5", "-9999"});
    const std::string k60(60, 'k');
    std::string bad_word = ascii_model(six_line_header);
    bad_word.replace(bad_word.find("139"), 3, "13x"); // line 2, column 3
    const struct {
        std::string text;
        AsciiStatus status;
        int line, col;
    } cases[] = {
        {h + "1 2 3 4 5", ascii_bad_value, 1, 2},
        {h + "1 2 3 4", ascii_bad_value, 1, 1},
        {h + "1 2 3 4 x 6", ascii_bad_value, 1, 1},
        {h + "1 2 12abc 4 5 6", ascii_bad_value, 0, 2},
        {h + "1 2 3 inf 5 6", ascii_bad_value, 1, 0},
        {h, ascii_bad_value, 0, 0},
        {ascii_model(six_line_header, 20), ascii_bad_value, 4, 0},
        {bad_word, ascii_bad_value, 2, 3},
        // Enormous dimensions above a tiny body.
        {"ncols 2000000000\nnrows 2000000000\nx 0\ny 0\ncellsize 1\nnodata 0\n1 2 3", ascii_bad_value, 0, 3},
        {ascii_model(grid_header({"100000", "100000", "1", "2", "10", "0"})), ascii_bad_value, 0, 25},
        {"ncols 3\nnrows", ascii_bad_header, 2, 0},
        {"ncols 5\nnrows", ascii_bad_header, 2, 0},
        {"ncols 5\nnrows 5\nxllcorner 100\n", ascii_bad_header, 4, 0},
        {"ncols -3\nnrows 2\n", ascii_bad_header, 1, 0},
        {"ncols 3\nnrows -2\n", ascii_bad_header, 2, 0},
        {ascii_model(grid_header({"5", "-5", "100", "200", "10", "0"})), ascii_bad_header, 2, 0},
        {"ncols 3.5\nnrows 2\n", ascii_bad_header, 1, 0},
        {ascii_model(grid_header({"five", "5", "100", "200", "10", "0"})), ascii_bad_header, 1, 0},
        {"ncols 3\nnrows 2\nxllcorner abc\n", ascii_bad_header, 3, 0},
        {k60 + " 3\n", ascii_bad_header, 1, 0},
        {ascii_model("ncols 5\nnrows 5\n" + k60 + " 100\nyllcorner 200\ncellsize 10\nnodata_value 0\n"),
         ascii_bad_header, 3, 0},
        {"ncols 3\nnrows 2\nx 0\ny 0\ncellsize 1\nnodata nan\n1 2 3 4 5 6", ascii_bad_header, 6, 0},
        {"ncols 3\nnrows 2\nx 0\ny 0\ncellsize 0\nnodata 0\n1 2 3 4 5 6", ascii_bad_cellsize, 0, 0},
        {"ncols 3\nnrows 2\nx 0\ny 0\ncellsize 0.0\nnodata 0\n", ascii_bad_cellsize, 0, 0},
        {ascii_model(grid_header({"5", "5", "100", "200", "0", "0"})), ascii_bad_cellsize, 0, 0},
        {"ncols 3\nnrows 2\nx 0\ny 0\ncellsize inf\nnodata 0\n1 2 3 4 5 6", ascii_bad_cellsize, 0, 0},
        {"ncols 3\nnrows 2\nx 0\ny 0\ncellsize 3e9\nnodata 0\n1 2 3 4 5 6", ascii_bad_cellsize, 0, 0},
        {"ncols 3\nnrows 2\nx 0\ny 0\ncellsize 1e-310\nnodata 0\n1 2 3 4 5 6", ascii_bad_cellsize, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 80));
        int line = -1, col = -1;
        EXPECT_EQ(read_ascii_text(c.text, line, col), c.status);
        if (c.status != ascii_bad_cellsize) {
            EXPECT_EQ(line, c.line);
        }
        if (c.status == ascii_bad_value) {
            EXPECT_EQ(col, c.col);
        }
        EXPECT_EQ(dtab_in, nullptr);
        reset_run_state();

        Site s;
        s.write("m.asc", c.text);
        const Outcome r = s.run("1 site m 0 res 0 1\n");
        EXPECT_EQ(r.status, 1);
        const std::string fault = c.status == ascii_bad_header ? strf("header line %d is not valid", c.line)
                                  : c.status == ascii_bad_cellsize
                                      ? std::string("the cell size is not valid")
                                      : strf("no valid value for line %d, column %d", c.line, c.col);
        EXPECT_TRUE(r.out.ends_with("\n\tFile " + s.path("m.asc") + ": " + fault + "\n")) << r.out;
        EXPECT_EQ(s.files(), std::vector<std::string>{"m.asc"});
        EXPECT_EQ(s.read("m.asc"), c.text);
    }
}

// With or without its no-data line, and with a first value as short or as
// long as a number can be written (63 characters, longer than any keyword).
TEST(FaultRuns, AFiveLineHeaderReadsTheSameGridAsSix)
{
    const std::string typed = "1 site m 0 res 0 0 0 1000\n";
    std::map<std::string, std::string> results[4];
    const std::string headers[2] = {six_line_header, "ncols 5\nnrows 5\nxllcorner 100\nyllcorner 200\ncellsize 10\n"};
    for (int k = 0; k < 4; k++) {
        SCOPED_TRACE(k);
        std::string text = ascii_model(headers[k % 2]);
        const size_t first = text.find("100", headers[k % 2].size());
        if (k >= 2)
            text.replace(first, 3, "100." + std::string(59, '0'));
        Site s;
        s.write("m.asc", text);
        const Outcome r = s.run(typed);
        EXPECT_EQ(r.status, 0) << r.out;
        results[k] = s.contents();
        results[k].erase("m.asc");
        EXPECT_EQ(results[k], results[0]);
    }
    EXPECT_EQ(results[0].size(), 8u);
}

// A cell size of 1e-7 written with six decimals reads 0.000000: each ASCII
// result says so, and the headers of the raw results give it whole.
TEST(FaultRuns, ACellSizeThatSixDecimalsWriteAsZeroIsToldAndTheHeadersKeepIt)
{
    const std::string header = grid_header({"5", "5", "100", "200", "0.0000001", "-9999"});
    for (const bool ascii : {true, false}) {
        Site s;
        s.write("m.asc", ascii_model(header));
        const Outcome r = s.run(ascii ? "1 site m 0 res 2 0 1 1000\n" : "1 site m 0 res 0 0 0 1000\n");
        EXPECT_EQ(r.status, 0) << r.out;
        for (const char *name : {"res_log.asc", "res_log_dem.asc"})
            EXPECT_EQ(contains(r.out, "\n\tFile " + s.path(name) +
                                          ": the cell size 1e-07 is written with six decimals as 0.000000"),
                      ascii)
                << r.out;
        for (const char *name : {"res_log.hdr", "res_log_dem_m4.hdr"})
            EXPECT_EQ(contains(s.read(name), "map info = {Arbitrary, 1, 1, 100, 200.0000005, 1e-07, 1e-07}"), !ascii)
                << name;
    }
}

// ================================= in-process faults, through the host table

namespace {

// The calls a row makes fail, counted together: the Nth of them fails with
// err, and with `every` each one after it too.
struct Armed {
    int left = 0, err = 0;
    bool every = false;
} armed;

template <auto Entry>
struct Failing;
template <typename... A, int (*HostCalls::*Entry)(A...)>
struct Failing<Entry> {
    static bool fails()
    {
        if (armed.left == 0 || --armed.left > 0)
            return false;
        armed.left = armed.every ? 1 : 0;
        return true;
    }
    static int call(A... a) { return fails() ? armed.err : (host_system.*Entry)(a...); }
    // A close that fails has closed all the same.
    static int close(A... a)
    {
        const int e = (host_system.*Entry)(a...);
        return fails() ? armed.err : e;
    }
};

#define QUARVELIN_ENTRY(name)                                                                                          \
    {                                                                                                                  \
#name, [] { host.name = Failing<&HostCalls::name>::call; }                                                     \
    }
const std::map<std::string, void (*)()> arm_entry = {
    QUARVELIN_ENTRY(rename),       QUARVELIN_ENTRY(replace),
    QUARVELIN_ENTRY(link),         QUARVELIN_ENTRY(may_replace),
    QUARVELIN_ENTRY(open_write),   QUARVELIN_ENTRY(open_folder),
    QUARVELIN_ENTRY(resolve),      QUARVELIN_ENTRY(flush),
    QUARVELIN_ENTRY(make_scratch), QUARVELIN_ENTRY(write_at),
    QUARVELIN_ENTRY(read_at),      {"close", [] { host.close = Failing<&HostCalls::close>::close; }}};
#undef QUARVELIN_ENTRY

struct Fault {
    std::vector<std::string> calls;
    int nth = 0, err = 0;
    bool every = false;
};

void arm(const Fault &f)
{
    for (const std::string &c : f.calls)
        arm_entry.at(c)();
    armed = {f.nth, f.err, f.every};
}

template <typename Row>
struct HostFaults : testing::TestWithParam<Row> {
    void TearDown() override
    {
        host = host_system;
        armed = {};
        output_discard();
    }
};

// A row's readable name, as its test is named and printed.
template <typename Row>
std::string row_name(const testing::TestParamInfo<Row> &p)
{
    return p.param.name;
}

const std::string earlier_bytes = "earlier\n", new_bytes = "result\n";

// Creates, writes and closes the result `name` of the folder.
OutputStatus write_result(const TempDir &dir, const std::string &name, int &err)
{
    FILE *f = nullptr;
    const OutputStatus made = output_create(dir.at(name), "wb", false, f, err);
    if (made != output_ok)
        return made;
    output_begin();
    std::fputs(new_bytes.c_str(), f);
    return output_close(f, err);
}

std::map<std::string, std::string> files_of(const TempDir &dir)
{
    std::map<std::string, std::string> all;
    for (const auto &e : fs::directory_iterator(dir.path))
        all[e.path().filename().string()] = read_file(e.path());
    return all;
}

struct CommitRow {
    const char *name;
    Fault fault;
    bool link_refused; // a folder where no second name can be made
    bool fails;
};

const CommitRow commit_rows[] = {
    {"FirstRenameRefused", {{"rename", "replace"}, 1, EACCES}, false, true},
    {"SecondRenameFailsOnTheDisk", {{"rename", "replace"}, 2, EIO}, false, true},
    {"LastRenameOnAFullDisk", {{"rename", "replace"}, 3, ENOSPC}, false, true},
    {"SecondFileMayNotBeReplaced", {{"may_replace"}, 2, EACCES}, false, true},
    {"NoHardLinks", {}, true, false},
    {"NoHardLinksAndTheFirstMoveAsideFails", {{"rename", "replace"}, 2, EIO}, true, true},
    {"NoHardLinksAndTheFirstPutInPlaceFails", {{"rename", "replace"}, 3, EACCES}, true, true},
};

int no_link(int, const std::string &, const char *, const char *)
{
    return EPERM;
}

} // namespace

// Three results, two of them replacing earlier files, committed while a
// call of the commit fails: the folder holds the earlier files, whole, or
// the three results; never a temporary nor a backup.
using Commit = HostFaults<CommitRow>;
TEST_P(Commit, LeavesTheEarlierFilesOrEveryResult)
{
    const CommitRow &row = GetParam();
    TempDir dir;
    const std::vector<std::string> names = {"r0.txt", "r1.txt", "r2.txt"};
    write_file(dir.at(names[0]), earlier_bytes);
    write_file(dir.at(names[1]), earlier_bytes);
    const auto earlier = files_of(dir);
    int err = 0;
    for (const std::string &name : names)
        ASSERT_EQ(write_result(dir, name, err), output_ok) << name;
    if (row.link_refused)
        host.link = no_link;
    arm(row.fault);
    std::string failed;
    const OutputStatus status = output_commit(failed, err);
    host = host_system;
    if (row.fails) {
        EXPECT_EQ(status, output_write_failed);
        EXPECT_EQ(err, row.fault.err);
        EXPECT_TRUE(std::find(names.begin(), names.end(), fs::path(failed).filename().string()) != names.end())
            << failed;
        output_discard();
        EXPECT_EQ(files_of(dir), earlier);
    } else {
        EXPECT_EQ(status, output_ok) << failed;
        const std::map<std::string, std::string> all = {
            {names[0], new_bytes}, {names[1], new_bytes}, {names[2], new_bytes}};
        EXPECT_EQ(files_of(dir), all);
    }
}
INSTANTIATE_TEST_SUITE_P(Faults, Commit, testing::ValuesIn(commit_rows), row_name<CommitRow>);

namespace {

// A run that dies after `events_left` renames and removes of its commit:
// every later one is lost, as when the process is killed there (its mark is
// let go, as the system lets it go, but stays). A replace is two renames,
// or on Windows one call of the system.
int events_left = 0;
#if defined(_WIN32)
constexpr int replace_step = 1;
#else
constexpr int replace_step = 0; // its renames count themselves
#endif

void die_after(int events)
{
    events_left = events;
    host.rename = [](int dir, const std::string &folder, const char *from, const char *to) {
        return events_left-- <= 0 ? 0 : host_system.rename(dir, folder, from, to);
    };
    host.remove = [](int dir, const std::string &folder, const char *leaf) {
        return events_left-- <= 0 ? 0 : host_system.remove(dir, folder, leaf);
    };
    host.replace = [](int dir, const std::string &folder, const char *from, const char *target, const char *backup,
                      bool &backed_up) {
        backed_up = false;
        const int before = events_left;
        events_left -= replace_step;
        return before <= 0 ? 0 : host_system.replace(dir, folder, from, target, backup, backed_up);
    };
}

} // namespace

// A run killed at each step of its commit, or while it writes: the next run
// that opens the folder finds the earlier files whole, or, when the dead
// run had put every result in place, the results; never a file of the dead
// run. A live run's files are left alone.
TEST(Journal, TheNextRunPutsBackTheEarlierFilesOrCompletesTheCommitOfADeadRun)
{
    const std::vector<std::string> names = {"r0.txt", "r1.txt", "r2.txt"};
    const std::map<std::string, std::string> earlier = {{names[0], earlier_bytes}, {names[1], earlier_bytes}},
                                             results = {
                                                 {names[0], new_bytes}, {names[1], new_bytes}, {names[2], new_bytes}};
    for (const bool links : {true, false})
        for (int events = -1, alive = true; alive; events++) {
            SCOPED_TRACE((links ? "hard links, " : "no hard links, ") + std::to_string(events) + " steps");
            TempDir dir;
            for (const auto &[name, bytes] : earlier)
                write_file(dir.at(name), bytes);
            int err = 0;
            for (const std::string &name : names)
                ASSERT_EQ(write_result(dir, name, err), output_ok) << name;
            const auto live = files_of(dir);
            output_recover(dir.at("")); // a live run's files stay
            EXPECT_EQ(files_of(dir), live);
            if (!links)
                host.link = no_link;
            // -1: killed while writing, its temporaries closed.
            die_after(std::max(events, 0));
            std::string failed;
            if (events < 0)
                output_discard();
            else
                EXPECT_EQ(output_commit(failed, err), output_ok);
            alive = events_left > 0;
            host = host_system;
            bool in_place = true;
            for (const std::string &name : names)
                in_place = in_place && read_file(dir.at(name)) == new_bytes;
            if (alive)
                ASSERT_TRUE(in_place);
            else
                EXPECT_NE(files_of(dir), in_place ? results : earlier) << "nothing of the dead run is left";
            output_recover(dir.at(""));
            EXPECT_EQ(files_of(dir), in_place ? results : earlier);
        }
}

namespace {

enum WriterEnd { created_in_place, refused_at_create, too_long_at_create, failed_at_close };

struct WriterRow {
    const char *name;
    Fault fault;
    WriterEnd end;
    std::string reason; // in words, for the message of a failed write
};

const WriterRow writer_rows[] = {
    {"FullDiskAtTheFlush", {{"flush"}, 1, ENOSPC}, failed_at_close, "no space left on the disk"},
    {"SizeLimitAtTheFlush", {{"flush"}, 1, EFBIG}, failed_at_close, "the file-size limit is reached"},
    {"DiskFailsAtTheClose", {{"close"}, 1, EIO}, failed_at_close, ""},
    // A folder that refuses a temporary: the earlier file, writable, is
    // written in place.
    {"TemporaryRefused", {{"open_write"}, 1, EACCES}, created_in_place, ""},
    {"ReadOnlyFolder", {{"open_write"}, 1, EROFS}, created_in_place, ""},
    {"NoWayToOpen", {{"open_write"}, 1, EACCES, true}, refused_at_create, ""},
    {"FolderUnreadable", {{"open_folder"}, 1, EACCES}, refused_at_create, ""},
    {"NameTooLong", {{"resolve"}, 1, ENAMETOOLONG}, too_long_at_create, ""},
};

} // namespace

// A result that cannot be created, or whose writing fails, leaves the
// earlier file as it was and no temporary; one written in place holds the
// result after the commit.
using Writer = HostFaults<WriterRow>;
TEST_P(Writer, ReportsTheFailureAndLeavesTheEarlierFile)
{
    const WriterRow &row = GetParam();
    TempDir dir;
    write_file(dir.at("r.txt"), earlier_bytes);
    arm(row.fault);
    int err = 0;
    const OutputStatus status = write_result(dir, "r.txt", err);
    host = host_system;
    const OutputStatus expected[] = {output_ok, output_cannot_create, output_too_long, output_write_failed};
    EXPECT_EQ(status, expected[row.end]);
    std::string failed;
    if (row.end == created_in_place) {
        EXPECT_EQ(output_commit(failed, err), output_ok);
        EXPECT_EQ(files_of(dir), (std::map<std::string, std::string>{{"r.txt", new_bytes}}));
        return;
    }
    EXPECT_EQ(err, row.fault.err);
    if (!row.reason.empty()) {
        EXPECT_EQ(write_failure(err), row.reason);
    }
    output_discard();
    EXPECT_EQ(files_of(dir), (std::map<std::string, std::string>{{"r.txt", earlier_bytes}}));
}
INSTANTIATE_TEST_SUITE_P(Faults, Writer, testing::ValuesIn(writer_rows), row_name<WriterRow>);

namespace {

struct ScratchRow {
    const char *name;
    Fault fault;
    bool opens, in_temp;
    int writes_done; // of the two writes
    bool reads;
};

const ScratchRow scratch_rows[] = {
    {"BesideTheModel", {}, true, false, 2, true},
    {"BesideRefusedTemporaryFolderTaken", {{"make_scratch"}, 1, EACCES}, true, true, 2, true},
    {"NoFolderTakesOne", {{"make_scratch"}, 1, EACCES, true}, false, true, 0, false},
    {"FirstWriteOnAFullDisk", {{"write_at"}, 1, ENOSPC}, true, false, 0, false},
    {"SecondWriteBeyondTheSizeLimit", {{"write_at"}, 2, EFBIG}, true, false, 1, false},
    {"ReadFails", {{"read_at"}, 1, EIO}, true, false, 2, false},
};

} // namespace

// The scratch copy of a model read line by line: made beside the model, or
// in the temporary folder; a failed write says why, a failed read is seen.
using Scratch = HostFaults<ScratchRow>;
TEST_P(Scratch, IsMadeWhereItCanBeAndItsFailuresAreSeen)
{
    const ScratchRow &row = GetParam();
    TempDir dir;
    arm(row.fault);
    std::string where;
    int err = 0;
    FILE *f = scratch_open(dir.at("m.asc"), where, err);
    ASSERT_EQ(f != nullptr, row.opens);
    EXPECT_EQ(where, row.in_temp ? host_system.temp_folder() : folder_of(dir.at("m.asc")));
    if (f == nullptr) {
        EXPECT_EQ(err, row.fault.err);
        return;
    }
    const std::string parts[2] = {"first", "second"};
    int done = 0;
    for (int k = 0; k < 2 && write_at(f, parts[k].data(), parts[k].size(), 5 * k, err); k++)
        done++;
    EXPECT_EQ(done, row.writes_done);
    if (done < 2) {
        EXPECT_EQ(err, row.fault.err);
    } else {
        char back[12] = "";
        EXPECT_EQ(read_at(f, back, 11, 0), row.reads);
        EXPECT_EQ(std::string(back), row.reads ? "firstsecond" : "");
    }
    std::fclose(f);
}
INSTANTIATE_TEST_SUITE_P(Faults, Scratch, testing::ValuesIn(scratch_rows), row_name<ScratchRow>);

namespace {

// The figures of the system a row stands for (-1: none).
struct RoomRow {
    const char *name;
    double machine, group, address;
    int affinity;
    double quota;
    double memory;
    int processors;
};
const RoomRow *room_row = nullptr;

const RoomRow room_rows[] = {
    {"NothingKnown", -1, -1, -1, 4, -1, HUGE_VAL, 4},
    {"TheMachineAlone", 8e9, -1, -1, 8, -1, 8e9, 8},
    {"AGroupBelowTheMachine", 8e9, 2e9, -1, 8, 2.5, 2e9, 3},
    {"AnAddressLimitBelowTheGroup", -1, 3e9, 1e9, 2, 0.5, 1e9, 1},
    {"AGroupBeyondItsLimit", 8e9, 0, -1, 16, 16, 0, 16},
};

} // namespace

// The room of the process is the least of the figures that are known; the
// processors, those of the affinity mask within the quota, rounded up.
using Room = HostFaults<RoomRow>;
TEST_P(Room, IsTheLeastOfTheKnownFigures)
{
    room_row = &GetParam();
    host.machine_memory = [] { return room_row->machine; };
    host.group_memory = [] { return room_row->group; };
    host.address_room = [] { return room_row->address; };
    host.affinity_processors = [] { return room_row->affinity; };
    host.processor_quota = [] { return room_row->quota; };
    EXPECT_EQ(usable_memory(), room_row->memory);
    EXPECT_EQ(usable_processors(), room_row->processors);
}
INSTANTIATE_TEST_SUITE_P(Figures, Room, testing::ValuesIn(room_rows), row_name<RoomRow>);

namespace {

bool at_terminal = false;
int keys_read = 0;

} // namespace

// The key wait reads one key of the terminal, where there is one, and
// leaves the answers; without one, it takes one byte of the answers.
TEST(ConsoleSeam, TheKeyWaitReadsTheTerminalOrOneByteOfTheAnswers)
{
    host.is_terminal = [](FILE *) { return at_terminal; };
    host.key_wait = [] { keys_read++; };
    for (const bool terminal : {false, true}) {
        at_terminal = terminal;
        keys_read = 0;
        feed_answers("ab c");
        console_key_wait();
        std::string word;
        ASSERT_TRUE(console_next_answer(word));
        EXPECT_EQ(word, terminal ? "ab" : "b");
        EXPECT_EQ(keys_read, terminal ? 1 : 0);
    }
    host = host_system;
    reset_run_state();
}

namespace {

void (*caught)() = nullptr;
int restored = 0;
std::vector<std::string> calls_made;

} // namespace

// An ending signal (a console event, on Windows) restores the terminal and
// removes every temporary, here of a result closed and waiting for the
// commit.
TEST(SignalSeam, AnEndingSignalRestoresTheTerminalAndRemovesTheTemporaries)
{
    host.catch_signals = [](void (*on_end)()) { caught = on_end; };
    catch_ending_signals([] { restored++; });
    TempDir dir;
    int err = 0;
    ASSERT_EQ(write_result(dir, "r.txt", err), output_ok);
    ASSERT_EQ(files_of(dir).size(), 2u); // its temporary and the run's mark
    caught();
    EXPECT_EQ(restored, 1);
    EXPECT_TRUE(files_of(dir).empty());
    host = host_system;
    output_discard();
}

// A commit takes the lock of its results' folders before the first rename
// and gives it back after the last.
TEST(SignalSeam, ACommitRenamesItsResultsUnderTheLockOfTheirFolder)
{
    host.lock = [](const std::vector<HostFolder> &folders, bool lock) {
        calls_made.push_back((lock ? "lock " : "unlock ") + std::to_string(folders.size()));
    };
    host.rename = [](int dir, const std::string &folder, const char *from, const char *to) {
        calls_made.push_back("rename");
        return host_system.rename(dir, folder, from, to);
    };
    TempDir dir;
    int err = 0;
    for (const char *name : {"a.txt", "b.txt"})
        ASSERT_EQ(write_result(dir, name, err), output_ok);
    std::string failed;
    EXPECT_EQ(output_commit(failed, err), output_ok);
    host = host_system;
    // The folder is locked once to be marked, before its first temporary;
    // the set names the folder once per result, the host takes its lock once.
    EXPECT_EQ(calls_made, (std::vector<std::string>{"lock 1", "unlock 1", "lock 2", "rename", "rename", "unlock 2"}));
    EXPECT_EQ(files_of(dir).size(), 2u);
}

// ============================================= reliability, on the same model

// Elevations so large that the weighted sums of a window overflow (a
// gradient of +inf: slope 90) or give inf - inf (a gradient that is not a
// number, its sign bit set as the processor makes it), in patterns about a
// cell of a grid of 7 lines by 3 or 6 columns (of 3, the line of that cell
// has no other gradient): every mode gives the same console text, status
// and files, and a gradient that is not a number is named by its cell.
TEST(Reliability, EveryModeGivesTheSameRunOnElevationsWhoseSumsOverflow)
{
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
                const auto at = [&](int di, int dj) { return std::stod(z[size_t((i + di) * cols + j + dj)]); };
                // Horn's window, its terms in the order the program adds them.
                const double gx = -at(-1, -1) + at(-1, 1) - 2 * at(0, -1) + 2 * at(0, 1) - at(1, -1) + at(1, 1);
                const double gy = at(-1, -1) + 2 * at(-1, 0) + at(-1, 1) - at(1, -1) - 2 * at(1, 0) - at(1, 1);
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
    const Clean clean = clean_run(raw_dialogue, true);
    const std::pair<size_t, std::string> names[] = {
        {1, "\n\n\tName of the File Folder located in the Directory <ROOT>/ : "},
        {2, "\n\tName of DEM File (without any extension) ? "},
        {6, "\n\n\tGeneric name of the resulting file ? "}};
    for (const auto &[at, prompt] : names)
        for (const std::string &bad : {std::string(1, '\0'), std::string("si\0te", 5)}) {
            SCOPED_TRACE(prompt);
            Site s;
            put_model(s, true);
            const Outcome r = s.run(words(inserted(raw_dialogue, at, bad)));
            std::string expected = clean.run.out;
            const size_t p = expected.find(prompt);
            ASSERT_NE(p, std::string::npos);
            expected.insert(p + prompt.size(), "\n\tA name without a zero byte is expected." + prompt);
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(s.portable(r.out), expected);
            EXPECT_EQ(s.contents(), clean.files);
        }
}

#if defined(_WIN32)

// Windows has no fork, setpriv, flock nor POSIX signals and access control
// lists, and refuses to cut a file that is mapped.
TEST(Reliability, CommitsPermissionsAndMappedModels)
{
    GTEST_SKIP() << "POSIX processes, signals, locks, permissions and mappings; on Windows the commit is "
                    "covered by Faults/Commit, its lock and the console events by SignalSeam, and long names "
                    "and hidden temporaries by WindowsHost";
}

#else

namespace {

const std::string limit_prompt = "\n\tStretch limit value ? ";
// An ASCII model read line by line, a raw image and a raw log DEM.
const std::vector<std::string> line_dialogue = {"1", "site", "m", "0", "res", "0", "0", "0", "1000"};

} // namespace

// What ends a run, or stands in its way, against what it leaves: the
// earlier results as they were (and no temporary nor backup), or those of a
// complete run.
// Sets or clears the immutable flag of a file; false where the system or
// the user cannot.
bool set_immutable(const std::string &path, bool on)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    int flags = 0;
    const bool ok =
        fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
        (flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL, ioctl(fd, FS_IOC_SETFLAGS, &flags)) == 0;
    if (fd >= 0)
        close(fd);
    return ok;
}

TEST(Reliability, ResultsAreCommittedWholeOrLeftAsTheyWereWhateverStandsInTheWay)
{
    enum Fault { sent, ignored, moved, immutable, sticky, in_place, copy_in_tmpdir, no_tmpdir, copy_too_large };
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
        // The last result to replace made immutable while the dialogue
        // waits: its rename fails after the others, which are taken back.
        {"a rename that fails", 1, "\n\tFile <ROOT>/site/res_log_dem_m4.hdr could not be written\n", false},
        // In a sticky folder, the last result to replace is another user's,
        // writable by all: found before any rename.
        {"sticky folder", 1, "\n\tFile <ROOT>/site/res_log_dem_m4.hdr could not be written\n", false},
        // The user's own results in a folder the user cannot write to are
        // written in place; an ASCII model read line by line has its copy in
        // TMPDIR, or nowhere; a copy of 200 bytes beyond the file-size limit,
        // which lies above the model's text.
        {"results in place", 0, "", true},
        {"copy in TMPDIR", 0, "", true},
        {"no TMPDIR", 1,
         "\n\tFile <ROOT>/site/m.asc: no temporary file can be made beside it or in <ROOT>/site/absent/ to read it "
         "line by line\n",
         false},
        {"copy beyond the file-size limit", 1,
         "\n\tFile <ROOT>/site/m.asc: its copy in <ROOT>/site/ for reading it line by line could not be written: the "
         "file-size limit is reached\n",
         false},
    };
    std::vector<std::pair<Fault, int>> rows;
    for (int sig : {SIGXCPU, SIGVTALRM, SIGPROF, SIGUSR1, SIGTERM, SIGRTMIN + 1, SIGRTMAX}) {
        rows.push_back({sent, sig});
        if (sig == SIGUSR1 || sig == SIGTERM || sig == SIGRTMAX)
            rows.push_back({ignored, sig});
    }
    for (Fault f : {moved, immutable, sticky, in_place, copy_in_tmpdir, no_tmpdir, copy_too_large})
        rows.push_back({f, 0});

    const std::map<std::string, std::string> complete[2] = {clean_run(raw_dialogue, true).files,
                                                            clean_run(line_dialogue, true, true).files};
    const std::vector<std::string> *user = as_a_user();
    std::string skipped;
    for (const auto &[f, sig] : rows) {
        const auto &e = expected[f];
        SCOPED_TRACE(std::string(e.what) + (sig != 0 ? std::string(": ") + strsignal(sig) : ""));
        const bool ascii = f >= copy_in_tmpdir, as_user = f >= sticky && f <= no_tmpdir;
        if (as_user && (user == nullptr || user->empty())) {
            skipped += std::string(" ") + e.what;
            continue;
        }
        Site s;
        put_model(s, true, ascii);
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
        Child run(s.root(), {}, as_user ? *user : no_prefix, env, f == ignored ? sig : 0,
                  f == copy_too_large ? 190 : RLIM_INFINITY);
        const auto &answers = ascii ? line_dialogue : raw_dialogue;
        const fs::path away = root / "away" / "renamed";
        if (f >= sticky) {
            run.send(words(answers));
        } else {
            run.send(words(answers, answers.size() - 1));
            ASSERT_TRUE(run.wait_for(limit_prompt)) << run.out;
            EXPECT_NE(hidden_names(s.folder()), no_names) << "no temporary made before the prompt";
            if (sig != 0)
                kill(run.pid, sig);
            if (f == moved) {
                fs::create_directories(away.parent_path());
                fs::rename(s.folder(), away);
            }
            if (f == immutable && !set_immutable(s.path("res_log_dem_m4.hdr"), true)) {
                skipped += std::string(" ") + e.what + " (no immutable files here)";
                continue;
            }
            if (f == immutable)
                run.send(answers.back() + "\n");
        }
        const int status = run.finish();
        if (f == immutable)
            set_immutable(s.path("res_log_dem_m4.hdr"), false);
        if (f == moved)
            fs::rename(away, s.folder()); // back, to be looked at
        EXPECT_EQ(status, e.status >= 0 ? e.status << 8 : sig) << "the wait status" << run.out;
        EXPECT_TRUE(s.portable(run.out).ends_with(e.message)) << run.out;
        auto left = earlier;
        for (const auto &[name, bytes] : complete[ascii])
            if (e.complete)
                left[name] = bytes;
        EXPECT_EQ(s.contents(), left);
        EXPECT_EQ(hidden_names(s.folder()), no_names) << "a temporary or a backup is left";
        EXPECT_TRUE(fs::is_empty(tmp));
    }
    if (!skipped.empty())
        GTEST_SKIP() << "not run as another user (not root, or no setpriv):" << skipped;
}

#if !defined(_WIN32)
// A whole run killed (SIGKILL, by strace's fault injection) at each rename
// of its commit and at each file it removes, and at the flush of its first
// result, while it writes: once the next run has opened the folder (here a
// run abandoned at the end of its input, just after naming the folder),
// the folder holds the earlier results whole, or, when the run was killed
// after its last rename, the new ones; never a file of the dead run.
TEST(Journal, AWholeRunKilledAtAnyStepOfItsCommitIsRecoveredByTheNextRun)
{
#if defined(__SANITIZE_ADDRESS__) || defined(QUARVELIN_SANITIZE)
    GTEST_SKIP() << "the leak checker of a sanitized run fails under strace";
#endif
    if (!fs::exists("/usr/bin/strace"))
        GTEST_SKIP() << "no strace here to kill a run at a chosen system call";
    const auto earlier = clean_run(raw_dialogue, true).files,
               results = clean_run(with(raw_dialogue, raw_dialogue.size() - 1, "500"), true).files;
    ASSERT_NE(earlier, results);
    std::vector<std::pair<std::string, int>> steps = {{"fdatasync", 1}}; // a call, and which of them
    for (int k = 1; k <= 20; k++)
        steps.insert(steps.end(), {{"renameat", k}, {"unlinkat", k}});
    for (const auto &[call, nth] : steps) {
        SCOPED_TRACE(call + " " + std::to_string(nth));
        Site s;
        put_model(s, true);
        ASSERT_EQ(s.run(words(raw_dialogue)).status, 0);
        const Outcome killed = s.run(words(with(raw_dialogue, raw_dialogue.size() - 1, "500")), 10,
                                     {"/usr/bin/strace", "-f", "-o", "/dev/null", "-e", "trace=" + call, "-e",
                                      "inject=" + call + ":error=EIO:signal=KILL:when=" + std::to_string(nth)});
        if (killed.status == 0)
            continue; // the run makes fewer such calls
        if (killed.out.empty())
            GTEST_SKIP() << "strace cannot trace the program here";
        EXPECT_EQ(killed.status, -1) << killed.out;
        EXPECT_NE(hidden_names(s.folder()), no_names) << "the dead run left nothing to recover";
        const Outcome next = s.run("0\nsite\n");
        EXPECT_TRUE(next.out.ends_with(end_of_input)) << next.out;
        // Killed before a rename, the run had not put every result in place.
        const auto left = s.contents();
        EXPECT_TRUE(left == earlier || (left == results && call != "renameat"))
            << "a mix of the two sets, or a file of the dead run: " << testing::PrintToString(hidden_names(s.folder()));
    }
}
#endif

// Two runs writing the same results at once, with different stretch limits
// (so different log DEMs, descriptors and histograms): their commits take
// turns, waiting for the lock on the folder (here held by the test until
// both wait for it), and the folder holds the results of one of them.
TEST(Reliability, TwoRunsCommittingTheSameResultsAtOnceLeaveTheResultsOfOne)
{
    const std::string limits[2] = {"1000", "500"};
    std::map<std::string, std::string> sets[2];
    for (int k = 0; k < 2; k++)
        sets[k] = clean_run(with(raw_dialogue, raw_dialogue.size() - 1, limits[k]), true).files;
    ASSERT_NE(sets[0]["res_log_dem_m4.txt"], sets[1]["res_log_dem_m4.txt"]);
    Site s;
    put_model(s, true);
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
            const std::optional<bool> waits = wait_in_syscall(c.pid, SYS_flock);
            if (!waits)
                GTEST_SKIP() << "no /proc/PID/syscall here to see a run wait for the lock";
            ASSERT_TRUE(*waits) << "a commit does not wait for the lock on the folder";
        }
        EXPECT_EQ(results(), earlier);
        close(folder);
        for (Child &c : runs)
            EXPECT_EQ(c.finish(), 0);
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
    put_model(s, true);
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
