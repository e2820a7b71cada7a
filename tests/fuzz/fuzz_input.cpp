// SPDX-License-Identifier: BSD-2-Clause
// Fuzz target: the line reader on every kind of source, and the hand-back of
// standard input to the commands between lines.
//
// The first bytes of an input choose the source and how it is fed; the rest
// is the script:
//   byte 0  source: a pipe on descriptor 0 (looked at with tee), a regular
//           file on 0 (handed back by moving the offset), a socket on 0 (read
//           a byte at a time), a pipe with -s (read in blocks), a -c string,
//           or a script file read through its own descriptor;
//   byte 1  bit 0: descriptor 0 is non-blocking; bit 1: the pipe or socket
//           is written from another thread in random chunks with short
//           random pauses, so that lines arrive in pieces;
//   bytes 2-3  the seed of the chunk sizes, the pauses and the commands.
// After each line, when the script is standard input and commands would run,
// a stand-in command reads a random number of bytes from descriptor 0 between
// input_sync and input_resume, as a program started by the shell may.
// The lines read and the bytes the command got are compared with a model: the
// script split at newlines, a line's text ending at its first NUL, a first
// line starting with #! skipped for a file or a string, and the command
// getting exactly the bytes after the line it was started from.
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "fuzz_support.h"
#include "input.h"

namespace {

enum source_kind { src_pipe, src_file, src_socket, src_pipe_s, src_string, src_script, src_count };

struct rng {
    uint32_t s;
    uint32_t next()
    {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return s;
    }
};

// Writes the script in chunks of 1 to 64 bytes, pausing up to 50 µs before
// some of them, then closes the descriptor (end of input for the reader).
void write_chunked(int fd, std::string script, uint32_t seed, bool pauses)
{
    rng r{seed | 1};
    for (size_t pos = 0; pos < script.size();) {
        size_t n = 1 + r.next() % 64;
        n = n < script.size() - pos ? n : script.size() - pos;
        if (pauses && r.next() % 4 == 0)
            usleep(r.next() % 50);
        write_all(fd, script.data() + pos, n);
        pos += n;
    }
    close(fd);
}

// What a command reading want bytes from descriptor 0 gets (less at the end).
std::string command_read(size_t want)
{
    std::string got;
    char buf[256];
    while (got.size() < want) {
        ssize_t n = read(0, buf, want - got.size() < sizeof buf ? want - got.size() : sizeof buf);
        if (n < 0 && errno == EAGAIN) {
            pollfd p = {0, POLLIN, 0};
            poll(&p, 1, -1);
            continue;
        }
        must(n >= 0, "read");
        if (n == 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

// The next line of the script from pos on, as the reader gives it.
struct line {
    input_state st;
    std::string text;
};

line model_line(const std::string &s, size_t &pos)
{
    size_t nl = s.find('\n', pos);
    size_t end = nl == std::string::npos ? s.size() : nl;
    std::string raw = s.substr(pos, end - pos);
    pos = nl == std::string::npos ? s.size() : nl + 1;
    input_state st = nl != std::string::npos ? st_exe_cont : raw.empty() ? st_fin : st_exe_fin;
    return {st, raw.substr(0, strnlen(raw.c_str(), raw.size()))};
}

// Sets up descriptor 0 (and starts the writer) for a source on it; returns
// the writer thread, if any.
std::thread feed_stdin(source_kind kind, const std::string &script, uint8_t flags, uint32_t seed)
{
    int fds[2];
    if (kind == src_file) {
        int fd = memfd_create("qsh-fuzz-script", 0);
        must(fd >= 0, "memfd_create");
        write_chunked(dup(fd), script, seed, false);
        must(lseek(fd, 0, SEEK_SET) == 0 && dup2(fd, 0) == 0, "dup2");
        close(fd);
        return {};
    }
    if (kind == src_socket)
        must(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "socketpair");
    else
        must(pipe2(fds, O_CLOEXEC) == 0, "pipe2");
    must(dup2(fds[0], 0) == 0, "dup2");
    close(fds[0]);
    if (flags & 1)
        fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
    return std::thread(write_chunked, fds[1], script, seed, (flags & 2) != 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    auto kind = static_cast<source_kind>(data[0] % src_count);
    uint8_t flags = data[1];
    uint32_t seed = static_cast<uint32_t>(data[2]) << 8 | data[3];
    std::string script(reinterpret_cast<const char *>(data + 4), size - 4);
    static const int saved_stdin = fcntl(0, F_DUPFD_CLOEXEC, 10);

    std::thread writer;
    std::string path;
    input_reset();
    input_set_alone(kind == src_pipe_s);
    if (kind == src_string) {
        script.resize(strnlen(script.c_str(), script.size()));  // as in an argument
        input_from_string(script.c_str());
    } else if (kind == src_script) {
        int fd = memfd_create("qsh-fuzz-script", 0);
        must(fd >= 0, "memfd_create");
        write_chunked(dup(fd), script, seed, false);
        path = "/proc/self/fd/" + std::to_string(fd);
        must(input_from_file(path.c_str()) == 0, "input_from_file");
        close(fd);
    } else {
        writer = feed_stdin(kind, script, flags, seed);
    }
    bool handed_back = kind == src_pipe || kind == src_file || kind == src_socket;
    bool shebang = kind == src_string || kind == src_script;

    rng r{seed * 2654435761u + 1};
    size_t pos = 0;
    for (bool first = true;; first = false) {
        line want = model_line(script, pos);
        if (first && shebang && want.text.rfind("#!", 0) == 0)
            want = model_line(script, pos);
        char *buf = nullptr;
        int cap = 0;
        size_t len = 0;
        input_state st = input_line_read(&buf, &cap, &len);
        std::string got(buf, len);
        free(buf);
        if (st != want.st)
            mismatch("state", std::to_string(want.st), std::to_string(st));
        if (got != want.text)
            mismatch("line", want.text, got);
        if (st != st_exe_cont)
            break;
        if (handed_back && r.next() % 4 == 0) {
            size_t n = r.next() % 80;
            std::string model = script.substr(pos, n);
            input_sync();
            std::string taken = command_read(n);
            input_resume();
            if (taken != model)
                mismatch("what a command read", model, taken);
            pos += taken.size();
        }
    }
    if (writer.joinable())
        writer.join();
    input_reset();
    if (saved_stdin >= 0)
        must(dup2(saved_stdin, 0) == 0, "dup2");
    else
        close(0);  // there was no standard input to begin with
    return 0;
}
