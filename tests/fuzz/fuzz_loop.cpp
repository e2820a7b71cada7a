// SPDX-License-Identifier: BSD-2-Clause
// Fuzz target: the whole main loop in -s mode over arbitrary standard input.
//
// Each input is written to an in-memory file that becomes descriptor 0; the
// loop reads it to the end, checking, continuing, rejecting and printing
// tokens exactly as `qsh -s` does, with standard output and standard error
// captured in two more in-memory files (sanitizer reports still go to the
// original standard error). Afterwards descriptors 0, 1 and 2 are put back,
// so that no input leaks a descriptor, buffered output or unread input into
// the next one.
//
// What the loop wrote is compared with a plain model of it: lines split at
// newlines, a line's text ending at its first NUL, continuation lines joined
// with no separator, and the whole joined text checked again from its start
// each time (the loop resumes its check where the last one stopped, which
// must reach the same verdicts), the tokenizer's words printed as [w] and
// rejected operators reported as "Error: '%s' is unexpected.".
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "main.h"
#include "syntax.h"
#include "word.h"

namespace {

int in_fd = -1, out_fd = -1, err_fd = -1;
int saved_fd[3] = {-1, -1, -1};

int make_memfd(const char *name)
{
    int fd = memfd_create(name, MFD_CLOEXEC);
    must(fd >= 0, "memfd_create");
    return fd;
}

void reset_memfd(int fd)
{
    must(ftruncate(fd, 0) == 0, "ftruncate");
    must(lseek(fd, 0, SEEK_SET) == 0, "lseek");
}

std::string read_memfd(int fd)
{
    std::string s;
    char buf[65536];
    must(lseek(fd, 0, SEEK_SET) == 0, "lseek");
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        s.append(buf, static_cast<size_t>(n));
    return s;
}

// What `qsh -s` writes for this input, by the loop's rules taken one at a time.
void model(const uint8_t *data, size_t size, std::string &out, std::string &err)
{
    std::string text;  // the logical line so far, as a C string
    size_t pos = 0;
    for (;;) {
        // Read one line after the text (up to a newline or the end).
        size_t start = text.size();
        const uint8_t *nl = static_cast<const uint8_t *>(memchr(data + pos, '\n', size - pos));
        size_t n = nl ? static_cast<size_t>(nl - (data + pos)) : size - pos;
        text.append(reinterpret_cast<const char *>(data + pos),
                    strnlen(reinterpret_cast<const char *>(data + pos), n));
        pos += n + (nl ? 1 : 0);
        bool fin = !nl;
        if (fin && start + n == 0)
            return;  // end of input with nothing read

        int err_pos = 0, symcnt = 0;
        syntax_state st = syntax_handle(text.data(), &err_pos, &symcnt);
        if (st == syntax_cont_read) {
            if (!fin)
                continue;
            st = syntax_handle(text.data(), &err_pos, &symcnt);
            if (st == syntax_cont_read)
                return;  // unfinished at the end: dropped
        }
        if (st == syntax_err) {
            err += "Error: '" +
                   text.substr(static_cast<size_t>(err_pos), static_cast<size_t>(symcnt)) +
                   "' is unexpected.\n";
        } else {
            word_list *wl = word_list_from_buff(text.c_str());
            if (wl) {
                for (const word *w = wl->head; w; w = w->next)
                    out += "[" + std::string(w->str ? w->str : "") + (w->next ? "] " : "]\n");
                word_list_destroy(&wl);
            }
        }
        text.clear();
        if (fin)
            return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    in_fd = make_memfd("qsh-fuzz-stdin");
    out_fd = make_memfd("qsh-fuzz-stdout");
    err_fd = make_memfd("qsh-fuzz-stderr");
    // A descriptor that was closed at start (CI may give no standard input)
    // stays -1 here and is closed again after each input.
    for (int fd = 0; fd < 3; fd++)
        saved_fd[fd] = fcntl(fd, F_DUPFD_CLOEXEC, 10);
    if (saved_fd[2] >= 0)
        __sanitizer_set_report_fd(reinterpret_cast<void *>(static_cast<intptr_t>(saved_fd[2])));
    only_print_tokens = 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    reset_memfd(in_fd);
    write_all(in_fd, data, size);
    must(lseek(in_fd, 0, SEEK_SET) == 0, "lseek");
    reset_memfd(out_fd);
    reset_memfd(err_fd);

    fflush(stdout);
    fflush(stderr);
    must(dup2(in_fd, 0) == 0, "dup2");
    must(dup2(out_fd, 1) == 1, "dup2");
    must(dup2(err_fd, 2) == 2, "dup2");
    input_reset();
    clearerr(stdout);
    clearerr(stderr);

    loop();

    fflush(stdout);
    fflush(stderr);
    for (int fd = 0; fd < 3; fd++) {
        if (saved_fd[fd] >= 0)
            must(dup2(saved_fd[fd], fd) == fd, "dup2");
        else
            close(fd);
    }

    std::string want_out, want_err;
    model(data, size, want_out, want_err);
    std::string got_out = read_memfd(out_fd), got_err = read_memfd(err_fd);
    if (got_out != want_out)
        mismatch("standard output", want_out, got_out);
    if (got_err != want_err)
        mismatch("standard error", want_err, got_err);
    return 0;
}
