// SPDX-License-Identifier: BSD-2-Clause
// Fuzz target: text_scan, 16 bytes at a time, against text_scan_bytes, one
// byte at a time, on arbitrary bytes.
//
// The input (its first 256 bytes, NULs included) followed by a NUL is the
// text. It is placed against a page that cannot be read: once so that it
// ends at each of the 64 offsets before such a page, once so that it starts
// at each of the 64 offsets after one. A load that strays out of the text's
// own page faults at once (AddressSanitizer does not watch mapped memory).
// The bytes around the text are filled with NULs or blanks, alternately, so
// that a scan that let them decide its result would differ. Every scan
// starts at every position of the text, with and without whitespace as a
// stop, and with the end known (just past the last NUL) or not.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "char.h"

namespace {

constexpr size_t max_text = 256;
constexpr size_t offsets = 64;

// Three pages: none, read-write, none.
char *page_init(size_t page)
{
    void *map = mmap(nullptr, 3 * page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED)
        abort();
    char *rw = static_cast<char *>(map) + page;
    if (mprotect(rw, page, PROT_READ | PROT_WRITE) != 0)
        abort();
    return rw;
}

void scan_compare(const char *text, size_t size)
{
    const char *end = text + size;  // just past the last NUL
    for (const char *s = text; s < end; s++) {
        for (int stop_at_space = 0; stop_at_space < 2; stop_at_space++) {
            const char *want = text_scan_bytes(s, stop_at_space);
            const char *known = text_scan(s, end, stop_at_space);
            const char *unknown = text_scan(s, s, stop_at_space);
            if (known != want || unknown != want) {
                fprintf(stderr,
                        "scan from %td (blanks stop: %d): bytes %td, known end %td, "
                        "unknown end %td\n",
                        s - text, stop_at_space, want - text, known - text, unknown - text);
                abort();
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    static char *rw = page_init(page);
    size_t len = size < max_text ? size : max_text;
    for (size_t k = 0; k < 2 * offsets; k++) {
        memset(rw, k % 2 ? ' ' : '\0', page);
        // k < 64: the NUL is the byte k places before the next page;
        // then: the text starts k - 64 bytes into its page.
        char *text = k < offsets ? rw + page - 1 - k - len : rw + (k - offsets);
        memcpy(text, data, len);
        text[len] = '\0';
        scan_compare(text, len + 1);
    }
    return 0;
}
