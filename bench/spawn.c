// SPDX-License-Identifier: BSD-2-Clause
/*
 * spawn: runs one program once and prints
 * "<wall ns> <peak RSS KiB> <status> <CPU ns>".
 *
 *   spawn [-i FILE] [-p] [-o FILE] [-e FILE] [-t SECONDS] -- PROGRAM [ARG...]
 *     -i FILE   standard input from FILE (default /dev/null)
 *     -p        feed FILE through a pipe instead of as a regular file; the pipe
 *               is filled before the clock starts when FILE fits in it,
 *               otherwise a writer process streams it
 *     -o, -e    standard output / error to FILE (default /dev/null)
 *     -t        kill the program after SECONDS (status then -1)
 *     -m        instead of the wait4 figure, report the program's own peak
 *               RSS (VmHWM, read while it stops on its way out under ptrace),
 *               which leaves out the children it ran; the time is then 0
 *     -M        the same, read where the program first execs another program
 *               in its own process, if it does (a shell that runs its last
 *               command without a fork): the shell's peak, not the command's
 *   status: the exit status, 128 + signal number, or -1 after a time-out.
 *   CPU: user + system time of the program and the children it waited for.
 *
 * The peak RSS comes from wait4. Linux counts in it the memory of the process
 * image that exec replaced, so the launcher must be small: a Python parent
 * would put its own 13 MB into every figure. Built static, this launcher
 * stays far below any shell.
 *
 *   spawn --floor seq|pipe|bg N PROGRAM
 *     the bare cost of starting PROGRAM N times with vfork + execv + waitpid:
 *     seq one after another, pipe as N pairs joined by a pipe, bg without
 *     waiting (finished children are reaped after each start). The reference
 *     that no shell can beat; run it under the measuring form above.
 *
 *   spawn --repeat N PROGRAM [ARG...]
 *     starts PROGRAM with its arguments N times, one after another, with the
 *     launcher's own descriptors (vfork + execv + waitpid, nothing else), so
 *     that N calls of `sh -c STRING` cost the driver as little as possible.
 *     Stops at the first call whose status is not 0 and exits with it; run
 *     it under the measuring form above.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static volatile pid_t child_pid;
static volatile sig_atomic_t timed_out;

static void die(const char *what)
{
    perror(what);
    exit(111);
}

static void on_alarm(int sig)
{
    (void)sig;
    timed_out = 1;
    if (child_pid > 0)
        kill(child_pid, SIGKILL);
}

static long long now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static int open_or_die(const char *path, int flags)
{
    int fd = open(path, flags | O_CLOEXEC, 0666);
    if (fd < 0)
        die(path);
    return fd;
}

static void write_all(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            die("write");
        }
        p += w;
        n -= (size_t)w;
    }
}

/* Copies the file's bytes to fd through a small buffer: the launcher's own
 * peak RSS is counted in the program's, so it never holds the whole file. */
static void copy_file(int from, int to)
{
    static char buf[65536];
    for (;;) {
        ssize_t r = read(from, buf, sizeof buf);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            die("read");
        if (r == 0)
            return;
        write_all(to, buf, (size_t)r);
    }
}

/* Returns the read end of a pipe holding the file's bytes. A file that fits
 * in the pipe (enlarged up to 1 MiB) is written before the clock starts;
 * a larger one is streamed by a writer process while the program reads. */
static int pipe_from_file(const char *path, pid_t *writer)
{
    int fd = open_or_die(path, O_RDONLY);
    struct stat st;
    if (fstat(fd, &st) < 0)
        die(path);
    int p[2];
    if (pipe2(p, O_CLOEXEC) < 0)
        die("pipe2");
    long cap = fcntl(p[1], F_GETPIPE_SZ);
    if (cap < st.st_size) {
        int got = fcntl(p[1], F_SETPIPE_SZ, st.st_size > (1 << 20) ? (1 << 20) : (int)st.st_size);
        if (got > 0)
            cap = got;
    }
    *writer = 0;
    if (st.st_size <= cap) {
        copy_file(fd, p[1]);
    } else {
        pid_t w = fork();
        if (w < 0)
            die("fork");
        if (w == 0) {
            close(p[0]);
            copy_file(fd, p[1]);
            _exit(0);
        }
        *writer = w;
    }
    close(fd);
    close(p[1]);
    return p[0];
}

