// Viewing, presentation and PDF/A options end to end: the built command on
// generated bitmaps, its output read back by qpdf and an XML parser.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/bmp_writer.h"
#include "support/pdf_json.h"
#include "support/tools.h"

namespace {

// The result code from the last debug line, which is not cut to a byte as
// the exit status is.
int end_code(const CommandResult& r) {
    size_t at = r.err.rfind("DBG: Tarvo.Command: End (");
    if (at == std::string::npos) return 1000;
    return std::atoi(r.err.c_str() + at + 25);
}

class ConvertPresent : public ::testing::Test {
protected:
    void SetUp() override {
        if (tarvo_bin().empty()) GTEST_SKIP() << "TARVO_BIN not set";
        if (!tool_available("qpdf")) GTEST_SKIP() << "qpdf not installed";
        dir = make_temp_dir();
        for (int i = 0; i < 3; ++i) {
            std::string path = dir + "/p" + std::to_string(i) + ".bmp";
            ASSERT_TRUE(bmp_write(path, bmp_pattern(24 + 8 * i, 16, 24)));
            bitmaps.push_back(path);
        }
        pdf = dir + "/out.pdf";
    }
    void TearDown() override {
        if (!dir.empty()) remove_tree(dir);
    }
    // The command with options, -debug, the output path and the bitmaps.
    CommandResult convert(std::vector<std::string> options, int pages = 3) {
        options.insert(options.begin(), "-debug");
        options.push_back("-o=" + pdf);
        options.insert(options.end(), bitmaps.begin(), bitmaps.begin() + pages);
        return run_tarvo(options);
    }

