// SPDX-License-Identifier: BSD-2-Clause
// End-to-end tests of running command lines that a case table cannot express:
// process IDs compared with what the children report, the descriptors a child
// gets, very long pipelines, zombies, file modes, output buffering with
// standard output in a regular file, resource failures, and timing.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run.h"

namespace {

// Runs a script and checks that the run itself went through.
qsh_result run_script(const std::string &input, qsh_run_opts o = {})
{
    o.input = input;
    qsh_result r = run_qsh(o);
    EXPECT_EQ(r.error, "");
    EXPECT_FALSE(r.timed_out) << "qsh hung on:\n" << input;
    return r;
}

// Splits output whose last pid_cnt lines are the shell's process-ID lines
// (buffered until exit, so they follow the children's output).
void split_pid_lines(const std::string &out, size_t pid_cnt, std::string *body,
                     std::vector<std::string> *pids)
{
    std::vector<std::string> lines = split_lines(out);
    ASSERT_GE(lines.size(), pid_cnt) << out;
    body->clear();
    for (size_t i = 0; i < lines.size() - pid_cnt; i++)
        *body += lines[i] + "\n";
    pids->assign(lines.end() - static_cast<long>(pid_cnt), lines.end());
    for (const auto &p : *pids)
        EXPECT_TRUE(is_pid(p)) << "not a process ID line: '" << p << "' in\n" << out;
}

double realtime_now()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

TEST(ExecPids, EachPrintedPidIsThatChildsOwn)
{
    // Each child writes its own pid ($$ of the sh that the shell started)
    // into a file; the files are printed before the buffered pid lines.
    qsh_result r = run_script(
        "sh -c 'echo $$ > bg' &\n"
        "sh -c 'echo $$ > first; echo data' | sh -c 'echo $$ > middle; cat' | cat\n"
        "sh -c 'echo $$ > pipe_bg1' | sh -c 'echo $$ > pipe_bg2; cat' &\n"
        "sleep 0.3\n"
        "cat bg first middle pipe_bg1 pipe_bg2\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    std::string body;
    std::vector<std::string> printed;
    split_pid_lines(r.out, 5, &body, &printed);
    std::vector<std::string> lines = split_lines(body);
    ASSERT_EQ(lines.size(), 6u) << r.out;
    EXPECT_EQ(lines[0], "data");
    std::vector<std::string> reported(lines.begin() + 1, lines.end());
    EXPECT_EQ(printed, reported);
    EXPECT_EQ(std::set<std::string>(printed.begin(), printed.end()).size(), 5u);
}

TEST(ExecPids, OnATerminalThePidLineComesBeforeLaterOutput)
{
    qsh_run_opts o;
    o.mode = qsh_mode::tty;
    qsh_result r = run_script("sh -c 'echo $$ > f; echo x' | cat > /dev/null ; cat f\n\x04", o);
    std::vector<std::string> lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), 3u) << escape_bytes(r.out);
    std::string prompt = r.cwd + "> ";
    EXPECT_EQ(lines[0].substr(0, prompt.size()), prompt);
    EXPECT_EQ(lines[0].substr(prompt.size()), lines[1]);
    EXPECT_TRUE(is_pid(lines[1]));
    EXPECT_EQ(lines[2], prompt);
}

// Every child sees descriptors 0, 1 and 2 only (3 is ls's own directory
// stream): pipes and redirection files are close-on-exec in the shell.
TEST(ExecDescriptors, ChildrenGetOnlyStandardDescriptors)
{
    struct row {
        const char *what;
        const char *script;
        size_t pids;
    };
    const row rows[] = {
        {"alone", "/bin/ls /proc/self/fd\n", 0},
        {"first stage", "/bin/ls /proc/self/fd | cat\n", 1},
        {"middle stage", "echo | /bin/ls /proc/self/fd | cat\n", 2},
        {"last stage", "echo | echo | /bin/ls /proc/self/fd\n", 2},
        {"> file", "/bin/ls /proc/self/fd > o ; cat o\n", 0},
        {">> file", "/bin/ls /proc/self/fd >> o ; cat o\n", 0},
        {"< file and > file", "echo > i ; /bin/ls /proc/self/fd < i > o ; cat o\n", 0},
        {"replaced redirections", "/bin/ls /proc/self/fd > a >> b > o < o < o ; cat o\n", 0},
        {"pipe replaced by <", "echo > i ; echo x | /bin/ls /proc/self/fd < i\n", 1},
        {"background", "/bin/ls /proc/self/fd & sleep 0.2\n", 1},
        {"after earlier lines",
         "echo a | cat > o ; true & cat < o > /dev/null\n/bin/ls /proc/self/fd\n", 2},
    };
    for (const row &rw : rows) {
        SCOPED_TRACE(rw.what);
        qsh_result r = run_script(rw.script);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
        std::string body;
        std::vector<std::string> pids;
        split_pid_lines(r.out, rw.pids, &body, &pids);
        EXPECT_EQ(body, "0\n1\n2\n3\n");
    }
}

