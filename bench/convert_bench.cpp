// Conversion speed and memory against bare library baselines on A4 pages at
// 300 dpi: a colour page against libjpeg-turbo alone (quality 75, optimised
// Huffman tables), a 1-bit text page against libdeflate level 6 plus the G4
// encoder on the same rows, and the peak memory of one colour page against
// the size of its bitmap file.
//
// Usage: convert_bench [repetitions]. Prints one line per measurement; times
// are the best of the repetitions.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <libdeflate.h>

#include "bench/bench_pages.h"
#include "cmd/tarvo.h"
#include "codec/codec.h"
#include "dib/dib.h"
#include "pdf/pdfw.h"

namespace {

double cpu_seconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Best process CPU time of each of two jobs, run alternately so that both
// meet the same machine load; CPU time rather than wall time for the same
// reason.
void best_of_pair(int reps, const std::function<void()>& a, const std::function<void()>& b,
                  double* best_a, double* best_b) {
    *best_a = *best_b = 1e30;
    for (int i = 0; i < reps; ++i) {
        double t0 = cpu_seconds();
        a();
        double t1 = cpu_seconds();
        b();
        double t2 = cpu_seconds();
        if (t1 - t0 < *best_a) *best_a = t1 - t0;
        if (t2 - t1 < *best_b) *best_b = t2 - t1;
    }
}

size_t jpeg_baseline(const std::vector<uint8_t>& bgr, int width, int height) {
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = JDIMENSION(width);
    c.image_height = JDIMENSION(height);
    c.input_components = 3;
    c.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 75, TRUE);
    c.optimize_coding = TRUE;
    c.write_JFIF_header = FALSE;
    c.write_Adobe_marker = TRUE;
    jpeg_start_compress(&c, TRUE);
    for (int y = 0; y < height; ++y) {
        JSAMPROW row = const_cast<JSAMPROW>(&bgr[size_t(y) * width * 3]);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::free(out);
    return size;
}

int convert(const std::string& bmp, const std::string& pdf) {
    TarvoSettings s;
    s.files.push_back(std::wstring(bmp.begin(), bmp.end()));
    s.outfile = std::wstring(pdf.begin(), pdf.end());
    return cmd_run(&s, nullptr);
}

long child_peak_kib(const std::string& tarvo, const std::string& bmp, const std::string& pdf) {
    pid_t pid = fork();
    if (pid == 0) {
        std::freopen("/dev/null", "w", stdout);
        std::string out = "-o=" + pdf;
        execl(tarvo.c_str(), tarvo.c_str(), out.c_str(), bmp.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) < 0 || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return -1;
    return usage.ru_maxrss;
}

long file_size(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return -1;
    std::fseek(f, 0, SEEK_END);
    long n = std::ftell(f);
    std::fclose(f);
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    const int reps = argc > 1 ? std::atoi(argv[1]) : 5;
    char templ[] = "/tmp/tarvo-bench-XXXXXX";
    const char* tmp = mkdtemp(templ);
    if (!tmp) return 1;
    const std::string dir = tmp;
    const std::string colour_bmp = dir + "/colour.bmp";
    const std::string text_bmp = dir + "/text.bmp";
    const std::string tiny_bmp = dir + "/tiny.bmp";
    const std::string pdf = dir + "/out.pdf";

    std::wstring wc(colour_bmp.begin(), colour_bmp.end());
    std::wstring wt(text_bmp.begin(), text_bmp.end());
    std::wstring wn(tiny_bmp.begin(), tiny_bmp.end());
    {
        DibHandle pages[3] = {bench_photo_page(), bench_text_page(), nullptr};
        dib_create(8, 8, 24, 0, 0, nullptr, &pages[2]);
        const std::wstring* names[3] = {&wc, &wt, &wn};
        for (int i = 0; i < 3; ++i) {
            if (!pages[i] || dib_save_bmp(pages[i], names[i]->c_str(), 0) != DIB_OK) {
                std::fprintf(stderr, "cannot write the test pages in %s\n", dir.c_str());
                return 1;
            }
            dib_command(DIB_OP_FREE, &pages[i], nullptr);
        }
    }

    // A child's maximum RSS includes what it had before exec, that is this
    // process's: measured first, while this process is still small.
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string tarvo = n > 0 ? std::string(self, size_t(n)) : "";
    tarvo = tarvo.substr(0, tarvo.rfind('/')) + "/../tarvo";
    const long peak_big = child_peak_kib(tarvo, colour_bmp, pdf);
    const long peak_tiny = child_peak_kib(tarvo, tiny_bmp, dir + "/tiny.pdf");

    // The writer's progress lines would swamp the timings.
    std::fflush(stdout);
    int saved = dup(1);
    std::freopen("/dev/null", "w", stdout);

    // Writer peak plus the bitmap block, for one colour page.
    PdfDocument* doc = nullptr;
    pdfw_new(&doc);
    std::wstring wp(pdf.begin(), pdf.end());
    pdfw_file_create(doc, wp.c_str(), "%bench");
    DibHandle colour = nullptr;
    dib_command(DIB_OP_LOAD, &colour, const_cast<wchar_t*>(wc.c_str()));
    pdfw_impage(doc, colour, nullptr, nullptr);
    pdfw_file_close(doc);
    const int64_t writer_peak = pdfw_mem_peak(doc);
    const int64_t block = int64_t(plat_mem_size(colour));
    pdfw_destroy(&doc);

    DibHandle text = nullptr;
    dib_command(DIB_OP_LOAD, &text, const_cast<wchar_t*>(wt.c_str()));
    std::vector<uint8_t> bgr = bench_top_down_rows(colour);
    std::vector<uint8_t> bits = bench_top_down_rows(text);
    dib_command(DIB_OP_FREE, &colour, nullptr);
    dib_command(DIB_OP_FREE, &text, nullptr);

    double jpeg_s, colour_s;
    best_of_pair(reps, [&] { jpeg_baseline(bgr, BENCH_A4_WIDTH, BENCH_A4_HEIGHT); },
                 [&] { convert(colour_bmp, pdf); }, &jpeg_s, &colour_s);
    long colour_pdf = file_size(pdf);

    std::vector<uint8_t> out(bits.size() + 1024);
    double g4_s, text_s;
    best_of_pair(reps, [&] {
        libdeflate_compressor* c = libdeflate_alloc_compressor(6);
        std::vector<uint8_t> z(libdeflate_zlib_compress_bound(c, bits.size()));
        libdeflate_zlib_compress(c, bits.data(), bits.size(), z.data(), z.size());
        libdeflate_free_compressor(c);
        uint32_t space = uint32_t(out.size());
        ccitt_encode(out.data(), &space, bits.data(), int32_t(bits.size()), -1, 0, BENCH_A4_WIDTH,
                     BENCH_A4_HEIGHT, 0);
    }, [&] { convert(text_bmp, pdf); }, &g4_s, &text_s);
    long text_pdf = file_size(pdf);

    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);

    const double bmp_size = double(file_size(colour_bmp));
    std::printf("colour A4 300 dpi: convert %.3f s, libjpeg-turbo alone %.3f s, ratio %.3f "
                "(limit 1.10); PDF %ld bytes\n",
                colour_s, jpeg_s, colour_s / jpeg_s, colour_pdf);
    std::printf("text A4 300 dpi: convert %.3f s, libdeflate-6 + G4 alone %.3f s, ratio %.3f "
                "(limit 1.10); PDF %ld bytes\n",
                text_s, g4_s, text_s / g4_s, text_pdf);
    std::printf("memory, one colour page: writer peak %lld + bitmap block %lld bytes = %.2f x "
                "the %.0f-byte file (limit 2.5)\n",
                static_cast<long long>(writer_peak), static_cast<long long>(block),
                double(writer_peak + block) / bmp_size, bmp_size);
    if (peak_big > 0 && peak_tiny > 0 && peak_big > peak_tiny)
        std::printf("memory, child process: max RSS %ld KiB less %ld KiB for a tiny page = %.2f x "
                    "the file (libjpeg's own buffers included)\n",
                    peak_big, peak_tiny, double(peak_big - peak_tiny) * 1024.0 / bmp_size);

    for (const char* name : {"colour.bmp", "text.bmp", "tiny.bmp", "out.pdf", "tiny.pdf"})
        std::remove((dir + "/" + name).c_str());
    rmdir(dir.c_str());
    return 0;
}
