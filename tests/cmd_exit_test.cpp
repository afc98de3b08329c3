// The built command end to end: exit status, the single error line and the
// warnings on standard error, nothing of its own on standard output, -quiet,
// and the document dates fixed by SOURCE_DATE_EPOCH.
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
#include "support/bmp_writer.h"
#include "support/tools.h"

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
        if (!dir_.empty()) remove_tree(dir_);
    }

    // Runs the command in the scratch directory with argv bytes as given,
    // SOURCE_DATE_EPOCH set to source_date (unset for null) and input on
    // standard input.
    RunResult run(const std::vector<std::string>& args, const char* source_date = nullptr,
                  const std::string& input = "") {
        std::vector<std::string> argv{bin_};
        argv.insert(argv.end(), args.begin(), args.end());
        return start(argv, source_date, input);
    }
    // The same for a bash script, which finds the command in $T.
    RunResult shell(const std::string& script, const char* source_date = nullptr) {
        setenv("T", bin_.c_str(), 1);
        return start({"/bin/bash", "-c", script}, source_date, "");
    }
    RunResult start(const std::vector<std::string>& args, const char* source_date,
                    const std::string& input) {
        RunResult r;
        std::string out = dir_ + "/out.txt", err = dir_ + "/err.txt", in = dir_ + "/in.txt";
        if (!write_file(in, input)) return r;
        pid_t pid = fork();
        if (pid == 0) {
            std::vector<char*> argv;
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            int fo = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int fe = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int fi = open(in.c_str(), O_RDONLY);
            if (fo < 0 || fe < 0 || fi < 0 || dup2(fo, 1) < 0 || dup2(fe, 2) < 0 || dup2(fi, 0) < 0 ||
                chdir(dir_.c_str()) != 0)
                _exit(127);
            if (source_date)
                setenv("SOURCE_DATE_EPOCH", source_date, 1);
            else
                unsetenv("SOURCE_DATE_EPOCH");
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

    // A sample bitmap copied into the scratch directory under name.
    void sample(const std::string& name) {
        std::string bytes;
        ASSERT_TRUE(read_file(std::string(std::getenv("TARVO_SOURCE_DIR")) +
                                  "/examples/photo-24bit.bmp", &bytes));
        ASSERT_TRUE(write_file(dir_ + "/" + name, bytes));
    }
    bool exists(const std::string& name) { return access((dir_ + "/" + name).c_str(), F_OK) == 0; }

    std::string bin_;
    std::string dir_;
};

std::string error_prefix(int code) { return "tarvo: error " + std::to_string(code) + ": "; }

// The error line is the last line; warning lines may come before it.
bool one_error_line(const std::string& err, int code) {
    size_t start = err.rfind('\n', err.size() >= 2 ? err.size() - 2 : 0);
    start = start == std::string::npos ? 0 : start + 1;
    for (size_t at = 0; at < start; at = err.find('\n', at) + 1)
        if (err.compare(at, 16, "tarvo: warning: ") != 0) return false;
    return err.compare(start, error_prefix(code).size(), error_prefix(code)) == 0 &&
           err.back() == '\n';
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
        // Called bare, the command says where help is, after the error line.
        const std::string hint = "try 'tarvo --help'\n";
        if (c.args.empty()) {
            ASSERT_GE(r.err.size(), hint.size());
            EXPECT_EQ(r.err.substr(r.err.size() - hint.size()), hint);
            r.err.resize(r.err.size() - hint.size());
        }
        EXPECT_EQ(r.err.find(hint), std::string::npos);
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

    for (const char* alone : {"-h", "-?", "/?"}) {
        RunResult r = run({alone});
        EXPECT_EQ(r.status, 0) << alone;
        EXPECT_EQ(r.out, help.out) << alone;
        EXPECT_EQ(r.err, "") << alone;
    }

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

// -quiet in its spellings: nothing on standard output, the same file; a
// failure still says why on standard error.
TEST_F(CommandExit, QuietLeavesStandardOutputEmpty) {
    sample("photo.bmp");
    const struct {
        std::vector<std::string> args;
        int code;
        bool quiet;
    } cases[] = {
        {{"photo.bmp"}, TARVO_OK, false},
        {{"-quiet", "photo.bmp"}, TARVO_OK, true},
        {{"--quiet", "photo.bmp"}, TARVO_OK, true},
        {{"/QUIET", "photo.bmp"}, TARVO_OK, true},
        {{"-quiet", "missing.bmp"}, TARVO_ERR_LOAD, true},
    };
    std::string plain;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front());
        RunResult r = run(c.args, "1700000000");
        EXPECT_EQ(r.status, c.code & 0xFF);
        EXPECT_EQ(r.out.empty(), c.quiet) << r.out;
        if (c.code != TARVO_OK) {
            EXPECT_TRUE(one_error_line(r.err, c.code)) << r.err;
            continue;
        }
        EXPECT_EQ(r.err, "");
        std::string pdf;
        ASSERT_TRUE(read_file(dir_ + "/photo.pdf", &pdf));
        if (plain.empty()) plain = pdf;
        EXPECT_EQ(pdf, plain);
    }
}

