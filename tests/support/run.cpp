// SPDX-License-Identifier: BSD-2-Clause
#include "run.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <gtest/gtest.h>

extern char **environ;

namespace {

using run_clock = std::chrono::steady_clock;

// Closes a descriptor when it goes out of scope.
struct fd_holder {
    int fd = -1;
    fd_holder() = default;
    explicit fd_holder(int f) : fd(f) {}
    fd_holder(const fd_holder &) = delete;
    fd_holder &operator=(const fd_holder &) = delete;
    ~fd_holder() { reset(); }
    void reset(int f = -1)
    {
        if (fd >= 0)
            close(fd);
        fd = f;
    }
};

std::string sys_error(const char *what)
{
    return std::string(what) + ": " + strerror(errno);
}

// A close-on-exec pipe into r (read end) and w (write end); on failure the
// runner's error is set and false returned.
bool make_pipe(fd_holder &r, fd_holder &w, std::string &error)
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) < 0) {
        error = sys_error("pipe");
        return false;
    }
    r.reset(p[0]);
    w.reset(p[1]);
    return true;
}

// A write end whose reader went away must give EPIPE, not kill the tests.
void ignore_sigpipe()
{
    static const bool done = [] {
        signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)done;
}

void set_nonblock(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

void set_cloexec(int fd)
{
    fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

// The test process's environment with the extra NAME=VALUE entries, each
// replacing a variable of the same name.
std::vector<std::string> build_env(const std::vector<std::string> &extra)
{
    std::vector<std::string> env;
    auto name_of = [](const std::string &e) { return e.substr(0, e.find('=')); };
    for (char **e = environ; e && *e; e++) {
        std::string entry = *e;
        bool replaced = false;
        for (const auto &x : extra)
            if (name_of(x) == name_of(entry))
                replaced = true;
        if (!replaced)
            env.push_back(entry);
    }
    for (const auto &x : extra)
        env.push_back(x);
    return env;
}

// Writes a message on descriptor 2 in the child, where stdio must not be used.
void child_complain(const char *what)
{
    const char *err = strerror(errno);
    ssize_t r = write(2, "run_qsh child: ", 15);
    r = write(2, what, strlen(what));
    r = write(2, ": ", 2);
    r = write(2, err, strlen(err));
    r = write(2, "\n", 1);
    (void)r;
}

// Everything the child needs, prepared before fork so that the child only
// makes system calls.
struct child_plan {
    qsh_mode mode;
    int in_fd;   // descriptor for standard input (pipe read end or file)
    int out_fd;  // descriptor for standard output (pipe write end)
    int err_fd;  // descriptor for standard error (pipe write end)
    int tty_fd;  // pty slave in tty mode
    const char *cwd;
    mode_t mask;
    const std::function<void()> *in_child;
    const char *prog;
    char *const *argv;
    char *const *envp;
};

[[noreturn]] void child_run(const child_plan &p)
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int sig : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGCHLD, SIGHUP, SIGTTOU, SIGTTIN})
        signal(sig, SIG_DFL);

    // Lift the sources above 2 first, so that none is overwritten by dup2
    // when the test process itself runs with 0, 1 or 2 closed.
    auto lift = [](int fd) { return fd < 0 ? -1 : fcntl(fd, F_DUPFD, 10); };
    int in = -1, out = -1, err = lift(p.err_fd);
    if (p.mode == qsh_mode::tty) {
        int slave = lift(p.tty_fd);
        if (setsid() < 0 || ioctl(slave, TIOCSCTTY, 0) < 0) {
            child_complain("controlling terminal");
            _exit(126);
        }
        in = out = slave;
    } else {
        setpgid(0, 0);
        in = lift(p.in_fd);
        out = lift(p.out_fd);
    }
    if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
        child_complain("dup");
        _exit(126);
    }
    if (chdir(p.cwd) < 0) {
        child_complain(p.cwd);
        _exit(126);
    }
    umask(p.mask);
    if (close_range(3, ~0U, 0) < 0) {
        long max = sysconf(_SC_OPEN_MAX);
        for (int fd = 3; fd < (max > 0 ? max : 65536); fd++)
            close(fd);
    }
    if (*p.in_child)
        (*p.in_child)();
    execve(p.prog, p.argv, p.envp);
    child_complain(p.prog);
    _exit(127);
}

