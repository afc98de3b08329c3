#include "support/tools.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
// The independent tools are Linux programs: under Windows every tool is
// missing, and the tests that need one skip or are checked from Linux.
#include <direct.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

// Pillow lives in the system interpreter, not in any other python3 on PATH.
const char* const SYSTEM_PYTHON = "/usr/bin/python3";

}  // namespace

#ifdef _WIN32
CommandResult run_command(const std::vector<std::string>&, int) { return CommandResult{}; }

bool tool_available(const std::string&) { return false; }

std::string make_temp_dir() {
    char base[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof base, base);
    if (n == 0 || n > MAX_PATH) return "";
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string dir = std::string(base) + "tarvo-test-" +
                                std::to_string(GetCurrentProcessId()) + "-" +
                                std::to_string(++counter);
        if (_mkdir(dir.c_str()) == 0) return dir;
    }
    return "";
}
#else
namespace {

void drain(int fd, std::string* into) {
    char buf[65536];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) into->append(buf, static_cast<size_t>(n));
}

}  // namespace

CommandResult run_command(const std::vector<std::string>& argv, int umask_value) {
    CommandResult result;
    int out_pipe[2], err_pipe[2];
    if (argv.empty() || pipe(out_pipe) != 0) return result;
    if (pipe(err_pipe) != 0) {
        close(out_pipe[0]);
        close(out_pipe[1]);
        return result;
    }
    pid_t pid = fork();
    if (pid == 0) {
        int null_in = open("/dev/null", O_RDONLY);
        dup2(null_in, 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(err_pipe[0]);
        if (umask_value >= 0) umask(static_cast<mode_t>(umask_value));
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (pid < 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        return result;
    }
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    int open_count = 2;
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            std::string* into = i == 0 ? &result.out : &result.err;
            size_t before = into->size();
            drain(fds[i].fd, into);
            if (into->size() == before) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    int status = 0;
    struct rusage use {};
    while (wait4(pid, &status, 0, &use) < 0 && errno == EINTR) {
    }
    result.peak_rss_kib = use.ru_maxrss;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}
#endif

bool peak_rss_measured() {
#if defined(_WIN32) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return false;
#else
    return true;
#endif
}

int run_output(const std::vector<std::string>& argv, std::string* output) {
    CommandResult r = run_command(argv);
    if (output) *output = r.out + r.err;
    return r.status;
}

std::string tarvo_bin() {
    const char* bin = std::getenv("TARVO_BIN");
    return bin ? bin : "";
}

CommandResult run_tarvo(const std::vector<std::string>& args, int umask_value) {
    std::vector<std::string> argv{tarvo_bin()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_command(argv, umask_value);
}

std::string bmpsuite_dir() {
    const char* d = std::getenv("TARVO_BMPSUITE_DIR");
    struct stat st;
    if (!d || stat(d, &st) != 0 || !S_ISDIR(st.st_mode)) return "";
    return d;
}

int exit_status(int result_code) { return result_code & 0xFF; }

#ifndef _WIN32
bool tool_available(const std::string& name) {
    CommandResult r = run_command({"sh", "-c", "command -v " + name});
    return r.status == 0;
}

std::string make_temp_dir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/tarvo-test-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back(0);
    return mkdtemp(buf.data()) ? std::string(buf.data()) : std::string();
}
#endif

void remove_tree(const std::string& dir) {
    if (dir.empty()) return;
    for (const std::string& name : file_names(dir)) {
        std::string path = dir + "/" + name;
        struct stat st;
#ifdef _WIN32
        if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
#else
        if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
#endif
            chmod(path.c_str(), 0700);
            remove_tree(path);
        } else {
            unlink(path.c_str());
        }
    }
    rmdir(dir.c_str());
}

std::vector<std::string> file_names(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool read_file(const std::string& path, std::string* bytes) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    bytes->clear();
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes->append(buf, n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

bool write_file(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

std::string read_all(const std::string& path) {
    std::string bytes;
    read_file(path, &bytes);
    return bytes;
}

std::vector<uint8_t> noise_bytes(size_t n, uint32_t seed) {
    std::vector<uint8_t> bytes(n);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 24);
    return bytes;
}

std::string hex_text(const void* bytes, size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = static_cast<const uint8_t*>(bytes)[i];
        s += kDigits[b >> 4];
        s += kDigits[b & 15];
    }
    return s;
}

std::wstring wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

std::string system_rgb_profile() {
    for (const char* p : {"/usr/share/color/icc/ghostscript/srgb.icc", "/usr/share/color/icc/sRGB.icc"})
        if (file_exists(p)) return p;
    return "";
}

bool file_exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool read_pnm(const std::string& path, Raster* raster) {
    std::string data;
    if (!read_file(path, &data) || data.size() < 2 || data[0] != 'P') return false;
    char kind = data[1];
    size_t pos = 2;
    auto number = [&](long* v) {
        while (pos < data.size()) {
            if (data[pos] == '#') {
                while (pos < data.size() && data[pos] != '\n') ++pos;
            } else if (isspace(static_cast<unsigned char>(data[pos]))) {
                ++pos;
            } else {
                break;
            }
        }
        size_t start = pos;
        while (pos < data.size() && isdigit(static_cast<unsigned char>(data[pos]))) ++pos;
        if (start == pos) return false;
        *v = std::strtol(data.substr(start, pos - start).c_str(), nullptr, 10);
        return true;
    };
    long w, h, maxval = 1;
    if (!number(&w) || !number(&h)) return false;
    if (kind != '4' && !number(&maxval)) return false;
    if (maxval != 1 && maxval != 255) return false;
    ++pos;  // the single whitespace before the raster
    raster->width = static_cast<int>(w);
    raster->height = static_cast<int>(h);
    raster->rgb.assign(static_cast<size_t>(w * h), 0);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(data.data()) + pos;
    size_t avail = data.size() - pos;
    size_t need = kind == '4' ? static_cast<size_t>((w + 7) / 8 * h)
                  : kind == '5' ? static_cast<size_t>(w * h)
                  : kind == '6' ? static_cast<size_t>(w * h * 3)
                                : SIZE_MAX;
    if (need == SIZE_MAX || avail < need) return false;
    for (long y = 0; y < h; ++y) {
        for (long x = 0; x < w; ++x) {
            uint32_t v;
            if (kind == '4') {
                bool black = (p[y * ((w + 7) / 8) + x / 8] >> (7 - x % 8)) & 1;
                v = black ? 0 : 0xFFFFFF;
            } else if (kind == '5') {
                v = p[y * w + x] * 0x010101u;
            } else {
                const uint8_t* q = p + (y * w + x) * 3;
                v = static_cast<uint32_t>(q[0]) << 16 | q[1] << 8 | q[2];
            }
            raster->rgb[static_cast<size_t>(y * w + x)] = v;
        }
    }
    return true;
}

bool read_with_pillow(const std::string& path, Raster* raster) {
    // Width, height, then RGB bytes on standard output, so a corpus folder
    // stays untouched.
    CommandResult r = run_command(
        {SYSTEM_PYTHON, "-c",
         "import sys; from PIL import Image; im = Image.open(sys.argv[1]).convert('RGB'); "
         "sys.stdout.buffer.write(b'%d %d\\n' % im.size + im.tobytes())",
         path});
    const size_t eol = r.out.find('\n');
    if (r.status != 0 || eol == std::string::npos ||
        std::sscanf(r.out.c_str(), "%d %d", &raster->width, &raster->height) != 2)
        return false;
    const size_t pixels = static_cast<size_t>(raster->width) * static_cast<size_t>(raster->height);
    if (r.out.size() - eol - 1 != pixels * 3) return false;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(r.out.data()) + eol + 1;
    raster->rgb.resize(pixels);
    for (size_t i = 0; i < pixels; ++i, p += 3)
        raster->rgb[i] = static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
    return true;
}

std::vector<ListedImage> pdfimages_list(const std::string& pdf) {
    std::vector<ListedImage> images;
    CommandResult r = run_command({"pdfimages", "-list", pdf});
    if (r.status != 0) return images;
    std::istringstream lines(r.out);
    std::string line;
    int n = 0;
    while (std::getline(lines, line)) {
        if (++n <= 2) continue;  // heading and rule
        std::istringstream f(line);
        ListedImage im;
        int num;
        std::string interpolate;
        f >> im.page >> num >> im.type >> im.width >> im.height >> im.colour >> im.components >>
            im.bpc >> im.encoding >> interpolate >> im.object;
        if (f) images.push_back(im);
    }
    return images;
}

std::vector<Raster> pdfimages_png(const std::string& pdf, const std::string& dir) {
    std::vector<Raster> images;
    std::string prefix = dir + "/img";
    if (run_command({"pdfimages", "-png", pdf, prefix}).status != 0) return images;
    for (const std::string& name : file_names(dir)) {
        if (name.rfind("img-", 0) != 0 || name.size() < 8 || name.compare(name.size() - 4, 4, ".png") != 0)
            continue;
        Raster raster;
        if (read_with_pillow(dir + "/" + name, &raster)) images.push_back(raster);
    }
    return images;
}

std::string qdf_text(const std::string& pdf, const std::string& dir) {
    std::string out = dir + "/qdf.pdf";
    CommandResult r = run_command({"qpdf", "--qdf", "--object-streams=disable", pdf, out});
    std::string text;
    if (r.status == 0 || r.status == 3) read_file(out, &text);
    return text;
}

std::string stream_data(const std::string& pdf, int object) {
    CommandResult r = run_command(
        {"qpdf", "--show-object=" + std::to_string(object), "--filtered-stream-data", pdf});
    return r.status == 0 ? r.out : std::string();
}