// 2,000 stages: the data goes through every one, each stage but the last
// prints its pid, and the shell holds no pipe end longer than needed (with
// 32 descriptors it would run out after a dozen stages otherwise).
TEST(ExecPipeline, TwoThousandStages)
{
    const int stages = 2000;
    std::string line = "echo through every stage";
    for (int i = 1; i < stages - 1; i++)
        line += " | cat";
    // The last stage writes into a file: the shell's 2,000 pid lines overflow
    // its output buffer and would mix with output written meanwhile.
    line += " | cat > out\n";
    for (bool low_limit : {false, true}) {
        SCOPED_TRACE(low_limit ? "RLIMIT_NOFILE 32" : "default limits");
        temp_dir dir;
        qsh_run_opts o;
        o.cwd = dir.path;
        o.timeout_sec = 120;
        if (low_limit)
            o.in_child = [] {
                rlimit rl{32, 32};
                setrlimit(RLIMIT_NOFILE, &rl);
            };
        qsh_result r = run_script(line, o);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(read_file(dir.path + "/out"), "through every stage\n");
        std::string body;
        std::vector<std::string> pids;
        split_pid_lines(r.out, stages - 1, &body, &pids);
        EXPECT_EQ(body, "");
        EXPECT_EQ(std::set<std::string>(pids.begin(), pids.end()).size(),
                  static_cast<size_t>(stages - 1));
    }
}

// Background commands and stages left pending by "a | b &" are collected at
// the end of their line without blocking, so none stays a zombie.
TEST(ExecZombies, BackgroundChildrenAreCollected)
{
    std::string bg;
    for (int i = 0; i < 200; i++)
        bg += "true & ";
    std::string pipes;
    for (int i = 0; i < 50; i++)
        pipes += "true | true & ";
    // States of qsh's children other than the checking sh itself.
    const char *check =
        "sh -c 'for p in $(cat /proc/$PPID/task/*/children); do "
        "[ $p = $$ ] || cut -d\" \" -f3 /proc/$p/stat; done'\n";
    qsh_result r = run_script(bg + "\n" + pipes + "\nsleep 1\n" + check);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    std::string body;
    std::vector<std::string> pids;
    split_pid_lines(r.out, 300, &body, &pids);
    EXPECT_EQ(body.find('Z'), std::string::npos) << "zombie children of qsh:\n" << body;
    EXPECT_EQ(std::set<std::string>(pids.begin(), pids.end()).size(), 300u);
}

// New files get 0666 less the umask; an existing file keeps its mode.
TEST(ExecRedirections, NewFilesGetModeLessUmask)
{
    struct row {
        mode_t umask;
        mode_t mode;
    };
    for (row rw : {row{022, 0644}, row{077, 0600}, row{0, 0666}, row{027, 0640}}) {
        SCOPED_TRACE("umask " + std::to_string(rw.umask));
        temp_dir dir;
        std::string kept = dir.path + "/kept";
        write_file(kept, "x\n", 0604);
        qsh_run_opts o;
        o.cwd = dir.path;
        o.umask = rw.umask;
        qsh_result r = run_script("echo x > w\necho x >> a\n> only\necho y > kept\n", o);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
        for (const char *name : {"w", "a", "only"}) {
            struct stat st;
            ASSERT_EQ(stat((dir.path + "/" + name).c_str(), &st), 0) << name;
            EXPECT_EQ(st.st_mode & 07777, rw.mode) << name;
        }
        struct stat st;
        ASSERT_EQ(stat(kept.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0604u);
        EXPECT_EQ(read_file(kept), "y\n");
    }
}

// Runs qsh with standard input from a file holding input and standard output
// and error in regular files (run_qsh uses pipes or a terminal for them).
struct file_run {
    std::string out, err;
    int status = -1;
};

file_run run_to_files(const std::string &input)
{
    temp_dir dir;
    const std::string in_path = dir.path + "/in", out_path = dir.path + "/out",
                      err_path = dir.path + "/err", work = dir.path + "/work";
    write_file(in_path, input);
    file_run res;
    if (mkdir(work.c_str(), 0700) != 0) {
        ADD_FAILURE() << "mkdir " << work;
        return res;
    }
    const char *bin = qsh_exec_path();
    pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork failed";
        return res;
    }
    if (pid == 0) {
        int in = open(in_path.c_str(), O_RDONLY);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 ||
            dup2(err, 2) < 0 || chdir(work.c_str()) < 0)
            _exit(126);
        signal(SIGPIPE, SIG_DFL);
        setpgid(0, 0);
        alarm(20);  // a hung shell dies of SIGALRM and the test fails
        execl(bin, bin, static_cast<char *>(nullptr));
        _exit(127);
    }
    int ws = 0;
    while (waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
    }
    kill(-pid, SIGKILL);  // whatever it left running in the background
    res.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
    res.out = read_file(out_path);
    res.err = read_file(err_path);
    return res;
}

