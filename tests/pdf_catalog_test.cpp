// Catalog presentation entries and page transitions: in-memory dictionaries
// for the rule tables, a written document read back by qpdf for the framing.
// The catalog steps and the object model they fill are writer internals,
// tested here on purpose through the private header; the page table is set
// up by hand, without writing pages.
#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "pdf/pdfw_private.h"
#include "support/pdf_json.h"
#include "support/tools.h"
#include "support/writer_fixture.h"

namespace {

// Node as PDF-like text: dictionaries "<< /K v ... >>", arrays "[ ... ]",
// strings in parentheses without escaping.
std::string render(const PdfObject* n) {
    if (!n) return "";
    switch (n->kind) {
    case PDF_TOKEN_NAME: return "/" + std::string(n->text);
    case PDF_TOKEN_NUMBER: return n->text;
    case PDF_TOKEN_TRUE: return "true";
    case PDF_TOKEN_FALSE: return "false";
    case PDF_TOKEN_NULL: return "null";
    case PDF_TOKEN_INDIRECT:
        return std::to_string(n->ref.number) + " " + std::to_string(n->ref.generation) + " R";
    case PDF_TOKEN_LITSTRING: return "(" + std::string(n->text, size_t(n->length)) + ")";
    case PDF_TOKEN_DICTIONARY:
    case PDF_TOKEN_ARRAY: {
        bool dict = n->kind == PDF_TOKEN_DICTIONARY;
        std::string s = dict ? "<<" : "[";
        for (const PdfObject* c = n->first_child; c; c = c->next) s += " " + render(c);
        return s + (dict ? " >>" : " ]");
    }
    default: return "?";
    }
}

// Viewing settings with nothing selected: what the command passes when no
// viewer option is given.
struct Viewing : PdfViewing {
    Viewing() : PdfViewing{0, 0, 0, 0, 0, 0, 0, 0, 0, -1, -1, -1, 1000, 1} {}
};

void apply(PdfDocument* doc, const Viewing& v) { ASSERT_TRUE(pdfw_set_viewing(doc, &v)); }

class Catalog : public WriterTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(pdfw_new(&doc));
        catalog = pdfw_dict_new(doc);
        ASSERT_NE(catalog, nullptr);
    }
    void TearDown() override {
        pdfw_object_free(doc, catalog);
        pdfw_destroy(&doc);
        WriterTest::TearDown();
    }
    // Page objects 4, 5, ... with ordinals 1, 2, ...
    void add_pages(int count) {
        for (int i = 1; i <= count; ++i) {
            PdfObjectId id;
            ASSERT_TRUE(pdfw_obj_new(doc, &id, i));
        }
        doc->page_count = count;
    }
    // The whole catalog step's contribution of this Part.
    bool fill() {
        bool ok = pdfw_catalog_page_mode(doc, catalog);
        ok = pdfw_catalog_page_layout(doc, catalog) && ok;
        bool action = pdfw_catalog_open_action(doc, catalog);
        ok = pdfw_catalog_viewer_prefs(doc, catalog) && ok;
        return ok && action;
    }
    std::string entry(const char* path) { return render(pdfw_dict_get(doc, catalog, path)); }

    PdfDocument* doc = nullptr;
    PdfObject* catalog = nullptr;
};

// ---- Page mode and layout --------------------------------------------------

struct ModeCase {
    int exec_mode;
    uint32_t flags;
    int page_mode;
    int page_layout;
    const char* mode;    // expected /PageMode, "" for none
    const char* layout;  // expected /PageLayout
};

