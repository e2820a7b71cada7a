// SPDX-License-Identifier: BSD-2-Clause
// The line reader: where lines come from (standard input, a script file, a -c
// string), one line read into the loop's buffer, and standard input handed to
// the commands and taken back.
#include "input.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "char.h"
#include "define.h"
#include "edit.h"

// What is read ahead of the current line is kept here. When the script is
// standard input, a command started by the shell may read the same input,
// and must get exactly the text after the line being run:
// - a regular file is read in blocks, and the file offset is moved back to
//   the end of the consumed text before commands start (input_sync);
// - a pipe is looked at without consuming it (tee into a private pipe), and
//   then exactly the bytes up to the end of the line are consumed; other
//   unseekable input is read one byte at a time: either way nothing past the
//   current line is ever consumed while commands may run;
// - a terminal delivers one line per read; with -s nothing reads behind the
//   shell, so both read in blocks. When the line editor reads the line
//   instead, the data is the editor's line and its newline.
// A script file is the shell's own and is read in blocks; a -c string is
// read where it stands. End of input is final: nothing is read after it.
enum def_input_mode {
    input_unknown,
    input_block,
    input_seekable,
    input_peek,
    input_bytewise,
    input_string,
};

struct def_input {
    char block[65536];
    const char *data;  // the block, or the -c string
    size_t pos;
    size_t len;
    int fd;  // 0, or the script file's own descriptor
    int at_end;
    def_input_mode mode;
    int tty;                // standard input is a terminal (known with mode)
    int alone;              // -s: no command ever reads standard input (input_reset keeps it)
    int shebang;            // the first line is still to come: skip it if it is #!...
    int parked;             // set while commands run after input_sync
    off_t parked_at;        // the offset they were given
    int peek[2];            // the private pipe that input_peek copies into
    int edited;             // the editor read a part of the logical line
    char prompt[4096 + 3];  // "DIR> ", or empty: no prompt
};
// The one source of lines, for the whole run. Zero is standard input, nothing
// read, kind not known; input_from_file and input_from_string choose another
// source before the first read, and input_reset (tests) goes back to zero.
static def_input input;

void input_set_alone(int alone)
{
    input.alone = alone;
}

void input_reset()
{
    if (input.fd > 0)
        close(input.fd);
    input.fd = 0;
    input.data = input.block;
    input.pos = input.len = 0;
    input.at_end = 0;
    input.mode = input_unknown;
    input.tty = 0;
    input.shebang = 0;
    input.parked = 0;
    input.edited = 0;
}

int input_from_file(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    int err = fstat(fd, &st) < 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
    // Kept clear of 0, 1 and 2, which belong to the commands.
    int own = err || fd > 2 ? fd : fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (own < 0)
        err = errno;
    if (own != fd || err)
        close(fd);
    if (err) {
        errno = err;
        return -1;
    }
    input_reset();
    input.fd = own;
    input.mode = input_block;
    input.shebang = 1;
    return 0;
}

void input_from_string(const char *text)
{
    input_reset();
    input.data = text;
    input.len = strlen(text);
    input.at_end = 1;  // all of it is there already
    input.mode = input_string;
    input.shebang = 1;
}

int input_string_done()
{
    if (input.mode != input_string)
        return 0;
    size_t i = input.pos;
    while (i < input.len && is_char_space(input.data[i]))
        i++;
    return i == input.len;
}

// Learns once what standard input is; it stays the same descriptor for the
// whole run.
static void input_probe()
{
    struct stat st;
    input.tty = isatty(0);
    if (input.alone || input.tty || fstat(0, &st) < 0)
        input.mode = input_block;
    else if (S_ISREG(st.st_mode) && lseek(0, 0, SEEK_CUR) >= 0)
        input.mode = input_seekable;
    else if (S_ISFIFO(st.st_mode) && (input.peek[1] || pipe2(input.peek, O_CLOEXEC) == 0))
        input.mode = input_peek;
    else
        input.mode = input_bytewise;
}

int input_is_tty()
{
    if (input.mode == input_unknown)
        input_probe();
    return input.tty;
}

void input_set_prompt(const char *dir)
{
    snprintf(input.prompt, sizeof input.prompt, "%s> ", dir);
}

void input_prompt_print()
{
    fputs(input.prompt, stdout);
    output_flush();
}

void input_line_done(const char *text)
{
    if (input.edited)
        edit_history_record(text);
    input.edited = 0;
}

// Before a line is read from a terminal: the prompt is written, or, when
// nothing read is left and the editor is usable, the editor draws it and
// reads the line, which becomes the data to read, as a -c string is.
static void input_prompt(const char *text, size_t len)
{
    if (input.pos < input.len || input.at_end || !edit_usable()) {
        input_prompt_print();
        return;
    }
    const char *line;
    size_t n;
    if (edit_line_read(input.prompt, text, len, &line, &n)) {
        input.data = line;  // followed by its newline
        input.pos = 0;
        input.len = n + 1;
        input.edited = 1;
    } else {
        input.at_end = 1;
    }
}

