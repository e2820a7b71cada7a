// SPDX-License-Identifier: BSD-2-Clause
// The front end: the command line, the prompt and the main loop, which reads,
// checks, tokenizes and runs (or prints) one logical line at a time.
#include "main.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "exec.h"
#include "syntax.h"

char cur_path[4096];
int only_print_tokens;

void print_invitation()
{
    input_set_prompt(cur_path);
    input_prompt_print();
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

input_state read_loop(char **buffptr, int *size)
{
    if (!buffptr)
        return st_fin;
    size_t len = *buffptr ? strlen(*buffptr) : 0;
    input_set_prompt(cur_path);  // written by the reader on a terminal
    return input_line_read(buffptr, size, &len);
}

static void syntax_report(const char *buff, int err_pos, int err_symcnt)
{
    char *errtok = mem_strndup(buff + err_pos, static_cast<size_t>(err_symcnt));
    fprintf(stderr, "Error: '%s' is unexpected.\n", errtok);
    free(errtok);
}

// Runs an accepted text: prints its tokens, or runs it with standard input
// handed over to the commands at the end of the consumed text. Returns the
// line's status, or -1 for a line without tokens.
static int line_run(const char *buff, word_list **wl)
{
    *wl = word_list_from_buff(buff);
    if (!*wl || !(*wl)->head)
        return -1;
    if (only_print_tokens) {
        word_list_print(*wl);
        output_check();
        return 0;
    }
    if (input_string_done())
        exec_in_place(*wl);  // the last line of -c: no fork when it is one command
    input_sync();
    int status = exec_word_list_handle(*wl);
    input_resume();
    return status;
}

// Checks the text read so far; on syntax_cont_read at the end of input
// (fin_flag), once more: a final backslash has become a blank, so the text
// may pass now.
static syntax_state line_check(char *buff, syntax_pass *pass, int fin_flag, int *err_pos,
                               int *err_symcnt)
{
    syntax_state res = syntax_resume(buff, pass, err_pos, err_symcnt);
    if (res == syntax_cont_read && fin_flag)
        res = syntax_resume(buff, pass, err_pos, err_symcnt);
    return res;
}

// Reports a refused text or runs an accepted one. Returns the line's status,
// or -1 for a line without tokens, which leaves the status as it was.
static int line_handle(const char *buff, syntax_state res, int err_pos, int err_symcnt,
                       word_list **wl)
{
    if (res != syntax_err)
        return line_run(buff, wl);
    syntax_report(buff, err_pos, err_symcnt);
    if (exec_opt.errexit)
        shell_exit(2);
    return 2;
}

int loop()
{
    input_set_alone(only_print_tokens);
    int fin_flag = 0, status = 0;
    int tty = input_is_tty();
    // The line buffer, kept from one line to the next: once a line of some
    // size has been read, the next ones cost no allocation.
    char *buff = nullptr;
    int size = 0;
    size_t len = 0;
    syntax_pass pass = {};
    word_list *wl = nullptr;
    input_set_prompt(cur_path);  // the reader prompts before each line, continued ones too
    for (;;) {
        input_state st = input_line_read(&buff, &size, &len);
        if (st == st_fin) {
            if (tty)
                putchar('\n');
            break;
        }
        fin_flag = st == st_exe_fin;
        int err_pos = 0, err_symcnt = 0;
        syntax_state res = line_check(buff, &pass, fin_flag, &err_pos, &err_symcnt);
        if (res == syntax_cont_read && !fin_flag)
            continue;  // read the next line into the same buffer
        if (res != syntax_cont_read)
            input_line_done(buff);  // recalled by the editor, before it runs
        // No more input: an unfinished line is dropped, and ends -e at once.
        if (res == syntax_cont_read && exec_opt.errexit)
            shell_exit(2);
        int line_status = res == syntax_cont_read
                              ? 2
                              : line_handle(buff, res, err_pos, err_symcnt, &wl);
        status = line_status >= 0 ? line_status : status;
        if (wl)
            word_list_destroy(&wl);
        len = 0;
        pass = {};
        if (fin_flag)
            break;
    }
    mem_free(&buff, &wl);
    return status;
}

#ifndef QSH_NO_MAIN
static const char usage_text[] =
    "usage: qsh [-s] [-c STRING | FILE | -]\n"
    "       qsh --help | --version\n";

static const char help_text[] =
    "Runs the command lines of standard input, of FILE, or of STRING.\n"
    "  -s         print the tokens of each line instead of running it\n"
    "  -e         end at the first command that fails, with its status\n"
    "  -c STRING  run STRING as a script (newlines separate its lines)\n"
    "  FILE       run the lines of FILE (a first line starting with #! is skipped)\n"
    "  -          read standard input (the default)\n"
    "  --         end the options\n"
    "  --help     print this help\n"
    "  --version  print the version\n"
    "Options may be combined (-ec). With FILE or -c the exit status is that of\n"
    "the last command line, and no process IDs are printed; with standard input\n"
    "it is 0 at the end of input. A program that cannot be started gives 127\n"
    "when it is not found and 126 when it cannot run (with -c, FILE or -e).\n";

[[noreturn]] static void usage_error(const char *complaint, const char *arg)
{
    fprintf(stderr, complaint, arg);
    fputs(usage_text, stderr);
    shell_leave(2);
}

[[noreturn]] static void print_and_exit(const char *first, const char *second)
{
    fputs(first, stdout);
    fputs(second, stdout);
    shell_exit(0);
}

// The option letters, each allowed once.
struct def_arg_flags {
    int s, e, c;
};
using arg_flags = def_arg_flags;

// Takes one argument of options: --help, --version, or letters among s, e, c.
static void args_option(const char *arg, arg_flags *fl)
{
    if (strcmp(arg, "--help") == 0)
        print_and_exit(usage_text, help_text);
    if (strcmp(arg, "--version") == 0)
        print_and_exit("qsh " QSH_VERSION, "\n");
    for (const char *c = arg + 1; *c; c++) {
        int *flag = *c == 's' ? &fl->s : *c == 'e' ? &fl->e : *c == 'c' ? &fl->c : nullptr;
        if (!flag || *flag)
            usage_error("qsh: unknown option '%s'\n", arg);
        *flag = 1;
    }
}

// Reads the command line: options (combined or not, up to the first operand,
// "--" or "-"), then STRING for -c or FILE; later operands are ignored.
// Sets the source of the lines and returns 1 when it is a FILE or STRING.
static int args_handle(int argc, char **argv)
{
    arg_flags fl = {};
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        if (strcmp(argv[i], "--") == 0 || strcmp(argv[i], "-") == 0) {
            i++;
            break;
        }
        args_option(argv[i], &fl);
    }
    only_print_tokens = fl.s;
    exec_opt.errexit = fl.e;
    if (fl.c) {
        if (i >= argc)
            usage_error("qsh: option '%s' needs a string\n", "-c");
        input_from_string(argv[i]);
    } else if (i < argc && input_from_file(argv[i]) < 0) {
        fprintf(stderr, "qsh: %s: %s\n", argv[i], strerror(errno));
        shell_leave(127);
    }
    return fl.c || i < argc;
}

int main(int argc, char **argv)
{
    int script = args_handle(argc, argv);
    // A script file or string prints only its commands' output, and never
    // prompts, so the prompt path is not looked for.
    exec_opt.pid_lines = !script;
    exec_opt.sh_statuses = script || exec_opt.errexit;
    // Output to a file or a pipe goes out in large blocks.
    if (!isatty(1))
        setvbuf(stdout, nullptr, _IOFBF, 65536);
    if (!script)
        exec_get_current_path(cur_path, sizeof cur_path);
    int status = loop();
    shell_exit(script ? status : 0);
}
#endif
