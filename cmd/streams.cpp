// Bitmaps read from standard input and FIFOs, and the document written to
// standard output.
#include <atomic>
#include <cstdlib>
#include <string>

#include "cmd/tarvo.h"
#include "dib/dib.h"
#include "platform/platform.h"

namespace {

// A BMP file states its size in 32 bits; a longer pipe holds no bitmap.
const size_t PIPE_LIMIT = 0xFFFFFFFFu;

std::atomic<bool> g_stop_reads{false};

bool reads_stopped(void*) { return g_stop_reads.load(); }

// The loader's status and cause for a pipe that could not be read.
struct ReadFailure {
    int read;
    int status;
    int cause;
};
const ReadFailure READ_FAILURES[] = {
    {PLAT_READ_NOT_FOUND, DIB_ERR_OPEN_READ, DIB_CAUSE_NOT_FOUND},
    {PLAT_READ_PERMISSION, DIB_ERR_OPEN_READ, DIB_CAUSE_PERMISSION},
    {PLAT_READ_OPEN, DIB_ERR_OPEN_READ, DIB_CAUSE_OPEN},
    {PLAT_READ_NO_MEMORY, DIB_ERR_NO_MEMORY, DIB_CAUSE_NO_MEMORY},
    {PLAT_READ_TOO_LARGE, DIB_ERR_FILE_SIZE, DIB_CAUSE_TOO_LARGE},
};

}  // namespace

const wchar_t TARVO_STANDARD_STREAM[] = L"-";

bool cmd_output_is_stdout(const std::wstring& outfile) {
    return outfile == TARVO_STANDARD_STREAM || plat_names_stdout(outfile.c_str());
}

bool cmd_input_is_stream(const std::wstring& path) {
    if (path == TARVO_STANDARD_STREAM || plat_names_device(path.c_str())) return true;
    const int kind = plat_file_kind(path.c_str(), nullptr);
    return kind == PLAT_FILE_PIPE || kind == PLAT_FILE_OTHER;
}

void cmd_stop_pipe_reads(bool stop) { g_stop_reads = stop; }

int cmd_load_bitmap(const std::wstring& path, DibHandle* dib, DibRows** rows, int* cause,
                    int64_t* bytes) {
    const bool from_stdin = path == TARVO_STANDARD_STREAM;
    int64_t size = 0;
    if (rows) *rows = nullptr;
    if (!from_stdin && plat_file_kind(path.c_str(), &size) != PLAT_FILE_PIPE) {
        *bytes = size > 0 ? size : 0;
        const int status = rows ? dib_load_bmp_rows(dib, path.c_str(), 0, rows)
                                : dib_command(DIB_OP_LOAD, dib, const_cast<wchar_t*>(path.c_str()));
        *cause = status == DIB_OK ? DIB_CAUSE_NONE : dib_load_cause();
        return status;
    }
    // A pipe cannot be seeked, as the loader must: its bytes are loaded
    // from memory.
    uint8_t* data = nullptr;
    size_t length = 0;
    const int read = plat_read_pipe(from_stdin ? nullptr : path.c_str(), PIPE_LIMIT, reads_stopped,
                                    nullptr, &data, &length);
    *bytes = int64_t(length);
    if (read != PLAT_READ_OK) {
        *dib = nullptr;
        *cause = DIB_CAUSE_READ;
        for (const ReadFailure& f : READ_FAILURES) {
            if (f.read != read) continue;
            *cause = f.cause;
            return f.status;
        }
        return DIB_ERR_READ;
    }
    const int status = dib_load_bmp_memory(dib, data, length, 0);
    *cause = status == DIB_OK ? DIB_CAUSE_NONE : dib_load_cause();
    std::free(data);
    return status;
}
