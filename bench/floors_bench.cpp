// Whole-process wall time of the converter against its floors and peers on
// A4 pages at 300 dpi: cjpeg on the same pixels, tiff2pdf on the same pages
// as one TIFF, zlib level 6 on the same rows, and cp of the bitmap file.
// Every program is a separate process, timed around fork, exec and wait;
// each case reports the median of interleaved repetitions, and the largest
// peak RSS any of its processes reached.
//
// Usage: floors_bench [repetitions] [--threads=1,2]. Repetitions default to
// 7. --threads runs the converter's cases once per value with TARVO_THREADS
// set to it; without it the converter inherits the environment. Prints the
// timings, then each case's ratio and goal; the exit status says only
// whether the inputs could be made.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include <zlib.h>

#include "bench/bench_pages.h"
#include "dib/dib.h"

#ifdef TARVO_HAVE_TIFF
#include <tiffio.h>
#endif

namespace {

constexpr int MANY_PAGES = 20;
using Argv = std::vector<std::string>;

// A measured job: programs run one after another, or a function run in one
// forked child.
struct Job {
    std::string name;
    std::string threads;  // TARVO_THREADS for its children; empty: inherited
    std::vector<Argv> runs;
    std::function<int()> in_child;
    std::string output;  // its last output file, for the size column
    std::vector<double> ms;
    long rss_kib = 0;
    int failures = 0;
};

Job make_job(const std::string& name, const std::vector<Argv>& runs, const std::string& output,
             const std::function<int()>& in_child = nullptr, const std::string& threads = "") {
    Job j;
    j.name = name, j.runs = runs, j.output = output, j.in_child = in_child, j.threads = threads;
    return j;
}

double now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) * 1e-6;
}

// Starts one child with standard output sent to out_path; it runs argv
// (searched on PATH) or, when argv is empty, in_child.
pid_t start_child(const Argv& argv, const std::function<int()>& in_child,
                  const std::string& threads, const char* out_path) {
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid != 0) return pid;
    int fd = open(out_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) dup2(fd, 1);
    if (!threads.empty()) setenv("TARVO_THREADS", threads.c_str(), 1);
    if (argv.empty()) _exit(in_child());
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

bool finish_child(pid_t pid, long* rss_kib) {
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return false;
    *rss_kib = std::max(*rss_kib, long(usage.ru_maxrss));
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void run_job(Job* j) {
    const double t0 = now_ms();
    bool ok = true;
    const size_t n = j->in_child ? 1 : j->runs.size();
    for (size_t i = 0; i < n && ok; ++i)
        ok = finish_child(start_child(j->in_child ? Argv() : j->runs[i], j->in_child, j->threads,
                                      "/dev/null"),
                          &j->rss_kib);
    if (ok)
        j->ms.push_back(now_ms() - t0);
    else
        ++j->failures;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

long file_size(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? long(st.st_size) : -1;
}

bool write_file(const std::string& path, const std::string& header, const std::vector<uint8_t>& body) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(header.data(), 1, header.size(), f) == header.size() &&
              std::fwrite(body.data(), 1, body.size(), f) == body.size();
    return std::fclose(f) == 0 && ok;
}

bool save_bmp(DibHandle dib, const std::string& path) {
    std::wstring wide(path.begin(), path.end());
    return dib && dib_save_bmp(dib, wide.c_str(), 0) == DIB_OK;
}

// Top-down RGB rows, the order PPM, TIFF and the PDF image all use.
std::vector<uint8_t> rgb_rows(DibHandle dib) {
    std::vector<uint8_t> rows = bench_top_down_rows(dib);
    for (size_t i = 0; i + 2 < rows.size(); i += 3) std::swap(rows[i], rows[i + 2]);
    return rows;
}

#ifdef TARVO_HAVE_TIFF
// Uncompressed RGB, one directory per page, pages taking turns from the list.
bool write_tiff(const std::string& path, const std::vector<const std::vector<uint8_t>*>& pages) {
    TIFF* t = TIFFOpen(path.c_str(), "w");
    if (!t) return false;
    const tmsize_t row_bytes = tmsize_t(BENCH_A4_WIDTH) * 3;
    bool ok = true;
    for (int p = 0; p < MANY_PAGES && ok; ++p) {
        const std::vector<uint8_t>& rows = *pages[size_t(p) % pages.size()];
        TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(BENCH_A4_WIDTH));
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(BENCH_A4_HEIGHT));
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
        TIFFSetField(t, TIFFTAG_XRESOLUTION, 300.0);
        TIFFSetField(t, TIFFTAG_YRESOLUTION, 300.0);
        TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        TIFFSetField(t, TIFFTAG_PAGENUMBER, uint16_t(p), uint16_t(MANY_PAGES));
        for (int y = 0; y < BENCH_A4_HEIGHT && ok; ++y)
            ok = TIFFWriteScanline(t, const_cast<uint8_t*>(&rows[size_t(y) * size_t(row_bytes)]),
                                   uint32_t(y), 0) == 1;
        ok = ok && TIFFWriteDirectory(t) == 1;
    }
    TIFFClose(t);
    return ok;
}
#endif

