// SPDX-License-Identifier: BSD-2-Clause
// Shared definitions: the operator codes every stage compares, and the few
// helpers through which all fatal stops and all allocations go.
#pragma once

#include <cstddef>

// Operator codes. The numeric values are compared by the executor.
enum def_delim : int {
    delim_err = 0,          // no operator: start or end of a command list
    delim_semi = 1,         // ;
    delim_pipe = 2,         // |
    delim_ampersand = 3,    // &
    delim_logical_or = 4,   // ||
    delim_logical_and = 5,  // &&
    delim_redir_in = 6,     // <
    delim_redir_out = 7,    // >
    delim_redir_in2 = 8,    // <<
    delim_redir_out2 = 9,   // >>
};
using delim = def_delim;

// Fatal stops and the end of the shell. All leave through shell_leave, which
// calls exit(): the line editor's handler puts the terminal back, and
// buffered standard output is written out.
[[noreturn]] void shell_leave(int status);
// Prints "who: <system error text>" as perror does, then exits.
[[noreturn]] void fatal_sys(const char *who, int status);
// Ends the shell with status: standard output is written out first and a
// failure to write it is reported (output_check).
[[noreturn]] void shell_exit(int status);
// Prints an internal complaint ("function: complaint\n") as given, then exits.
[[noreturn]] void fatal_msg(const char *msg, int status);

// Standard output. Once a write to it has failed (a full disk, say), the
// shell ends with "qsh: write error: <system error text>" and status 1; a
// pipe whose reader has gone ends it by SIGPIPE before that. Called right
// after writing, while errno still tells why.
void output_check();
// Writes out what stdio holds for standard output, then output_check.
void output_flush();

// Allocation that never returns null: on exhaustion the shell reports
// "qsh: Cannot allocate memory" and exits with status 1.
void *mem_alloc(size_t size);
void *mem_zalloc(size_t size);
void *mem_realloc(void *ptr, size_t size);
// A NUL-terminated copy of the first len bytes of src.
char *mem_strndup(const char *src, size_t len);