/* The kernel's high-water mark of the process's resident set, in KiB. */
static long proc_hwm(pid_t pid)
{
    char path[64], line[256];
    snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
    FILE *f = fopen(path, "re");
    long kib = -1;
    if (!f)
        return -1;
    while (fgets(line, sizeof line, f))
        if (sscanf(line, "VmHWM: %ld kB", &kib) == 1)
            break;
    fclose(f);
    return kib;
}

/* Whether the traced program, stopped at a system call, is entering an exec. */
static int exec_entry(pid_t pid)
{
    struct __ptrace_syscall_info info;
    if (ptrace(PTRACE_GET_SYSCALL_INFO, pid, (void *)sizeof info, &info) <= 0)
        return 0;
    return info.op == PTRACE_SYSCALL_INFO_ENTRY &&
           (info.entry.nr == SYS_execve || info.entry.nr == SYS_execveat);
}

/* One tracing stop: reads the peak RSS into *hwm where it is due and returns
 * the signal to pass on (0 for the tracing stops themselves). *watch is set
 * while the program is to stop at every system call, until its first exec. */
static int traced_stop(pid_t pid, int status, int *first, int *watch, long *hwm)
{
    int sig = WSTOPSIG(status), event = status >> 16;
    if (*first && sig == SIGTRAP) { /* the stop after the launcher's execv */
        *first = 0;
        ptrace(PTRACE_SETOPTIONS, pid, NULL,
               (void *)(long)(PTRACE_O_TRACEEXIT | PTRACE_O_TRACEEXEC | PTRACE_O_TRACESYSGOOD));
        return 0;
    }
    if (sig == (SIGTRAP | 0x80)) { /* a system call; only while watching */
        if (exec_entry(pid)) {
            *hwm = proc_hwm(pid);
            *watch = 0;
        }
        return 0;
    }
    if (sig == SIGTRAP && event == PTRACE_EVENT_EXEC)
        return 0;
    if (sig == SIGTRAP && event == PTRACE_EVENT_EXIT) {
        if (*hwm < 0)
            *hwm = proc_hwm(pid);
        return 0;
    }
    return sig;
}

/* Runs argv traced until it is about to exit, reads its own peak RSS there,
 * lets it go and returns its wait status in *status. With upto_exec, the
 * figure is read instead where the program first execs another one in its
 * own process (a shell running its last command without a fork); it stops
 * at every system call until then. Signals other than the tracing stops are
 * passed on unchanged. */
static long run_traced(char **argv, int fd0, int fd1, int fd2, int upto_exec, int *status)
{
    pid_t pid = fork();
    if (pid < 0)
        die("fork");
    if (pid == 0) {
        ptrace(PTRACE_TRACEME, 0, NULL, NULL);
        dup2(fd0, 0);
        dup2(fd1, 1);
        dup2(fd2, 2);
        execv(argv[0], argv);
        _exit(127);
    }
    child_pid = pid;
    long hwm = -1;
    int first = 1, watch = upto_exec;
    for (;;) {
        if (waitpid(pid, status, 0) < 0) {
            if (errno == EINTR)
                continue;
            die("waitpid");
        }
        if (!WIFSTOPPED(*status))
            return hwm;
        int sig = traced_stop(pid, *status, &first, &watch, &hwm);
        ptrace(watch ? PTRACE_SYSCALL : PTRACE_CONT, pid, NULL, (void *)(long)sig);
    }
}

/* Starts argv with the given descriptors (-1: inherited) as 0, 1 and 2.
 * The vfork child only moves descriptors and execs. */
static pid_t start(char **argv, int fd0, int fd1, int fd2)
{
    pid_t pid = vfork();
    if (pid == 0) {
        if (fd0 >= 0)
            dup2(fd0, 0);
        if (fd1 >= 0)
            dup2(fd1, 1);
        if (fd2 >= 0)
            dup2(fd2, 2);
        execv(argv[0], argv);
        _exit(127);
    }
    if (pid < 0)
        die("vfork");
    return pid;
}

