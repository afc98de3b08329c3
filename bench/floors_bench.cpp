// Whole-process wall time of the converter against its floors and peers on
// A4 pages at 300 dpi: cjpeg on the same pixels, and tiff2pdf (JPEG and
// Flate) on the same pages as uncompressed TIFF files. Every program is a
// separate process, timed around fork, exec and wait; each case reports the
// median of interleaved repetitions, the largest peak RSS any of its
// processes reached, and the kernel's share of its CPU time.
//
// Usage: floors_bench [repetitions] [--threads=1,2]. Repetitions default to
// 7. --threads runs the converter's cases once per value with TARVO_THREADS
// set to it; without it the converter inherits the environment. Prints the
// timings, then each case's ratio and goal; the exit status says only
// whether the inputs could be made.
#include <dirent.h>
#include <fcntl.h>
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
    std::vector<double> kernel;  // system time / (user + system), per repetition
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

double seconds(const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; }

// cpu, when given, adds the child's user and system seconds.
bool finish_child(pid_t pid, long* rss_kib, double cpu[2] = nullptr) {
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return false;
    *rss_kib = std::max(*rss_kib, long(usage.ru_maxrss));
    if (cpu) cpu[0] += seconds(usage.ru_utime), cpu[1] += seconds(usage.ru_stime);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void run_job(Job* j) {
    const double t0 = now_ms();
    bool ok = true;
    double cpu[2] = {0, 0};
    const size_t n = j->in_child ? 1 : j->runs.size();
    for (size_t i = 0; i < n && ok; ++i)
        ok = finish_child(start_child(j->in_child ? Argv() : j->runs[i], j->in_child, j->threads,
                                      "/dev/null"),
                          &j->rss_kib, cpu);
    if (ok) {
        j->ms.push_back(now_ms() - t0);
        j->kernel.push_back(cpu[0] + cpu[1] > 0 ? cpu[1] / (cpu[0] + cpu[1]) : 0);
    } else {
        ++j->failures;
    }
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
// Uncompressed, one directory per page, count pages taking turns from the
// list; bits 1 is black-is-zero bilevel, 8 RGB.
bool write_tiff(const std::string& path, const std::vector<const std::vector<uint8_t>*>& pages,
                int count, int bits = 8) {
    TIFF* t = TIFFOpen(path.c_str(), "w");
    if (!t) return false;
    const int samples = bits == 1 ? 1 : 3;
    const tmsize_t row_bytes = (tmsize_t(BENCH_A4_WIDTH) * samples * bits + 7) / 8;
    bool ok = true;
    for (int p = 0; p < count && ok; ++p) {
        const std::vector<uint8_t>& rows = *pages[size_t(p) % pages.size()];
        TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(BENCH_A4_WIDTH));
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(BENCH_A4_HEIGHT));
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bits);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, samples);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, bits == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
        TIFFSetField(t, TIFFTAG_XRESOLUTION, 300.0);
        TIFFSetField(t, TIFFTAG_YRESOLUTION, 300.0);
        TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        TIFFSetField(t, TIFFTAG_PAGENUMBER, uint16_t(p), uint16_t(count));
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
// pixels as PPM/PGM for cjpeg, and as TIFF for tiff2pdf: the document,
// the photo and the text page alone, and the first two in turns as 20 pages.
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
              write_file(dir + "/grey.pgm", "P5\n" + pnm_size + "\n255\n", bench_top_down_rows(grey));
#ifdef TARVO_HAVE_TIFF
    const std::vector<uint8_t> text_bits = text ? bench_top_down_rows(text) : std::vector<uint8_t>();
    ok = ok && write_tiff(dir + "/pages.tif", {&doc_rgb, &photo_rgb}, MANY_PAGES) &&
         write_tiff(dir + "/doc.tif", {&doc_rgb}, 1) && write_tiff(dir + "/photo.tif", {&photo_rgb}, 1) &&
         write_tiff(dir + "/text.tif", {&text_bits}, 1, 1);
