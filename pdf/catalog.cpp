// Catalog presentation settings: page mode and layout, the open action, the
// viewer preferences, and the per-page display duration and transition of
// presentation mode.
#include <cstdio>

#include "pdf/pdfw_private.h"

namespace {

enum { EXEC_NORMAL = 0, EXEC_FULL_SCREEN = 1, EXEC_PRESENTATION = 2 };

enum {
    FLAG_PAGE_MODE = 0x0001,
    FLAG_PAGE_LAYOUT = 0x0002,
    FLAG_ZOOM = 0x0004,
};

const char* const kPageModes[] = {"UseNone", "UseOutlines", "UseThumbs", "UseOC",
                                  "UseAttachments"};
const char* const kPageLayouts[] = {"SinglePage",    "OneColumn",    "TwoPageLeft",
                                    "TwoColumnLeft", "TwoPageRight", "TwoColumnRight"};

// Each preference: the bit that says it is written, the bit holding its value.
struct ViewerPref {
    const char* key;
    uint32_t given;
    uint32_t value;
};
const ViewerPref kViewerPrefs[] = {
    {"FitWindow", 0x0020, 0x0010},       {"CenterWindow", 0x0080, 0x0040},
    {"DisplayDocTitle", 0x0200, 0x0100}, {"HideMenubar", 0x0800, 0x0400},
    {"HideToolbar", 0x2000, 0x1000},     {"HideWindowUI", 0x8000, 0x4000},
};

// Destination after the page reference: the name, then how many nulls; zoom
// modes 6 and 7 add the zoom factor after the nulls.
struct ZoomDest {
    const char* name;
    int nulls;
};
const ZoomDest kZoomDests[] = {
    {"Fit", 0}, {"FitH", 1}, {"FitV", 1}, {"FitB", 0},
    {"FitBH", 1}, {"FitBV", 1}, {"XYZ", 2}, {"XYZ", 2},
};

// Viewer script of presentation mode: saves the viewer's full-screen
// settings, then sets them. First %s: loop flag; second: background colour.
const char kFullScreenScript[] =
    "function FsSettingsStore()\n"
    "{\n"
    "  global.clickAdvances = app.fs.clickAdvances;\n"
    "  global.cursor = app.fs.cursor;\n"
    "  global.defaultTransition = app.fs.defaultTransition;\n"
    "  global.escapeExits = app.fs.escapeExits;\n"
    "  global.loop = app.fs.loop;\n"
    "  global.useTimer = app.fs.useTimer;\n"
    "  global.timeDelay = app.fs.timeDelay;\n"
    "  global.backgroundColor = app.fs.backgroundColor;\n"
    "}\n"
    "\n"
    "function FsSettingsRestore()\n"
    "{\n"
    "  app.fs.clickAdvances = global.clickAdvances;\n"
    "  app.fs.cursor = global.cursor;\n"
    "  app.fs.defaultTransition = global.defaultTransition;\n"
    "  app.fs.escapeExits = global.escapeExits;\n"
    "  app.fs.loop = global.loop;\n"
    "  app.fs.useTimer = global.useTimer;\n"
    "  app.fs.timeDelay = global.timeDelay;\n"
    "  app.fs.backgroundColor = global.backgroundColor;\n"
    "}\n"
    "\n"
    "function FsSettingsSet()\n"
    "{\n"
    "  app.fs.escapeExits = true;\n"
    "  app.fs.clickAdvances = true;\n"
    "  app.fs.loop = %s;\n"
    "  app.fs.useTimer = true;\n"
    "  app.fs.timeDelay = 2;\n"
    "  app.fs.cursor = cursor.hidden;\n"
    "  app.fs.defaultTransition = \"\";\n"
    "  app.fs.backgroundColor = %s;\n"
    "}\n"
    "\n"
    "{\n"
    "  FsSettingsStore();\n"
    "  FsSettingsSet();\n"
    "}\n";

const char kWillCloseScript[] = "{\n  FsSettingsRestore();\n}\n";

// Channel value of one colour byte with six decimals, as printf's "%f" of
// byte / 255.0 gives it, but free of the locale's decimal separator. No
// byte lands exactly halfway between two millionths, so rounding to the
// nearest integer matches.
void format_channel(unsigned byte, char* out, size_t size) {
    unsigned long millionths = (byte * 2000000UL + 255) / 510;
    std::snprintf(out, size, "%lu.%06lu", millionths / 1000000, millionths % 1000000);
}

bool add_script_action(PdfDocument* doc, PdfObject* action, const char* script,
                       const char* const* args, int nargs) {
    bool ok = pdfw_dict_set_name(doc, action, "Type", "Action");
    ok = pdfw_dict_set_name(doc, action, "S", "JavaScript") && ok;
    if (nargs > 0) return pdfw_dict_set_format(doc, action, "JS", script, args, nargs) && ok;
    return pdfw_dict_set_string(doc, action, "JS", script) && ok;
}

bool open_action_destination(PdfDocument* doc, PdfObject* catalog) {
    const PdfViewing& v = doc->viewing;
    if (!(v.viewer_flags & FLAG_ZOOM)) return true;
    // A destination needs its type; an unknown zoom mode means no zoom.
    if (v.zoom_mode < 0 || v.zoom_mode > 7) return true;

    int32_t count = doc->page_count;
    int32_t target = v.start_page < count ? v.start_page : count;
    if (target <= 0) target = 1;
    PdfObjectId page;
    if (!pdfw_page_ref(doc, target, &page)) return true;  // no pages to show

    PdfObject* dest = pdfw_dict_set_array(doc, catalog, "OpenAction");
    if (!dest) return false;
    const ZoomDest& z = kZoomDests[v.zoom_mode];
    bool ok = pdfw_array_add_ref(doc, dest, page) && pdfw_array_add_name(doc, dest, z.name);
    for (int i = 0; ok && i < z.nulls; ++i) ok = pdfw_array_add_null(doc, dest);
    if (ok && v.zoom_mode >= 6) {
        int32_t zoom = v.zoom_mode == 6 ? 1000 : v.zoom_value;
        ok = pdfw_array_add_fixed(doc, dest, zoom, 3);
    }
    return ok;
}

bool presentation_actions(PdfDocument* doc, PdfObject* catalog) {
    // PDF/A-1 forbids JavaScript actions.
    if (doc->pdfa) return pdfw_fail(doc, PDFW_ERR_PDFA_SCRIPT);
    const PdfViewing& v = doc->viewing;
    char red[16], green[16], blue[16];
    format_channel(v.background & 0xFF, red, sizeof red);
    format_channel((v.background >> 8) & 0xFF, green, sizeof green);
    format_channel((v.background >> 16) & 0xFF, blue, sizeof blue);
    char colour[64];
    std::snprintf(colour, sizeof colour, "[\"RGB\",%s,%s,%s]", red, green, blue);
    const char* args[] = {v.loop ? "true" : "false", colour};

    PdfObject* open = pdfw_dict_set_dict(doc, catalog, "OpenAction");
    if (!open) return false;
    bool ok = add_script_action(doc, open, kFullScreenScript, args, 2);
    PdfObject* aa = pdfw_dict_set_dict(doc, catalog, "AA");
    PdfObject* will_close = aa ? pdfw_dict_set_dict(doc, aa, "WC") : nullptr;
    if (!will_close) return false;
    return add_script_action(doc, will_close, kWillCloseScript, nullptr, 0) && ok;
}

// Di of the styles that take an angle: 45 degree steps for p = 0..7.
bool add_angle(PdfDocument* doc, PdfObject* trans, int p) {
    if (p < 0 || p > 7) return true;
    return pdfw_dict_set_int(doc, trans, "Di", 45 * p);
}

bool add_fly(PdfDocument* doc, PdfObject* trans, const char* motion, int p) {
    bool ok = pdfw_dict_set_name(doc, trans, "M", motion);
    ok = add_angle(doc, trans, p) && ok;
    ok = pdfw_dict_set_int(doc, trans, "SS", 0) && ok;
    return pdfw_dict_set_bool(doc, trans, "B", 1) && ok;
}

}  // namespace

