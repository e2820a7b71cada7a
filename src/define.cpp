// SPDX-License-Identifier: BSD-2-Clause
// The ways out of the shell (fatal stops and the normal end), the check that
// standard output was written, and allocation that never returns null.
#include "define.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

void shell_leave(int status)
{
    exit(status);
}

void fatal_sys(const char *who, int status)
{
    perror(who);
    shell_leave(status);
}

void shell_exit(int status)
{
    output_flush();
    shell_leave(status);
}

void fatal_msg(const char *msg, int status)
{
    fputs(msg, stderr);
    shell_leave(status);
}

void output_check()
{
    if (ferror_unlocked(stdout))
        fatal_sys("qsh: write error", 1);
}

void output_flush()
{
    fflush(stdout);
    output_check();
}

static void *mem_check(void *ptr)
{
    if (!ptr)
        fatal_sys("qsh", 1);  // errno is ENOMEM
    return ptr;
}

void *mem_alloc(size_t size)
{
    return mem_check(malloc(size ? size : 1));
}

void *mem_zalloc(size_t size)
{
    return mem_check(calloc(size ? size : 1, 1));
}

void *mem_realloc(void *ptr, size_t size)
{
    return mem_check(realloc(ptr, size ? size : 1));
}

char *mem_strndup(const char *src, size_t len)
{
    char *copy = static_cast<char *>(mem_alloc(len + 1));
    memcpy(copy, src, len);
    copy[len] = '\0';
    return copy;
}