class CatalogModes : public Catalog, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(CatalogModes, PageModeAndLayout) {
    const ModeCase& c = GetParam();
    Viewing v;
    v.exec_mode = c.exec_mode;
    v.viewer_flags = c.flags;
    v.page_mode = c.page_mode;
    v.page_layout = c.page_layout;
    apply(doc, v);
    ASSERT_TRUE(fill());
    EXPECT_EQ(entry("/PageMode"), c.mode);
    EXPECT_EQ(entry("/PageLayout"), c.layout);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CatalogModes,
    ::testing::Values(ModeCase{0, 0x3, 0, 0, "/UseNone", "/SinglePage"},
                      ModeCase{0, 0x3, 4, 5, "/UseAttachments", "/TwoColumnRight"},
                      ModeCase{0, 0x3, 2, 3, "/UseThumbs", "/TwoColumnLeft"},
                      // Present bits missing: nothing, whatever the index.
                      ModeCase{0, 0x0, 2, 3, "", ""},
                      ModeCase{0, 0x1, 1, 1, "/UseOutlines", ""},
                      ModeCase{0, 0x2, 1, 1, "", "/OneColumn"},
                      // Out of range indices mean none.
                      ModeCase{0, 0x3, 5, 6, "", ""},
                      ModeCase{0, 0x3, -1, -1, "", ""},
                      // Full screen and presentation override mode, drop layout.
                      ModeCase{1, 0x3, 1, 1, "/FullScreen", ""},
                      ModeCase{2, 0x0, -1, -1, "/FullScreen", ""}));

TEST_F(Catalog, FullScreenWritesOnlyPageMode) {
    add_pages(3);
    Viewing v;
    v.exec_mode = 1;
    v.viewer_flags = 0xFFFF;
    v.page_mode = 1;
    v.page_layout = 1;
    v.zoom_mode = 0;
    apply(doc, v);
    ASSERT_TRUE(fill());
    EXPECT_EQ(render(catalog), "<< /PageMode /FullScreen >>");
}

// ---- Viewer preferences ------------------------------------------------------

struct PrefsCase {
    int exec_mode;
    uint32_t flags;
    const char* expected;  // rendered /ViewerPreferences, "" for none
};

class CatalogPrefs : public Catalog, public ::testing::WithParamInterface<PrefsCase> {};