// An ignored option is named on standard error with what was probably
// meant; the exit status and the files stay as they were.
TEST_F(CommandExit, IgnoredOptionsAreNamedOnStandardError) {
    sample("photo.bmp");
    const struct {
        std::vector<std::string> args;
        int code;
        const char* written;  // the file that must exist afterwards, or ""
        std::string err;
    } cases[] = {
        {{"--output=x.pdf", "photo.bmp"}, TARVO_OK, "photo.pdf",
         "tarvo: warning: ignoring unknown option '--output=x.pdf'; did you mean '-o=x.pdf'?\n"},
        {{"-o", "x.pdf", "photo.bmp"}, TARVO_ERR_LOAD, "",
         "tarvo: warning: ignoring unknown option '-o'; did you mean '-o=x.pdf'?\n"
         "tarvo: error -502: cannot load bitmap 'x.pdf': no such file\n"},
        {{"-LDW=2100", "-ldh=2970", "photo.bmp"}, TARVO_ERR_PAGE_SIZE, "",
         "tarvo: warning: ignoring unknown option '-LDW=2100'; did you mean '-ldw=2100'?\n" +
             error_prefix(TARVO_ERR_PAGE_SIZE) +
             "page width (ldw) and height (ldh) must be given together\n"},
        {{"photo.bmp", "-o=x.pdf"}, TARVO_ERR_LOAD, "",
         "tarvo: error -502: cannot load bitmap '-o=x.pdf': no such file; options must come "
         "before the "
         "bitmaps\n"},
        {{"-xyz=1", "photo.bmp"}, TARVO_OK, "photo.pdf",
         "tarvo: warning: ignoring unknown option '-xyz=1'\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front());
        std::remove((dir_ + "/photo.pdf").c_str());
        RunResult r = run(c.args);
        EXPECT_EQ(r.status, c.code & 0xFF);
        EXPECT_EQ(r.err, c.err);
        if (*c.written) {
            EXPECT_TRUE(exists(c.written));
        }
        EXPECT_FALSE(exists("x.pdf"));
    }
}

// A refused bitmap's error line says why, in the libraries' own words.
TEST_F(CommandExit, ErrorLinesGiveTheReason) {
    BmpFile bitfields;  // 32 bits whose masks (the first body bytes) have gaps
    bitfields.width = 4;
    bitfields.height = 2;
    bitfields.bit_count = 32;
    bitfields.compression = 3;
    bitfields.body.assign(44, 0x7F);
    ASSERT_TRUE(bmp_write(dir_ + "/masks.bmp", bitfields));
    BmpFile deep = bitfields;  // 64 bits, as some HDR tools write
    deep.compression = 0;
    deep.bit_count = 64;
    deep.body.assign(64, 0);
    ASSERT_TRUE(bmp_write(dir_ + "/deep.bmp", deep));
    BmpFile empty = deep;  // no pixels at all: no image to show
    empty.bit_count = 24;
    empty.width = 0;
    empty.body.clear();
    ASSERT_TRUE(bmp_write(dir_ + "/empty.bmp", empty));
    ASSERT_TRUE(write_file(dir_ + "/text.bmp", "not a bitmap at all"));
    const struct {
        const char* file;
        int code;
        const char* reason;
    } cases[] = {
        {"masks.bmp", TARVO_ERR_LOAD, "unusable bit-field masks"},
        {"deep.bmp", TARVO_ERR_LOAD, "unsupported bit count (1, 2, 4, 8, 16, 24 and 32 bits are read"},
        {"text.bmp", TARVO_ERR_LOAD, "not a BMP file"},
        {"missing.bmp", TARVO_ERR_LOAD, "no such file"},
        {"empty.bmp", TARVO_ERR_PAGE, "the bitmap is 0 x 2 pixels"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        RunResult r = run({"-quiet", c.file});
        EXPECT_EQ(r.status, c.code & 0xFF);
        EXPECT_TRUE(one_error_line(r.err, c.code)) << r.err;
        EXPECT_NE(r.err.find(std::string("'") + c.file + "'"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(std::string(": ") + c.reason), std::string::npos) << r.err;
    }
}

// Each encrypted document has an identifier and keys of its own, so the
// same page encrypts differently in two runs, with SOURCE_DATE_EPOCH too:
// it fixes the dates only, never a secret.
TEST_F(CommandExit, EncryptedRunsAlwaysDiffer) {
    sample("photo.bmp");
    for (const char* sec : {"-sec=1", "-sec=2", "-sec=3", "-sec=4"}) {
        for (const char* epoch : {static_cast<const char*>(nullptr), "1700000000"}) {
            SCOPED_TRACE(std::string(sec) + (epoch ? " with" : " without") + " SOURCE_DATE_EPOCH");
            std::string files[2];
            for (std::string& file : files) {
                RunResult r = run({"-quiet", sec, "-sus=user", "-sow=owner", "-o=enc.pdf", "photo.bmp"},
                                  epoch);
                ASSERT_EQ(r.status, 0) << r.err;
                ASSERT_TRUE(read_file(dir_ + "/enc.pdf", &file));
            }
            auto id_of = [](const std::string& pdf) { return pdf.substr(pdf.rfind("/ID [<") + 6, 32); };
            EXPECT_NE(id_of(files[0]), id_of(files[1]));
            EXPECT_NE(files[0].substr(files[0].size() / 2, 4096),
                      files[1].substr(files[1].size() / 2, 4096))
                << "the image encrypts alike";
        }
    }
}

// Passwords from standard input, one line each in option order; and no
// password in any line the command writes, even one typed by mistake as
// "-sow secret".
TEST_F(CommandExit, PasswordsFromStandardInputAndNeverShown) {
    sample("photo.bmp");
    RunResult r = run({"-quiet", "-sec=3", "-susfile=-", "-sowfile=-", "-o=enc.pdf", "photo.bmp"},
                      nullptr, "user pw\r\n\xC3\xA9owner\nnot read\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (const std::string password : {"user pw", "\xC3\xA9owner"}) {
        CommandResult q = run_command({"qpdf", "--password=" + password, "--check", dir_ + "/enc.pdf"});
        EXPECT_EQ(q.status, 0) << password << q.out << q.err;
    }

    RunResult slip = run({"-debug", "-sec=2", "-sus=secret1", "/SOW=secret2", "-suss=secret3", "-sow",
                          "secret4", "photo.bmp"});
    EXPECT_EQ(slip.status, TARVO_ERR_LOAD & 0xFF);
    EXPECT_EQ((slip.out + slip.err).find("secret"), std::string::npos) << slip.err;
    for (const char* shown : {"arg[3]='-sus=***'", "arg[4]='/SOW=***'", "arg[7]='***'",
                              "file[ 0] = '***'", "'-suss=***'; did you mean '-sus=PASSWORD'?",
                              "'-sow'; did you mean '-sow=PASSWORD'?", "cannot load bitmap '***'"})
        EXPECT_NE(slip.err.find(shown), std::string::npos) << shown << "\n" << slip.err;
    EXPECT_FALSE(exists("secret4.pdf"));
}

// A warning on the encryption settings goes to standard error; the
// document is written and the status is 0 all the same.
TEST_F(CommandExit, SecurityWarningKeepsTheStatus) {
    sample("photo.bmp");
    RunResult r = run({"-quiet", "-o=w.pdf", "-sec=3", "photo.bmp"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "tarvo: warning: -sec=3 with both passwords empty: anyone can open the document "
                     "and change it\n");
    EXPECT_TRUE(exists("w.pdf"));
}

// SOURCE_DATE_EPOCH: the dates are that instant in UTC, so two runs give
// the same bytes; a value that is not a whole number of seconds in range
// ends the run before anything is written.
TEST_F(CommandExit, SourceDateEpochFixesTheDates) {
    sample("photo.bmp");
    // An ICC header is all the writer reads of a profile.
    std::string icc(256, '\0');
    icc[2] = 1;  // declared size 256
    icc.replace(16, 4, "RGB ");
    icc.replace(36, 4, "acsp");
    ASSERT_TRUE(write_file(dir_ + "/rgb.icc", icc));
    const struct {
        const char* value;
        int code;
        const char* info_date;  // Info entry, or null
        const char* xmp_date;   // XMP entry of a PDF/A run, or null
    } cases[] = {
        {"1700000000", TARVO_OK, "D:20231114221320Z00'00'", "2023-11-14T22:13:20+00:00"},
        {"0", TARVO_OK, "D:19700101000000Z00'00'", nullptr},
        {"253402300799", TARVO_OK, "D:99991231235959Z00'00'", nullptr},
        {"253402300800", TARVO_ERR_RANGE, nullptr, nullptr},
        {"", TARVO_ERR_RANGE, nullptr, nullptr},
        {"-1", TARVO_ERR_RANGE, nullptr, nullptr},
        {"1700000000.5", TARVO_ERR_RANGE, nullptr, nullptr},
        {"99999999999999999999999", TARVO_ERR_RANGE, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        std::remove((dir_ + "/photo.pdf").c_str());
        std::remove((dir_ + "/again.pdf").c_str());
        RunResult r = run({"-quiet", "photo.bmp"}, c.value);
        EXPECT_EQ(r.status, c.code & 0xFF);
        if (c.code != TARVO_OK) {
            EXPECT_TRUE(one_error_line(r.err, c.code)) << r.err;
            EXPECT_NE(r.err.find("SOURCE_DATE_EPOCH"), std::string::npos) << r.err;
            EXPECT_FALSE(exists("photo.pdf"));
            continue;
        }
        RunResult again = run({"-quiet", "-o=again.pdf", "photo.bmp"}, c.value);
        ASSERT_EQ(again.status, 0) << again.err;
        std::string first, second;
        ASSERT_TRUE(read_file(dir_ + "/photo.pdf", &first));
        ASSERT_TRUE(read_file(dir_ + "/again.pdf", &second));
        EXPECT_EQ(first, second) << "two runs differ";
        EXPECT_NE(first.find(std::string("/CreationDate (") + c.info_date + ")"), std::string::npos);
        EXPECT_NE(first.find(std::string("/ModDate (") + c.info_date + ")"), std::string::npos);
        if (!c.xmp_date) continue;
        RunResult pdfa = run({"-quiet", "-eco=1", "-icc=rgb.icc", "-o=pdfa.pdf", "photo.bmp"}, c.value);
        ASSERT_EQ(pdfa.status, 0) << pdfa.err;
        const std::string qdf = qdf_text(dir_ + "/pdfa.pdf", dir_);
        EXPECT_NE(qdf.find(std::string("<xmp:CreateDate>") + c.xmp_date + "<"), std::string::npos);
        EXPECT_NE(qdf.find(std::string("<xmp:ModifyDate>") + c.xmp_date + "<"), std::string::npos);
    }
}

// The document through pipes and FIFOs: every way in and out gives the
// bytes of a plain run, and a run that fails writes nothing to its pipe.
TEST_F(CommandExit, PipesCarryTheSameDocument) {
    sample("photo.bmp");
    ASSERT_EQ(run({"-quiet", "-o=plain.pdf", "photo.bmp"}, "1700000000").status, 0);
    std::string plain;
    ASSERT_TRUE(read_file(dir_ + "/plain.pdf", &plain));
    const struct {
        const char* script;
        const char* written;  // the document's file, or null for none
        int code;
    } cases[] = {
        {"\"$T\" -quiet -o=- photo.bmp | cat > out.pdf", "out.pdf", TARVO_OK},
        // No trace lines inside the document.
        {"\"$T\" -o=- photo.bmp > out.pdf", "out.pdf", TARVO_OK},
        {"\"$T\" -o=/dev/stdout photo.bmp | cat > out.pdf", "out.pdf", TARVO_OK},
        {"cat photo.bmp | \"$T\" -quiet -o=out.pdf -", "out.pdf", TARVO_OK},
        {"cat photo.bmp | \"$T\" -quiet -o=out.pdf -- /dev/stdin", "out.pdf", TARVO_OK},
        {"mkfifo f && { cat photo.bmp > f & } && \"$T\" -quiet -o=out.pdf f", "out.pdf", TARVO_OK},
        {"cat photo.bmp | \"$T\" -o=- - | cat > out.pdf", "out.pdf", TARVO_OK},
        // A failure leaves the pipe empty, and -o=./- is a file.
        {"\"$T\" -quiet -o=- photo.bmp missing.bmp | cat > out.pdf; exit ${PIPESTATUS[0]}", "",
         TARVO_ERR_LOAD},
        {"\"$T\" -quiet -o=./- photo.bmp", "-", TARVO_OK},
        // No output name can be made from a stream; nothing is read.
        {"\"$T\" /dev/stdin < photo.bmp", nullptr, TARVO_ERR_OUTPUT_NAME},
        {"cat photo.bmp | \"$T\" -", nullptr, TARVO_ERR_OUTPUT_NAME},
        // A FIFO nobody writes to holds up no run that has failed.
        {"mkfifo f && TARVO_THREADS=2 timeout 20 \"$T\" -o=out.pdf missing.bmp f", nullptr,
         TARVO_ERR_LOAD},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        std::remove((dir_ + "/out.pdf").c_str());
        std::remove((dir_ + "/f").c_str());
        RunResult r = shell(c.script, "1700000000");
        EXPECT_EQ(r.status, c.code & 0xFF) << r.err;
        if (c.code != TARVO_OK) {
            EXPECT_TRUE(one_error_line(r.err, c.code)) << r.err;
        }
        if (!c.written) {
            EXPECT_FALSE(exists("out.pdf"));
            EXPECT_FALSE(exists("photo.pdf"));
            continue;
        }
        std::string pdf;
        ASSERT_TRUE(read_file(dir_ + "/" + (*c.written ? c.written : "out.pdf"), &pdf));
        EXPECT_EQ(pdf, *c.written ? plain : "");
    }
    EXPECT_EQ(run_command({"qpdf", "--check", dir_ + "/-"}).status, 0);
}

// On a terminal a run of several pages redraws one progress line on
// standard error and clears it before each trace line and at the end;
// with -quiet, or with standard error in a file, there is none.
TEST_F(CommandExit, ProgressLineOnlyOnATerminal) {
    if (!tool_available("script")) GTEST_SKIP() << "script is not installed";
    sample("photo.bmp");
    const std::string pages = " photo.bmp photo.bmp photo.bmp";
    RunResult tty = shell("script -qec '\"$T\" -o=out.pdf" + pages + "' /dev/null");
    ASSERT_EQ(tty.status, 0) << tty.err;
    const std::string line = "\rtarvo: page 3 of 3, 0 MB read";
    const size_t drawn = tty.out.find(line);
    ASSERT_NE(drawn, std::string::npos) << tty.out;
    const std::string blank = "\r" + std::string(line.size() - 1, ' ') + "\r";
    EXPECT_EQ(tty.out.compare(drawn + line.size(), blank.size(), blank), 0) << tty.out;
    // Trace lines start on a line of their own.
    for (size_t at = tty.out.find("PDF: "); at != std::string::npos; at = tty.out.find("PDF: ", at + 1))
        EXPECT_TRUE(at == 0 || tty.out[at - 1] == '\n' || tty.out[at - 1] == '\r') << tty.out;

    RunResult quiet = shell("script -qec '\"$T\" -quiet -o=out.pdf" + pages + "' /dev/null");
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out, "");
    RunResult file = run({"-o=out.pdf", "photo.bmp", "photo.bmp", "photo.bmp"});
    EXPECT_EQ(file.status, 0);
    EXPECT_EQ(file.err, "");
}

}  // namespace
