// SPDX-License-Identifier: BSD-2-Clause
// Tests of the process runner itself: each mode delivers input and collects
// output exactly, large data does not deadlock, a hung child is killed, and
// nothing (descriptor, zombie, directory) is left behind.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include <gtest/gtest.h>

#include "run.h"

namespace {

bool no_child_left()
{
    return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD;
}

TEST(Runner, PipeAndFileGiveInputAndTakeOutput)
{
    for (qsh_mode m : {qsh_mode::pipe, qsh_mode::file}) {
        qsh_run_opts o;
        o.args = {"-s"};
        o.input = "a b\nls | wc\n";
        o.mode = m;
        qsh_result r = run_qsh(o);
        EXPECT_EQ(r.error, "");
        EXPECT_EQ(r.out, "[a] [b]\n[ls] [|] [wc]\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.signal, 0);
        EXPECT_FALSE(r.timed_out);
    }
}

TEST(Runner, TtyShowsPromptsAndSeparatesStderr)
{
    qsh_run_opts o;
    o.args = {"-s"};
    o.input = "a\n; x\n\x04";
    o.mode = qsh_mode::tty;
    qsh_result r = run_qsh(o);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.out, r.cwd + "> [a]\n" + r.cwd + "> " + r.cwd + "> \n");
    EXPECT_EQ(r.err, "Error: ';' is unexpected.\n");
    EXPECT_EQ(r.status, 0);
}

TEST(Runner, StandardInputIsWhatTheModeSays)
{
    struct row {
        qsh_mode mode;
        const char *type;
    } rows[] = {{qsh_mode::pipe, "fifo"},
                {qsh_mode::file, "regular file"},
                {qsh_mode::tty, "character special file"}};
    for (const row &w : rows) {
        qsh_run_opts o;
        o.mode = w.mode;
        o.input = "/usr/bin/stat -L -c %F /dev/stdin\n";
        if (w.mode == qsh_mode::tty)
            o.input += "\x04";
        qsh_result r = run_qsh(o);
        std::string want = std::string(w.type) + "\n";
        if (w.mode == qsh_mode::tty)
            want = r.cwd + "> " + want + r.cwd + "> \n";
        EXPECT_EQ(r.out, want) << w.type;
    }
}

TEST(Runner, OnlyStandardDescriptorsReachTheChild)
{
    int fd = fcntl(2, F_DUPFD, 10);  // an extra descriptor without close-on-exec
    ASSERT_GE(fd, 10);
    for (qsh_mode m : {qsh_mode::pipe, qsh_mode::tty}) {
        qsh_run_opts o;
        o.mode = m;
        o.program = "/bin/ls";
        o.args = {"-1", "/proc/self/fd"};
        qsh_result r = run_qsh(o);
        // ls itself holds one more descriptor, for the directory it reads.
        EXPECT_EQ(r.out, "0\n1\n2\n3\n");
    }
    close(fd);
}

TEST(Runner, EnvironmentUmaskAndDirectory)
{
    std::string dir = make_temp_dir();
    qsh_run_opts o;
    o.cwd = dir;
    o.umask = 077;
    o.env = {"QSH_E2E_X=1", "PATH=/bin:/usr/bin"};
    o.program = "/bin/sh";
    o.args = {"-c", "echo $QSH_E2E_X $PATH; umask; pwd; echo hi > f"};
    qsh_result r = run_qsh(o);
    EXPECT_EQ(r.out, "1 /bin:/usr/bin\n0077\n" + dir + "\n");
    EXPECT_EQ(r.cwd, dir);
    struct stat st;
    ASSERT_EQ(stat((dir + "/f").c_str(), &st), 0);  // a given directory is kept
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    remove_tree(dir);
    EXPECT_NE(stat(dir.c_str(), &st), 0);
}

TEST(Runner, OwnTempDirectoryIsRemoved)
{
    qsh_run_opts o;
    o.input = "/bin/true\n";
    qsh_result r = run_qsh(o);
    ASSERT_FALSE(r.cwd.empty());
    struct stat st;
    EXPECT_NE(stat(r.cwd.c_str(), &st), 0);
}

TEST(Runner, LargeInputAndOutputDoNotDeadlock)
{
    // cat writes as it reads: both pipes fill up unless the runner drains
    // while it writes.
    std::string data(32 << 20, 'x');
    for (size_t i = 0; i < data.size(); i += 4099)
        data[i] = static_cast<char>(i % 251);
    qsh_run_opts o;
    o.program = "/bin/sh";
    o.args = {"-c", "tee /dev/stderr"};
    o.input = data;
    qsh_result r = run_qsh(o);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out == data);
    EXPECT_TRUE(r.err == data);
}

TEST(Runner, HungChildIsKilledAndReaped)
{
    int fds = count_open_fds();
    for (qsh_mode m : {qsh_mode::pipe, qsh_mode::tty}) {
        auto t0 = std::chrono::steady_clock::now();
        qsh_run_opts o;
        o.mode = m;
        o.timeout_sec = 1;
        // A background sleep keeps the output pipes open after qsh itself
        // is killed: the whole group must go.
        o.input = "/bin/sleep 60 &\n/bin/sleep 60\n";
        qsh_result r = run_qsh(o);
        auto secs = std::chrono::duration_cast<std::chrono::seconds>(
                        std::chrono::steady_clock::now() - t0)
                        .count();
        EXPECT_TRUE(r.timed_out);
        EXPECT_EQ(r.signal, SIGKILL);
        EXPECT_EQ(r.status, -1);
        EXPECT_LT(secs, 10);
    }
    EXPECT_EQ(count_open_fds(), fds);
    EXPECT_TRUE(no_child_left());
}

TEST(Runner, LeavesNoDescriptorOrZombie)
{
    int fds = count_open_fds();
    for (qsh_mode m : {qsh_mode::pipe, qsh_mode::file, qsh_mode::tty}) {
        qsh_run_opts o;
        o.mode = m;
        o.args = {"-s"};
        o.input = "x\n\x04";
        qsh_result r = run_qsh(o);
        EXPECT_EQ(r.status, 0);
    }
    EXPECT_EQ(count_open_fds(), fds);
    EXPECT_TRUE(no_child_left());
}

TEST(Runner, SignalIsReported)
{
    qsh_run_opts o;
    o.program = "/bin/sh";
    o.args = {"-c", "kill -TERM $$"};
    qsh_result r = run_qsh(o);
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.signal, SIGTERM);
    EXPECT_FALSE(r.timed_out);
}

TEST(Runner, EscapeBytes)
{
    EXPECT_EQ(escape_bytes(std::string("a\n\t\r\\\0\x04\x7f\xff z", 11)),
              "a\\n\\t\\r\\\\\\0\\x04\\x7f\\xff z");
}

}  // namespace