// Standard input left non-blocking by another program is made blocking, so
// that "no data yet" is not taken for an error.
static int input_set_blocking()
{
    if (errno != EAGAIN)
        return 0;
    int flags = fcntl(input.fd, F_GETFL);
    return flags >= 0 && fcntl(input.fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// One read into dst, retried after a signal. A failure ends the shell: the
// rest of the script cannot be known.
static ssize_t input_read(int fd, char *dst, size_t want)
{
    for (;;) {
        ssize_t n = read(fd, dst, want);
        if (n >= 0)
            return n;
        if (errno != EINTR && !(fd == input.fd && input_set_blocking()))
            fatal_sys("qsh: read error", 2);
    }
}

// Reads from a pipe no further than the end of the next line: copies what the
// pipe holds into the private pipe without consuming it, finds the newline in
// the copy, and consumes exactly that much.
static ssize_t input_read_line_of_pipe()
{
    ssize_t n;
    do
        n = tee(0, input.peek[1], sizeof input.block, 0);
    while (n < 0 && (errno == EINTR || input_set_blocking()));
    if (n < 0) {
        input.mode = input_bytewise;  // not a pipe tee can read after all
        return input_read(0, input.block, 1);
    }
    if (n == 0)
        return 0;
    for (ssize_t got = 0, m; got < n; got += m) {  // empty the private pipe
        m = input_read(input.peek[0], input.block + got, static_cast<size_t>(n - got));
        if (m == 0) {
            errno = EIO;  // the copy tee made is shorter than it said
            fatal_sys("qsh: read error", 2);
        }
    }
    const char *nl = static_cast<const char *>(memchr(input.block, '\n', static_cast<size_t>(n)));
    size_t want = nl ? static_cast<size_t>(nl - input.block) + 1 : static_cast<size_t>(n);
    return input_read(0, input.block, want);
}

// Makes unread input available; 0 at end of input.
static int input_fill()
{
    if (input.pos < input.len)
        return 1;
    if (input.at_end)
        return 0;
    if (input.mode == input_unknown)
        input_probe();
    ssize_t n;
    if (input.mode == input_peek)
        n = input_read_line_of_pipe();
    else
        n = input_read(input.fd, input.block,
                       input.mode == input_bytewise ? 1 : sizeof input.block);
    if (n == 0) {
        input.at_end = 1;
        return 0;
    }
    input.data = input.block;
    input.pos = 0;
    input.len = static_cast<size_t>(n);
    return 1;
}

void input_sync()
{
    if (input.mode != input_seekable)
        return;
    off_t ahead = static_cast<off_t>(input.len - input.pos);
    input.parked_at = lseek(0, -ahead, SEEK_CUR);
    input.parked = input.parked_at >= 0;
    if (!input.parked)
        input.pos = input.len = 0;  // offset unknown: keep nothing read ahead
}

void input_resume()
{
    if (!input.parked)
        return;
    off_t ahead = static_cast<off_t>(input.len - input.pos);
    // When no command has moved the offset, skip forward over what is still
    // buffered; otherwise drop it and read on from where the commands left.
    if (lseek(0, 0, SEEK_CUR) != input.parked_at || lseek(0, ahead, SEEK_CUR) < 0)
        input.pos = input.len = 0;
    input.parked = 0;
}

// Doubles *cap until a text of len characters and its NUL fit with at least
// one byte to spare: a line of len characters always gets that capacity.
static char *line_grow(char *buff, int *cap, size_t len)
{
    if (len < static_cast<size_t>(*cap))
        return buff;
    size_t new_cap = static_cast<size_t>(*cap);
    while (len >= new_cap)
        new_cap *= 2;
    if (new_cap > INT_MAX) {
        errno = ENOMEM;
        fatal_sys("qsh", 1);
    }
    *cap = static_cast<int>(new_cap);
    return static_cast<char *>(mem_realloc(buff, new_cap));
}

// Copies input up to the next newline (consumed, not stored) or the end of
// input into buff after its first *i characters. Returns whether a newline
// ended the line.
static int line_copy(char **buff, int *cap, size_t *i)
{
    while (input_fill()) {
        const char *src = input.data + input.pos;
        size_t avail = input.len - input.pos;
        const char *nl = static_cast<const char *>(memchr(src, '\n', avail));
        size_t n = nl ? static_cast<size_t>(nl - src) : avail;
        *buff = line_grow(*buff, cap, *i + n);
        memcpy(*buff + *i, src, n);
        *i += n;
        input.pos += n;
        if (nl) {
            input.pos++;
            return 1;
        }
    }
    return 0;
}

input_state input_line_read(char **buffptr, int *size, size_t *len)
{
    if (!*buffptr) {
        *buffptr = static_cast<char *>(mem_zalloc(1024));
        *size = 1024;
        *len = 0;
    }
    int tty = input_is_tty();
    char *buff = *buffptr;
    int cap = *size;
    size_t i = *len;
    size_t start = i;
    if (tty && input.prompt[0])
        input_prompt(buff, start);
    int got_newline = line_copy(&buff, &cap, &i);
    if (input.shebang) {
        input.shebang = 0;
        if (i - start >= 2 && buff[start] == '#' && buff[start + 1] == '!') {
            i = start;  // the interpreter line of an executable script
            got_newline = got_newline && line_copy(&buff, &cap, &i);
        }
    }
    buff[i] = '\0';
    *buffptr = buff;
    *size = cap;
    *len = start + strlen(buff + start);  // a NUL byte ends the text
    if (got_newline)
        return st_exe_cont;
    return i > 0 && !tty ? st_exe_fin : st_fin;
}
