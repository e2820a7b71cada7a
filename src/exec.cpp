// SPDX-License-Identifier: BSD-2-Clause
// The executor: starts programs with their descriptors, applies redirections,
// runs a command list with its pipes and ; & && ||, and runs the start-up pwd probe.
#include "exec.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "char.h"

// Writes "who: error text\n" (or just the text when who is empty, as perror
// does) in one write. Safe in a vfork child: no stdio, no allocation.
static void child_perror(const char *who, int err)
{
    const char *text = strerrordesc_np(err);
    if (!text)
        text = "Unknown error";
    struct iovec iov[4] = {
        {const_cast<char *>(who), strlen(who)},
        {const_cast<char *>(": "), *who ? 2u : 0u},
        {const_cast<char *>(text), strlen(text)},
        {const_cast<char *>("\n"), 1},
    };
    ssize_t res = writev(2, iov, 4);
    (void)res;
}

// Moves fd onto target in a child. When fd already is target, only the
// close-on-exec flag is cleared so the program keeps it.
static void child_fd_move(int fd, int target)
{
    if (fd == -1)
        return;
    if (fd == target)
        fcntl(fd, F_SETFD, 0);
    else
        dup2(fd, target);
}

// The status of the last command the launcher waited for, as a POSIX shell
// reports it: its exit status, or 128 + the signal number that ended it.
// Set by every such wait and kept until the next one; never reset.
static int proc_status_last;

// Waits for one child. Its exit status, or -1 after a signal or a failed
// wait; *sh_status (when not null) gets the status as a shell reports it.
static int proc_wait(pid_t pid, int *sh_status)
{
    int status;
    pid_t res;
    do
        res = waitpid(pid, &status, 0);
    while (res < 0 && errno == EINTR);
    int exited = res >= 0 && WIFEXITED(status);
    if (sh_status)
        *sh_status = exited                            ? WEXITSTATUS(status)
                     : res >= 0 && WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                                       : 1;
    return exited ? WEXITSTATUS(status) : -1;
}

static void fd_close_pair(int *cmd_fd)
{
    if (cmd_fd[0] != -1)
        close(cmd_fd[0]);
    if (cmd_fd[1] != -1)
        close(cmd_fd[1]);
}

int cmd_exec_handle(word *head, int cmd_len, int flag_wait, int *cmd_fd)
{
    if (!head)
        fatal_msg("cmd_exec_handle: Failed, no head.\n", 1);
    char **argv = word_list_part_to_argv(head, cmd_len);
    if (!argv) {
        fd_close_pair(cmd_fd);
        return 0;
    }
    int res = fork_exec_argv(argv, cmd_fd, flag_wait);
    free(argv);
    return res;
}

char **word_list_part_to_argv(word *head, int len)
{
    if (!head || len < 0)
        fatal_msg("word_list_part_to_argv: wrong arg!\n", 1);
    if (len == 0)
        return nullptr;
    char **argv = static_cast<char **>(mem_alloc((static_cast<size_t>(len) + 1) * sizeof(char *)));
    for (int i = 0; i < len; i++, head = head->next) {
        if (!head)
            fatal_msg("word_list_part_to_argv: len > actual size\n", 1);
        argv[i] = head->str;
    }
    argv[len] = nullptr;
    return argv;
}

exec_opts exec_opt = {1, 0, 0};

// The status of a program that could not be started: as sh gives it (127
// when it was not found, 126 when it was found but cannot run), or 1.
static int exec_fail_status(int err)
{
    if (!exec_opt.sh_statuses)
        return 1;
    return err == ENOENT || err == ENOTDIR ? 127 : 126;
}

// Moves the pair onto descriptors 0 and 1 and execs argv through the PATH
// search. When that fails, writes "name: error text" and leaves with _exit,
// so the shell's buffered output is never written here. No stdio and no
// allocation: it also runs in a vfork child.
[[noreturn]] static void proc_exec(char **argv, const int *cmd_fd)
{
    child_fd_move(cmd_fd[0], 0);
    child_fd_move(cmd_fd[1], 1);
    execvp(argv[0], argv);
    int err = errno;
    child_perror(argv[0], err);
    _exit(exec_fail_status(err));
}

