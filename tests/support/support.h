// SPDX-License-Identifier: BSD-2-Clause
// What the test programs share besides running qsh (run.h): temporary
// directories, whole files, descriptors and a few text helpers.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Makes a fresh empty directory (its real path, no symbolic links) under
// $TMPDIR or /tmp; throws std::runtime_error on failure.
std::string make_temp_dir();

// Removes a directory tree, also one that a test left without write or
// search permission; errors are ignored.
void remove_tree(const std::string &path);

// A fresh temporary directory, removed with everything in it at the end of
// its scope.
struct temp_dir {
    std::string path = make_temp_dir();
    temp_dir() = default;
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    ~temp_dir() { remove_tree(path); }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

// The whole content of a file, or nothing when it cannot be read.
std::optional<std::string> try_read_file(const std::string &path);

// The whole content of a file. Throws std::runtime_error when it cannot be
// read, so that a missing file fails the test instead of reading as empty.
std::string read_file(const std::string &path);

// Creates or empties the file, writes text into it and gives it the mode
// (exactly, whatever the umask); throws std::runtime_error on failure.
void write_file(const std::string &path, const std::string &text, mode_t mode = 0644);

// Everything read from fd until end of file or an error.
std::string read_all(int fd);

// The number of descriptors open in this process.
int count_open_fds();

// The lines of s, without their newlines.
std::vector<std::string> split_lines(const std::string &s);

// True for a decimal number without sign (is_pid: a positive one, as qsh
// prints for a started process).
bool is_number(const std::string &s);
bool is_pid(const std::string &s);

// Printable form of bytes: \n \t \r \\ \0 and \xHH for other control bytes
// and bytes above 0x7e.
std::string escape_bytes(const std::string &s);

// n bytes of every value from a fixed seed, so that a failure can be
// replayed; bytes listed in excluded are replaced by 'x'.
std::string random_bytes(size_t n, uint64_t seed, const std::string &excluded = "");
