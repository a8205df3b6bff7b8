// Command-line arguments: help and version exit 0, anything else 2.
#include "quarvelin.h"
#include "support.h"

#include <gtest/gtest.h>

using namespace qtest;

namespace {

int run(std::vector<std::string> args, std::string &out, std::string &err)
{
    args.insert(args.begin(), "quarvelin");
    std::vector<char *> argv = c_strings(args);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = run_program(static_cast<int>(args.size()), argv.data());
    out = testing::internal::GetCapturedStdout();
    err = testing::internal::GetCapturedStderr();
    return status;
}

TEST(Arguments, HelpAndVersionAnswerAndOtherWordsAreRefused)
{
    std::string out, err;
    EXPECT_EQ(run({"--help"}, out, err), 0);
    EXPECT_NE(out.find("QUARVELIN_ROOT"), std::string::npos);
    EXPECT_NE(out.find("Exit status"), std::string::npos);
    EXPECT_EQ(run({"--version"}, out, err), 0);
    // The version of the build (the project's, in CMakeLists.txt).
    EXPECT_EQ(out.rfind("quarvelin " QUARVELIN_VERSION "\n", 0), 0u) << out;

    EXPECT_EQ(run({"-x"}, out, err), 2);
    EXPECT_EQ(err, "quarvelin: unknown argument '-x' (try --help)\n");
    EXPECT_EQ(out, "");
    EXPECT_EQ(run({"--help", "extra"}, out, err), 2);
    EXPECT_EQ(err, "quarvelin: unknown argument 'extra' (try --help)\n");
}

} // namespace