// Starts argv with its standard input and output taken from the pair. The
// child shares the shell's memory until exec (vfork). Returns the child's
// process ID, or -1 when no process could be made.
static pid_t proc_start(char **argv, const int *cmd_fd)
{
    pid_t pid = vfork();
    if (pid == 0)
        proc_exec(argv, cmd_fd);
    return pid;
}

int fork_exec_argv(char **argv, int *cmd_fd, int flag_wait)
{
    if (!argv || !argv[0])
        return 0;
    pid_t pid = proc_start(argv, cmd_fd);
    if (pid < 0)
        fatal_sys("fork", 1);
    fd_close_pair(cmd_fd);
    if (flag_wait > 0)
        return proc_wait(pid, &proc_status_last);
    return pid;
}

fd_opt delim_name_to_fd_opt(delim dl)
{
    switch (dl) {
    case delim_redir_in:
        return opt_r;
    case delim_redir_in2:
        return opt_rr;
    case delim_redir_out:
        return opt_w;
    case delim_redir_out2:
        return opt_a;
    default:
        return opt_err;
    }
}

int get_file_fd(const char *fname, fd_opt opt)
{
    int flags;
    switch (opt) {
    case opt_r:
        flags = O_RDONLY;
        break;
    case opt_w:
        flags = O_WRONLY | O_CREAT | O_TRUNC;
        break;
    case opt_a:
        flags = O_WRONLY | O_CREAT | O_APPEND;
        break;
    default:
        fatal_msg("get_file_fd: unknown redir_option.\n", 1);
    }
    return open(fname, flags | O_CLOEXEC, 0666);
}

void word_delim_handle(const char *fname, delim dl, int *cmd_fd)
{
    fd_opt opt = delim_name_to_fd_opt(dl);
    int fd = get_file_fd(fname, opt);
    if (fd < 0)
        fatal_sys(fname, 2);
    int side = opt == opt_r ? 0 : 1;
    // Opened first, so the new descriptor never reuses the replaced number.
    if (cmd_fd[side] != -1)
        close(cmd_fd[side]);
    cmd_fd[side] = fd;
}

word *cmd_process(word *head, int *cmd_len, int *cmd_fd, delim *dl, int flag_exec)
{
    *cmd_len = 0;
    *dl = delim_err;
    int delim_seen = 0;
    for (word *w = head; w; w = w->next) {
        if (w->is_delim) {
            int char_cnt = static_cast<int>(strlen(w->str));
            delim d;
            if (is_word_delim(w->str, char_cnt, &d)) {
                if (!w->next)
                    fatal_msg("cmd_process: no file name.\n", 1);
                if (flag_exec)
                    word_delim_handle(w->next->str, d, cmd_fd);
            } else if (is_cmd_delim(w->str, char_cnt, dl)) {
                return w->next;
            }
            delim_seen = 1;
        }
        if (!delim_seen)
            (*cmd_len)++;
    }
    return nullptr;
}

int is_cmd_should_exec(delim prev_cmd_dl, int prev_cmd_ret)
{
    if (prev_cmd_dl == delim_logical_or)
        return prev_cmd_ret != 0;
    if (prev_cmd_dl == delim_logical_and)
        return prev_cmd_ret == 0;
    return 1;
}

void cmd_delim_handle_before_exec(delim dl, int *flag_wait, int *cmd_fd, int *pipe_fd)
{
    *flag_wait = 1;
    if (dl == delim_pipe) {
        if (cmd_fd[1] == -1) {
            if (pipe2(pipe_fd, O_CLOEXEC) < 0)
                fatal_sys("cmd_delim_handle", 1);
            cmd_fd[1] = pipe_fd[1];
        }
        *flag_wait = 0;
    } else if (dl == delim_ampersand) {
        *flag_wait = 0;
    }
}