static int measure(int argc, char **argv)
{
    const char *in = "/dev/null", *out = "/dev/null", *err = "/dev/null";
    int use_pipe = 0, own_rss = 0;
    unsigned timeout = 0;
    int i = 1;
    for (; i < argc; i++) {
        if (strcmp(argv[i], "--") == 0) {
            i++;
            break;
        }
        if (strcmp(argv[i], "-p") == 0)
            use_pipe = 1;
        else if (strcmp(argv[i], "-m") == 0)
            own_rss = 1;
        else if (strcmp(argv[i], "-M") == 0)
            own_rss = 2;
        else if (i + 1 < argc && strcmp(argv[i], "-i") == 0)
            in = argv[++i];
        else if (i + 1 < argc && strcmp(argv[i], "-o") == 0)
            out = argv[++i];
        else if (i + 1 < argc && strcmp(argv[i], "-e") == 0)
            err = argv[++i];
        else if (i + 1 < argc && strcmp(argv[i], "-t") == 0)
            timeout = (unsigned)atoi(argv[++i]);
        else {
            fprintf(stderr, "spawn: unknown option %s\n", argv[i]);
            return 111;
        }
    }
    if (i >= argc) {
        fprintf(stderr, "spawn: no program given\n");
        return 111;
    }
    char **prog = argv + i;

    pid_t writer = 0;
    int fd_in = use_pipe ? pipe_from_file(in, &writer) : open_or_die(in, O_RDONLY);
    int fd_out = open_or_die(out, O_WRONLY | O_CREAT | O_TRUNC);
    int fd_err = open_or_die(err, O_WRONLY | O_CREAT | O_TRUNC);

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_alarm;  /* no SA_RESTART: wait4 returns EINTR */
    sigaction(SIGALRM, &sa, NULL);

    int status = 0;
    struct rusage ru;
    memset(&ru, 0, sizeof ru);
    long long t0 = 0, t1 = 0;
    if (own_rss) {
        if (timeout)
            alarm(timeout);
        ru.ru_maxrss = run_traced(prog, fd_in, fd_out, fd_err, own_rss == 2, &status);
        memset(&ru.ru_utime, 0, sizeof ru.ru_utime);
    } else {
        t0 = now_ns();
        pid_t pid = start(prog, fd_in, fd_out, fd_err);
        child_pid = pid;
        if (timeout)
            alarm(timeout);
        while (wait4(pid, &status, 0, &ru) < 0) {
            if (errno != EINTR)
                die("wait4");
        }
        t1 = now_ns();
    }
    alarm(0);
    if (writer > 0) {
        kill(writer, SIGKILL);
        waitpid(writer, NULL, 0);
    }
    int result;
    if (timed_out)
        result = -1;
    else if (WIFEXITED(status))
        result = WEXITSTATUS(status);
    else
        result = 128 + WTERMSIG(status);
    long long cpu = ((long long)ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000000000LL +
                    ((long long)ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1000LL;
    printf("%lld %ld %d %lld\n", t1 - t0, ru.ru_maxrss, result, cpu);
    return 0;
}

static int floor_loop(const char *mode, long n, char *prog)
{
    char *args[] = {prog, NULL};
    for (long k = 0; k < n; k++) {
        if (strcmp(mode, "seq") == 0) {
            waitpid(start(args, -1, -1, -1), NULL, 0);
        } else if (strcmp(mode, "pipe") == 0) {
            int p[2];
            if (pipe2(p, O_CLOEXEC) < 0)
                die("pipe2");
            pid_t a = start(args, -1, p[1], -1);
            pid_t b = start(args, p[0], -1, -1);
            close(p[0]);
            close(p[1]);
            waitpid(b, NULL, 0);
            waitpid(a, NULL, 0);
        } else if (strcmp(mode, "bg") == 0) {
            start(args, -1, -1, -1);
            while (waitpid(-1, NULL, WNOHANG) > 0)
                ;
        } else {
            fprintf(stderr, "spawn: unknown floor mode %s\n", mode);
            return 111;
        }
    }
    return 0;
}

static int wait_status(pid_t pid)
{
    int status;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            die("waitpid");
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

static int repeat_loop(long n, char **argv)
{
    for (long k = 0; k < n; k++) {
        int status = wait_status(start(argv, -1, -1, -1));
        if (status != 0) {
            fprintf(stderr, "spawn: call %ld of %ld: status %d\n", k + 1, n, status);
            return status;
        }
    }
    return 0;
}

int main(int argc, char **argv)
{
    if (argc >= 4 && strcmp(argv[1], "--repeat") == 0)
        return repeat_loop(atol(argv[2]), argv + 3);
    if (argc == 5 && strcmp(argv[1], "--floor") == 0)
        return floor_loop(argv[2], atol(argv[3]), argv[4]);
    return measure(argc, argv);
}