TEST_P(CatalogPrefs, Presence) {
    Viewing v;
    v.exec_mode = GetParam().exec_mode;
    v.viewer_flags = GetParam().flags;
    apply(doc, v);
    ASSERT_TRUE(fill());
    EXPECT_EQ(entry("/ViewerPreferences"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CatalogPrefs,
    ::testing::Values(
        PrefsCase{0, 0x00C0, "<< /CenterWindow true >>"},
        // A value without its given bit writes nothing.
        PrefsCase{0, 0x0040, ""}, PrefsCase{0, 0x5550, ""},
        PrefsCase{0, 0xFFF0,
                  "<< /FitWindow true /CenterWindow true /DisplayDocTitle true "
                  "/HideMenubar true /HideToolbar true /HideWindowUI true >>"},
        PrefsCase{0, 0xAAA0,
                  "<< /FitWindow false /CenterWindow false /DisplayDocTitle false "
                  "/HideMenubar false /HideToolbar false /HideWindowUI false >>"},
        PrefsCase{0, 0x8020, "<< /FitWindow false /HideWindowUI false >>"},
        // The presence bits of mode, layout and zoom are not preferences.
        PrefsCase{0, 0x0007, ""}, PrefsCase{1, 0xFFF0, ""}, PrefsCase{2, 0xFFF0, ""}));

// ---- Open action with a destination ------------------------------------------

struct StartCase {
    int start_page;
    int pages;
    int opens;  // page ordinal shown
};

class CatalogStart : public Catalog, public ::testing::WithParamInterface<StartCase> {};

TEST_P(CatalogStart, StartPageIsClamped) {
    add_pages(GetParam().pages);
    Viewing v;
    v.viewer_flags = 0x4;
    v.zoom_mode = 0;
    v.start_page = GetParam().start_page;
    apply(doc, v);
    ASSERT_TRUE(fill());
    // Pages were numbered from 4 in ordinal order.
    std::string page = std::to_string(3 + GetParam().opens) + " 0 R";
    EXPECT_EQ(entry("/OpenAction"), "[ " + page + " /Fit ]");
}

INSTANTIATE_TEST_SUITE_P(Table, CatalogStart,
                         ::testing::Values(StartCase{0, 3, 1}, StartCase{-7, 3, 1},
                                           StartCase{1, 3, 1}, StartCase{2, 3, 2},
                                           StartCase{3, 3, 3}, StartCase{9, 3, 3},
                                           StartCase{2, 1, 1}));

struct ZoomCase {
    int zoom_mode;
    int zoom_value;
    const char* after_page;  // array elements after the page reference
};

class CatalogZoom : public Catalog, public ::testing::WithParamInterface<ZoomCase> {};

TEST_P(CatalogZoom, Destination) {
    add_pages(2);
    Viewing v;
    v.viewer_flags = 0x4;
    v.zoom_mode = GetParam().zoom_mode;
    v.zoom_value = GetParam().zoom_value;
    apply(doc, v);
    ASSERT_TRUE(fill());
    EXPECT_EQ(entry("/OpenAction"), std::string("[ 4 0 R ") + GetParam().after_page + " ]");
}

INSTANTIATE_TEST_SUITE_P(Table, CatalogZoom,
                         ::testing::Values(ZoomCase{0, 0, "/Fit"}, ZoomCase{1, 0, "/FitH null"},
                                           ZoomCase{2, 0, "/FitV null"}, ZoomCase{3, 0, "/FitB"},
                                           ZoomCase{4, 0, "/FitBH null"},
                                           ZoomCase{5, 0, "/FitBV null"},
                                           ZoomCase{6, 1250, "/XYZ null null 1"},
                                           ZoomCase{7, 1250, "/XYZ null null 1.250"},
                                           ZoomCase{7, 2000, "/XYZ null null 2"},
                                           ZoomCase{7, 1, "/XYZ null null 0.001"}));

TEST_F(Catalog, NoDestinationWithoutZoomOrPages) {
    Viewing v;
    v.viewer_flags = 0x4;
    v.zoom_mode = 0;
    apply(doc, v);
    ASSERT_TRUE(fill());  // no page to point at
    EXPECT_EQ(entry("/OpenAction"), "");

    add_pages(2);
    v.viewer_flags = 0x0;  // zoom not given
    apply(doc, v);
    ASSERT_TRUE(fill());
    EXPECT_EQ(entry("/OpenAction"), "");

    v.viewer_flags = 0x4;  // a destination without a type would be invalid
    v.zoom_mode = 8;
    apply(doc, v);
    ASSERT_TRUE(fill());
    EXPECT_EQ(entry("/OpenAction"), "");
}

// ---- Presentation script ---------------------------------------------------------

class CatalogScript : public Catalog {
protected:
    std::string script(int loop, uint32_t background) {
        Viewing v;
        v.exec_mode = 2;
        v.loop = loop;
        v.background = background;
        apply(doc, v);
        EXPECT_TRUE(pdfw_catalog_open_action(doc, catalog));
        return entry("/OpenAction/JS");
    }
};

TEST_F(CatalogScript, ActionsAndSubstitutions) {
    std::string js = script(1, 0x0000FF);
    EXPECT_EQ(entry("/OpenAction/Type"), "/Action");
    EXPECT_EQ(entry("/OpenAction/S"), "/JavaScript");
    ASSERT_GE(js.size(), 2u);
    js = js.substr(1, js.size() - 2);
    size_t lines = 0;
    for (char c : js) lines += c == '\n';
    EXPECT_EQ(lines, 40u);
    EXPECT_EQ(js.back(), '\n');
    EXPECT_EQ(js.find("%s"), std::string::npos);
    EXPECT_NE(js.find("\n  app.fs.loop = true;\n"), std::string::npos);
    EXPECT_NE(js.find("\n  app.fs.backgroundColor = [\"RGB\",1.000000,0.000000,0.000000];\n"),
              std::string::npos);
    EXPECT_NE(js.find("\n  app.fs.defaultTransition = \"\";\n"), std::string::npos);
    const std::string tail = "\n\n{\n  FsSettingsStore();\n  FsSettingsSet();\n}\n";
    ASSERT_GT(js.size(), tail.size());
    EXPECT_EQ(js.substr(js.size() - tail.size()), tail);
    EXPECT_EQ(entry("/AA"),
              "<< /WC << /Type /Action /S /JavaScript /JS ({\n  FsSettingsRestore();\n}\n) >> >>");
    // Catalog order: the open action before the additional actions.
    EXPECT_EQ(render(catalog->first_child), "/OpenAction");
    EXPECT_NE(script(0, 0).find("\n  app.fs.loop = false;\n"), std::string::npos);
}

TEST_F(CatalogScript, ColourTextIsLocaleFree) {
    struct Case {
        uint32_t bgr;
        const char* text;
    } cases[] = {
        {0x000000, "[\"RGB\",0.000000,0.000000,0.000000]"},
        {0xFFFFFF, "[\"RGB\",1.000000,1.000000,1.000000]"},
        {0x0000FF, "[\"RGB\",1.000000,0.000000,0.000000]"},
        {0xFF0000, "[\"RGB\",0.000000,0.000000,1.000000]"},
        // Red 32, green 64, blue 128: rounded as printf rounds.
        {0x804020, "[\"RGB\",0.125490,0.250980,0.501961]"},
        {0x010203, "[\"RGB\",0.011765,0.007843,0.003922]"},
    };
    // A comma decimal separator must not reach the script.
    bool comma = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
    for (const Case& c : cases)
        EXPECT_NE(script(0, c.bgr).find(c.text), std::string::npos) << c.text;
    if (comma) std::setlocale(LC_NUMERIC, "C");
}

TEST_F(CatalogScript, RefusedInPdfA) {
    ASSERT_TRUE(pdfw_set_icc_file(doc, L"profile.icc"));
    Viewing v;
    v.exec_mode = 2;
    apply(doc, v);
    EXPECT_FALSE(pdfw_catalog_open_action(doc, catalog));
    EXPECT_EQ(pdfw_last_error(doc), PDFW_ERR_PDFA_SCRIPT);
    EXPECT_EQ(render(catalog), "<< >>");
    // The rest of the step is unaffected.
    EXPECT_TRUE(pdfw_catalog_page_mode(doc, catalog));
    EXPECT_EQ(entry("/PageMode"), "/FullScreen");
}

// ---- Page transitions ------------------------------------------------------------

struct TransCase {
    int style;
    int direction;
    const char* trans;  // rendered /Trans
};

class Transition : public Catalog, public ::testing::WithParamInterface<TransCase> {};

TEST_P(Transition, StyleAndDirection) {
    Viewing v;
    v.exec_mode = 2;
    v.transition_style = GetParam().style;
    v.transition_direction = GetParam().direction;
    v.transition_time = 1000;
    apply(doc, v);
    ASSERT_TRUE(pdfw_page_transition(doc, catalog));
    EXPECT_EQ(entry("/Trans"), GetParam().trans);
    EXPECT_EQ(entry("/Dur"), "");
}

INSTANTIATE_TEST_SUITE_P(
    Table, Transition,
    ::testing::Values(
        TransCase{0, 0, "<< /D 1 /S /Split /Dm /H /M /I >>"},
        TransCase{0, 1, "<< /D 1 /S /Split /Dm /H /M /O >>"},
        TransCase{0, 2, "<< /D 1 /S /Split /Dm /V /M /I >>"},
        TransCase{0, 3, "<< /D 1 /S /Split /Dm /V /M /O >>"},
        TransCase{0, -1, "<< /D 1 /S /Split /Dm /H /M /O >>"},
        TransCase{1, 0, "<< /D 1 /S /Blinds /Dm /H >>"},
        TransCase{1, 1, "<< /D 1 /S /Blinds /Dm /V >>"},
        TransCase{2, 0, "<< /D 1 /S /Box /M /I >>"},
        TransCase{2, 5, "<< /D 1 /S /Box /M /O >>"},
        TransCase{3, 2, "<< /D 1 /S /Wipe /Di 90 >>"},
        TransCase{3, 8, "<< /D 1 /S /Wipe >>"},
        TransCase{3, -1, "<< /D 1 /S /Wipe >>"},
        TransCase{4, 3, "<< /D 1 /S /Dissolve >>"},
        TransCase{5, 0, "<< /D 1 /S /Glitter /Di 0 >>"},
        TransCase{5, 1, "<< /D 1 /S /Glitter /Di 315 >>"},
        TransCase{5, 2, "<< /D 1 /S /Glitter /Di 270 >>"},
        TransCase{5, 3, "<< /D 1 /S /Glitter >>"},
        TransCase{6, 0, "<< /D 1 /S /Replace >>"},
        TransCase{7, 4, "<< /D 1 /S /Fly /M /I /Di 180 /SS 0 /B true >>"},
        TransCase{8, 7, "<< /D 1 /S /Fly /M /O /Di 315 /SS 0 /B true >>"},
        TransCase{8, -1, "<< /D 1 /S /Fly /M /O /SS 0 /B true >>"},
        TransCase{9, 1, "<< /D 1 /S /Push /Di 45 >>"},
        TransCase{10, 5, "<< /D 1 /S /Cover /Di 225 >>"},
        TransCase{11, 6, "<< /D 1 /S /Uncover /Di 270 >>"},
        TransCase{12, 0, "<< /D 1 /S /Fade >>"},
        TransCase{13, 0, "<< /D 1 /S /Comb /Dm /H >>"},
        TransCase{13, 2, "<< /D 1 /S /Comb /Dm /V >>"},
        TransCase{14, 0, "<< /D 1 /S /Random >>"},
        TransCase{15, 0, "<< /D 1 >>"}));

TEST_F(Catalog, DurationAndTransitionTime) {
    Viewing v;
    v.exec_mode = 2;
    v.auto_advance = 1;
    v.page_time = 2509;  // hundredths, truncated
    v.transition_style = 4;
    v.transition_time = 1250;
    apply(doc, v);
    ASSERT_TRUE(pdfw_page_transition(doc, catalog));
    EXPECT_EQ(render(catalog), "<< /Dur 2.50 /Trans << /D 1.25 /S /Dissolve >> >>");

    // Only presentation mode has transitions.
    for (int mode : {0, 1}) {
        PdfObject* page = pdfw_dict_new(doc);
        ASSERT_NE(page, nullptr);
        v.exec_mode = mode;
        apply(doc, v);
        EXPECT_TRUE(pdfw_page_transition(doc, page));
        EXPECT_EQ(page->first_child, nullptr);
        pdfw_object_free(doc, page);
    }
}

// ---- Written document ----------------------------------------------------------------

using CatalogWritten = WriterFixture;

// The script goes through literal-string escaping (parentheses, line feeds)
// and must come back byte for byte.
TEST_F(CatalogWritten, ScriptSurvivesStringEscaping) {
    if (!tool_available("qpdf")) GTEST_SKIP() << "qpdf not installed";
    Viewing v;
    v.exec_mode = 2;
    v.loop = 1;
    v.background = 0x0000FF;
    apply(doc, v);
    ASSERT_TRUE(add_page(doc));
    PdfObject* scratch = pdfw_dict_new(doc);
    ASSERT_TRUE(pdfw_catalog_open_action(doc, scratch));
    PdfObject* js = pdfw_dict_get(doc, scratch, "/OpenAction/JS");
    ASSERT_NE(js, nullptr);
    const std::string expected = pdf_tree_escape(std::string(js->text, size_t(js->length)));
    pdfw_object_free(doc, scratch);
    const std::string pdf = finish();

    EXPECT_EQ(run_command({"qpdf", "--check", pdf}).status, 0);
    EXPECT_EQ(pdf_tree(pdf)["/Root/OpenAction/JS"], expected);
}

}  // namespace
