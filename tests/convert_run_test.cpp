// The conversion run through the built command: page geometry as a viewer
// sees it, page order, document information, result codes with their error
// line, and the safety of the output file.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cmd/tarvo.h"
#include "pdf/pdfw_private.h"  // the allocator's failure hook
#include "platform/platform.h"
#include "support/bmp_writer.h"
#include "support/tools.h"

namespace {

class ConvertRun : public ::testing::Test {
protected:
    void SetUp() override {
        if (tarvo_bin().empty()) GTEST_SKIP() << "TARVO_BIN is not set";
        dir = make_temp_dir();
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override { remove_tree(dir); }

    // A small 24-bit bitmap at the given resolution.
    std::string bitmap(const std::string& name, int width, int height, int32_t ppm = 3780,
                       int bits = 24) {
        TestBitmap bmp = bmp_pattern(width, height, bits);
        bmp.x_ppm = bmp.y_ppm = ppm;
        std::string path = dir + "/" + name;
        EXPECT_TRUE(bmp_write(path, bmp));
        return path;
    }

    std::string dir;
};

// pdfinfo's "Key: value" lines, values trimmed.
std::map<std::string, std::string> pdf_info(const std::string& pdf) {
    std::map<std::string, std::string> info;
    std::istringstream lines(run_command({"pdfinfo", pdf}).out);
    std::string line;
    while (std::getline(lines, line)) {
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        size_t value = line.find_first_not_of(' ', colon + 1);
        info[line.substr(0, colon)] = value == std::string::npos ? "" : line.substr(value);
    }
    return info;
}

std::wstring wide_of(const std::string& bytes) {
    wchar_t* text = plat_utf8_to_wide(bytes.c_str());
    std::wstring s = text ? text : L"";
    std::free(text);
    return s;
}

std::string show(const std::string& pdf, int object) {
    return run_command({"qpdf", "--show-object=" + std::to_string(object), pdf}).out;
}

TEST_F(ConvertRun, A4WithMarginsFitsTheImage) {
    std::string src = bitmap("photo.bmp", 800, 600);
    std::string pdf = dir + "/a4.pdf";
    CommandResult r = run_tarvo({"-debug", "-o=" + pdf, "-ldw=2100", "-ldh=2970", "-lbl=100",
                                 "-lbt=100", "-lbr=100", "-lbb=100", "-lis=-1", src});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("DBG: pdf set pagesize: 59528 x 84189 sq xusp\n"), std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("PDF: pdfw_impage( [2835/21898 56693/62291 53858 40393] xusp)\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("DBG: "), std::string::npos) << "debug lines belong on standard error";
    EXPECT_EQ(run_command({"qpdf", "--check", pdf}).status, 0);
    EXPECT_NE(show(pdf, 3).find("/MediaBox [ 0 0 595.28 841.89 ]"), std::string::npos)
        << show(pdf, 3);
    EXPECT_EQ(stream_data(pdf, 6),
              "q\n0 0 0 rg\nq\n28.35 28.35 538.58 785.19 re W n\n"
              "538.58 0 0 403.93 28.35 218.98 cm\n/R4 Do\nQ\nQ\n");
    EXPECT_EQ(pdf_info(pdf)["Page size"], "595.28 x 841.89 pts (A4)");
}

// A paper name stands for ldw= and ldh= in its place on the command line.
TEST_F(ConvertRun, PaperNamesSetThePageSize) {
    std::string src = bitmap("p.bmp", 40, 30);
    const struct {
        std::vector<std::string> args;
        const char* size;  // pdfinfo's "Page size", without the name it may add
    } cases[] = {
        {{"-paper=A4"}, "595.28 x 841.89 pts"},
        {{"-paper=a4l"}, "841.89 x 595.28 pts"},
        {{"/PAPER=Letter"}, "612 x 792 pts"},
        {{"-paper=LEGALL"}, "1008 x 612 pts"},
        {{"-paper=A3", "-ldw=1000"}, "283.46 x 1190.55 pts"},  // a later ldw wins
        {{"-ldw=1000", "-ldh=1000", "-paper=B5"}, "498.9 x 708.66 pts"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.push_back(src);
        CommandResult r = run_tarvo(args);
        ASSERT_EQ(r.status, 0) << c.args.front() << r.err;
        EXPECT_EQ(pdf_info(dir + "/p.pdf")["Page size"].rfind(c.size, 0), 0u)
            << c.args.front() << ": " << pdf_info(dir + "/p.pdf")["Page size"];
    }
}

TEST_F(ConvertRun, PageIsTheImageAtItsResolution) {
    // 2480 x 3508 at 300 dpi is A4 to a hundredth of a point.
    TestBitmap bmp = bmp_bilevel(2480, 3508, std::vector<uint8_t>(size_t(2480) * 3508, 0));
    bmp.x_ppm = bmp.y_ppm = 11811;
    std::string src = dir + "/a4.bmp";
    ASSERT_TRUE(bmp_write(src, bmp));
    ASSERT_EQ(run_tarvo({src}).status, 0);
    std::string pdf = dir + "/a4.pdf";
    EXPECT_NE(show(pdf, 7).find("/MediaBox [ 0 0 595.20 841.92 ]"), std::string::npos)
        << show(pdf, 7);
    EXPECT_EQ(stream_data(pdf, 6),
              "q\n0 0 0 rg\nq\n0 0 595.20 841.92 re W n\n595.20 0 0 841.92 0 0 cm\n/R4 Do\nQ\nQ\n");
    // With margins and no page size, the page grows around the image.
    ASSERT_EQ(run_tarvo({"-dpi=150", "-lbl=100", "-lbt=200", src}).status, 0);
    EXPECT_NE(show(pdf, 7).find("/MediaBox [ 0 0 1218.75 1740.53 ]"), std::string::npos)
        << show(pdf, 7);
}

TEST_F(ConvertRun, SeveralFilesGivePagesInOrder) {
    std::vector<std::string> args{"-o=" + dir + "/all.pdf"};
    const int widths[] = {30, 10, 20};
    for (int i = 0; i < 3; ++i)
        args.push_back(bitmap("p" + std::to_string(i) + ".bmp", widths[i], 8 + i, 3780, i ? 8 : 1));
    ASSERT_EQ(run_tarvo(args).status, 0);
    std::vector<ListedImage> list = pdfimages_list(dir + "/all.pdf");
    ASSERT_EQ(list.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(list[i].page, i + 1);
        EXPECT_EQ(list[i].width, widths[i]);
        EXPECT_EQ(list[i].height, 8 + i);
    }
}

TEST_F(ConvertRun, DocumentInformation) {
    std::string src = bitmap("i.bmp", 8, 8);
    ASSERT_EQ(run_tarvo({"-it=Quarterly scans", "-is=Tests", src}).status, 0);
    auto info = pdf_info(dir + "/i.pdf");
    EXPECT_EQ(info["Title"], "Quarterly scans");
    EXPECT_EQ(info["Subject"], "Tests");
    EXPECT_EQ(info.count("Author"), 0u) << "no ia=, no author: " << info["Author"];
    ASSERT_EQ(run_tarvo({"-ia=Ann Example", src}).status, 0);
    EXPECT_EQ(pdf_info(dir + "/i.pdf")["Author"], "Ann Example");
}

TEST_F(ConvertRun, EncryptedImagesDecodeWithThePassword) {
    TestBitmap bmp = bmp_pattern(23, 11, 24);
    std::string src = dir + "/s.bmp";
    ASSERT_TRUE(bmp_write(src, bmp));
    for (const char* sec : {"-sec=1", "-sec=2"}) {
        ASSERT_EQ(run_tarvo({sec, "-sus=user", "-sow=owner", "-enc=2", src}).status, 0);
        std::string pdf = dir + "/s.pdf";
        EXPECT_EQ(run_command({"qpdf", "--check", "--password=user", pdf}).status, 0) << sec;
        std::string sub = dir + "/x" + std::string(sec + 5);
        ASSERT_EQ(run_command({"mkdir", sub}).status, 0);
        ASSERT_EQ(run_command({"pdfimages", "-upw", "user", "-png", pdf, sub + "/img"}).status, 0);
        Raster raster;
        ASSERT_TRUE(read_with_pillow(sub + "/img-000.png", &raster)) << sec;
        EXPECT_EQ(raster.rgb, bmp_expected_rgb(bmp)) << sec;
    }
}

// Runs that do not encrypt start without loading libcrypto; where it cannot
// be loaded (a copy of the command that names a library nobody has), an
// encrypting run fails before it writes anything and says why.
TEST_F(ConvertRun, OnlyEncryptingRunsLoadTheCryptoLibrary) {
    std::string src = bitmap("c.bmp", 8, 8), command;
    ASSERT_TRUE(read_file(tarvo_bin(), &command));
    for (size_t at; (at = command.find("libcrypto.so")) != std::string::npos;)
        command[at + 8] = 'X';
    const std::string without = dir + "/tarvo-without-crypto";
    ASSERT_TRUE(write_file(without, command));
    ASSERT_EQ(chmod(without.c_str(), 0755), 0);
    struct Case {
        std::string bin;
        bool encrypt;
        int status;
        const char* err;  // in standard error
    };
    const Case cases[] = {
        {tarvo_bin(), false, 0, nullptr},
        {tarvo_bin(), true, 0, "file=libcrypto"},
        {without, false, 0, nullptr},
        {without, true, -605 & 0xFF, "libcrypto cannot be loaded"},
    };
    for (const Case& c : cases) {
        const std::string pdf = dir + "/c.pdf";
        std::remove(pdf.c_str());
        std::vector<std::string> argv{"env", "LD_DEBUG=files", c.bin, "-quiet", "-o=" + pdf};
        if (c.encrypt) argv.insert(argv.end(), {"-sec=4", "-sus=u", "-sow=o"});
        argv.push_back(src);
        CommandResult r = run_command(argv);
        const std::string what = c.bin + (c.encrypt ? " encrypting" : " plain");
        EXPECT_EQ(r.status, c.status) << what << ": " << r.err;
        EXPECT_EQ(access(pdf.c_str(), F_OK) == 0, c.status == 0) << what;
        EXPECT_EQ(r.err.find("file=libcrypto") != std::string::npos, c.bin == tarvo_bin() && c.encrypt)
            << what;
        if (c.err) {
            EXPECT_NE(r.err.find(c.err), std::string::npos) << what << ": " << r.err;
        }
    }
}

// Result codes a user can provoke, each with its one error line and nothing
// left behind.
struct Failure {
    const char* what;
    std::vector<std::string> args;  // "@" stands for a good bitmap
    int code;
    const char* says = nullptr;  // part of the error line: the file and the system's reason
};

std::string with_dir(std::string text, const std::string& dir) {
    size_t at;
    while ((at = text.find("DIR")) != std::string::npos) text.replace(at, 3, dir);
    return text;
}

class ConvertFailure : public ConvertRun, public ::testing::WithParamInterface<Failure> {};

TEST_P(ConvertFailure, ReportsItsCode) {
    const Failure& f = GetParam();
    std::string good = bitmap("good.bmp", 8, 8);
    write_file(dir + "/bad.bmp", "BM this is not a bitmap");
    TestBitmap empty = bmp_pattern(4, 4, 24);
    std::string bytes;
    {
        std::vector<uint8_t> b = bmp_encode(empty);
        b[18] = 0;  // no width: the file stays loadable, the writer has no image to show
        bytes.assign(b.begin(), b.end());
    }
    write_file(dir + "/empty.bmp", bytes);
    std::vector<std::string> args;
    for (const std::string& a : f.args) args.push_back(a == "@" ? good : with_dir(a, dir));
    const std::vector<std::string> before = file_names(dir);
    CommandResult r = run_tarvo(args);
    EXPECT_EQ(r.status, exit_status(f.code)) << f.what << "\n" << r.err;
    if (f.code < 0) {
        std::string prefix = "tarvo: error " + std::to_string(f.code) + ": ";
        EXPECT_EQ(r.err.rfind(prefix, 0), 0u) << f.what << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(file_names(dir).size(), before.size()) << f.what << ": a file was left behind";
    }
    if (f.says) {
        EXPECT_NE(r.err.find(with_dir(f.says, dir)), std::string::npos) << r.err;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ConvertFailure,
    ::testing::Values(
        Failure{"no file", {"-o=DIR/x.pdf"}, -400},
        Failure{"value out of range", {"-dpi=", "@"}, -406},
        Failure{"unknown paper", {"-paper=A6", "@"}, -406},
        Failure{"eco with sec", {"-eco=1", "-sec=1", "@"}, -407},
        Failure{"password character", {"-sec=2", "-sus=\xc4\x80", "@"}, -409, "U+0100"},
        Failure{"missing bitmap", {"-o=DIR/x.pdf", "DIR/missing.bmp"}, -502},
        Failure{"not a bitmap", {"-o=DIR/x.pdf", "DIR/bad.bmp"}, -502},
        Failure{"bitmap the writer refuses", {"-o=DIR/x.pdf", "DIR/empty.bmp"}, -501},
        Failure{"rotation 45", {"-o=DIR/x.pdf", "-vra=45", "@"}, -506},
        Failure{"width without height", {"-o=DIR/x.pdf", "-ldw=2100", "@"}, -403},
        Failure{"margins wider than the page",
                {"-o=DIR/x.pdf", "-ldw=1000", "-ldh=1000", "-lbl=600", "-lbr=600", "-lis=-3", "@"},
                -404},
        Failure{"output folder missing", {"-o=DIR/none/x.pdf", "@"}, -603,
                "output file 'DIR/none/x.pdf': No such file or directory"},
        Failure{"output is a folder", {"-o=DIR", "@"}, -603, "output file 'DIR': Is a directory"},
        Failure{"PDF/A without a profile", {"-o=DIR/x.pdf", "-eco=1", "@"}, -626},
        Failure{"PDF/A profile missing", {"-o=DIR/x.pdf", "-eco=1", "-icc=DIR/none.icc", "@"}, -627,
                "ICC profile 'DIR/none.icc': No such file or directory"},
        Failure{"device that takes no data", {"-o=/dev/full", "@"}, -604,
                "cannot write '/dev/full': No space left on device"},
        Failure{"password SASLprep refuses", {"-o=DIR/x.pdf", "-sec=3", "-sus=a\x07", "-sow=b", "@"}, -605,
                "the user password holds U+0007 at character 2, which SASLprep prohibits"},
        Failure{"password file missing", {"-o=DIR/x.pdf", "-susfile=DIR/none", "@"}, -410,
                "password from 'DIR/none': No such file or directory"},
        Failure{"version query", {"-exitversion", "@"}, 91}),
    [](const ::testing::TestParamInfo<Failure>& info) {
        std::string name;
        for (const char* p = info.param.what; *p; ++p) name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        return name;
    });

// A disk that fills up during a page: the page fails with the output's
// name and the system's reason, and nothing is left on the disk. A tmpfs
// of 64 KiB stands for the disk.
TEST_F(ConvertRun, FullDiskNamesTheCause) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    const std::string disk = dir + "/disk";
    ASSERT_EQ(mkdir(disk.c_str(), 0755), 0);
    if (run_command({"mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", disk}).status != 0)
        GTEST_SKIP() << "tmpfs cannot be mounted here (no mount privilege in this container?)";
    const std::string big = bitmap("big.bmp", 300, 300);  // 270 KB unencoded
    CommandResult r = run_tarvo({"-quiet", "-enc=1", "-o=" + disk + "/x.pdf", big});
    const std::vector<std::string> left = file_names(disk);
    run_command({"umount", disk});
    EXPECT_EQ(r.status, exit_status(TARVO_ERR_PAGE)) << r.err;
    EXPECT_NE(r.err.find("cannot add bitmap '" + big + "' as a page: cannot write '" + disk +
                         "/x.pdf': No space left on device (writer error -4)"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(left.empty());
}

TEST_F(ConvertRun, ExistingOutputSurvivesAFailedRun) {
    std::string pdf = dir + "/keep.pdf";
    ASSERT_TRUE(write_file(pdf, "precious"));
    ASSERT_EQ(chmod(pdf.c_str(), 0640), 0);
    std::string a = bitmap("a.bmp", 8, 8);
    std::string b = bitmap("b.bmp", 9, 9);
    const size_t count = file_names(dir).size();
    CommandResult r = run_tarvo({"-o=" + pdf, a, b, dir + "/missing.bmp"});
    EXPECT_EQ(r.status, exit_status(-502));
    EXPECT_NE(r.err.find("missing.bmp"), std::string::npos) << r.err;
    std::string kept;
    ASSERT_TRUE(read_file(pdf, &kept));
    EXPECT_EQ(kept, "precious");
    EXPECT_EQ(file_names(dir).size(), count) << "the temporary file is removed";
}

// An output that names one of the bitmaps (directly or through a link)
// would replace the input with the PDF: refused, the bitmap untouched.
// A long batch killed at several moments, with each signal: the folder holds
// the bitmap and the old target, untouched, and nothing else; a run that
// finished first has replaced the target whole. The unnamed file vanishes
// with the process whatever the signal; the named one of file systems
// without unnamed files is removed on the signals that can be caught.
TEST_F(ConvertRun, KilledBatchLeavesNothingBehind) {
    const std::string src = bitmap("big.bmp", 1000, 1000);
    const std::string target = dir + "/out.pdf";
    std::vector<std::wstring> args{L"tarvo", L"-quiet", L"-o=" + wide_of(target)};
    for (int page = 0; page < 40; ++page) args.push_back(wide_of(src));
    std::vector<const wchar_t*> argv;
    for (const std::wstring& a : args) argv.push_back(a.c_str());

    const struct {
        bool unnamed;
        int sig;
    } cases[] = {
        {true, SIGINT},   {true, SIGTERM},   {true, SIGHUP}, {true, SIGKILL},
        {false, SIGINT},  {false, SIGTERM},  {false, SIGHUP},
    };
    // A file system without unnamed files gets the named one, which no
    // handler can remove on SIGKILL.
    const int probe = open(dir.c_str(), O_TMPFILE | O_RDWR, 0600);
    if (probe >= 0) close(probe);
    int interrupted = 0;
    for (const auto& c : cases) {
        if (c.unnamed && c.sig == SIGKILL && probe < 0) continue;
        for (int moment_ms : {10, 60, 200}) {
            SCOPED_TRACE(std::string(c.unnamed ? "unnamed" : "named") + " file, signal " +
                         std::to_string(c.sig) + " at " + std::to_string(moment_ms) + " ms");
            ASSERT_TRUE(write_file(target, "precious"));
            pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                int null = open("/dev/null", O_WRONLY);
                dup2(null, 1);
                dup2(null, 2);
                cmd_set_unnamed_output(c.unnamed);
                TarvoSettings s;
                int code = cmd_parse_args(int(argv.size()), argv.data(), &s, nullptr);
                if (code == 0) code = cmd_run(&s, nullptr);
                _exit(code & 0xFF);
            }
            usleep(useconds_t(moment_ms) * 1000);
            kill(pid, c.sig);
            int status = 0;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
            std::vector<std::string> left = file_names(dir);
            std::sort(left.begin(), left.end());
            EXPECT_EQ(left, (std::vector<std::string>{"big.bmp", "out.pdf"}));
            std::string now;
            ASSERT_TRUE(read_file(target, &now));
            if (WIFSIGNALED(status)) {
                EXPECT_EQ(WTERMSIG(status), c.sig);
                // A signal after the finished file took the name (on the
                // way out) leaves the whole document, never a part of one.
                if (now == "precious")
                    ++interrupted;
                else
                    EXPECT_EQ(run_command({"qpdf", "--check", target}).status, 0);
            } else {
                EXPECT_EQ(WEXITSTATUS(status), 0);
                EXPECT_EQ(run_command({"qpdf", "--check", target}).status, 0);
            }
        }
    }
    EXPECT_GT(interrupted, 0) << "every run finished before its signal";
}

// The document for standard output goes through a temporary file in
// TMPDIR, unnamed or named: standard output gets it whole or, when the run
// fails, nothing, and the temporary folder is left empty either way.
TEST_F(ConvertRun, StandardOutputThroughEitherTemporaryFile) {
    const std::string src = bitmap("photo.bmp", 64, 48);
    const std::string tmp = dir + "/tmp", out = dir + "/stdout.pdf";
    ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
    const struct {
        bool unnamed;
        bool fails;
    } cases[] = {{true, false}, {false, false}, {true, true}, {false, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.unnamed ? "unnamed" : "named") + (c.fails ? ", failing" : ""));
        std::vector<std::wstring> args{L"tarvo", L"-quiet", L"-o=-", wide_of(src)};
        if (c.fails) args.push_back(L"missing.bmp");
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 1);
            setenv("TMPDIR", tmp.c_str(), 1);
            cmd_set_unnamed_output(c.unnamed);
            std::vector<const wchar_t*> argv;
            for (const std::wstring& a : args) argv.push_back(a.c_str());
            TarvoSettings s;
            int code = cmd_parse_args(int(argv.size()), argv.data(), &s, nullptr);
            if (code == 0) code = cmd_run(&s, nullptr);
            _exit(code & 0xFF);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.fails ? exit_status(TARVO_ERR_LOAD) : 0);
        EXPECT_EQ(file_names(tmp), std::vector<std::string>{});
        if (c.fails) {
            EXPECT_EQ(read_all(out), "");
        } else {
            EXPECT_EQ(run_command({"qpdf", "--check", out}).status, 0);
        }
    }
}

// zlib infcover style over whole runs with pages prepared on two threads:
// the writer's Nth allocation, or the Nth bitmap block, fails wherever it
// falls (often on the second thread); every run fails cleanly with nothing
// left in use, until N passes the last request.
// A page alone is read through its window: a failure can then come while
// its file is still open.
TEST_F(ConvertRun, EveryAllocationCanFailWithTwoThreads) {
    const std::vector<std::vector<std::string>> documents = {
        {bitmap("a.bmp", 40, 30), bitmap("b.bmp", 33, 20, 3780, 8), bitmap("c.bmp", 64, 48, 3780, 1)},
        {bitmap("large.bmp", 1200, 700)}};
    setenv("TARVO_THREADS", "2", 1);
    void (*const hooks[])(unsigned) = {pdfw_alloc_fail_after, plat_mem_fail_after};
    for (const std::vector<std::string>& pages : documents)
    for (void (*hook)(unsigned) : hooks) {
    std::vector<std::string> args = {"tarvo", "-quiet", "-o=" + dir + "/out.pdf"};
    args.insert(args.end(), pages.begin(), pages.end());
    std::vector<std::wstring> wide;
    for (const std::string& a : args) wide.push_back(wide_of(a));
    std::vector<const wchar_t*> argv;
    for (const std::wstring& w : wide) argv.push_back(w.c_str());
        int code = -1;
        unsigned n = 1;
        for (; code != TARVO_OK && n < 2000; ++n) {
            TarvoSettings s;
            ASSERT_EQ(cmd_parse_args(int(argv.size()), argv.data(), &s, nullptr), TARVO_OK);
            hook(n);
            code = cmd_run(&s, nullptr);
            hook(0);
            EXPECT_EQ(pdfw_mem_all_in_use(), 0) << "request " << n;
            EXPECT_EQ(plat_mem_blocks_in_use(), 0u) << "request " << n;
            if (code != TARVO_OK) {
                // -625: no document could be made at all.
                EXPECT_TRUE(code == TARVO_ERR_WRITER + PDFW_ERR_NO_MEMORY ||
                            code == TARVO_ERR_WRITER + PDFW_ERR_NULL_DOCUMENT ||
                            code == TARVO_ERR_PAGE || code == TARVO_ERR_LOAD)
                    << code << " at request " << n;
            }
        }
        EXPECT_EQ(code, TARVO_OK);
        EXPECT_GT(n, pages.size()) << "every page's requests were failed once";
    }
    unsetenv("TARVO_THREADS");
}

// Large pages, whose rows are read through a window while they are
// encoded, two pages at a time, give the bytes of the sequential run in
// every encoding.
TEST_F(ConvertRun, RowWindowKeepsTheBytes) {
    struct Case {
        const char* name;
        int width, height, bits;
        const char* option;
    } const cases[] = {
        {"jpeg", 1200, 700, 24, "-enc=0"},      {"flate", 1100, 800, 24, "-enc=2"},
        {"none", 900, 1000, 32, "-enc=1"},      {"grey", 2100, 1100, 8, "-enc=0"},
        {"bilevel", 4800, 3600, 1, "-enc=0"},
    };
    setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
    for (const Case& c : cases) {
        const std::string in = bitmap(std::string(c.name) + ".bmp", c.width, c.height, 3780, c.bits);
        std::string made[2];
        for (int threads = 1; threads <= 2; ++threads) {
            setenv("TARVO_THREADS", std::to_string(threads).c_str(), 1);
            const std::string out = dir + "/" + c.name + std::to_string(threads) + ".pdf";
            CommandResult r = run_tarvo({"-quiet", c.option, "-o=" + out, in});
            EXPECT_EQ(r.status, 0) << c.name << r.err;
            ASSERT_TRUE(read_file(out, &made[threads - 1])) << c.name;
        }
        EXPECT_EQ(made[0], made[1]) << c.name;
        EXPECT_EQ(run_command({"qpdf", "--check", dir + "/" + c.name + "2.pdf"}).status, 0) << c.name;
    }
    unsetenv("TARVO_THREADS");
    unsetenv("SOURCE_DATE_EPOCH");
}

// Memory stays under three of the largest bitmap for any page kind and
// thread count: the working memory a page's encoder frees serves the same
// thread's next page rather than a growing heap; room for coded data (noise
// makes it large) goes back; noise that Flate cannot shrink is not held
// twice; a noisy page after a clean one is not taken for clean. JPEG pages
// hold their data, not their coefficients: under two bitmaps.
TEST_F(ConvertRun, ManyPagesHoldAtMostThreeBitmaps) {
    if (!peak_rss_measured()) GTEST_SKIP() << "the command's own peak memory is not measured here";
    const int width = 2480, height = 3508;
    const std::string noise = dir + "/noise.bmp";
    const std::string grey = dir + "/grey.bmp";  // JPEG under -enc=2
    {
        // Freed before the runs: a child's peak counts what it inherits.
        BmpFile noisy;
        noisy.width = width;
        noisy.height = height;
        noisy.bit_count = 24;
        noisy.body = noise_bytes(bmp_stride(width, 24) * size_t(height), 7);
        ASSERT_TRUE(bmp_write(noise, noisy));
        TestBitmap ramp = bmp_pattern(width, height, 8);
        for (uint32_t v = 0; v < 256; ++v) ramp.palette[v] = v * 0x010101u;
        ASSERT_TRUE(bmp_write(grey, ramp));
    }
    const std::string smooth = bitmap("smooth.bmp", width, height);
    const std::string bilevel = bitmap("bilevel.bmp", width, height, 3780, 1);
    const long bitmap_kib = long(bmp_stride(width, 24) * size_t(height) / 1024);
    const struct {
        const char* option;
        std::string second;  // every other page
        long bitmaps;        // the most it may hold
    } cases[] = {{"-enc=0", smooth, 2}, {"-enc=2", smooth, 3}, {"-enc=2", noise, 3},
                 {"-enc=1", smooth, 3}, {"-enc=0", bilevel, 2}, {"-enc=1", bilevel, 3},
                 {"-enc=2", grey, 3}};
    for (const auto& c : cases) {
        std::vector<std::string> args = {"-quiet", c.option, "-o=" + dir + "/many.pdf"};
        for (int p = 0; p < 6; ++p) args.push_back(p % 2 ? noise : c.second);
        for (const char* threads : {"1", "2", "4"}) {
            setenv("TARVO_THREADS", threads, 1);
            CommandResult r = run_tarvo(args);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_LE(r.peak_rss_kib, c.bitmaps * bitmap_kib) << c.option << " " << c.second
                                                      << ", threads " << threads;
        }
    }
    unsetenv("TARVO_THREADS");
}

TEST_F(ConvertRun, OutputThatIsAnInputIsRefused) {
    std::string a = bitmap("a.bmp", 8, 8);
    std::string original;
    ASSERT_TRUE(read_file(a, &original));
    ASSERT_EQ(symlink(a.c_str(), (dir + "/link.bmp").c_str()), 0);
    for (const std::string& out : {a, dir + "/link.bmp"}) {
        CommandResult r = run_tarvo({"-o=" + out, a});
        EXPECT_EQ(r.status, exit_status(-603)) << out;
        EXPECT_NE(r.err.find("-603"), std::string::npos) << r.err;
        std::string now;
        ASSERT_TRUE(read_file(a, &now));
        EXPECT_EQ(now, original) << out;
    }
}

TEST_F(ConvertRun, PermissionBits) {
    std::string src = bitmap("m.bmp", 8, 8);
    // A new file: 0666 less the umask.
    ASSERT_EQ(run_tarvo({"-o=" + dir + "/new.pdf", src}, 027).status, 0);
    struct stat st;
    ASSERT_EQ(stat((dir + "/new.pdf").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    // A replaced file keeps its own bits, whatever the umask.
    std::string old = dir + "/old.pdf";
    ASSERT_TRUE(write_file(old, "x"));
    ASSERT_EQ(chmod(old.c_str(), 0604), 0);
    ASSERT_EQ(run_tarvo({"-o=" + old, src}, 077).status, 0);
    ASSERT_EQ(stat(old.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    EXPECT_EQ(run_command({"qpdf", "--check", old}).status, 0);
    // Through a symbolic link the link stays and its target is replaced.
    std::string link = dir + "/link.pdf";
    ASSERT_EQ(symlink(old.c_str(), link.c_str()), 0);
    ASSERT_EQ(run_tarvo({"-o=" + link, src}).status, 0);
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(ConvertRun, DefaultOutputNames) {
    const struct {
        const char* sub;
        const char* first;
        const char* out;
    } cases[] = {
        {"dir.v2", "dir.v2/scan", "dir.v2/scan.pdf"},
        {"img", "img/.scan", "img/.scan.pdf"},
        {"p", "p/p.1.bmp", "p/p.1.pdf"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(mkdir((dir + "/" + c.sub).c_str(), 0755), 0);
        TestBitmap bmp = bmp_pattern(4, 4, 24);
        ASSERT_TRUE(bmp_write(dir + "/" + c.first, bmp));
        ASSERT_EQ(run_tarvo({dir + "/" + c.first}).status, 0) << c.first;
        EXPECT_TRUE(file_exists(dir + "/" + c.out)) << c.out;
    }
}

TEST_F(ConvertRun, DevicesAreWrittenDirectly) {
    std::string src = bitmap("d.bmp", 8, 8);
    ASSERT_EQ(run_tarvo({"-o=/dev/null", src}).status, 0);
    struct stat st;
    ASSERT_EQ(stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

}  // namespace
