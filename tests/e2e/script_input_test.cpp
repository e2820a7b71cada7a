// SPDX-License-Identifier: BSD-2-Clause
// A command that reads the shell's standard input gets exactly the rest of
// the script: the line after the one being run, whether the script comes
// from a regular file or a pipe, and however much script came before.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "run.h"

namespace {

struct reader_case {
    const char *name;
    qsh_mode mode;
    const char *reader;  // a command that reads one line of the script
};

void PrintTo(const reader_case &c, std::ostream *os)
{
    *os << c.name;
}

// GNU head over-reads but gives back what it did not use on a seekable input;
// dd bs=1 and sh's read take exactly one line from a pipe.
const reader_case reader_cases[] = {
    {"head_file", qsh_mode::file, "head -n 1"},
    {"dd_pipe", qsh_mode::pipe, "dd bs=1 count=6 status=none"},
    {"dd_file", qsh_mode::file, "dd bs=1 count=6 status=none"},
    {"read_pipe", qsh_mode::pipe, "sh -c 'read -r l; echo \"$l\"'"},
    {"read_file", qsh_mode::file, "sh -c 'read -r l; echo \"$l\"'"},
};

// Over 100 KB of script that prints nothing: empty lines, and one long line
// running a single command, so that any read-ahead would swallow the rest.
std::string long_prefix()
{
    std::string s(20000, '\n');
    s += "/bin/true";
    for (int i = 0; i < 10000; i++)
        s += " argument" + std::to_string(i);
    return s + "\n";
}

class ScriptInput : public testing::TestWithParam<reader_case> {};

TEST_P(ScriptInput, ReaderGetsTheNextLineAndTheScriptGoesOn)
{
    const reader_case &c = GetParam();
    for (const std::string &prefix : {std::string(), long_prefix()}) {
        SCOPED_TRACE("prefix of " + std::to_string(prefix.size()) + " bytes");
        qsh_run_opts o;
        o.mode = c.mode;
        o.input = prefix + c.reader + "\nhello\n/bin/echo after\n";
        qsh_result r = run_qsh(o);
        EXPECT_EQ(r.out, "hello\nafter\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Readers, ScriptInput, testing::ValuesIn(reader_cases),
                         [](const testing::TestParamInfo<reader_case> &i) { return i.param.name; });

// In a > f | b no pipe is made, so b reads the shell's own standard input:
// the next line of the script, after which the script goes on.
TEST(ScriptInput, PipelineStageWithoutPipeReadsTheNextLine)
{
    for (qsh_mode mode : {qsh_mode::pipe, qsh_mode::file}) {
        qsh_run_opts o;
        o.mode = mode;
        o.input =
            "/bin/echo x > f | sh -c 'read -r l; echo \"got $l\"'\n"
            "next line\n"
            "/bin/echo after\n";
        qsh_result r = run_qsh(o);
        EXPECT_TRUE(std::regex_match(r.out, std::regex("got next line\nafter\n[1-9][0-9]*\n")))
            << escape_bytes(r.out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
}

// A reader that takes all the rest leaves nothing to run; one that reads
// nothing leaves everything.
TEST(ScriptInput, ReaderTakingEverythingEndsTheScript)
{
    for (qsh_mode mode : {qsh_mode::pipe, qsh_mode::file}) {
        qsh_run_opts o;
        o.mode = mode;
        o.input = "cat\n/bin/echo not run\n";
        qsh_result r = run_qsh(o);
        EXPECT_EQ(r.out, "/bin/echo not run\n");
        o.input = "cat < /dev/null\n/bin/echo run\n";
        r = run_qsh(o);
        EXPECT_EQ(r.out, "run\n");
    }
}

// Standard input left non-blocking, with the script arriving only after qsh
// has started: "no data yet" must not be taken for the end of input.
TEST(ScriptInput, NonBlockingPipeIsWaitedOn)
{
    for (const char *arg : {"", "-s"}) {
        int in[2], out[2];
        ASSERT_EQ(pipe(in), 0);
        ASSERT_EQ(pipe(out), 0);
        ASSERT_EQ(fcntl(in[0], F_SETFL, fcntl(in[0], F_GETFL) | O_NONBLOCK), 0);
        const char *bin = qsh_exec_path();
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            for (int fd : {in[0], in[1], out[0], out[1]})
                close(fd);
            execl(bin, "qsh", *arg ? arg : nullptr, nullptr);
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        usleep(200000);  // qsh is reading an empty pipe by now
        const char script[] = "/bin/echo one\n";
        // A qsh that gave up early has closed the pipe: EPIPE, not SIGPIPE.
        void (*old_handler)(int) = signal(SIGPIPE, SIG_IGN);
        EXPECT_EQ(write(in[1], script, sizeof script - 1), static_cast<ssize_t>(sizeof script - 1));
        signal(SIGPIPE, old_handler);
        close(in[1]);
        std::string got = read_all(out[0]);
        close(out[0]);
        int status;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(got, *arg ? "[/bin/echo] [one]\n" : "one\n");
    }
}

}  // namespace