// A regular file holding the input, already unlinked, positioned at 0.
int make_input_file(const std::string &input, std::string &error)
{
    const char *tmp = getenv("TMPDIR");
    std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/qsh-e2e-in.XXXXXX";
    int fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0) {
        error = sys_error("mkstemp");
        return -1;
    }
    unlink(path.c_str());
    size_t off = 0;
    while (off < input.size()) {
        ssize_t n = write(fd, input.data() + off, input.size() - off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = sys_error("write input file");
            close(fd);
            return -1;
        }
        off += static_cast<size_t>(n);
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

// Reads what is available on fd into dst; false once the descriptor is at
// end of file (for a pty master: EIO, all slaves closed) or failed.
bool drain(int fd, std::string &dst)
{
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            dst.append(buf, static_cast<size_t>(n));
            if (static_cast<size_t>(n) < sizeof buf)
                return true;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return true;
        return false;
    }
}

std::vector<std::string> wrapper_words()
{
    std::vector<std::string> words;
    const char *w = getenv("QSH_WRAPPER");
    std::string cur;
    for (const char *c = w ? w : ""; *c; c++) {
        if (*c == ' ' || *c == '\t') {
            if (!cur.empty())
                words.push_back(cur);
            cur.clear();
        } else {
            cur += *c;
        }
    }
    if (!cur.empty())
        words.push_back(cur);
    return words;
}

int timeout_scale()
{
    const char *s = getenv("QSH_TIMEOUT_SCALE");
    int n = s ? atoi(s) : 1;
    return n > 0 ? n : 1;
}

std::string find_in_path(const std::string &name)
{
    if (name.find('/') != std::string::npos)
        return name;
    const char *path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string cand = (end > start ? dirs.substr(start, end - start) : ".") + "/" + name;
        if (access(cand.c_str(), X_OK) == 0)
            return cand;
        start = end + 1;
    }
    return name;
}

// One run between its steps: the parent's ends of the child's descriptors
// (and the child's ends until it has started), how far the input has been
// written, which outputs are still open, the child and how it ended.
struct def_run_state {
    const qsh_run_opts *opts = nullptr;
    run_clock::time_point deadline;
    fd_holder in_w, in_r, out_r, out_w, err_r, err_w, master, slave;
    int out_fd = -1;  // where standard output comes from: a pipe or the pty master
    size_t in_off = 0;
    bool in_open = false, out_open = true, err_open = true;
    pid_t pid = -1;
    bool reaped = false, killed = false;
    int wstatus = 0;
};
using run_state = def_run_state;

// Removes the run's own temporary directory at the end of the run.
struct dir_remover {
    bool active;
    std::string path;
    ~dir_remover()
    {
        if (active)
            remove_tree(path);
    }
};

// Pointers to the strings, ended by a null one, as execve takes them.
std::vector<char *> c_strings(std::vector<std::string> &strings)
{
    std::vector<char *> v;
    for (auto &s : strings)
        v.push_back(s.data());
    v.push_back(nullptr);
    return v;
}

// The pseudo-terminal of tty mode, with echo and output processing off, so
// that what qsh writes comes back byte for byte.
bool run_open_pty(run_state &s, std::string &error)
{
    int m, sl;
    if (openpty(&m, &sl, nullptr, nullptr, nullptr) < 0) {
        error = sys_error("openpty");
        return false;
    }
    s.master.reset(m);
    s.slave.reset(sl);
    set_cloexec(m);
    set_cloexec(sl);
    termios tio;
    if (tcgetattr(sl, &tio) < 0) {
        error = sys_error("tcgetattr");
        return false;
    }
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    if (tcsetattr(sl, TCSANOW, &tio) < 0) {
        error = sys_error("tcsetattr");
        return false;
    }
    return true;
}

// Descriptors: standard error's pipe, then the pty, or the output pipe and
// the input (a pipe or a file).
bool run_open_fds(run_state &s, std::string &error)
{
    if (!make_pipe(s.err_r, s.err_w, error))
        return false;
    if (s.opts->mode == qsh_mode::tty)
        return run_open_pty(s, error);
    if (!make_pipe(s.out_r, s.out_w, error))
        return false;
    if (s.opts->mode == qsh_mode::pipe)
        return make_pipe(s.in_r, s.in_w, error);
    int fd = make_input_file(s.opts->input, error);
    if (fd < 0)
        return false;
    s.in_r.reset(fd);
    return true;
}