static void proc_list_add(proc_list *pending, pid_t pid)
{
    if (pending->cnt == pending->cap) {
        pending->cap = pending->cap ? pending->cap * 2 : 16;
        pending->pid = static_cast<pid_t *>(
            mem_realloc(pending->pid, static_cast<size_t>(pending->cap) * sizeof(pid_t)));
    }
    pending->pid[pending->cnt++] = pid;
}

void proc_wait_later_handle(proc_list *pending, delim dl, int flag_wait, int launch_res)
{
    if (dl == delim_ampersand)
        return;
    if (flag_wait <= 0) {
        if (launch_res != 0)
            proc_list_add(pending, launch_res);
        return;
    }
    for (int i = 0; i < pending->cnt; i++)
        proc_wait(pending->pid[i], nullptr);
    pending->cnt = 0;
}

void fd_pipe_arr_move(int *src, int *dst)
{
    if (!src || !dst)
        return;
    dst[0] = src[0];
    dst[1] = src[1];
    src[0] = src[1] = -1;
}

void proc_reap_finished()
{
    int status;
    while (waitpid(-1, &status, WNOHANG) > 0) {
    }
}

// Starts one command that runs: makes its output pipe for "|", launches it,
// records or waits for the pipeline stages, and prints its process ID when
// it is not waited for. Returns the command's result for && and ||.
static int cmd_run(word *head, int cmd_len, delim cmd_dl, int *cmd_fd, int *pipe_fd_next,
                   int *pipe_fd_prev, proc_list *pending)
{
    int flag_wait = 1;
    cmd_delim_handle_before_exec(cmd_dl, &flag_wait, cmd_fd, pipe_fd_next);
    int res = cmd_exec_handle(head, cmd_len, flag_wait, cmd_fd);
    proc_wait_later_handle(pending, cmd_dl, flag_wait, res);
    if (flag_wait <= 0) {
        if (exec_opt.pid_lines) {
            printf("%i\n", res);
            output_check();
        }
        res = 0;
    }
    fd_pipe_arr_move(pipe_fd_next, pipe_fd_prev);
    return res;
}

int exec_word_list_handle(word_list *list)
{
    if (!list || !list->head)
        return 0;
    delim cmd_dl = delim_err, prev_cmd_dl = delim_err;
    int cmd_fd[2] = {-1, -1}, pipe_fd_next[2] = {-1, -1}, pipe_fd_prev[2] = {-1, -1};
    int cmd_len = 0, flag_exec = 1, cmd_res = 0;
    proc_list pending = {nullptr, 0, 0};
    for (word *head = list->head; head;) {
        if (prev_cmd_dl != delim_err) {
            if (prev_cmd_dl == delim_pipe && pipe_fd_prev[0] != -1) {
                cmd_fd[0] = pipe_fd_prev[0];
                pipe_fd_prev[0] = -1;
            }
            flag_exec = is_cmd_should_exec(prev_cmd_dl, cmd_res);
        }
        word *next_head = cmd_process(head, &cmd_len, cmd_fd, &cmd_dl, flag_exec);
        if (flag_exec) {
            cmd_res = cmd_run(head, cmd_len, cmd_dl, cmd_fd, pipe_fd_next, pipe_fd_prev, &pending);
            // Only a waited command has a result other than 0 here.
            if (cmd_res && exec_opt.errexit && cmd_dl != delim_logical_and &&
                cmd_dl != delim_logical_or)
                shell_exit(cmd_res == -1 ? proc_status_last : cmd_res);
        } else
            fd_close_pair(cmd_fd);
        cmd_fd[0] = cmd_fd[1] = -1;
        prev_cmd_dl = cmd_dl;
        head = next_head;
        flag_exec = 1;
    }
    free(pending.pid);
    // Background children and stages left pending (a | b &) are no longer
    // waited for by pid; collect those that have ended so none stays a zombie.
    proc_reap_finished();
    return cmd_res == -1 ? proc_status_last : cmd_res;
}

