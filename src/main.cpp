#include "main.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "exec.h"
#include "syntax.h"

char cur_path[4096];
int only_print_tokens;

// Standard input. What is read ahead of the current line is kept here.
// A command started by the shell may read the same input, and must get
// exactly the text after the line being run:
// - a regular file is read in blocks, and the file offset is moved back to
//   the end of the consumed text before commands start (input_sync);
// - a pipe is looked at without consuming it (tee into a private pipe), and
//   then exactly the bytes up to the end of the line are consumed; other
//   unseekable input is read one byte at a time: either way nothing past the
//   current line is ever consumed while commands may run;
// - a terminal delivers one line per read; with -s nothing reads behind the
//   shell, so both read in blocks.
// End of input (or a read error) is final: nothing is read after it.
enum def_input_mode { input_unknown, input_block, input_seekable, input_peek, input_bytewise };

struct def_input {
    char data[65536];
    size_t pos;
    size_t len;
    int at_end;
    def_input_mode mode;
    int tty;          // standard input is a terminal (known with mode)
    int parked;       // set while commands run after input_sync
    off_t parked_at;  // the offset they were given
    int peek[2];      // the private pipe that input_peek copies into
};
static def_input input;  // zero: nothing read, kind of input not known yet

void input_reset()
{
    input.pos = input.len = 0;
    input.at_end = 0;
    input.mode = input_unknown;
    input.parked = 0;
}

// Learns once what standard input is; it stays the same descriptor for the
// whole run.
static void input_probe()
{
    struct stat st;
    input.tty = isatty(0);
    if (only_print_tokens || input.tty || fstat(0, &st) < 0)
        input.mode = input_block;
    else if (S_ISREG(st.st_mode) && lseek(0, 0, SEEK_CUR) >= 0)
        input.mode = input_seekable;
    else if (S_ISFIFO(st.st_mode) && (input.peek[1] || pipe2(input.peek, O_CLOEXEC) == 0))
        input.mode = input_peek;
    else
        input.mode = input_bytewise;
}

static int input_is_tty()
{
    if (input.mode == input_unknown)
        input_probe();
    return input.tty;
}

