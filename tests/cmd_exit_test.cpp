// The built command end to end: exit status, the single error line on
// standard error, and nothing of its own on standard output.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cmd/tarvo.h"

namespace {

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

class CommandExit : public ::testing::Test {
protected:
    void SetUp() override {
        const char* bin = std::getenv("TARVO_BIN");
        if (!bin || access(bin, X_OK) != 0) GTEST_SKIP() << "TARVO_BIN not set";
        // The child changes directory, so a relative path must be resolved first.
        char* resolved = realpath(bin, nullptr);
        ASSERT_NE(resolved, nullptr);
        bin_ = resolved;
        std::free(resolved);
        char dir_template[] = "/tmp/tarvo-exit-XXXXXX";
        ASSERT_NE(mkdtemp(dir_template), nullptr);
        dir_ = dir_template;
    }
    void TearDown() override {
        if (dir_.empty()) return;
        std::remove((dir_ + "/out.txt").c_str());
        std::remove((dir_ + "/err.txt").c_str());
        rmdir(dir_.c_str());
    }

    // Runs the command in the scratch directory with argv bytes as given.
    RunResult run(const std::vector<std::string>& args) {
        RunResult r;
        std::string out = dir_ + "/out.txt", err = dir_ + "/err.txt";
        pid_t pid = fork();
        if (pid == 0) {
            std::vector<char*> argv{const_cast<char*>(bin_.c_str())};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            int fo = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int fe = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fo < 0 || fe < 0 || dup2(fo, 1) < 0 || dup2(fe, 2) < 0 || chdir(dir_.c_str()) != 0)
                _exit(127);
            execv(argv[0], argv.data());
            _exit(127);
        }
        int status = 0;
        if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
            r.status = WEXITSTATUS(status);
        r.out = slurp(out);
        r.err = slurp(err);
        return r;
    }

    std::string bin_;
    std::string dir_;
};

std::string error_prefix(int code) { return "tarvo: error " + std::to_string(code) + ": "; }

bool one_error_line(const std::string& err, int code) {
    return err.rfind(error_prefix(code), 0) == 0 && err.find('\n') == err.size() - 1;
}

TEST_F(CommandExit, ResultCodesBecomeTheExitStatus) {
    struct Case {
        std::vector<std::string> args;
        int code;
    };
    const Case cases[] = {
        {{"-exitversion"}, TARVO_EXIT_VERSION},
        {{}, TARVO_ERR_NO_FILE},
        {{"-dpi=300", "/DPI=300"}, TARVO_ERR_NO_FILE},
        {{"-dpi="}, TARVO_ERR_RANGE},
        {{"/vwzv=99999999999", "a.bmp"}, TARVO_ERR_RANGE},
        {{"-sus=\xC4\x80", "a.bmp"}, TARVO_ERR_PASSWORD},
        {{"/eco=1", "/sec=1", "x.bmp"}, TARVO_ERR_PDFA_SECURITY},
    };
    for (const Case& c : cases) {
        RunResult r = run(c.args);
        SCOPED_TRACE(c.code);
        EXPECT_EQ(r.status, c.code & 0xFF);
        EXPECT_EQ(r.out, "");
        if (c.code < 0) {
            EXPECT_TRUE(one_error_line(r.err, c.code)) << r.err;
        } else {
            EXPECT_EQ(r.err, "");
        }
    }
    EXPECT_EQ(TARVO_ERR_NO_FILE & 0xFF, 112);
    // The check comes before anything is created.
    EXPECT_NE(access((dir_ + "/x.pdf").c_str(), F_OK), 0);
}

TEST_F(CommandExit, ErrorLineNamesTheOption) {
    RunResult r = run({"-dpi="});
    EXPECT_EQ(r.status, 106);
    EXPECT_NE(r.err.find("'dpi='"), std::string::npos) << r.err;
}

TEST_F(CommandExit, HelpAndVersionOnStandardOutput) {
    RunResult help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: tarvo", 0), 0u) << help.out;
    EXPECT_EQ(help.err, "");

    RunResult version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "tarvo 0.91\n");
    EXPECT_EQ(version.err, "");
}

// Command-line bytes that are not UTF-8 reach the debug channel unchanged,
// and the End line is the last one.
TEST_F(CommandExit, DebugTraceKeepsStrayBytesAndEndsWithTheCode) {
    RunResult r = run({"-debug", "-dpi=\xFF\xFE"});
    EXPECT_EQ(r.status, TARVO_ERR_RANGE & 0xFF);
    EXPECT_EQ(r.out, "");
    const std::string expected =
        "DBG: Tarvo.Command: arg[2]='-dpi=\xFF\xFE'\n"
        "DBG: Tarvo.Command: Option 'dpi=\xFF\xFE' is out of range!\n" +
        error_prefix(TARVO_ERR_RANGE) + "option 'dpi=\xFF\xFE' is out of range (1..2147483647)\n" +
        "DBG: Tarvo.Command: End (-406)\n";
    EXPECT_EQ(r.err, expected);

    RunResult v = run({"-debug", "-exitversion"});
    EXPECT_EQ(v.status, TARVO_EXIT_VERSION);
    EXPECT_EQ(v.err,
              "DBG: Tarvo.Command: arg[2]='-exitversion'\n"
              "DBG: Tarvo.Command: End (91)\n");
}

}  // namespace
