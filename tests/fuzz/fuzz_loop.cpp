// Fuzz target: the whole main loop in -s mode over arbitrary standard input.
//
// Each input is written to an in-memory file that becomes descriptor 0; the
// loop reads it to the end, checking, continuing, rejecting and printing
// tokens exactly as `qsh -s` does, with standard output and standard error
// sent to /dev/null (sanitizer reports still go to the original standard
// error). Afterwards descriptors 0, 1 and 2 are put back, so that no input
// leaks a descriptor, buffered output or unread input into the next one.
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "main.h"

namespace {

int mem_fd = -1;
int null_fd = -1;
int saved_fd[3] = {-1, -1, -1};

void must(bool ok, const char *what)
{
    if (!ok) {
        perror(what);
        abort();
    }
}

void write_all(int fd, const uint8_t *data, size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        must(n > 0, "write");
        data += n;
        size -= static_cast<size_t>(n);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    mem_fd = memfd_create("qsh-fuzz-stdin", MFD_CLOEXEC);
    must(mem_fd >= 0, "memfd_create");
    null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    must(null_fd >= 0, "/dev/null");
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
    must(ftruncate(mem_fd, 0) == 0, "ftruncate");
    must(lseek(mem_fd, 0, SEEK_SET) == 0, "lseek");
    write_all(mem_fd, data, size);
    must(lseek(mem_fd, 0, SEEK_SET) == 0, "lseek");

    fflush(stdout);
    fflush(stderr);
    must(dup2(mem_fd, 0) == 0, "dup2");
    must(dup2(null_fd, 1) == 1, "dup2");
    must(dup2(null_fd, 2) == 2, "dup2");
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
    return 0;
}