// Standard input left non-blocking by another program is made blocking, so
// that "no data yet" is not taken for an error.
static int input_set_blocking()
{
    if (errno != EAGAIN)
        return 0;
    int flags = fcntl(0, F_GETFL);
    return flags >= 0 && fcntl(0, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// One read into the buffer, retried after a signal.
static ssize_t input_read(int fd, size_t want)
{
    for (;;) {
        ssize_t n = read(fd, input.data, want);
        if (n >= 0)
            return n;
        if (errno != EINTR && !(fd == 0 && input_set_blocking()))
            return -1;
    }
}

// Reads from a pipe no further than the end of the next line: copies what the
// pipe holds into the private pipe without consuming it, finds the newline in
// the copy, and consumes exactly that much.
static ssize_t input_read_line_of_pipe()
{
    ssize_t n;
    do
        n = tee(0, input.peek[1], sizeof input.data, 0);
    while (n < 0 && (errno == EINTR || input_set_blocking()));
    if (n < 0) {
        input.mode = input_bytewise;  // not a pipe tee can read after all
        return input_read(0, 1);
    }
    if (n == 0)
        return 0;
    for (ssize_t got = 0, m; got < n; got += m) {  // empty the private pipe
        m = read(input.peek[0], input.data + got, static_cast<size_t>(n - got));
        if (m <= 0)
            return -1;
    }
    const char *nl = static_cast<const char *>(memchr(input.data, '\n', static_cast<size_t>(n)));
    size_t want = nl ? static_cast<size_t>(nl - input.data) + 1 : static_cast<size_t>(n);
    return input_read(0, want);
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
        n = input_read(0, input.mode == input_bytewise ? 1 : sizeof input.data);
    if (n <= 0) {
        input.at_end = 1;
        return 0;
    }
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

void print_invitation()
{
    printf("%s> ", cur_path);
    fflush(stdout);
}

// Doubles *cap until a text of len characters and its NUL fit with room to
// spare, as storing one character at a time would.
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

// Reads one line into *buffptr after its first *len characters and sets *len
// to the length of the text as a C string. Knowing the length, a continued
// line costs only what is appended.
static input_state line_read(char **buffptr, int *size, size_t *len)
{
    int tty = input_is_tty();
    char *buff = *buffptr;
    int cap = *size;
    size_t i = *len;
    if (!buff) {
        cap = 1024;
        buff = static_cast<char *>(mem_zalloc(static_cast<size_t>(cap)));
        i = 0;
    }
    size_t start = i;
    if (tty)
        print_invitation();
    int got_newline = 0;
    while (!got_newline && input_fill()) {
        const char *src = input.data + input.pos;
        size_t avail = input.len - input.pos;
        const char *nl = static_cast<const char *>(memchr(src, '\n', avail));
        size_t n = nl ? static_cast<size_t>(nl - src) : avail;
        buff = line_grow(buff, &cap, i + n);
        memcpy(buff + i, src, n);
        i += n;
        input.pos += n;
        if (nl) {
            input.pos++;
            got_newline = 1;
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

input_state read_loop(char **buffptr, int *size)
{
    if (!buffptr)
        return st_fin;
    size_t len = *buffptr ? strlen(*buffptr) : 0;
    return line_read(buffptr, size, &len);
}

void mem_free(char **buff, word_list **wl)
{
    if (*buff) {
        free(*buff);
        *buff = nullptr;
    }
    if (*wl)
        word_list_destroy(wl);
}

static void syntax_report(const char *buff, int err_pos, int err_symcnt)
{
    char *errtok = mem_strndup(buff + err_pos, static_cast<size_t>(err_symcnt));
    fprintf(stderr, "Error: '%s' is unexpected.\n", errtok);
    free(errtok);
}

// Runs an accepted text: prints its tokens, or runs it with standard input
// handed over to the commands at the end of the consumed text.
static void line_run(const char *buff, word_list **wl)
{
    *wl = word_list_from_buff(buff);
    if (only_print_tokens) {
        word_list_print(*wl);
    } else if (*wl && (*wl)->head) {
        input_sync();
        exec_word_list_handle(*wl);
        input_resume();
    }
}

void loop()
{
    int fin_flag = 0;
    int tty = input_is_tty();
    char *buff = nullptr;
    int size = 0;
    size_t len = 0;
    syntax_pass pass = {};
    word_list *wl = nullptr;
    for (;;) {
        input_state st = line_read(&buff, &size, &len);
        if (st == st_fin) {
            if (tty)
                putchar('\n');
            break;
        }
        if (st == st_exe_fin)
            fin_flag = 1;
        int err_pos = 0, err_symcnt = 0;
        syntax_state res = syntax_resume(buff, &pass, &err_pos, &err_symcnt);
        if (res == syntax_cont_read) {
            if (!fin_flag)
                continue;  // read the next line into the same buffer
            // No more input: a final backslash has become a blank, so the
            // text may pass now; if not, the unfinished line is dropped.
            res = syntax_resume(buff, &pass, &err_pos, &err_symcnt);
            if (res == syntax_cont_read)
                break;
        }
        if (res == syntax_err)
            syntax_report(buff, err_pos, err_symcnt);
        else
            line_run(buff, &wl);
        mem_free(&buff, &wl);
        len = 0;
        pass = {};
        if (fin_flag)
            break;
    }
    mem_free(&buff, &wl);
}

#ifndef QSH_NO_MAIN
int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "-s") == 0)
        only_print_tokens = 1;
    // Output to a file or a pipe goes out in large blocks.
    if (!isatty(1))
        setvbuf(stdout, nullptr, _IOFBF, 65536);
    exec_get_current_path(cur_path, sizeof cur_path);
    loop();
    return 0;
}
#endif
