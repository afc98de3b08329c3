#include "support/bmp_fixture.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace bmptest {

namespace {

void put16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(std::vector<uint8_t>& b, uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}

std::string shell_quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

}  // namespace

std::vector<uint8_t> bmp_encode(const BmpFile& f) {
    const uint32_t offset = 14 + f.header_size + static_cast<uint32_t>(f.colours.size()) + f.gap;
    const uint32_t total = offset + static_cast<uint32_t>(f.body.size());
    std::vector<uint8_t> b;
    b.push_back('B');
    b.push_back('M');
    put32(b, f.file_size ? f.file_size : total);
    put32(b, 0);
    put32(b, offset);
    put32(b, f.header_size);
    put32(b, static_cast<uint32_t>(f.width));
    put32(b, static_cast<uint32_t>(f.height));
    put16(b, 1);
    put16(b, f.bit_count);
    put32(b, f.compression);
    put32(b, static_cast<uint32_t>(f.body.size()));
    put32(b, static_cast<uint32_t>(f.x_ppm));
    put32(b, static_cast<uint32_t>(f.y_ppm));
    put32(b, f.colours_used);
    put32(b, 0);
    // V4 / V5 extras: fill them with a marker so a reader that takes them
    // for colours gives itself away.
    if (f.header_size > 40) b.insert(b.end(), f.header_size - 40, 0x5A);
    b.insert(b.end(), f.colours.begin(), f.colours.end());
    b.insert(b.end(), f.gap, 0xEE);
    b.insert(b.end(), f.body.begin(), f.body.end());
    return b;
}

size_t bmp_stride(int32_t width, int bit_count) {
    const size_t bits = static_cast<size_t>(width) * static_cast<size_t>(bit_count);
    return (bits + 31) / 32 * 4;
}

std::vector<uint8_t> bmp_rows(int32_t width, int32_t height, int bit_count,
                              uint32_t (*value)(int x, int y)) {
    const int rows = height < 0 ? -height : height;
    const size_t stride = bmp_stride(width, bit_count);
    std::vector<uint8_t> out(stride * static_cast<size_t>(rows), 0);
    for (int y = 0; y < rows; ++y) {
        const int stored = height < 0 ? y : rows - 1 - y;
        uint8_t* row = out.data() + stride * static_cast<size_t>(stored);
        for (int x = 0; x < width; ++x) {
            const uint32_t v = value(x, y);
            switch (bit_count) {
            case 1: row[x / 8] |= static_cast<uint8_t>((v & 1) << (7 - x % 8)); break;
            case 2: row[x / 4] |= static_cast<uint8_t>((v & 3) << (6 - 2 * (x % 4))); break;
            case 4: row[x / 2] |= static_cast<uint8_t>((v & 15) << (x % 2 ? 0 : 4)); break;
            case 8: row[x] = static_cast<uint8_t>(v); break;
            case 24:
            case 32: {
                uint8_t* p = row + x * (bit_count / 8);
                p[0] = static_cast<uint8_t>(v);
                p[1] = static_cast<uint8_t>(v >> 8);
                p[2] = static_cast<uint8_t>(v >> 16);
                break;
            }
            default: break;
            }
        }
    }
    return out;
}

std::string bmp_temp_dir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/tarvo-bmp-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    return mkdtemp(buf.data()) ? std::string(buf.data()) : std::string();
}

void bmp_remove_dir(const std::string& dir) {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
}

bool bmp_write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::vector<uint8_t> bmp_read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool pillow_read_rgb(const std::string& path, RgbImage* out, std::string* error) {
    // The system interpreter carries Pillow; others on PATH may not.
    static const char* script =
        "import sys\n"
        "from PIL import Image\n"
        "im = Image.open(sys.argv[1]); im.load(); im = im.convert('RGB')\n"
        "sys.stdout.buffer.write(b'%d %d\\n' % im.size + im.tobytes())\n";
    const std::string cmd = "/usr/bin/python3 -c " + shell_quote(script) + " " + shell_quote(path) + " 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) {
        *error = "cannot start /usr/bin/python3";
        return false;
    }
    std::string text;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    const int status = pclose(p);
    if (status != 0) {
        *error = "Pillow cannot read " + path;
        return false;
    }
    const size_t eol = text.find('\n');
    if (eol == std::string::npos ||
        std::sscanf(text.c_str(), "%d %d", &out->width, &out->height) != 2) {
        *error = "unexpected Pillow output";
        return false;
    }
    out->rgb.assign(text.begin() + static_cast<std::ptrdiff_t>(eol) + 1, text.end());
    if (out->rgb.size() != static_cast<size_t>(out->width) * static_cast<size_t>(out->height) * 3) {
        *error = "short Pillow output";
        return false;
    }
    return true;
}

}  // namespace bmptest
