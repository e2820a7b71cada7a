// SPDX-License-Identifier: BSD-2-Clause
// Execution: starting one program, redirections, running a whole command
// list, and the start-up probe of the working directory.
//
// A descriptor pair (cmd_fd) is two descriptors: [0] becomes the command's
// standard input, [1] its standard output; -1 means the shell's own is
// inherited. Every descriptor put in a pair is close-on-exec, so a child
// keeps only what is duplicated onto its 0 and 1.
#pragma once

#include <sys/types.h>

#include "define.h"
#include "word.h"

// Open modes of the redirections.
enum def_fd_opt {
    opt_err = 0,  // not a redirection
    opt_r = 1,    // <  read
    opt_rr = 2,   // << (refused)
    opt_w = 3,    // >  create, truncate
    opt_a = 4,    // >> create, append
};
using fd_opt = def_fd_opt;

// Process IDs of pipeline stages started without waiting, to be waited for
// after the next waited command.
struct def_proc_list {
    pid_t *pid;
    int cnt;
    int cap;
};
using proc_list = def_proc_list;

// How the executor behaves in this run: set by main from the command line
// before the first line runs, never changed after. The defaults are those of
// standard input without -e.
struct def_exec_opts {
    int pid_lines;    // print "%i\n" for each command started without waiting
    int errexit;      // -e: a waited command that fails ends the shell
    int sh_statuses;  // a program that cannot start gives 127 (not found) or 126, not 1
};
using exec_opts = def_exec_opts;
extern exec_opts exec_opt;

// Launcher. The result is 0 when nothing started, the child's process ID
// when not waiting, else its exit status (-1 after a signal or a failed wait).
// The shell's copies of the pair's descriptors are closed here.
int cmd_exec_handle(word *head, int cmd_len, int flag_wait, int *cmd_fd);
// An argument vector of len words borrowed from the list (the caller frees
// the vector only), or null when len is 0.
char **word_list_part_to_argv(word *head, int len);
int fork_exec_argv(char **argv, int *cmd_fd, int flag_wait);

// Redirections.
void word_delim_handle(const char *fname, delim dl, int *cmd_fd);
fd_opt delim_name_to_fd_opt(delim dl);
int get_file_fd(const char *fname, fd_opt opt);

// Command lists. Runs one line and returns its status: that of its last
// command that ran and was waited for (128 + the signal number when a signal
// ended it), 0 when that command was not waited for or nothing ran.
int exec_word_list_handle(word_list *list);
// Scans one command: its word count, ending operator and, when it runs
// (flag_exec), its redirections. Returns the next command's first node.
word *cmd_process(word *head, int *cmd_len, int *cmd_fd, delim *dl, int flag_exec);
int is_cmd_should_exec(delim prev_cmd_dl, int prev_cmd_ret);
void cmd_delim_handle_before_exec(delim dl, int *flag_wait, int *cmd_fd, int *pipe_fd);
void proc_wait_later_handle(proc_list *pending, delim dl, int flag_wait, int launch_res);
void fd_pipe_arr_move(int *src, int *dst);
// Collects, without blocking, every child that has already ended.
void proc_reap_finished();

// Runs a line that is one command with no operator but redirections in the
// shell's own place: applies the redirections and execs, so the command's
// status or signal becomes the shell's. Never returns then; a program that
// cannot start is reported as from a child. Returns at once, doing nothing,
// when the line holds a command operator or has no command word.
void exec_in_place(word_list *list);

// Start-up probe: runs pwd and keeps the first bufflen - 1 bytes of its output
// (without a final newline) in buff. It reads while pwd runs, until the pipe
// closes or pwd has exited, so neither a pwd that prints more than a pipe
// holds nor a child of pwd that keeps the pipe open stops it.
int exec_get_current_path(char *buff, int bufflen);
