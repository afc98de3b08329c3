// Running the built command and the independent PDF tools, and the small
// helpers every test program shares.
#ifndef TARVO_TESTS_TOOLS_H
#define TARVO_TESTS_TOOLS_H

#include <cstdint>
#include <string>
#include <vector>

struct CommandResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
    long peak_rss_kib = 0;  // where the system tells
};
// Whether peak_rss_kib is the command's own: not under a sanitizer, whose
// shadow memory and quarantine dwarf it, and not where it is not told.
bool peak_rss_measured();

// Runs argv[0] (searched on PATH) with the arguments; standard input is
// empty. umask_value >= 0 sets the child's umask.
CommandResult run_command(const std::vector<std::string>& argv, int umask_value = -1);
// The exit status, with standard output and error together in *output
// (qpdf reports on both).
int run_output(const std::vector<std::string>& argv, std::string* output);

// The built command's path from TARVO_BIN, or empty.
std::string tarvo_bin();
// The BMP suite's folder from TARVO_BMPSUITE_DIR, or empty when it is not there.
std::string bmpsuite_dir();
// The command with the arguments; the exit status as the signed result code.
CommandResult run_tarvo(const std::vector<std::string>& args, int umask_value = -1);
// The exit status a result code leaves: its low byte (-400 exits with 112).
int exit_status(int result_code);

bool tool_available(const std::string& name);

// A fresh directory under TMPDIR (or /tmp), removed with all its files by
// remove_tree.
std::string make_temp_dir();
void remove_tree(const std::string& dir);
// Names in a directory, sorted, without "." and "..".
std::vector<std::string> file_names(const std::string& dir);

bool read_file(const std::string& path, std::string* bytes);
std::string read_all(const std::string& path);  // empty when it does not read
bool write_file(const std::string& path, const std::string& bytes);
bool file_exists(const std::string& path);
// Bytes of a linear congruential generator: noise no coder compresses.
std::vector<uint8_t> noise_bytes(size_t n, uint32_t seed);
// Two lowercase hex digits a byte.
std::string hex_text(const void* bytes, size_t n);
// Each byte as one wide character, for ASCII paths.
std::wstring wide(const std::string& ascii);
// An sRGB ICC profile shipped by a Debian package, or empty.
std::string system_rgb_profile();

// An image as 0xRRGGBB per pixel, top row first.
struct Raster {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> rgb;
};
// Reads binary PBM, PGM or PPM (P4, P5, P6); PBM 1 is black.
bool read_pnm(const std::string& path, Raster* raster);
// Any format Pillow reads, through the system Python; false when Pillow is
// missing or refuses the file. Nothing is written beside the file.
bool read_with_pillow(const std::string& path, Raster* raster);

// One row of `pdfimages -list`.
struct ListedImage {
    int page = 0;
    std::string type;  // image, smask, stencil
    int width = 0;
    int height = 0;
    std::string colour;  // gray, rgb, index
    int components = 0;
    int bpc = 0;
    std::string encoding;  // image, jpeg, ccitt, ...
    int object = 0;
};
std::vector<ListedImage> pdfimages_list(const std::string& pdf);

// Extracts every image of the PDF as PNG into dir (prefix "img") and reads
// them back in order.
std::vector<Raster> pdfimages_png(const std::string& pdf, const std::string& dir);

// The PDF rewritten with decompressed streams and no object streams.
std::string qdf_text(const std::string& pdf, const std::string& dir);
// Decoded data of one object's stream.
std::string stream_data(const std::string& pdf, int object);

#endif
