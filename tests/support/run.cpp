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
    struct dir_remover {
        bool active;
        std::string path;
        ~dir_remover()
        {
            if (active)
                remove_tree(path);
        }
    } remover{own_dir, res.cwd};

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
    std::vector<char *> argv;
    for (auto &a : args_s)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_s = build_env(opts.env);
    std::vector<char *> envp;
    for (auto &e : env_s)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    // Descriptors: the parent's ends and the child's ends.
    fd_holder in_w, in_r, out_r, out_w, err_r, err_w, master, slave;
    if (!make_pipe(err_r, err_w, res.error))
        return res;
    if (opts.mode == qsh_mode::tty) {
        int m, s;
        if (openpty(&m, &s, nullptr, nullptr, nullptr) < 0) {
            res.error = sys_error("openpty");
            return res;
        }
        master.reset(m);
        slave.reset(s);
        set_cloexec(m);
        set_cloexec(s);
        termios tio;
        if (tcgetattr(s, &tio) < 0) {
            res.error = sys_error("tcgetattr");
            return res;
        }
        tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL);
        tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        if (tcsetattr(s, TCSANOW, &tio) < 0) {
            res.error = sys_error("tcsetattr");
            return res;
        }
    } else {
        if (!make_pipe(out_r, out_w, res.error))
            return res;
        if (opts.mode == qsh_mode::pipe) {
            if (!make_pipe(in_r, in_w, res.error))
                return res;
        } else {
            int fd = make_input_file(opts.input, res.error);
            if (fd < 0)
                return res;
            in_r.reset(fd);
        }
    }

    child_plan plan{opts.mode,    in_r.fd,         out_w.fd,   err_w.fd,
                    slave.fd,     res.cwd.c_str(), opts.umask, &opts.in_child,
                    prog.c_str(), argv.data(),     envp.data()};
    pid_t pid = fork();
    if (pid < 0) {
        res.error = sys_error("fork");
        return res;
    }
    if (pid == 0)
        child_run(plan);
    if (opts.mode != qsh_mode::tty)
        setpgid(pid, pid);  // also done by the child; whichever comes first

    in_r.reset();
    out_w.reset();
    err_w.reset();
    slave.reset();

    // The input goes to the pipe, or to the pty master, which also carries the output.
    int in_fd = opts.mode == qsh_mode::pipe ? in_w.fd : opts.mode == qsh_mode::tty ? master.fd : -1;
    int out_fd = opts.mode == qsh_mode::tty ? master.fd : out_r.fd;
    size_t in_off = 0;
    bool in_open = in_fd >= 0;
    bool out_open = true, err_open = true;
    if (in_open && opts.mode == qsh_mode::pipe && opts.input.empty()) {
        in_w.reset();
        in_open = false;
    }
    if (in_fd >= 0)
        set_nonblock(in_fd);
    set_nonblock(out_fd);
    set_nonblock(err_r.fd);

    bool reaped = false;
    int wstatus = 0;
    bool killed = false;
    auto kill_group = [&] {
        kill(-pid, SIGKILL);
        if (!reaped)
            kill(pid, SIGKILL);
    };
    auto try_reap = [&](int flags) {
        if (reaped)
            return;
        pid_t r;
        do
            r = waitpid(pid, &wstatus, flags);
        while (r < 0 && errno == EINTR);
        if (r == pid)
            reaped = true;
    };

    while (out_open || err_open || !reaped) {
        auto now = run_clock::now();
        if (!killed && now >= deadline) {
            res.timed_out = true;
            killed = true;
            kill_group();
            // A grace period to collect what is left and reap the child.
            deadline = now + std::chrono::seconds(5);
        } else if (killed && now >= deadline) {
            break;  // something escaped the process group and holds a pipe
        }
        pollfd pfd[3];
        int n = 0;
        int idx_in = -1, idx_out = -1, idx_err = -1;
        bool want_write = in_open && in_off < opts.input.size();
        if (opts.mode == qsh_mode::tty) {
            if (out_open) {
                pfd[n] = {master.fd, static_cast<short>(POLLIN | (want_write ? POLLOUT : 0)), 0};
                idx_out = n++;
            }
        } else {
            if (want_write) {
                pfd[n] = {in_w.fd, POLLOUT, 0};
                idx_in = n++;
            }
            if (out_open) {
                pfd[n] = {out_r.fd, POLLIN, 0};
                idx_out = n++;
            }
        }
        if (err_open) {
            pfd[n] = {err_r.fd, POLLIN, 0};
            idx_err = n++;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
        int wait_ms = static_cast<int>(
            std::max<long long>(0, std::min<long long>(left, reaped ? 200 : 20)));
        int r = poll(pfd, static_cast<nfds_t>(n), wait_ms);
        if (r < 0 && errno != EINTR) {
            res.error = sys_error("poll");
            kill_group();
            killed = true;
            break;
        }
        if (r > 0) {
            auto write_some = [&](int fd) {
                size_t len = std::min<size_t>(opts.input.size() - in_off, 65536);
                ssize_t w = write(fd, opts.input.data() + in_off, len);
                if (w > 0) {
                    in_off += static_cast<size_t>(w);
                } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
                    in_open = false;  // the reader is gone (EPIPE, or EIO on the pty)
                }
                if (opts.mode == qsh_mode::pipe && (!in_open || in_off == opts.input.size())) {
                    in_w.reset();
                    in_open = false;
                }
            };
            if (idx_in >= 0 && (pfd[idx_in].revents & (POLLOUT | POLLERR | POLLHUP)))
                write_some(in_w.fd);
            if (idx_out >= 0) {
                short ev = pfd[idx_out].revents;
                if (ev & (POLLIN | POLLHUP | POLLERR))
                    out_open = drain(out_fd, res.out);
                if (out_open && opts.mode == qsh_mode::tty && want_write && (ev & POLLOUT))
                    write_some(master.fd);
            }
            if (idx_err >= 0 && (pfd[idx_err].revents & (POLLIN | POLLHUP | POLLERR)))
                err_open = drain(err_r.fd, res.err);
        }
        try_reap(WNOHANG);
    }

    // Close our ends before the final wait, so a child blocked on a pipe ends.
    in_w.reset();
    out_r.reset();
    err_r.reset();
    master.reset();
    if (!reaped) {
        kill_group();
        try_reap(0);
    } else if (opts.kill_leftovers) {
        kill(-pid, SIGKILL);
    }
    if (!reaped) {
        res.error = "qsh could not be reaped";
    } else if (WIFEXITED(wstatus)) {
        res.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        res.signal = WTERMSIG(wstatus);
    }
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