#endif
    for (DibHandle* h : {&doc, &photo, &grey, &text}) dib_command(DIB_OP_FREE, h, nullptr);
    return ok;
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
    auto in = [&](const std::string& name) { return dir + "/" + name; };
    std::vector<std::string> many, mixed;
    const char* kinds[] = {"doc.bmp", "text.bmp", "photo.bmp", "grey.bmp"};
    for (int p = 0; p < MANY_PAGES; ++p) {
        many.push_back(in(p % 2 ? "photo.bmp" : "doc.bmp"));
        mixed.push_back(in(kinds[p % 4]));
    }

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
    auto tiff2pdf_z = [&](const std::string& name, const char* tif) {
        const std::string out = in(std::string(tif) + ".pdf");
        return add(make_job("tiff2pdf -z " + name, {{"tiff2pdf", "-z", "-o", out, in(tif)}}, out));
    };
    const size_t t2z_many = tiff2pdf_z("x20", "pages.tif");
    const size_t t2z_doc = tiff2pdf_z("document", "doc.tif");
    const size_t t2z_photo = tiff2pdf_z("photo", "photo.tif");
    const size_t t2z_text = tiff2pdf_z("text", "text.tif");

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
    const std::vector<std::string> one_photo = {in("photo.bmp")};
    const Case cases[] = {
        {"JPEG x20 / cjpeg x20", "x20", "", many, cj_many, 0.55},
        {"JPEG x20 / tiff2pdf -j x20", "x20", "", many, t2p, 0.625},
        {"-enc=2 x20 / tiff2pdf -z x20", "x20-flate", "-enc=2", many, t2z_many, 0.75},
        {"JPEG document / cjpeg", "document", "", one_doc, cj_doc, 1.10},
        {"JPEG photo / cjpeg", "photo", "", one_photo, cj_photo, 1.10},
        {"JPEG grey / cjpeg", "grey", "", {in("grey.bmp")}, cj_grey, 1.10},
        {"-enc=2 document / tiff2pdf -z", "document-flate", "-enc=2", one_doc, t2z_doc, 0.75},
        {"-enc=2 photo / tiff2pdf -z", "photo-flate", "-enc=2", one_photo, t2z_photo, 0.75},
        {"1-bit text / tiff2pdf -z", "text", "", {in("text.bmp")}, t2z_text, 1.0},
    };
    // Each floor runs next to the converter runs it is compared with, so
    // that both meet the same load; directions alternate between rounds.
    std::vector<size_t> order;
    auto schedule = [&](size_t job) {
        if (std::find(order.begin(), order.end(), job) == order.end()) order.push_back(job);
    };
    // The converter's job for a case and a thread count, made once.
    auto tarvo_job = [&](const std::string& case_name, const char* option,
                         const std::vector<std::string>& pages, const std::string& threads) {
        const std::string name = "tarvo " + case_name + (threads.empty() ? "" : " [" + threads + "]");
        size_t id = 0;
        while (id < jobs.size() && jobs[id].name != name) ++id;
        if (id == jobs.size()) {
            Job j = make_job(name, {{tarvo}}, in(case_name + threads + ".pdf"), nullptr, threads);
            if (quiet) j.runs[0].push_back("-quiet");
            if (*option) j.runs[0].push_back(option);
            j.runs[0].push_back("-o=" + j.output);
            j.runs[0].insert(j.runs[0].end(), pages.begin(), pages.end());
            add(j);
        }
        schedule(id);
        return id;
    };
    for (const Case& c : cases) {
        schedule(c.floor);
        for (const std::string& threads : thread_values) {
            const std::string t = threads.empty() ? "" : " [" + threads + "]";
            comparisons.push_back({c.label + t, tarvo_job(c.name, c.option, c.pages, threads),
                                   c.floor, c.goal});
        }
    }
    // Measured for their memory only: unencoded pages, and colour, 1-bit,
    // photo and grey pages in turns.
    for (const std::string& threads : thread_values) {
        tarvo_job("x20-raw", "-enc=1", many, threads);
        tarvo_job("x20-mixed", "", mixed, threads);
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

    // The kernel's share of the CPU time of the 20-page JPEG runs.
    std::printf("\nkernel share of CPU time, 20 JPEG pages (goal <= 15 %%):\n");
    for (const Job& j : jobs) {
        if ((j.name != "tarvo x20" && j.name.find("tarvo x20 [") != 0) || j.kernel.empty())
            continue;
        const double share = median(j.kernel) * 100;
        std::printf("  %-28s %5.1f %%%s\n", j.name.c_str(), share, share <= 15 ? "  met" : "  NOT met");
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