// Builds the argument vector from the words and the environment, opens the
// descriptors, forks and execs prog in cwd, and keeps only the parent's ends.
bool run_start(run_state &s, const std::string &prog, std::vector<std::string> &args_s,
               const std::string &cwd, std::string &error)
{
    const qsh_run_opts &opts = *s.opts;
    std::vector<std::string> env_s = build_env(opts.env);
    std::vector<char *> argv = c_strings(args_s), envp = c_strings(env_s);
    if (!run_open_fds(s, error))
        return false;
    child_plan plan{opts.mode,  s.in_r.fd,      s.out_w.fd,   s.err_w.fd,  s.slave.fd, cwd.c_str(),
                    opts.umask, &opts.in_child, prog.c_str(), argv.data(), envp.data()};
    s.pid = fork();
    if (s.pid < 0) {
        error = sys_error("fork");
        return false;
    }
    if (s.pid == 0)
        child_run(plan);
    if (opts.mode != qsh_mode::tty)
        setpgid(s.pid, s.pid);  // also done by the child; whichever comes first
    s.in_r.reset();
    s.out_w.reset();
    s.err_w.reset();
    s.slave.reset();
    return true;
}

// Kills qsh's process group, and qsh itself while it is not reaped, in case
// it has not made its own group yet.
void run_kill_group(const run_state &s)
{
    kill(-s.pid, SIGKILL);
    if (!s.reaped)
        kill(s.pid, SIGKILL);
}

// Waits for qsh (WNOHANG in flags: only if it has ended) unless it is reaped.
void run_try_reap(run_state &s, int flags)
{
    if (s.reaped)
        return;
    pid_t r;
    do
        r = waitpid(s.pid, &s.wstatus, flags);
    while (r < 0 && errno == EINTR);
    if (r == s.pid)
        s.reaped = true;
}

// The input goes to the pipe, or to the pty master, which also carries the
// output; empty input closes the pipe at once. All ends are non-blocking.
void run_pump_prepare(run_state &s)
{
    qsh_mode mode = s.opts->mode;
    int in_fd = mode == qsh_mode::pipe ? s.in_w.fd : mode == qsh_mode::tty ? s.master.fd : -1;
    s.out_fd = mode == qsh_mode::tty ? s.master.fd : s.out_r.fd;
    s.in_open = in_fd >= 0;
    if (s.in_open && mode == qsh_mode::pipe && s.opts->input.empty()) {
        s.in_w.reset();
        s.in_open = false;
    }
    if (s.in_open)
        set_nonblock(in_fd);
    set_nonblock(s.out_fd);
    set_nonblock(s.err_r.fd);
}

// What one poll waits for, and where each descriptor stands in fds (-1:
// not polled).
struct def_run_poll {
    pollfd fds[3];
    int n = 0;
    int in = -1, out = -1, err = -1;
    bool want_write = false;  // input is left to write
};
using run_poll = def_run_poll;

run_poll run_poll_set(const run_state &s)
{
    run_poll p;
    p.want_write = s.in_open && s.in_off < s.opts->input.size();
    if (s.opts->mode == qsh_mode::tty) {
        if (s.out_open) {
            short events = static_cast<short>(POLLIN | (p.want_write ? POLLOUT : 0));
            p.fds[p.n] = {s.master.fd, events, 0};
            p.out = p.n++;
        }
    } else {
        if (p.want_write) {
            p.fds[p.n] = {s.in_w.fd, POLLOUT, 0};
            p.in = p.n++;
        }
        if (s.out_open) {
            p.fds[p.n] = {s.out_r.fd, POLLIN, 0};
            p.out = p.n++;
        }
    }
    if (s.err_open) {
        p.fds[p.n] = {s.err_r.fd, POLLIN, 0};
        p.err = p.n++;
    }
    return p;
}

// Writes the next piece of input to fd. The input pipe is closed once all is
// written or its reader has gone.
void run_write_some(run_state &s, int fd)
{
    const std::string &input = s.opts->input;
    size_t len = std::min<size_t>(input.size() - s.in_off, 65536);
    ssize_t w = write(fd, input.data() + s.in_off, len);
    if (w > 0) {
        s.in_off += static_cast<size_t>(w);
    } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
        s.in_open = false;  // the reader is gone (EPIPE, or EIO on the pty)
    }
    if (s.opts->mode == qsh_mode::pipe && (!s.in_open || s.in_off == input.size())) {
        s.in_w.reset();
        s.in_open = false;
    }
}

