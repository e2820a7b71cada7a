// SPDX-License-Identifier: BSD-2-Clause
// The executor's parts: run decisions, open modes, descriptor pairs, command
// scanning with its redirections, the launcher, pending stages, reaping and
// the start-up probe of the working directory.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "exec.h"
#include "support.h"
#include "word.h"

namespace {

// The list of one line, destroyed at the end of the test.
struct line_list {
    word_list *wl;
    explicit line_list(const std::string &line) : wl(word_list_from_buff(line.c_str())) {}
    line_list(const line_list &) = delete;
    line_list &operator=(const line_list &) = delete;
    ~line_list()
    {
        if (wl)
            word_list_destroy(&wl);
    }
    word *head() const { return wl ? wl->head : nullptr; }
};

// Restores PATH when it goes out of scope.
struct path_guard {
    std::string saved;
    bool had;
    path_guard()
    {
        const char *p = getenv("PATH");
        had = p != nullptr;
        saved = p ? p : "";
    }
    path_guard(const path_guard &) = delete;
    path_guard &operator=(const path_guard &) = delete;
    ~path_guard()
    {
        if (had)
            setenv("PATH", saved.c_str(), 1);
        else
            unsetenv("PATH");
    }
};

bool fd_is_closed(int fd)
{
    return fcntl(fd, F_GETFD) == -1 && errno == EBADF;
}

bool fd_is_cloexec(int fd)
{
    int fl = fcntl(fd, F_GETFD);
    return fl != -1 && (fl & FD_CLOEXEC);
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Whether pid is a child of this process that has not been collected yet.
bool child_uncollected(pid_t pid)
{
    siginfo_t si{};
    return waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | WNOHANG | WNOWAIT) == 0;
}

// Blocks until the child has ended, without collecting it.
void wait_until_ended(pid_t pid)
{
    siginfo_t si{};
    while (waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
}

TEST(ExecShouldExec, Table)
{
    struct row {
        delim prev;
        int ret;
        int runs;
    };
    const row rows[] = {
        {delim_err, 0, 1},          {delim_err, 1, 1},           {delim_semi, 0, 1},
        {delim_semi, 1, 1},         {delim_semi, -1, 1},         {delim_ampersand, 0, 1},
        {delim_ampersand, 5, 1},    {delim_pipe, 0, 1},          {delim_pipe, 1, 1},
        {delim_logical_and, 0, 1},  {delim_logical_and, 1, 0},   {delim_logical_and, 44, 0},
        {delim_logical_and, -1, 0}, {delim_logical_and, 255, 0}, {delim_logical_or, 0, 0},
        {delim_logical_or, 1, 1},   {delim_logical_or, 44, 1},   {delim_logical_or, -1, 1},
        {delim_redir_out, 1, 1},    {delim_redir_in, 1, 1},
    };
    for (const row &r : rows)
        EXPECT_EQ(is_cmd_should_exec(r.prev, r.ret), r.runs)
            << "after delim " << r.prev << " with result " << r.ret;
}

TEST(ExecFdOpt, FromEveryDelim)
{
    const std::pair<delim, fd_opt> rows[] = {
        {delim_err, opt_err},       {delim_semi, opt_err},       {delim_pipe, opt_err},
        {delim_ampersand, opt_err}, {delim_logical_or, opt_err}, {delim_logical_and, opt_err},
        {delim_redir_in, opt_r},    {delim_redir_out, opt_w},    {delim_redir_in2, opt_rr},
        {delim_redir_out2, opt_a},
    };
    for (const auto &[dl, opt] : rows)
        EXPECT_EQ(delim_name_to_fd_opt(dl), opt) << "delim " << dl;
}

TEST(ExecPipeMove, MovesAndResets)
{
    int src[2] = {7, 9}, dst[2] = {-1, -1};
    fd_pipe_arr_move(src, dst);
    EXPECT_EQ(dst[0], 7);
    EXPECT_EQ(dst[1], 9);
    EXPECT_EQ(src[0], -1);
    EXPECT_EQ(src[1], -1);

    int half[2] = {5, -1}, old[2] = {3, 4};
    fd_pipe_arr_move(half, old);  // replaces whatever was there
    EXPECT_EQ(old[0], 5);
    EXPECT_EQ(old[1], -1);
    EXPECT_EQ(half[0], -1);

    int keep[2] = {1, 2};
    fd_pipe_arr_move(keep, nullptr);
    EXPECT_EQ(keep[0], 1);
    EXPECT_EQ(keep[1], 2);
    fd_pipe_arr_move(nullptr, keep);
    EXPECT_EQ(keep[0], 1);
    EXPECT_EQ(keep[1], 2);
}

TEST(ExecArgv, BorrowsTheWordsOfTheCommand)
{
    line_list l("printf '%s' 'a b' | wc");
    ASSERT_NE(l.head(), nullptr);
    for (int len = 1; len <= 5; len++) {
        char **argv = word_list_part_to_argv(l.head(), len);
        ASSERT_NE(argv, nullptr);
        word *w = l.head();
        for (int i = 0; i < len; i++, w = w->next)
            EXPECT_EQ(argv[i], w->str) << "entry " << i << " must point into the list";
        EXPECT_EQ(argv[len], nullptr);
        free(argv);
    }
    EXPECT_EQ(word_list_part_to_argv(l.head(), 0), nullptr);
    char **tail = word_list_part_to_argv(l.head()->next->next->next->next, 1);
    ASSERT_NE(tail, nullptr);
    EXPECT_STREQ(tail[0], "wc");
    free(tail);
}

TEST(ExecArgvDeathTest, WrongArguments)
{
    line_list l("a b");
    EXPECT_EXIT(word_list_part_to_argv(l.head(), 3), testing::ExitedWithCode(1),
                "^word_list_part_to_argv: len > actual size\n$");
    EXPECT_EXIT(word_list_part_to_argv(l.head(), -1), testing::ExitedWithCode(1),
                "^word_list_part_to_argv: wrong arg!\n$");
    EXPECT_EXIT(word_list_part_to_argv(nullptr, 0), testing::ExitedWithCode(1),
                "^word_list_part_to_argv: wrong arg!\n$");
}

// Scanning without running: word counts, ending operators and next heads.
TEST(ExecCmdProcess, SplitsLinesIntoCommands)
{
    struct cmd {
        int len;
        delim dl;
        const char *next;  // text of the next command's first node, or null
    };
    struct row {
        const char *line;
        std::vector<cmd> cmds;
    };
    const row rows[] = {
        {"ls", {{1, delim_err, nullptr}}},
        {"ls -l | wc", {{2, delim_pipe, "wc"}, {1, delim_err, nullptr}}},
        {"a ; b & c && d || e",
         {{1, delim_semi, "b"},
          {1, delim_ampersand, "c"},
          {1, delim_logical_and, "d"},
          {1, delim_logical_or, "e"},
          {1, delim_err, nullptr}}},
        {"a b ;", {{2, delim_semi, nullptr}}},
        {"a &", {{1, delim_ampersand, nullptr}}},
        {"ls > out -l", {{1, delim_err, nullptr}}},
        {"< f cat | wc", {{0, delim_pipe, "wc"}, {1, delim_err, nullptr}}},
        {"> f", {{0, delim_err, nullptr}}},
        {"cat < in > out x y ; z", {{1, delim_semi, "z"}, {1, delim_err, nullptr}}},
        {"a >> f b && c << x", {{1, delim_logical_and, "c"}, {1, delim_err, nullptr}}},
        {"echo '|' ';' x", {{4, delim_err, nullptr}}},
        {"a ; > f | b", {{1, delim_semi, ">"}, {0, delim_pipe, "b"}, {1, delim_err, nullptr}}},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.line);
        line_list l(r.line);
        word *head = l.head();
        for (size_t i = 0; i < r.cmds.size(); i++) {
            SCOPED_TRACE("command " + std::to_string(i));
            ASSERT_NE(head, nullptr);
            int len = -7, fd[2] = {-1, -1};
            delim dl = delim_redir_in2;
            word *next = cmd_process(head, &len, fd, &dl, 0);
            EXPECT_EQ(len, r.cmds[i].len);
            EXPECT_EQ(dl, r.cmds[i].dl);
            if (r.cmds[i].next)
                EXPECT_STREQ(next ? next->str : "(null)", r.cmds[i].next);
            else
                EXPECT_EQ(next, nullptr);
            EXPECT_EQ(fd[0], -1);
            EXPECT_EQ(fd[1], -1);
            head = next;
        }
        EXPECT_EQ(head, nullptr) << "more commands than expected";
    }
}

TEST(ExecCmdProcess, RedirectionsOnlyWhenTheCommandRuns)
{
    temp_dir dir;
    write_file(dir / "in", "input\n");
    write_file(dir / "out", "old out\n");
    write_file(dir / "app", "old app\n");
    const std::string line = "cat < " + dir / "in" + " > " + dir / "out" + " >> " + dir / "app" +
                             " > " + dir / "new" + " >> " + dir / "app2" + " ; next";

    // Skipped: nothing is opened, created or truncated.
    {
        line_list l(line);
        int before = count_open_fds();
        int len, fd[2] = {-1, -1};
        delim dl;
        word *next = cmd_process(l.head(), &len, fd, &dl, 0);
        ASSERT_NE(next, nullptr);
        EXPECT_STREQ(next->str, "next");
        EXPECT_EQ(len, 1);
        EXPECT_EQ(dl, delim_semi);
        EXPECT_EQ(fd[0], -1);
        EXPECT_EQ(fd[1], -1);
        EXPECT_EQ(count_open_fds(), before);
        EXPECT_EQ(read_file(dir / "out"), "old out\n");
        EXPECT_FALSE(file_exists(dir / "new"));
        EXPECT_FALSE(file_exists(dir / "app2"));
    }
    // Run: every file is opened in order, only the last of each side stays.
    {
        line_list l(line);
        int before = count_open_fds();
        int len, fd[2] = {-1, -1};
        delim dl;
        cmd_process(l.head(), &len, fd, &dl, 1);
        ASSERT_GE(fd[0], 0);
        ASSERT_GE(fd[1], 0);
        EXPECT_EQ(count_open_fds(), before + 2) << "replaced descriptors must be closed";
        EXPECT_EQ(read_all(fd[0]), "input\n");
        EXPECT_EQ(write(fd[1], "x\n", 2), 2);
        close(fd[0]);
        close(fd[1]);
        EXPECT_EQ(read_file(dir / "out"), "");
        EXPECT_EQ(read_file(dir / "app"), "old app\n");
        EXPECT_EQ(read_file(dir / "new"), "");
        EXPECT_EQ(read_file(dir / "app2"), "x\n");
    }
}

TEST(ExecCmdProcess, InputRedirectionReplacesAndClosesThePipe)
{
    temp_dir dir;
    write_file(dir / "f", "from f\n");
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    line_list l("cat < " + dir / "f");
    int len, fd[2] = {p[0], -1};
    delim dl;
    cmd_process(l.head(), &len, fd, &dl, 1);
    EXPECT_NE(fd[0], p[0]);
    EXPECT_TRUE(fd_is_closed(p[0]));
    EXPECT_EQ(read_all(fd[0]), "from f\n");
    close(fd[0]);
    close(p[1]);
}

TEST(ExecCmdProcessDeathTest, FatalRedirectionsOnlyWhenRun)
{
    temp_dir dir;
    const std::string missing = dir / "missing";
    line_list in("cat < " + missing), heredoc("cat << x"), dangling("cat");
    word_list_push(dangling.wl, ">", 1);  // a list the checker would not pass
    int len, fd[2] = {-1, -1};
    delim dl;
    // Skipped commands come back normally.
    EXPECT_EQ(cmd_process(in.head(), &len, fd, &dl, 0), nullptr);
    EXPECT_EQ(cmd_process(heredoc.head(), &len, fd, &dl, 0), nullptr);
    EXPECT_EQ(fd[0], -1);
    EXPECT_EQ(fd[1], -1);
    EXPECT_EXIT(cmd_process(in.head(), &len, fd, &dl, 1), testing::ExitedWithCode(2),
                "^" + missing + ": No such file or directory\n$");
    EXPECT_EXIT(cmd_process(heredoc.head(), &len, fd, &dl, 1), testing::ExitedWithCode(1),
                "^get_file_fd: unknown redir_option.\n$");
    EXPECT_EXIT(cmd_process(dangling.head(), &len, fd, &dl, 1), testing::ExitedWithCode(1),
                "^cmd_process: no file name.\n$");
}

TEST(ExecGetFileFd, ModesAndFlags)
{
    temp_dir dir;
    mode_t old_mask = umask(027);
    struct row {
        const char *name;
        const char *given;  // null: the file does not exist
        fd_opt opt;
        int access;
        bool append;
        const char *after_open;
    };
    const row rows[] = {
        {"r", "content\n", opt_r, O_RDONLY, false, "content\n"},
        {"w_existing", "content\n", opt_w, O_WRONLY, false, ""},
        {"w_new", nullptr, opt_w, O_WRONLY, false, ""},
        {"a_existing", "content\n", opt_a, O_WRONLY, true, "content\n"},
        {"a_new", nullptr, opt_a, O_WRONLY, true, ""},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        const std::string path = dir / r.name;
        if (r.given)
            write_file(path, r.given);
        int fd = get_file_fd(path.c_str(), r.opt);
        ASSERT_GE(fd, 0);
        int fl = fcntl(fd, F_GETFL);
        EXPECT_EQ(fl & O_ACCMODE, r.access);
        EXPECT_EQ((fl & O_APPEND) != 0, r.append);
        EXPECT_TRUE(fd_is_cloexec(fd));
        EXPECT_EQ(read_file(path), r.after_open);
        if (!r.given) {
            struct stat st;
            ASSERT_EQ(fstat(fd, &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0640u) << "0666 less the umask 027";
        }
        if (r.opt != opt_r) {
            EXPECT_EQ(write(fd, "+\n", 2), 2);
            EXPECT_EQ(read_file(path), std::string(r.after_open) + "+\n");
        }
        close(fd);
    }
    errno = 0;
    EXPECT_EQ(get_file_fd((dir / "missing").c_str(), opt_r), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(file_exists(dir / "missing"));
    EXPECT_EQ(get_file_fd(dir.path.c_str(), opt_w), -1);
    EXPECT_EQ(errno, EISDIR);
    umask(old_mask);
}

TEST(ExecGetFileFdDeathTest, RefusedModes)
{
    EXPECT_EXIT(get_file_fd("/dev/null", opt_rr), testing::ExitedWithCode(1),
                "^get_file_fd: unknown redir_option.\n$");
    EXPECT_EXIT(get_file_fd("/dev/null", opt_err), testing::ExitedWithCode(1),
                "^get_file_fd: unknown redir_option.\n$");
}

TEST(ExecDelimHandle, ReplacesAndClosesThePreviousDescriptor)
{
    temp_dir dir;
    write_file(dir / "a", "from a\n");
    write_file(dir / "b", "from b\n");
    write_file(dir / "d", "old d\n");
    int fd[2] = {-1, -1};

    word_delim_handle((dir / "a").c_str(), delim_redir_in, fd);
    int first_in = fd[0];
    ASSERT_GE(first_in, 0);
    EXPECT_EQ(fd[1], -1);
    word_delim_handle((dir / "b").c_str(), delim_redir_in, fd);
    EXPECT_NE(fd[0], first_in);
    EXPECT_TRUE(fd_is_closed(first_in));
    EXPECT_EQ(fd[1], -1);

    word_delim_handle((dir / "c").c_str(), delim_redir_out, fd);
    int first_out = fd[1];
    ASSERT_GE(first_out, 0);
    word_delim_handle((dir / "d").c_str(), delim_redir_out2, fd);
    EXPECT_NE(fd[1], first_out);
    EXPECT_TRUE(fd_is_closed(first_out));

    EXPECT_TRUE(fd_is_cloexec(fd[0]));
    EXPECT_TRUE(fd_is_cloexec(fd[1]));
    EXPECT_EQ(read_all(fd[0]), "from b\n");
    EXPECT_EQ(write(fd[1], "new\n", 4), 4);
    EXPECT_EQ(read_file(dir / "d"), "old d\nnew\n");
    EXPECT_EQ(read_file(dir / "c"), "");
    close(fd[0]);
    close(fd[1]);
}

TEST(ExecDelimHandleDeathTest, FailuresEndTheShell)
{
    temp_dir dir;
    const std::string missing = dir / "missing";
    int fd[2] = {-1, -1};
    EXPECT_EXIT(word_delim_handle(missing.c_str(), delim_redir_in, fd), testing::ExitedWithCode(2),
                "^" + missing + ": No such file or directory\n$");
    EXPECT_EXIT(word_delim_handle(dir.path.c_str(), delim_redir_out, fd),
                testing::ExitedWithCode(2), ": Is a directory\n$");
    EXPECT_EXIT(word_delim_handle((dir / "x").c_str(), delim_redir_in2, fd),
                testing::ExitedWithCode(1), "^get_file_fd: unknown redir_option.\n$");
    EXPECT_FALSE(file_exists(dir / "x"));
}

TEST(ExecCmdExecHandle, NoWordsClosesThePairAndStartsNothing)
{
    line_list l("> f");
    for (bool both : {true, false}) {
        SCOPED_TRACE(both ? "both set" : "only output set");
        int p[2];
        ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
        int fd[2] = {both ? p[0] : -1, p[1]};
        EXPECT_EQ(cmd_exec_handle(l.head(), 0, 1, fd), 0);
        EXPECT_TRUE(fd_is_closed(p[1]));
        if (both) {
            EXPECT_TRUE(fd_is_closed(p[0]));
        } else {
            char c;
            fcntl(p[0], F_SETFL, O_NONBLOCK);
            EXPECT_EQ(read(p[0], &c, 1), 0) << "the writer must be gone";
            close(p[0]);
        }
        EXPECT_EQ(fd[1], p[1]) << "the caller resets its pair, not the launcher";
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "no child may have been started";
    }
}

TEST(ExecCmdExecHandle, RunsTheCommandsWords)
{
    line_list l("sh -c 'exit 44' ignored ; more");
    int fd[2] = {-1, -1};
    EXPECT_EQ(cmd_exec_handle(l.head(), 3, 1, fd), 44);
}

TEST(ExecCmdExecHandleDeathTest, NoHead)
{
    int fd[2] = {-1, -1};
    EXPECT_EXIT(cmd_exec_handle(nullptr, 1, 1, fd), testing::ExitedWithCode(1),
                "^cmd_exec_handle: Failed, no head.\n$");
}

TEST(ExecForkExec, WaitedResults)
{
    struct row {
        std::vector<const char *> argv;
        int result;
    };
    const row rows[] = {
        {{"sh", "-c", "exit 0"}, 0},      {{"sh", "-c", "exit 44"}, 44},
        {{"sh", "-c", "exit 255"}, 255},  {{"false"}, 1},
        {{"sh", "-c", "kill -9 $$"}, -1}, {{"sh", "-c", "kill -15 $$"}, -1},
    };
    for (const row &r : rows) {
        std::vector<char *> argv;
        for (const char *a : r.argv)
            argv.push_back(const_cast<char *>(a));
        argv.push_back(nullptr);
        int fd[2] = {-1, -1};
        EXPECT_EQ(fork_exec_argv(argv.data(), fd, 1), r.result) << r.argv.back();
    }
}

TEST(ExecForkExec, FailedExecIsReportedByTheChild)
{
    const char *names[] = {"no_such_program_qsh", "/nonexistent/prog", "/tmp"};
    const char *texts[] = {"No such file or directory", "No such file or directory",
                           "Permission denied"};
    for (size_t i = 0; i < 3; i++) {
        char *argv[] = {const_cast<char *>(names[i]), nullptr};
        int fd[2] = {-1, -1};
        testing::internal::CaptureStderr();
        int res = fork_exec_argv(argv, fd, 1);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(res, 1) << names[i];
        EXPECT_EQ(err, std::string(names[i]) + ": " + texts[i] + "\n");
    }
}

TEST(ExecForkExec, NotWaitingGivesTheChildsPid)
{
    char *argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"),
                    const_cast<char *>("exit 7"), nullptr};
    int fd[2] = {-1, -1};
    int pid = fork_exec_argv(argv, fd, 0);
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid) << "the result is the pid of our own child";
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
}

TEST(ExecForkExec, NothingToStart)
{
    int fd[2] = {-1, -1};
    EXPECT_EQ(fork_exec_argv(nullptr, fd, 1), 0);
    char *empty[] = {nullptr};
    EXPECT_EQ(fork_exec_argv(empty, fd, 1), 0);
    EXPECT_EQ(fork_exec_argv(empty, fd, 0), 0);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
}

TEST(ExecForkExec, PairBecomesStdinAndStdoutAndIsClosedInTheShell)
{
    int in[2], out[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    ASSERT_EQ(write(in[1], "through cat\n", 12), 12);
    close(in[1]);
    char *argv[] = {const_cast<char *>("cat"), nullptr};
    int fd[2] = {in[0], out[1]};
    EXPECT_EQ(fork_exec_argv(argv, fd, 1), 0);
    EXPECT_TRUE(fd_is_closed(in[0]));
    ASSERT_TRUE(fd_is_closed(out[1])) << "reading would never see end of file";
    EXPECT_EQ(read_all(out[0]), "through cat\n");
    close(out[0]);
}

TEST(ExecForkExec, OnlyOneSideSet)
{
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    char *argv[] = {const_cast<char *>("echo"), const_cast<char *>("one side"), nullptr};
    int fd[2] = {-1, out[1]};
    EXPECT_EQ(fork_exec_argv(argv, fd, 1), 0);
    ASSERT_TRUE(fd_is_closed(out[1])) << "reading would never see end of file";
    EXPECT_EQ(read_all(out[0]), "one side\n");
    close(out[0]);
}

TEST(ExecBeforeExec, WaitFlagAndPipe)
{
    for (delim dl : {delim_err, delim_semi, delim_logical_and, delim_logical_or}) {
        int wait = -5, fd[2] = {-1, -1}, p[2] = {-1, -1};
        cmd_delim_handle_before_exec(dl, &wait, fd, p);
        EXPECT_EQ(wait, 1) << "delim " << dl;
        EXPECT_EQ(fd[1], -1);
        EXPECT_EQ(p[0], -1);
    }
    {
        int wait = 1, fd[2] = {-1, -1}, p[2] = {-1, -1};
        cmd_delim_handle_before_exec(delim_ampersand, &wait, fd, p);
        EXPECT_EQ(wait, 0);
        EXPECT_EQ(fd[1], -1);
        EXPECT_EQ(p[0], -1);
    }
    {
        int wait = 1, fd[2] = {-1, -1}, p[2] = {-1, -1};
        cmd_delim_handle_before_exec(delim_pipe, &wait, fd, p);
        EXPECT_EQ(wait, 0);
        ASSERT_GE(p[0], 0);
        ASSERT_GE(p[1], 0);
        EXPECT_EQ(fd[1], p[1]);
        EXPECT_EQ(fd[0], -1);
        EXPECT_TRUE(fd_is_cloexec(p[0]));
        EXPECT_TRUE(fd_is_cloexec(p[1]));
        close(p[0]);
        close(p[1]);
    }
    {
        // An output redirection already took the output: no pipe.
        int wait = 1, fd[2] = {-1, 123}, p[2] = {-1, -1};
        cmd_delim_handle_before_exec(delim_pipe, &wait, fd, p);
        EXPECT_EQ(wait, 0);
        EXPECT_EQ(fd[1], 123);
        EXPECT_EQ(p[0], -1);
        EXPECT_EQ(p[1], -1);
    }
}

// Leaves no free descriptor number (the limit is lowered first so that this
// is quick); for death tests, which run in a child process. The descriptors
// are given back when the child exits, before the destructors run: the
// sanitizers need a descriptor or two to check memory then.
int hoarded_fds[64];
int hoarded_cnt;

void give_back_descriptors()
{
    while (hoarded_cnt > 0)
        close(hoarded_fds[--hoarded_cnt]);
}

void use_up_descriptors()
{
    rlimit rl{64, 64};
    setrlimit(RLIMIT_NOFILE, &rl);
    atexit(give_back_descriptors);
    int fd;
    while (hoarded_cnt < 64 && (fd = open("/dev/null", O_RDONLY)) >= 0)
        hoarded_fds[hoarded_cnt++] = fd;
}

void pipe_without_descriptors()
{
    use_up_descriptors();
    int wait, fd[2] = {-1, -1}, p[2] = {-1, -1};
    cmd_delim_handle_before_exec(delim_pipe, &wait, fd, p);
}

TEST(ExecBeforeExecDeathTest, PipeFailureEndsTheShell)
{
    EXPECT_EXIT(pipe_without_descriptors(), testing::ExitedWithCode(1),
                "^cmd_delim_handle: Too many open files\n$");
}

// Runs a program without waiting; the child ends on its own.
pid_t start_child(std::vector<const char *> args, int *fd = nullptr)
{
    std::vector<char *> argv;
    for (const char *a : args)
        argv.push_back(const_cast<char *>(a));
    argv.push_back(nullptr);
    int none[2] = {-1, -1};
    return fork_exec_argv(argv.data(), fd ? fd : none, 0);
}

TEST(ExecPending, RecordsStagesAndWaitsForThemAfterAWaitedCommand)
{
    proc_list pending = {nullptr, 0, 0};
    std::vector<pid_t> stages;
    for (int i = 0; i < 40; i++) {  // more than the first allocation holds
        pid_t pid = start_child({"true"});
        ASSERT_GT(pid, 0);
        stages.push_back(pid);
        proc_wait_later_handle(&pending, delim_pipe, 0, pid);
    }
    EXPECT_EQ(pending.cnt, 40);
    for (int i = 0; i < 40; i++)
        EXPECT_EQ(pending.pid[i], stages[static_cast<size_t>(i)]);

    proc_wait_later_handle(&pending, delim_pipe, 0, 0);  // a stage that started nothing
    EXPECT_EQ(pending.cnt, 40);
    pid_t bg = start_child({"true"});
    ASSERT_GT(bg, 0);
    proc_wait_later_handle(&pending, delim_ampersand, 0, bg);  // never waited for
    EXPECT_EQ(pending.cnt, 40);

    proc_wait_later_handle(&pending, delim_semi, 1, 0);
    EXPECT_EQ(pending.cnt, 0);
    for (pid_t pid : stages)
        EXPECT_FALSE(child_uncollected(pid)) << "stage " << pid << " was not waited for";
    wait_until_ended(bg);
    EXPECT_TRUE(child_uncollected(bg)) << "the background child must be left alone";
    EXPECT_EQ(waitpid(bg, nullptr, 0), bg);
    free(pending.pid);
}

TEST(ExecPending, WaitedCommandsOfEveryKindCollectTheStages)
{
    for (delim dl : {delim_err, delim_semi, delim_logical_and, delim_logical_or}) {
        proc_list pending = {nullptr, 0, 0};
        pid_t pid = start_child({"true"});
        ASSERT_GT(pid, 0);
        proc_wait_later_handle(&pending, delim_pipe, 0, pid);
        proc_wait_later_handle(&pending, dl, 1, 0);
        EXPECT_EQ(pending.cnt, 0) << "delim " << dl;
        EXPECT_FALSE(child_uncollected(pid)) << "delim " << dl;
        free(pending.pid);
    }
}

TEST(ExecReap, CollectsEndedChildrenWithoutBlocking)
{
    int in[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    int fd[2] = {in[0], -1};
    pid_t running = start_child({"cat"}, fd);  // blocks reading until in[1] closes
    ASSERT_GT(running, 0);
    pid_t ended = start_child({"true"});
    ASSERT_GT(ended, 0);
    wait_until_ended(ended);

    proc_reap_finished();
    EXPECT_FALSE(child_uncollected(ended));
    EXPECT_EQ(waitpid(running, nullptr, WNOHANG), 0) << "a running child is not waited for";

    close(in[1]);
    int status = 0;
    EXPECT_EQ(waitpid(running, &status, 0), running);
    EXPECT_TRUE(WIFEXITED(status));
    proc_reap_finished();  // no children at all: returns at once
}

// The probe's pwd is replaced by scripts in a private PATH directory.
TEST(ExecProbe, TakesWhatPwdPrints)
{
    temp_dir dir;
    struct row {
        const char *script;
        const char *path;
    };
    const row rows[] = {
        {"echo /some/dir", "/some/dir"},     {"printf /no/newline", "/no/newline"},
        {"printf 'two\\n\\n'", "two\n"},     {":", ""},
        {"echo /failed; exit 3", "/failed"}, {"echo text; echo error >&2", "text"},
    };
    path_guard guard;
    setenv("PATH", dir.path.c_str(), 1);
    for (const row &r : rows) {
        SCOPED_TRACE(r.script);
        write_file(dir / "pwd", std::string("#!/bin/sh\n") + r.script + "\n", 0755);
        char buff[64];
        memset(buff, 'Z', sizeof buff);
        int before = count_open_fds();
        testing::internal::CaptureStderr();
        EXPECT_EQ(exec_get_current_path(buff, sizeof buff), 1);
        testing::internal::GetCapturedStderr();
        EXPECT_STREQ(buff, r.path);
        EXPECT_EQ(count_open_fds(), before);
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "pwd must have been collected";
    }
}

TEST(ExecProbe, ReadsTheRealWorkingDirectory)
{
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    const size_t n = strlen(cwd);
    ASSERT_GE(n, 4u);
    char buff[4096];
    EXPECT_EQ(exec_get_current_path(buff, sizeof buff), 1);
    EXPECT_STREQ(buff, cwd);
    // Too small a buffer keeps the first bufflen - 1 bytes.
    struct row {
        int bufflen;
        std::string want;
    };
    const row rows[] = {
        {5, std::string(cwd, 4)},
        {static_cast<int>(n), std::string(cwd, n - 1)},
        {static_cast<int>(n) + 1, cwd},  // the path without its newline
        {static_cast<int>(n) + 2, cwd},  // the path and the newline, which is dropped
        {1, ""},
    };
    for (const row &r : rows) {
        memset(buff, 'Z', sizeof buff);
        EXPECT_EQ(exec_get_current_path(buff, r.bufflen), 1) << r.bufflen;
        EXPECT_EQ(std::string(buff), r.want) << r.bufflen;
    }
}

TEST(ExecProbe, NoPwdOnPathGivesAnEmptyPath)
{
    temp_dir dir;  // empty
    path_guard guard;
    setenv("PATH", dir.path.c_str(), 1);
    char buff[64] = "left over";
    testing::internal::CaptureStderr();
    int res = exec_get_current_path(buff, sizeof buff);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(res, 1);
    EXPECT_STREQ(buff, "");
    EXPECT_EQ(err, "pwd: No such file or directory\n");
}

TEST(ExecProbe, NullBuffer)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(exec_get_current_path(nullptr, 10), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "get_current_path: buff = NULL\n");
}

void probe_without_descriptors()
{
    use_up_descriptors();
    char buff[16] = "unchanged";
    int res = exec_get_current_path(buff, sizeof buff);
    fprintf(stderr, "res=%d buff=%s\n", res, buff);
    fflush(stderr);
    _exit(0);
}

TEST(ExecProbeDeathTest, NoDescriptorsForThePipe)
{
    // The pipe cannot be made: 0 is returned and the buffer is left alone.
    EXPECT_EXIT(probe_without_descriptors(), testing::ExitedWithCode(0),
                "^res=0 buff=unchanged\n$");
}

}  // namespace
