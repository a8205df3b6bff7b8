// Command-line arguments: help and version exit 0, anything else 2.
#include "quarvelin.h"

#include <gtest/gtest.h>

namespace {

int run(std::vector<std::string> args, std::string &out, std::string &err)
{
    std::vector<char *> argv;
    args.insert(args.begin(), "quarvelin");
    for (std::string &a : args)
        argv.push_back(a.data());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = run_program(static_cast<int>(argv.size()), argv.data());
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
    EXPECT_EQ(out.rfind("quarvelin ", 0), 0u);

    EXPECT_EQ(run({"-x"}, out, err), 2);
    EXPECT_EQ(err, "quarvelin: unknown argument '-x' (try --help)\n");
    EXPECT_EQ(out, "");
    EXPECT_EQ(run({"--help", "extra"}, out, err), 2);
    EXPECT_EQ(err, "quarvelin: unknown argument 'extra' (try --help)\n");
}

} // namespace
