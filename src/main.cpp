#include "main.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "exec.h"
#include "syntax.h"

char cur_path[4096];
int only_print_tokens;

// Standard input, read in blocks. A terminal delivers one line per read.
// End of input (or a read error) is final: nothing is read after it.
struct def_input {
    char data[65536];
    size_t pos;
    size_t len;
    int at_end;
};
static def_input input;

void input_reset()
{
    input.pos = input.len = 0;
    input.at_end = 0;
}

// Makes unread input available; 0 at end of input.
static int input_fill()
{
    if (input.pos < input.len)
        return 1;
    if (input.at_end)
        return 0;
    ssize_t n;
    do
        n = read(0, input.data, sizeof input.data);
    while (n < 0 && errno == EINTR);
    if (n <= 0) {
        input.at_end = 1;
        return 0;
    }
    input.pos = 0;
    input.len = static_cast<size_t>(n);
    return 1;
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

input_state read_loop(char **buffptr, int *size)
{
    int tty = isatty(0);
    if (!buffptr)
        return st_fin;
    char *buff = *buffptr;
    int cap = *size;
    size_t i = 0;
    if (buff) {
        i = strlen(buff);
    } else {
        cap = 1024;
        buff = static_cast<char *>(mem_zalloc(static_cast<size_t>(cap)));
    }
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
    if (got_newline)
        return st_exe_cont;
    return i > 0 && !tty ? st_exe_fin : st_fin;
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

void loop()
{
    int fin_flag = 0;
    int tty = isatty(0);
    char *buff = nullptr;
    int size = 0;
    word_list *wl = nullptr;
    for (;;) {
        input_state st = read_loop(&buff, &size);
        if (st == st_fin) {
            if (tty)
                putchar('\n');
            break;
        }
        if (st == st_exe_fin)
            fin_flag = 1;
        int err_pos = 0, err_symcnt = 0;
        syntax_state res = syntax_handle(buff, &err_pos, &err_symcnt);
        if (res == syntax_cont_read) {
            if (!fin_flag)
                continue;  // read the next line into the same buffer
            // No more input: a final backslash has become a blank, so the
            // text may pass now; if not, the unfinished line is dropped.
            res = syntax_handle(buff, &err_pos, &err_symcnt);
            if (res == syntax_cont_read)
                break;
        }
        if (res == syntax_err) {
            syntax_report(buff, err_pos, err_symcnt);
        } else {
            wl = word_list_from_buff(buff);
            if (only_print_tokens)
                word_list_print(wl);
            else
                exec_word_list_handle(wl);
        }
        mem_free(&buff, &wl);
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
    exec_get_current_path(cur_path, sizeof cur_path);
    loop();
    return 0;
}
#endif