// Writes every input into dir: doc, photo, grey and text as BMP; the same
// pixels as PPM/PGM for cjpeg, as raw rows (.raw) for zlib, and the
// document and photo in turns as a 20-page TIFF for tiff2pdf.
bool make_inputs(const std::string& dir) {
    const std::string pnm_size = std::to_string(BENCH_A4_WIDTH) + " " + std::to_string(BENCH_A4_HEIGHT);
    DibHandle doc = bench_document_page(), photo = bench_photo_page();
    DibHandle grey = bench_grey_page(), text = bench_text_page();
    const std::vector<uint8_t> doc_rgb = doc ? rgb_rows(doc) : std::vector<uint8_t>();
    const std::vector<uint8_t> photo_rgb = photo ? rgb_rows(photo) : std::vector<uint8_t>();
    bool ok = save_bmp(doc, dir + "/doc.bmp") && save_bmp(photo, dir + "/photo.bmp") &&
              save_bmp(grey, dir + "/grey.bmp") && save_bmp(text, dir + "/text.bmp") &&
              write_file(dir + "/doc.ppm", "P6\n" + pnm_size + "\n255\n", doc_rgb) &&
              write_file(dir + "/photo.ppm", "P6\n" + pnm_size + "\n255\n", photo_rgb) &&
              write_file(dir + "/grey.pgm", "P5\n" + pnm_size + "\n255\n", bench_top_down_rows(grey)) &&
              write_file(dir + "/doc.raw", "", doc_rgb) &&
              write_file(dir + "/photo.raw", "", photo_rgb) &&
              write_file(dir + "/text.raw", "", bench_top_down_rows(text));
#ifdef TARVO_HAVE_TIFF
    ok = ok && write_tiff(dir + "/pages.tif", {&doc_rgb, &photo_rgb});
#endif
    for (DibHandle* h : {&doc, &photo, &grey, &text}) dib_command(DIB_OP_FREE, h, nullptr);
    return ok;
}

// A raw file mapped but never touched here: at fork the child inherits no
// resident pages from it, so this process adds nothing to a child's peak
// RSS, and the zlib children read the rows from the page cache.
struct Rows {
    const uint8_t* data = nullptr;
    size_t size = 0;
};
Rows map_rows(const std::string& path) {
    Rows r;
    int fd = open(path.c_str(), O_RDONLY);
    long n = file_size(path);
    void* p = fd >= 0 && n > 0 ? mmap(nullptr, size_t(n), PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
    if (fd >= 0) close(fd);
    if (p != MAP_FAILED) r.data = static_cast<const uint8_t*>(p), r.size = size_t(n);
    return r;
}

// The Flate floor: pages deflated at level 6 one after another, one stream
// each, the compressed bytes dropped.
int deflate_pages(const std::vector<Rows>& pages, int count) {
    z_stream z{};
    if (deflateInit(&z, 6) != Z_OK) return 1;
    static uint8_t out[1 << 16];
    for (int p = 0; p < count; ++p) {
        const Rows& r = pages[size_t(p) % pages.size()];
        if (!r.data) return 1;
        deflateReset(&z);
        z.next_in = const_cast<uint8_t*>(r.data);
        z.avail_in = uInt(r.size);
        int status = Z_OK;
        while (status == Z_OK) {
            z.next_out = out;
            z.avail_out = sizeof out;
            status = deflate(&z, Z_FINISH);
        }
        if (status != Z_STREAM_END) return 1;
    }
    deflateEnd(&z);
    return 0;
}

// True when -quiet makes the converter print less on a small page; an
// unknown option is ignored by the converter, so its exit status tells
// nothing.
bool quiet_supported(const std::string& tarvo, const std::string& dir) {
    long rss = 0;
    const std::string out = "-o=" + dir + "/quiet.pdf", page = dir + "/text.bmp";
    const std::string plain_txt = dir + "/plain.txt", quiet_txt = dir + "/quiet.txt";
    bool plain = finish_child(start_child({tarvo, out, page}, nullptr, "", plain_txt.c_str()), &rss);
    bool quiet =
        finish_child(start_child({tarvo, "-quiet", out, page}, nullptr, "", quiet_txt.c_str()), &rss);
    return plain && quiet && file_size(quiet_txt) < file_size(plain_txt);
}

struct Comparison {
    std::string label;
    size_t tarvo, floor;
    double goal;  // met when tarvo / floor <= goal
};

}  // namespace