bool pdfw_catalog_page_mode(PdfDocument* doc, PdfObject* catalog) {
    if (!doc) return false;
    if (!catalog) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    const PdfViewing& v = doc->viewing;
    if (v.exec_mode == EXEC_FULL_SCREEN || v.exec_mode == EXEC_PRESENTATION)
        return pdfw_dict_set_name(doc, catalog, "PageMode", "FullScreen");
    if ((v.viewer_flags & FLAG_PAGE_MODE) && v.page_mode >= 0 && v.page_mode <= 4)
        return pdfw_dict_set_name(doc, catalog, "PageMode", kPageModes[v.page_mode]);
    return true;
}

bool pdfw_catalog_page_layout(PdfDocument* doc, PdfObject* catalog) {
    if (!doc) return false;
    if (!catalog) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    const PdfViewing& v = doc->viewing;
    if (v.exec_mode == EXEC_NORMAL && (v.viewer_flags & FLAG_PAGE_LAYOUT) &&
        v.page_layout >= 0 && v.page_layout <= 5)
        return pdfw_dict_set_name(doc, catalog, "PageLayout", kPageLayouts[v.page_layout]);
    return true;
}

bool pdfw_catalog_open_action(PdfDocument* doc, PdfObject* catalog) {
    if (!doc) return false;
    if (!catalog) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    switch (doc->viewing.exec_mode) {
    case EXEC_NORMAL:
        return open_action_destination(doc, catalog);
    case EXEC_PRESENTATION:
        return presentation_actions(doc, catalog);
    default:
        return true;
    }
}