    std::string dir, pdf;
    std::vector<std::string> bitmaps;
};

TEST_F(ConvertPresent, PresentationFile) {
    CommandResult r = convert({"-vom=2", "-vpa=1", "-vpt=2500", "-vte=3", "-vtd=2", "-vtt=1000",
                               "-vpl=1", "-vbc=0xFF0000"});
    ASSERT_EQ(end_code(r), 0) << r.err;
    EXPECT_EQ(run_command({"qpdf", "--check", pdf}).status, 0);

    PdfTree t = pdf_tree(pdf);
    EXPECT_EQ(t["/Root/PageMode"], "/FullScreen");
    EXPECT_EQ(t["/Root/OpenAction/Type"], "/Action");
    EXPECT_EQ(t["/Root/OpenAction/S"], "/JavaScript");
    const std::string& js = t["/Root/OpenAction/JS"];
    EXPECT_NE(js.find("app.fs.loop = true;"), std::string::npos);
    // 0xRRGGBB on the command line: red.
    EXPECT_NE(js.find("app.fs.backgroundColor = [\"RGB\",1.000000,0.000000,0.000000];"),
              std::string::npos);
    EXPECT_EQ(t["/Root/AA/WC/S"], "/JavaScript");
    EXPECT_EQ(t["/Root/AA/WC/JS"], pdf_tree_escape("{\n  FsSettingsRestore();\n}\n"));
    ASSERT_EQ(pdf_tree_count(t, "/Root/Pages/Kids"), 3);
    for (int i = 0; i < 3; ++i) {
        std::string page = "/Root/Pages/Kids/" + std::to_string(i);
        EXPECT_EQ(t[page + "/Dur"], "2.50") << page;
        EXPECT_EQ(t[page + "/Trans/D"], "1") << page;
        EXPECT_EQ(t[page + "/Trans/S"], "/Wipe") << page;
        EXPECT_EQ(t[page + "/Trans/Di"], "90") << page;
    }
}

TEST_F(ConvertPresent, ViewingOptions) {
    CommandResult r = convert({"-vwp=3", "-vwl=2", "-vwz=8", "-vwzv=1250", "-vwsp=9", "-vwwc=2",
                               "-vwhm=1"});
    ASSERT_EQ(end_code(r), 0) << r.err;
    PdfTree t = pdf_tree(pdf);
    EXPECT_EQ(t["/Root/PageMode"], "/UseThumbs");
    EXPECT_EQ(t["/Root/PageLayout"], "/OneColumn");
    // Start page 9 of three opens the last page.
    EXPECT_EQ(t["/Root/OpenAction/0"], t["/Root/Pages/Kids/2"]);
    EXPECT_EQ(t["/Root/OpenAction/1"], "/XYZ");
    EXPECT_EQ(t["/Root/OpenAction/4"], "1.250");
    EXPECT_EQ(t["/Root/ViewerPreferences/CenterWindow"], "true");
    EXPECT_EQ(t["/Root/ViewerPreferences/HideMenubar"], "false");
    EXPECT_EQ(pdf_tree_count(t, "/Root/ViewerPreferences"), 2);
    EXPECT_EQ(t.count("/Root/Pages/Kids/0/Trans"), 0u);
}

TEST_F(ConvertPresent, PdfAMirrorsInfoInXmp) {
    std::string icc = system_rgb_profile();
    if (icc.empty()) GTEST_SKIP() << "no RGB profile installed";
    CommandResult r = convert({"-eco=1", "-icc=" + icc, "-it=R\xC3\xA9sum\xC3\xA9 \xE2\x82\xAC & <co>",
                               "-ia=\xE6\x9D\xB1\xE4\xBA\xAC", "-is=Subject \"q\"", "-ik=a, b",
                               "-ic=Scanner \xF0\x9F\x93\xB7"},
                              1);
    ASSERT_EQ(end_code(r), 0) << r.err;
    std::string bytes;
    ASSERT_TRUE(read_file(pdf, &bytes));
    size_t eol = bytes.find('\n');
    ASSERT_NE(eol, std::string::npos);
    EXPECT_EQ(bytes.substr(eol + 1, 6), "%\xC7\xEC\x8F\xA2\n");
    EXPECT_EQ(run_command({"qpdf", "--check", pdf}).status, 0);

    PdfTree t = pdf_tree(pdf);
    ASSERT_EQ(t["/Root/Metadata/Subtype"], "/XML");
    EXPECT_EQ(t["/Root/OutputIntents/0/S"], "/GTS_PDFA1");
    std::string packet = stream_data(pdf, std::atoi(t["/Root/Metadata"].c_str()));
    if (tool_available("xmllint")) {
        std::string path = dir + "/meta.xml";
        ASSERT_TRUE(write_file(path, packet));
        EXPECT_EQ(run_command({"xmllint", "--noout", path}).status, 0);
    }
    XmpFields f = xmp_fields(dir, packet);
    EXPECT_EQ(f["part"], "1");
    EXPECT_EQ(f["conformance"], "B");
    EXPECT_EQ(f["dc:title"], "R\xC3\xA9sum\xC3\xA9 \xE2\x82\xAC & <co>");
    EXPECT_EQ(f["dc:title"], t["/Info/Title"]);
    EXPECT_EQ(f["dc:creator"], t["/Info/Author"]);
    EXPECT_EQ(f["dc:description"], t["/Info/Subject"]);
    EXPECT_EQ(f["pdf:Keywords"], t["/Info/Keywords"]);
    EXPECT_EQ(f["xmp:CreatorTool"], t["/Info/Creator"]);
    EXPECT_EQ(f["xmp:CreatorTool"], "Scanner \xF0\x9F\x93\xB7");
    EXPECT_EQ(f["pdf:Producer"], t["/Info/Producer"]);
    // D:YYYYMMDDhhmmss+HH'mm' against YYYY-MM-DDThh:mm:ss+HH:mm.
    const std::string& d = t["/Info/CreationDate"];
    ASSERT_EQ(d.size(), 23u);
    std::string sign = d[16] == 'Z' ? "+" : d.substr(16, 1);
    EXPECT_EQ(f["xmp:CreateDate"], d.substr(2, 4) + "-" + d.substr(6, 2) + "-" + d.substr(8, 2) +
                                       "T" + d.substr(10, 2) + ":" + d.substr(12, 2) + ":" +
                                       d.substr(14, 2) + sign + d.substr(17, 2) + ":" +
                                       d.substr(20, 2));
    EXPECT_EQ(f["xmp:ModifyDate"], f["xmp:CreateDate"]);
}

TEST_F(ConvertPresent, PdfALeavesPresentationScriptOut) {
    std::string icc = system_rgb_profile();
    if (icc.empty()) GTEST_SKIP() << "no RGB profile installed";
    CommandResult r = convert({"-eco=1", "-icc=" + icc, "-vom=2", "-vte=12"}, 1);
    ASSERT_EQ(end_code(r), 0) << r.err;
    EXPECT_EQ(run_command({"qpdf", "--check", pdf}).status, 0);
    PdfTree t = pdf_tree(pdf);
    EXPECT_EQ(t["/Root/PageMode"], "/FullScreen");
    EXPECT_EQ(t.count("/Root/OpenAction"), 0u);
    EXPECT_EQ(t.count("/Root/AA"), 0u);
    EXPECT_EQ(t["/Root/Pages/Kids/0/Trans/S"], "/Fade");
}

TEST_F(ConvertPresent, BadProfilesLeaveOutputUntouched) {
    std::string rgb = system_rgb_profile();
    std::string truncated = dir + "/truncated.icc";
    if (!rgb.empty()) {
        std::string bytes;
        ASSERT_TRUE(read_file(rgb, &bytes));
        ASSERT_TRUE(write_file(truncated, bytes.substr(0, 200)));
    }
    struct Case {
        std::string profile;
        int code;
    } cases[] = {
        {"/usr/share/color/icc/ghostscript/default_cmyk.icc", -628},
        {rgb.empty() ? "" : truncated, -628},
        {dir + "/absent.icc", -627},
    };
    const std::string previous = "previous output\n";
    ASSERT_TRUE(write_file(pdf, previous));
    const std::vector<std::string> before = file_names(dir);
    for (const Case& c : cases) {
        if (c.profile.empty() || (c.code == -628 && !file_exists(c.profile))) continue;
        CommandResult r = convert({"-eco=1", "-icc=" + c.profile}, 1);
        EXPECT_EQ(end_code(r), c.code) << c.profile;
        std::string now;
        ASSERT_TRUE(read_file(pdf, &now));
        EXPECT_EQ(now, previous) << c.profile;
        EXPECT_EQ(file_names(dir), before) << c.profile;
    }
}

}  // namespace