// The child that fails to exec shares the shell's memory until it leaves;
// it must not write out the shell's buffered pid lines a second time.
TEST(ExecBuffering, PidLinesInAFileAppearOnceWhenExecsFail)
{
    file_run r = run_to_files(
        "true &\n"
        "true | true\n"
        "no_such_program_qsh\n"
        "no_such_program_qsh | cat\n"
        "true & no_such_program_qsh ; no_such_program_qsh &\n"
        "sleep 0.2\n");
    EXPECT_EQ(r.status, 0);
    std::vector<std::string> lines = split_lines(r.out);
    EXPECT_EQ(lines.size(), 5u) << r.out;
    for (const auto &l : lines)
        EXPECT_TRUE(is_pid(l)) << l;
    EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()).size(), lines.size()) << r.out;
    EXPECT_EQ(r.err,
              "no_such_program_qsh: No such file or directory\n"
              "no_such_program_qsh: No such file or directory\n"
              "no_such_program_qsh: No such file or directory\n"
              "no_such_program_qsh: No such file or directory\n");
}

TEST(ExecBuffering, FatalStopWritesPidLinesOnceToAFile)
{
    file_run r = run_to_files("true &\nno_such_program_qsh\ntrue | cat < missing\n");
    EXPECT_EQ(r.status, 2);
    std::vector<std::string> lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_TRUE(is_pid(lines[0]));
    EXPECT_TRUE(is_pid(lines[1]));
    EXPECT_NE(lines[0], lines[1]);
    EXPECT_EQ(r.err,
              "no_such_program_qsh: No such file or directory\n"
              "missing: No such file or directory\n");
}

// With only one free descriptor no pipe can be made: the probe gives up
// quietly (empty prompt), a redirection still works, and a pipeline ends the
// shell with status 1.
TEST(ExecFailures, PipeFailureEndsTheShellWithStatus1)
{
    qsh_run_opts o;
    o.mode = qsh_mode::tty;
    o.in_child = [] {
        rlimit rl{4, 4};
        setrlimit(RLIMIT_NOFILE, &rl);
    };
    qsh_result r = run_script("echo one > f ; cat f\necho two | cat\necho not reached\n", o);
    EXPECT_EQ(r.out, "> one\n> ");
    EXPECT_EQ(r.err, "cmd_delim_handle: Too many open files\n");
    EXPECT_EQ(r.status, 1);
}

// A failed fork ends the shell with status 1; the probe's failed fork is only
// reported. Forks fail once the user may own no further process, which root
// is exempt from, so the shell runs as nobody here.
TEST(ExecFailures, ForkFailureEndsTheShellWithStatus1)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to switch to an unprivileged user";
    qsh_run_opts o;
    // The leak checker needs a thread of its own at exit, which cannot be had.
    o.env = {"ASAN_OPTIONS=detect_leaks=0"};
    o.in_child = [] {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(125);
        rlimit rl{1, 1};
        setrlimit(RLIMIT_NPROC, &rl);
    };
    qsh_result r = run_script("echo not run\necho not reached\n", o);
    if (r.status == 125 ||
        (r.status == 127 && r.err.find("Permission denied") != std::string::npos))
        GTEST_SKIP() << "cannot run qsh as nobody here: " << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "Resource temporarily unavailable\n"
              "fork: Resource temporarily unavailable\n");
    EXPECT_EQ(r.status, 1);
}

// `sleep 1 &` returns at once: the next line's output comes well before the
// background sleep ends.
TEST(ExecTiming, BackgroundCommandDoesNotWait)
{
    double start = realtime_now();
    qsh_result r = run_script("sleep 1 &\ndate +%s.%N\n");
    EXPECT_EQ(r.status, 0);
    std::vector<std::string> lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_TRUE(is_pid(lines[1]));
    double printed = std::strtod(lines[0].c_str(), nullptr);
    EXPECT_LT(printed - start, 0.8) << "the line after sleep 1 & waited for it";
}

// In `sleep 5 | true` true is waited for and then the pending sleep, so the
// line takes about five seconds. The background `sleep 1` on the same line
// ended long before; collecting it must not count as collecting the pending
// sleep.
TEST(ExecTiming, PendingStageIsWaitedForByItsOwnPid)
{
    qsh_result r = run_script("sleep 1 & sleep 2 ; date +%s.%N ; sleep 5 | true ; date +%s.%N\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    std::vector<std::string> lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    double before = std::strtod(lines[0].c_str(), nullptr);
    double after = std::strtod(lines[1].c_str(), nullptr);
    EXPECT_GE(after - before, 4.5);
    EXPECT_LT(after - before, 15.0);
    EXPECT_TRUE(is_pid(lines[2]));
    EXPECT_TRUE(is_pid(lines[3]));
}

}  // namespace