bool pdfw_catalog_viewer_prefs(PdfDocument* doc, PdfObject* catalog) {
    if (!doc) return false;
    if (!catalog) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    const PdfViewing& v = doc->viewing;
    if (v.exec_mode != EXEC_NORMAL) return true;
    uint32_t given = 0;
    for (const ViewerPref& pref : kViewerPrefs) given |= v.viewer_flags & pref.given;
    if (!given) return true;

    PdfObject* prefs = pdfw_dict_set_dict(doc, catalog, "ViewerPreferences");
    if (!prefs) return false;
    bool ok = true;
    for (const ViewerPref& pref : kViewerPrefs) {
        if (v.viewer_flags & pref.given)
            ok = pdfw_dict_set_bool(doc, prefs, pref.key, (v.viewer_flags & pref.value) != 0) && ok;
    }
    return ok;
}

bool pdfw_page_transition(PdfDocument* doc, PdfObject* page) {
    if (!doc) return false;
    if (!page) return pdfw_fail(doc, PDFW_ERR_ARGUMENT);
    const PdfViewing& v = doc->viewing;
    if (v.exec_mode != EXEC_PRESENTATION) return true;

    bool ok = true;
    if (v.auto_advance) ok = pdfw_dict_set_hundredths(doc, page, "Dur", v.page_time / 10);
    PdfObject* trans = pdfw_dict_set_dict(doc, page, "Trans");
    if (!trans) return false;
    ok = pdfw_dict_set_hundredths(doc, trans, "D", v.transition_time / 10) && ok;
    const char* style = pdfw_transition_name(v.transition_style);
    if (!style) return ok;
    ok = pdfw_dict_set_name(doc, trans, "S", style) && ok;

    const int p = v.transition_direction;
    switch (v.transition_style) {
    case 0:  // Split
        ok = pdfw_dict_set_name(doc, trans, "Dm", p < 2 ? "H" : "V") && ok;
        // The sign of p decides odd or even, so -1 counts as odd.
        return pdfw_dict_set_name(doc, trans, "M", p % 2 == 0 ? "I" : "O") && ok;
    case 1:   // Blinds
    case 13:  // Comb
        return pdfw_dict_set_name(doc, trans, "Dm", p == 0 ? "H" : "V") && ok;
    case 2:  // Box
        return pdfw_dict_set_name(doc, trans, "M", p == 0 ? "I" : "O") && ok;
    case 3:   // Wipe
    case 9:   // Push
    case 10:  // Cover
    case 11:  // Uncover
        return add_angle(doc, trans, p) && ok;
    case 5: {  // Glitter
        static const int kGlitterAngles[] = {0, 315, 270};
        if (p < 0 || p > 2) return ok;
        return pdfw_dict_set_int(doc, trans, "Di", kGlitterAngles[p]) && ok;
    }
    case 7:  // Fly inward
        return add_fly(doc, trans, "I", p) && ok;
    case 8:  // Fly outward
        return add_fly(doc, trans, "O", p) && ok;
    default:  // Dissolve, Replace, Fade, Random
        return ok;
    }
}