void exec_in_place(word_list *list)
{
    int cmd_len, cmd_fd[2] = {-1, -1};
    delim dl;
    // A first scan applies nothing: is the line one command with a word?
    if (!list || !list->head || cmd_process(list->head, &cmd_len, cmd_fd, &dl, 0) ||
        dl != delim_err || !cmd_len)
        return;
    cmd_process(list->head, &cmd_len, cmd_fd, &dl, 1);
    char **argv = word_list_part_to_argv(list->head, cmd_len);
    output_flush();
    proc_exec(argv, cmd_fd);
}

// What the probe keeps of pwd's output: its first bytes, up to keep.
struct def_probe_buff {
    char *buff;
    size_t keep;
    size_t len;
};
using probe_buff = def_probe_buff;

// Reads once from the probe's pipe, at most want bytes: into the buffer while
// it has room, then into a scratch area that is dropped, so that pwd never
// blocks on a full pipe. Returns what read returns.
static ssize_t probe_read(int fd, probe_buff *pb, size_t want)
{
    char scratch[4096];
    size_t room = pb->keep - pb->len;
    char *dst = room ? pb->buff + pb->len : scratch;
    size_t n = room ? room : sizeof scratch;
    ssize_t res;
    do
        res = read(fd, dst, want < n ? want : n);
    while (res < 0 && errno == EINTR);
    if (res > 0 && room)
        pb->len += static_cast<size_t>(res);
    return res;
}

// Reads what pwd left in the pipe when it exited, and no more: a child of
// pwd that still holds the pipe may write for ever.
static int probe_drain(int fd, probe_buff *pb)
{
    int avail = 0;
    if (ioctl(fd, FIONREAD, &avail) < 0)
        return -1;
    while (avail > 0) {
        ssize_t n = probe_read(fd, pb, static_cast<size_t>(avail));
        if (n <= 0)
            return n < 0 ? -1 : 0;
        avail -= static_cast<int>(n);
    }
    return 0;
}

// Reads what pwd prints until the pipe is closed, or until pwd has exited
// and what it left in the pipe has been read. A waitpid between polls of at
// most 10 ms sees the exit and collects pwd (*reaped); as pwd closes the pipe
// when it ends, that wait is felt only when a child of pwd keeps the pipe
// open. Returns 0, or -1 with errno set.
static int probe_collect(int fd, pid_t pid, probe_buff *pb, int *reaped)
{
    struct pollfd pfd = {fd, POLLIN, 0};
    for (;;) {
        // An error (SIGCHLD ignored: pwd reaped itself) is an end too.
        *reaped = waitpid(pid, nullptr, WNOHANG) != 0;
        if (*reaped)
            return probe_drain(fd, pb);
        int n = poll(&pfd, 1, 10);
        if (n < 0 && errno != EINTR)
            return -1;
        if (n > 0) {
            ssize_t got = probe_read(fd, pb, SIZE_MAX);
            if (got <= 0)
                return got < 0 ? -1 : 0;
        }
    }
}

int exec_get_current_path(char *buff, int bufflen)
{
    if (!buff) {
        fputs("get_current_path: buff = NULL\n", stderr);
        return 0;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) < 0)
        return 0;
    char *argv[] = {const_cast<char *>("pwd"), nullptr};
    int child_fd[2] = {-1, fds[1]};
    pid_t pid = proc_start(argv, child_fd);
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        perror(nullptr);
        return 0;
    }
    close(fds[1]);
    probe_buff pb = {buff, bufflen > 0 ? static_cast<size_t>(bufflen - 1) : 0, 0};
    int reaped = 0;
    int res = probe_collect(fds[0], pid, &pb, &reaped);
    int err = errno;
    close(fds[0]);
    if (!reaped)
        proc_wait(pid, nullptr);
    if (res < 0) {
        errno = err;
        perror("pwd");
        return 0;
    }
    size_t n = pb.len;
    if (n > 0 && buff[n - 1] == '\n')
        n--;
    buff[n] = '\0';
    return 1;
}
