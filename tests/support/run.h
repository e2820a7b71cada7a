// SPDX-License-Identifier: BSD-2-Clause
// Runs the qsh binary under test (qsh_bin()) as a child process with a given
// standard input and collects everything it writes.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "support.h"

// How standard input reaches qsh.
//   pipe: a pipe that the runner writes the input into and then closes;
//   file: a regular (already unlinked) file holding the input;
//   tty:  standard input and output are the slave side of a pseudo-terminal
//         with ECHO and OPOST off, so output comes back byte for byte;
//         standard error stays a separate pipe.
enum class qsh_mode { pipe, file, tty };

struct qsh_run_opts {
    std::vector<std::string> args;  // arguments after the program name
    std::string input;              // bytes for standard input
    qsh_mode mode = qsh_mode::pipe;
    std::string cwd;  // working directory ("" = a fresh temp dir made and removed by run_qsh)
    std::vector<std::string> env;  // extra NAME=VALUE entries (replace a variable of the same name)
    mode_t umask = 022;
    int timeout_sec = 20;
    std::function<void()> in_child;  // run in the child just before exec (setrlimit, ...)
    std::string program;             // the binary to run ("" = the qsh under test)
    // After qsh has ended, kill whatever is left in its process group
    // (background commands it started), so that nothing outlives the test.
    bool kill_leftovers = true;
};

struct qsh_result {
    std::string out, err;  // stdout (on tty: everything read from the pty master), stderr
    int status = -1;       // exit status when exited normally, else -1
    int signal = 0;        // terminating signal, 0 if none
    bool timed_out = false;
    std::string cwd;    // the directory it ran in
    std::string error;  // set when the runner itself failed (fork, pipe, ...)
};

// Starts qsh, feeds it opts.input while draining its standard output and
// standard error, waits for it and returns what it wrote and how it ended.
// qsh runs in its own process group; all descriptors above 2 are closed in
// the child. On timeout the whole group is killed and reaped.
// Two environment variables serve runs under a checker: QSH_WRAPPER holds
// blank-separated words put before the qsh under test (valgrind and its
// options), and QSH_TIMEOUT_SCALE, a whole number, multiplies every timeout
// (such a checker makes qsh many times slower).
qsh_result run_qsh(const qsh_run_opts &opts);

// The qsh binary under test, which run_qsh starts after QSH_WRAPPER's words:
// the environment variable QSH_BIN when it is set and not empty (a qsh built
// elsewhere), else the qsh of this build.
const char *qsh_bin();

// What a test, or a program a test runs, executes directly as qsh ({QSH} in
// the case files: a #! line, make's SHELL, find -exec): the environment
// variable QSH_EXEC when it is set and not empty (a script that runs QSH_BIN
// under an emulator, for a binary this machine cannot execute), else qsh_bin().
const char *qsh_exec_path();

// Checks that a run went through and qsh ended normally with the given
// status: no runner failure, no timeout, no signal.
void expect_normal_end(const qsh_result &r, int status = 0);
