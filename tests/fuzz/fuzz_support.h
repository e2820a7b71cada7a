// SPDX-License-Identifier: BSD-2-Clause
// Small helpers the fuzz targets share. A failure aborts, which libFuzzer
// reports as a finding with the input that caused it.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>

// Aborts with the system error when a setup step failed.
inline void must(bool ok, const char *what)
{
    if (!ok) {
        perror(what);
        abort();
    }
}

inline void write_all(int fd, const void *data, size_t size)
{
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        must(n > 0, "write");
        p += n;
        size -= static_cast<size_t>(n);
    }
}

// Aborts after showing what the model expected and what the code under test gave.
[[noreturn]] inline void mismatch(const char *what, const std::string &want, const std::string &got)
{
    fprintf(stderr, "%s differs from the model\n  model: %.400s\n  got:   %.400s\n", what,
            want.c_str(), got.c_str());
    abort();
}
