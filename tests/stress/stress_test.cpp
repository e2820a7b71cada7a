// SPDX-License-Identifier: BSD-2-Clause
// Stress tests: qsh under hostile input and tight resource limits. Each test
// runs the real binary through run_qsh and asserts that it ends normally
// (never by a signal), loses nothing and leaves nothing behind.
//
// Sizes are scaled down when the tests themselves are built with
// AddressSanitizer (the sanitizer build of qsh is many times slower), and
// the address-space limit test is skipped there: the sanitizer runtime
// reserves terabytes of address space at start-up.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "run.h"

namespace {

// The number of process-ID lines in out; any other line fails the test.
size_t count_pid_lines(const std::string &out)
{
    size_t pids = 0;
    for (const std::string &line : split_lines(out)) {
        if (is_pid(line))
            pids++;
        else
            ADD_FAILURE() << "unexpected line: " << escape_bytes(line);
    }
    return pids;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
constexpr size_t scale = 2;
#else
constexpr bool sanitized = false;
constexpr size_t scale = 1;
#endif

// The operators the checker can name in its complaint.
bool is_syntax_message(const std::string &line)
{
    static const std::set<std::string> ops = {";", "&", "|", "<", ">", "&&", "||", "<<", ">>"};
    const std::string head = "Error: '", tail = "' is unexpected.";
    if (line.size() < head.size() + tail.size() || line.compare(0, head.size(), head) != 0 ||
        line.compare(line.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    return ops.count(line.substr(head.size(), line.size() - head.size() - tail.size())) == 1;
}

std::string repeat(const std::string &s, size_t n)
{
    std::string r;
    r.reserve(s.size() * n);
    for (size_t i = 0; i < n; i++)
        r += s;
    return r;
}

// ---------------------------------------------------------------------------
// Long lines through -s: the line buffer and the rebuilt-word buffer grow
// far past their first sizes, and the output still matches token for token.

TEST(Stress, FiftyMegabyteLineThroughTokenPrinter)
{
    const size_t mb = 50 / scale;
    struct row {
        const char *what;
        std::string unit;      // repeated to fill the line
        std::string unit_out;  // its tokens as printed
        std::string prefix, suffix, prefix_out, suffix_out;
    } rows[] = {
        // One word: everything inside single quotes is text.
        {"one quoted word", "a b|c;d\\e", "a b|c;d\\e", "'", "'\n", "[", "]\n"},
        // Many tokens of every kind.
        {"many tokens", "ab 'c d' e\\;f && \"g'h\"|i ", "[ab] [c d] [e;f] [&&] [g'h] [|] [i] ", "",
         "end\n", "", "[end]\n"},
    };
    for (const row &w : rows) {
        SCOPED_TRACE(w.what);
        size_t n = mb * 1000 * 1000 / w.unit.size();
        qsh_run_opts o;
        o.args = {"-s"};
        o.input = w.prefix + repeat(w.unit, n) + w.suffix;
        o.timeout_sec = 120;
        qsh_result r = run_qsh(o);
        expect_normal_end(r);
        EXPECT_EQ(r.err, "");
        std::string want = w.prefix_out + repeat(w.unit_out, n) + w.suffix_out;
        EXPECT_EQ(r.out.size(), want.size());
        EXPECT_TRUE(r.out == want) << "output differs from the expected tokens";
    }
}

// ---------------------------------------------------------------------------
// Random bytes: every byte value, NULs and unbalanced quotes included.

TEST(Stress, RandomBytesThroughTokenPrinter)
{
    for (uint64_t seed : {1u, 2u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        qsh_run_opts o;
        o.args = {"-s"};
        o.input = random_bytes(2 * 1000 * 1000 / scale, seed);
        o.timeout_sec = 120;
        qsh_result r = run_qsh(o);
        expect_normal_end(r);
        EXPECT_FALSE(r.out.empty());
        // Standard error carries nothing but the checker's complaints.
        for (const std::string &line : split_lines(r.err))
            ASSERT_TRUE(is_syntax_message(line)) << escape_bytes(line);
    }
}

// The same through the executor, with PATH naming an empty directory so that
// no command can be found. '/' is left out so that no program is reached by
// its path; '<' and '>' are left out because a redirection to a random name
// soon hits a fatal stop (a missing input file, "<<", a name too long for the
// file system) that would end the run within the first kilobytes.
TEST(Stress, RandomBytesThroughExecutor)
{
    temp_dir empty;
    qsh_run_opts o;
    o.input = random_bytes(2 * 1000 * 1000 / scale, 3, "/<>");
    o.env = {"PATH=" + empty.path};
    o.timeout_sec = 240;
    qsh_result r = run_qsh(o);
    expect_normal_end(r);
    // Standard output holds only the process IDs of commands started
    // without waiting (0 for one that starts nothing).
    std::vector<std::string> lines = split_lines(r.out);
    EXPECT_GT(lines.size(), 100u);
    for (const std::string &line : lines)
        ASSERT_TRUE(is_number(line)) << escape_bytes(line);
    EXPECT_NE(r.err.find("No such file or directory"), std::string::npos);
}

// ---------------------------------------------------------------------------
// A 2,000-stage pipeline with at most 32 open descriptors: the shell must
// close its copies of every pipe end as it goes.

TEST(Stress, LongPipelineUnderDescriptorLimit)
{
    const size_t stages = 2000 / scale;
    struct row {
        const char *what;
        const char *joint;  // between two stages
    } rows[] = {{"one line", " | "}, {"one stage per line", " |\n"}};
    for (const row &w : rows) {
        SCOPED_TRACE(w.what);
        temp_dir dir;
        qsh_run_opts o;
        o.cwd = dir.path;
        // The last stage writes to a file: on standard output the data
        // could land in the middle of the shell's buffered process IDs.
        o.input = "echo through";
        for (size_t i = 1; i < stages; i++)
            o.input += std::string(w.joint) + "cat";
        o.input += " > out\n";
        o.in_child = [] {
            rlimit rl{32, 32};
            setrlimit(RLIMIT_NOFILE, &rl);
        };
        o.timeout_sec = 120;
        qsh_result r = run_qsh(o);
        expect_normal_end(r);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(read_file(dir.path + "/out"), "through\n");
        // One process ID for every stage but the last, which was waited for.
        EXPECT_EQ(count_pid_lines(r.out), stages - 1);
    }
}

// ---------------------------------------------------------------------------
// 10,000 background commands: afterwards no zombie is left and the shell
// holds the same descriptors as before. A probe script, run by qsh as a
// waited command, reports on its parent (qsh) from the inside.

TEST(Stress, TenThousandBackgroundCommands)
{
    const size_t count = 10000 / scale;
    temp_dir dir;
    // Counts qsh's children that are still running (R, S, D) or zombies.
    write_file(dir / "count",
               "running=0 zombies=0\n"
               "for f in /proc/[0-9]*/stat; do\n"
               "  s=$(cat \"$f\" 2>/dev/null) || continue\n"
               "  set -- ${s##*) }\n"
               "  [ \"$2\" = \"$PPID\" ] || continue\n"
               "  [ \"$f\" = /proc/$$/stat ] && continue\n"
               "  if [ \"$1\" = Z ]; then zombies=$((zombies + 1))\n"
               "  else running=$((running + 1)); fi\n"
               "done\n");
    write_file(dir / "probe",
               "echo fds: $(ls /proc/$PPID/fd) >&2\n"
               ". ./count\n"
               "echo zombies: $zombies >&2\n");
    // Waits until every background child has ended; qsh collects them once
    // this line is done.
    write_file(dir / "settle", "while . ./count; [ $running -gt 0 ]; do sleep 0.1; done\n");
    qsh_run_opts o;
    o.cwd = dir.path;
    // The probe reports on standard error, apart from the process IDs on
    // stdout, and without a redirection that would open a file in qsh.
    o.input = "sh probe\n" + repeat("true &\n", count) + "sh settle\nsh probe\n";
    o.timeout_sec = 240;
    qsh_result r = run_qsh(o);
    expect_normal_end(r);
    EXPECT_EQ(count_pid_lines(r.out), count);
    // Two reports: before and after; the descriptors are the same and no
    // zombie is left.
    std::vector<std::string> report = split_lines(r.err);
    ASSERT_EQ(report.size(), 4u) << escape_bytes(r.err);
    EXPECT_TRUE(report[0].starts_with("fds: 0 1 2")) << report[0];
    EXPECT_EQ(report[1], "zombies: 0");
    EXPECT_EQ(report[2], report[0]);
    EXPECT_EQ(report[3], "zombies: 0");
}

// ---------------------------------------------------------------------------
// Two writers appending to one file at the same time, each line a separate
// write: O_APPEND keeps every line whole and none is lost.

TEST(Stress, ConcurrentAppendsLoseNothing)
{
    const int lines = 1000;
    temp_dir dir;
    auto writer = [&](char tag) {
        return std::string("sh -c 'i=0; while [ $i -lt ") + std::to_string(lines) + " ]; do echo " +
               tag + "$i; i=$((i + 1)); done' >> f";
    };
    qsh_run_opts o;
    o.cwd = dir.path;
    o.input = writer('a') + " & " + writer('b') + "\n";
    o.kill_leftovers = false;  // the background writer may still be running
    qsh_result r = run_qsh(o);
    expect_normal_end(r);
    EXPECT_EQ(r.err, "");

    // Wait (generously) for the background writer to finish.
    std::string text;
    for (int i = 0; i < 600; i++) {
        text = read_file(dir.path + "/f");
        if (std::count(text.begin(), text.end(), '\n') >= 2 * lines)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    text = read_file(dir.path + "/f");
    std::vector<std::string> got = split_lines(text);
    ASSERT_EQ(got.size(), static_cast<size_t>(2 * lines));
    // Every line whole, each once, each writer's lines in its own order.
    int next[2] = {0, 0};
    for (const std::string &line : got) {
        ASSERT_TRUE(line.size() >= 2 && (line[0] == 'a' || line[0] == 'b') &&
                    is_number(line.substr(1)))
            << escape_bytes(line);
        int w = line[0] - 'a';
        EXPECT_EQ(std::stoi(line.substr(1)), next[w]) << line;
        next[w] = std::stoi(line.substr(1)) + 1;
    }
    EXPECT_EQ(next[0], lines);
    EXPECT_EQ(next[1], lines);
}

// ---------------------------------------------------------------------------
// A huge line under a small address-space limit: allocation fails somewhere
// (the line buffer, or the rebuilt word) and qsh reports it perror-style
// and exits with status 1, never by a signal.

TEST(Stress, HugeLineUnderAddressSpaceLimit)
{
    if (sanitized)
        GTEST_SKIP() << "the sanitizer runtime needs an unlimited address space";
    struct row {
        const char *what;
        std::vector<std::string> args;
        qsh_mode mode;
        rlim_t limit_mb;
        std::string input;
    } rows[] = {
        // A pipe is read one byte at a time (commands may share it), so
        // this row fails early, under a lower limit, to stay quick.
        {"line buffer, executor, pipe", {}, qsh_mode::pipe, 24, std::string(64 << 20, 'a') + "\n"},
        {"line buffer, -s, regular file",
         {"-s"},
         qsh_mode::file,
         48,
         std::string(128 << 20, 'a') + "\n"},
        {"line buffer, no newline", {"-s"}, qsh_mode::file, 48, std::string(128 << 20, 'a')},
        // The line fits; its rebuilt word, grown next to it, does not.
        {"rebuilt word", {"-s"}, qsh_mode::file, 64, "'" + std::string(20 << 20, 'w') + "'\n"},
    };
    for (const row &w : rows) {
        SCOPED_TRACE(w.what);
        qsh_run_opts o;
        o.args = w.args;
        o.mode = w.mode;
        o.input = w.input;
        rlim_t limit = w.limit_mb << 20;
        o.in_child = [limit] {
            rlimit rl{limit, limit};
            setrlimit(RLIMIT_AS, &rl);
        };
        o.timeout_sec = 60;
        qsh_result r = run_qsh(o);
        expect_normal_end(r, 1);
        EXPECT_EQ(r.err, "qsh: Cannot allocate memory\n");
        EXPECT_EQ(r.out, "");
    }
}

}  // namespace
