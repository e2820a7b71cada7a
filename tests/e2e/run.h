// Runs the qsh binary as a child process with a given standard input and
// collects everything it writes, for the end-to-end tests.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

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
qsh_result run_qsh(const qsh_run_opts &opts);

// Makes a fresh empty directory (its real path, no symbolic links) under
// $TMPDIR or /tmp; throws std::runtime_error on failure.
std::string make_temp_dir();

// Removes a directory tree; errors are ignored.
void remove_tree(const std::string &path);

// A fresh temporary directory, removed with everything in it at the end of
// its scope.
struct temp_dir {
    std::string path = make_temp_dir();
    temp_dir() = default;
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    ~temp_dir() { remove_tree(path); }
};

// The lines of s, without their newlines.
std::vector<std::string> split_lines(const std::string &s);

// True for a decimal number without sign (is_pid: a positive one, as qsh
// prints for a started process).
bool is_number(const std::string &s);
bool is_pid(const std::string &s);

// Printable form of bytes: \n \t \r \\ \0 and \xHH for other control bytes
// and bytes above 0x7e.
std::string escape_bytes(const std::string &s);