// Acts on what poll reported: writes input, drains standard output and
// standard error.
void run_pump_events(run_state &s, const run_poll &p, qsh_result &res)
{
    if (p.in >= 0 && (p.fds[p.in].revents & (POLLOUT | POLLERR | POLLHUP)))
        run_write_some(s, s.in_w.fd);
    if (p.out >= 0) {
        short ev = p.fds[p.out].revents;
        if (ev & (POLLIN | POLLHUP | POLLERR))
            s.out_open = drain(s.out_fd, res.out);
        if (s.out_open && s.opts->mode == qsh_mode::tty && p.want_write && (ev & POLLOUT))
            run_write_some(s, s.master.fd);
    }
    if (p.err >= 0 && (p.fds[p.err].revents & (POLLIN | POLLHUP | POLLERR)))
        s.err_open = drain(s.err_r.fd, res.err);
}

// At the deadline the whole group is killed, with a grace period to collect
// what is left and reap the child; false once the grace period is over too.
bool run_within_deadline(run_state &s, run_clock::time_point now, qsh_result &res)
{
    if (!s.killed && now >= s.deadline) {
        res.timed_out = true;
        s.killed = true;
        run_kill_group(s);
        s.deadline = now + std::chrono::seconds(5);
    } else if (s.killed && now >= s.deadline) {
        return false;  // something escaped the process group and holds a pipe
    }
    return true;
}

// Feeds the input while draining the outputs, until both outputs are at end
// of file and qsh is reaped, or the deadline and its grace period are over.
void run_pump(run_state &s, qsh_result &res)
{
    while (s.out_open || s.err_open || !s.reaped) {
        auto now = run_clock::now();
        if (!run_within_deadline(s, now, res))
            break;
        run_poll p = run_poll_set(s);
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(s.deadline - now).count();
        int wait_ms = static_cast<int>(
            std::max<long long>(0, std::min<long long>(left, s.reaped ? 200 : 20)));
        int r = poll(p.fds, static_cast<nfds_t>(p.n), wait_ms);
        if (r < 0 && errno != EINTR) {
            res.error = sys_error("poll");
            run_kill_group(s);
            s.killed = true;
            break;
        }
        if (r > 0)
            run_pump_events(s, p, res);
        run_try_reap(s, WNOHANG);
    }
}

// Closes the parent's ends first, so a child blocked on a pipe ends; then
// waits for qsh (killing its group if it still runs) or kills what it left
// behind, and notes how it ended.
void run_reap(run_state &s, qsh_result &res)
{
    s.in_w.reset();
    s.out_r.reset();
    s.err_r.reset();
    s.master.reset();
    if (!s.reaped) {
        run_kill_group(s);
        run_try_reap(s, 0);
    } else if (s.opts->kill_leftovers) {
        kill(-s.pid, SIGKILL);
    }
    if (!s.reaped) {
        res.error = "qsh could not be reaped";
    } else if (WIFEXITED(s.wstatus)) {
        res.status = WEXITSTATUS(s.wstatus);
    } else if (WIFSIGNALED(s.wstatus)) {
        res.signal = WTERMSIG(s.wstatus);
    }
}

}  // namespace

qsh_result run_qsh(const qsh_run_opts &opts)
{
    ignore_sigpipe();
    qsh_result res;
    auto deadline = run_clock::now() + std::chrono::seconds(opts.timeout_sec * timeout_scale());

    bool own_dir = opts.cwd.empty();
    try {
        res.cwd = own_dir ? make_temp_dir() : opts.cwd;
    } catch (const std::exception &e) {
        res.error = e.what();
        return res;
    }
    dir_remover remover{own_dir, res.cwd};

    // Argument vector and environment, built before fork. QSH_WRAPPER, when
    // set, holds blank-separated words put before the qsh under test (a
    // checker such as valgrind); its first word is looked up in PATH.
    std::string prog = opts.program.empty() ? std::string(qsh_bin()) : opts.program;
    std::vector<std::string> args_s = opts.program.empty() ? wrapper_words()
                                                           : std::vector<std::string>{};
    args_s.push_back(prog);
    if (args_s.size() > 1)
        prog = find_in_path(args_s[0]);
    args_s.insert(args_s.end(), opts.args.begin(), opts.args.end());

    run_state s;  // its descriptors close before the directory is removed
    s.opts = &opts;
    s.deadline = deadline;
    if (!run_start(s, prog, args_s, res.cwd, res.error))
        return res;
    run_pump_prepare(s);
    run_pump(s, res);
    run_reap(s, res);
    return res;
}

void expect_normal_end(const qsh_result &r, int status)
{
    EXPECT_EQ(r.error, "");
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, status);
}

const char *qsh_bin()
{
    const char *bin = getenv("QSH_BIN");
    return bin && *bin ? bin : QSH_BIN;
}

const char *qsh_exec_path()
{
    const char *path = getenv("QSH_EXEC");
    return path && *path ? path : qsh_bin();
}
