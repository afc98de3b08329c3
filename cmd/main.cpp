// tarvo: converts BMP bitmaps into one PDF document.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cmd/tarvo.h"
#include "pdf/pdfw.h"
#include "platform/platform.h"

namespace {

const char USAGE[] =
    "usage: tarvo [options] file.bmp...\n"
    "Converts bitmaps into one PDF, one page per bitmap, named after the first\n"
    "bitmap unless -o= is given. Options come first, written -name=value and\n"
    "beginning with / or -; -- ends them. Lengths in 0.1 mm. See tarvo(1).\n"
    "A bitmap named - is read from standard input; -o=- writes the PDF to\n"
    "standard output.\n"
    "  -o=PATH        output file        -dpi=N        resolution for all bitmaps\n"
    "  -paper=NAME    A3 A4 A5 B5 Letter Legal Tabloid, L for landscape (A4L)\n"
    "  -ldw=N -ldh=N  page size          -lbl/lbt/lbr/lbb=N  margins\n"
    "  -lis=0..-4     image scaling      -lip=0..9     image position\n"
    "  -enc=0..7      colour bitmaps: 0 JPEG 75, 1 none, 2 Flate, 3..7 JPEG 100..1\n"
    "  -encp=0..7     colour-table bitmaps (0 none)  -encg=0..7  grey (0 JPEG 75)\n"
    "  -vra=0|90|180|270  rotation       -eco=1 -icc=PATH   PDF/A-1b\n"
    "  -sec=3 -sow= -sus= -set=N         encryption: 3 AES-256 (use this), 4 AES-128,\n"
    "                                    1 and 2 RC4 (broken, for old readers)\n"
    "  -sowfile=PATH -susfile=PATH       password from a file's first line (- stdin)\n"
    "  -it= -ia= -is= -ik= -ic=          title, author, subject, keywords, creator\n"
    "  -vom= -vwp= -vwl= -vwz= -vwzv= -vwsp= -vwwf= -vwwc= -vwwt= -vwhm= -vwht=\n"
    "  -vwhc= -vpa= -vpt= -vte= -vtd= -vtt= -vpl= -vbc=   viewer and presentation\n"
    "  -quiet         no trace lines on standard output\n"
    "  -debug         trace on standard error\n"
    "  --help (or -h alone), --version\n"
    "Environment: SOURCE_DATE_EPOCH=seconds fixes the document dates (UTC);\n"
    "encrypted output is never the same twice.\n";

}  // namespace

int main(int argc, char** argv) {
    plat_process_setup();
    PlatArgs args{};
    if (!plat_args_read(argc, argv, &args)) {
        int code = TARVO_ERR_WRITER + PDFW_ERR_NO_MEMORY;
        cmd_error_line(code, L"out of memory reading the command line");
        return plat_exit_status(code);
    }

    TarvoSettings settings;
    std::wstring detail;
    int code = cmd_parse_args(args.count, args.values, &settings, &detail);
    const bool bare = args.count <= 1;
    plat_args_free(&args);
    for (const std::wstring& warning : settings.warnings) cmd_warning_line(warning.c_str());
    if (code == TARVO_OK && settings.request == TARVO_REQUEST_HELP) {
        std::fputs(USAGE, stdout);
    } else if (code == TARVO_OK && settings.request == TARVO_REQUEST_VERSION) {
        std::printf("tarvo %d.%02d\n", PDFW_VERSION_MAJOR, PDFW_VERSION_MINOR);
    } else {
        if (code == TARVO_OK)
            code = cmd_read_source_date(&settings, std::getenv("SOURCE_DATE_EPOCH"), &detail);
        if (code == TARVO_OK) code = cmd_check_settings(&settings, &detail);
        if (code == TARVO_OK)
            for (const std::wstring& warning : cmd_settings_warnings(&settings))
                cmd_warning_line(warning.c_str());
        if (code == TARVO_OK) code = cmd_run(&settings, &detail);
    }
    cmd_forget_passwords(&settings);
    if (code < 0) cmd_error_line(code, detail.c_str());
    if (code == TARVO_ERR_NO_FILE && bare) std::fputs("try 'tarvo --help'\n", stderr);
    cmd_debug(&settings, L"DBG: Tarvo.Command: End (%d)\n", code);
    std::fflush(stdout);
    // The whole code on Windows; its low byte elsewhere (-400 leaves 112).
    return plat_exit_status(code);
}