int main(int argc, char** argv) {
    int reps = 7;
    std::vector<std::string> thread_values = {""};
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--threads=", 10) == 0) {
            thread_values.clear();
            std::string list = argv[i] + 10;
            for (size_t at = 0; at <= list.size();) {
                size_t end = std::min(list.find(',', at), list.size());
                if (end > at) thread_values.push_back(list.substr(at, end - at));
                at = end + 1;
            }
            if (thread_values.empty()) thread_values = {""};
        } else if (std::atoi(argv[i]) > 0) {
            reps = std::atoi(argv[i]);
        }
    }

    const char* tmpdir = std::getenv("TMPDIR");
    std::string templ = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/tarvo-floors-XXXXXX";
    if (!mkdtemp(&templ[0])) return 1;
    const std::string dir = templ;
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string tarvo = n > 0 ? std::string(self, size_t(n)) : "";
    tarvo = tarvo.substr(0, tarvo.rfind('/')) + "/../tarvo";

    // Made in a child, so that this process stays small: a child's peak RSS
    // counts what it inherited at fork.
    std::printf("making the inputs in %s ...\n", dir.c_str());
    long ignored = 0;
    pid_t maker = start_child({}, [&] { return make_inputs(dir) ? 0 : 1; }, "", "/dev/null");
    if (!finish_child(maker, &ignored) || access(tarvo.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "cannot make the inputs in %s or find %s\n", dir.c_str(), tarvo.c_str());
        return 1;
    }
    const bool quiet = quiet_supported(tarvo, dir);
    const std::vector<Rows> rgb = {map_rows(dir + "/doc.raw"), map_rows(dir + "/photo.raw")};
    const std::vector<Rows> bits = {map_rows(dir + "/text.raw")};
    auto in = [&](const std::string& name) { return dir + "/" + name; };
    std::vector<std::string> many;
    for (int p = 0; p < MANY_PAGES; ++p) many.push_back(in(p % 2 ? "photo.bmp" : "doc.bmp"));

    std::vector<Job> jobs;
    std::vector<Comparison> comparisons;
    auto add = [&](Job j) {
        jobs.push_back(std::move(j));
        return jobs.size() - 1;
    };
    auto cjpeg = [&](const char* name, const std::vector<std::string>& pages) {
        Job j = make_job(std::string("cjpeg ") + name, {}, in(name) + ".jpg");
        for (const std::string& page : pages)
            j.runs.push_back({"cjpeg", "-quality", "75", "-optimize", "-outfile", j.output, page});
        return add(j);
    };
    // The floors, each once. A missing program or TIFF file shows as a
    // failed job and its cases as not measured.
    std::vector<std::string> ppms;
    for (int p = 0; p < MANY_PAGES; ++p) ppms.push_back(in(p % 2 ? "photo.ppm" : "doc.ppm"));
    const size_t cj_doc = cjpeg("document", {in("doc.ppm")});
    const size_t cj_photo = cjpeg("photo", {in("photo.ppm")});
    const size_t cj_grey = cjpeg("grey", {in("grey.pgm")});
    const size_t cj_many = cjpeg("x20", ppms);
    const Argv tiff2pdf = {"tiff2pdf", "-j", "-q", "75", "-o", in("t2p.pdf"), in("pages.tif")};
    const size_t t2p = add(make_job("tiff2pdf -j x20", {tiff2pdf}, in("t2p.pdf")));
    const size_t zlib_many =
        add(make_job("zlib-6 x20", {}, "", [&] { return deflate_pages(rgb, MANY_PAGES); }));
    const size_t zlib_text = add(make_job("zlib-6 text", {}, "", [&] { return deflate_pages(bits, 1); }));
    const Argv cp = {"cp", in("doc.bmp"), in("copy.bmp")};
    const size_t copy = add(make_job("cp document", {cp}, in("copy.bmp")));

    // The converter's cases: label, job name, option, pages, floor, goal.
    struct Case {
        const char* label;
        const char* name;
        const char* option;
        std::vector<std::string> pages;
        size_t floor;
        double goal;
    };
    const std::vector<std::string> one_doc = {in("doc.bmp")};
    const Case cases[] = {
        {"JPEG document / cjpeg", "document", "", one_doc, cj_doc, 1.05},
        {"JPEG photo / cjpeg", "photo", "", {in("photo.bmp")}, cj_photo, 1.05},
        {"JPEG grey / cjpeg", "grey", "", {in("grey.bmp")}, cj_grey, 1.05},
        {"JPEG x20 / cjpeg x20", "x20", "", many, cj_many, 0.60},
        {"JPEG x20 / tiff2pdf (1.6x)", "x20", "", many, t2p, 1 / 1.6},
        {"Flate x20 / zlib-6 x20", "x20-flate", "-enc=2", many, zlib_many, 0.60},
        {"1-bit text / zlib-6", "text", "", {in("text.bmp")}, zlib_text, 1.0},
        {"-enc=1 document / cp", "document-raw", "-enc=1", one_doc, copy, 3.0},
    };
    // Each floor runs next to the converter runs it is compared with, so
    // that both meet the same load; directions alternate between rounds.
    std::vector<size_t> order;
    auto schedule = [&](size_t job) {
        if (std::find(order.begin(), order.end(), job) == order.end()) order.push_back(job);
    };
    for (const Case& c : cases) {
        schedule(c.floor);
        for (const std::string& threads : thread_values) {
            const std::string t = threads.empty() ? "" : " [" + threads + "]";
            const std::string name = std::string("tarvo ") + c.name + t;
            size_t id = 0;
            while (id < jobs.size() && jobs[id].name != name) ++id;
            if (id == jobs.size()) {
                Job j = make_job(name, {{tarvo}}, in(c.name + threads + ".pdf"), nullptr, threads);
                if (quiet) j.runs[0].push_back("-quiet");
                if (*c.option) j.runs[0].push_back(c.option);
                j.runs[0].push_back("-o=" + j.output);
                j.runs[0].insert(j.runs[0].end(), c.pages.begin(), c.pages.end());
                add(j);
            }
            schedule(id);
            comparisons.push_back({c.label + t, id, c.floor, c.goal});
        }
    }

    std::printf("%d interleaved runs per job, %zu jobs; -quiet %s\n", reps, jobs.size(),
                quiet ? "used" : "not supported, output to /dev/null");
    for (int r = 0; r < reps; ++r) {
        for (size_t i = 0; i < order.size(); ++i)
            run_job(&jobs[order[r % 2 ? order.size() - 1 - i : i]]);
        std::fprintf(stderr, "run %d of %d done\n", r + 1, reps);
    }

    std::printf("\n%-28s %10s %10s %10s %9s %10s\n", "job", "median ms", "min ms", "max ms", "peak MiB",
                "out KiB");
    for (size_t id : order) {
        const Job& j = jobs[id];
        if (j.ms.empty()) {
            std::printf("%-28s failed %d times (program or input missing?)\n", j.name.c_str(),
                        j.failures);
            continue;
        }
        std::printf("%-28s %10.0f %10.0f %10.0f %9.1f %10ld%s\n", j.name.c_str(), median(j.ms),
                    *std::min_element(j.ms.begin(), j.ms.end()),
                    *std::max_element(j.ms.begin(), j.ms.end()),
                    double(j.rss_kib) / 1024, j.output.empty() ? 0 : file_size(j.output) / 1024,
                    j.failures ? " (some runs failed)" : "");
    }

    std::printf("\n%-32s %9s %9s %7s %8s %s\n", "case", "tarvo ms", "floor ms", "ratio", "goal", "met");
    for (const Comparison& c : comparisons) {
        if (jobs[c.tarvo].ms.empty() || jobs[c.floor].ms.empty()) {
            std::printf("%-32s not measured\n", c.label.c_str());
            continue;
        }
        const double a = median(jobs[c.tarvo].ms), b = median(jobs[c.floor].ms);
        char goal[16];
        std::snprintf(goal, sizeof goal, "<= %.3g", c.goal);
        std::printf("%-32s %9.0f %9.0f %7.3f %8s %s\n", c.label.c_str(), a, b, a / b, goal,
                    a / b <= c.goal ? "yes" : "NO");
    }

    // Peak RSS of the 20-page runs against one colour bitmap's size.
    const double bitmap = double(file_size(in("doc.bmp")));
    std::printf("\npeak RSS, 20 pages, as a multiple of one %.1f MiB bitmap (goal <= 3.0):\n",
                bitmap / 1048576);
    for (const Job& j : jobs) {
        const bool judged = j.name.find("tarvo") == 0;
        if (j.name.find("x20") == std::string::npos || !(judged || j.name.find("tiff2pdf") == 0))
            continue;
        const double times = double(j.rss_kib) * 1024 / bitmap;
        std::printf("  %-28s %7.1f MiB %6.2f x%s\n", j.name.c_str(), double(j.rss_kib) / 1024, times,
                    judged ? (times <= 3.0 ? "  met" : "  NOT met") : "");
    }

    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                std::remove(in(e->d_name).c_str());
        closedir(d);
    }
    rmdir(dir.c_str());
    return 0;
}
