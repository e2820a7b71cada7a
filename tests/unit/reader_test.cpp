// SPDX-License-Identifier: BSD-2-Clause
// The line reader, fed through descriptor 0 from a pipe or a regular file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "main.h"
#include "support.h"

namespace {

// While set, the reader's tee is refused; counts the refused calls.
bool tee_refused = false;
int tee_refusals = 0;

}  // namespace

// The reader's tee (declared in fcntl.h, so that this definition has C
// linkage): the linker takes this definition in the test program
// before the C library's. Refused with EINVAL (as Linux does when a
// descriptor is not a pipe) while tee_refused is set, the system call itself
// otherwise.
ssize_t tee(int fd_in, int fd_out, size_t len, unsigned int flags)
{
    if (tee_refused) {
        tee_refusals++;
        errno = EINVAL;
        return -1;
    }
    return syscall(SYS_tee, fd_in, fd_out, len, flags);
}

namespace {

// Refuses the reader's tee (when on) for as long as it lives.
struct tee_refusal {
    explicit tee_refusal(bool on = true)
    {
        tee_refused = on;
        tee_refusals = 0;
    }
    tee_refusal(const tee_refusal &) = delete;
    tee_refusal &operator=(const tee_refusal &) = delete;
    ~tee_refusal() { tee_refused = false; }
};

// Puts the given bytes on descriptor 0 for the reader and restores the
// original descriptor 0 afterwards.
class ReaderTest : public testing::Test {
protected:
    void SetUp() override
    {
        saved_stdin_ = dup(0);
        ASSERT_GE(saved_stdin_, 0);
    }
    void TearDown() override
    {
        input_reset();
        ASSERT_EQ(dup2(saved_stdin_, 0), 0);
        close(saved_stdin_);
    }

    // A regular file holds any amount of input.
    void feed_file(const std::string &data)
    {
        FILE *f = tmpfile();
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(fwrite(data.data(), 1, data.size(), f), data.size());
        ASSERT_EQ(fflush(f), 0);
        ASSERT_EQ(lseek(fileno(f), 0, SEEK_SET), 0);
        ASSERT_EQ(dup2(fileno(f), 0), 0);
        fclose(f);
        input_reset();
    }
    // A pipe whose writer has already gone: small inputs only.
    void feed_pipe(const std::string &data)
    {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        ASSERT_LT(data.size(), 4096u);
        ASSERT_EQ(write(fds[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
        close(fds[1]);
        ASSERT_EQ(dup2(fds[0], 0), 0);
        close(fds[0]);
        input_reset();
    }

    int saved_stdin_ = -1;
};

// Text without newlines or NULs, varied so that misplaced bytes show.
std::string line_text(size_t n)
{
    std::string s(n, ' ');
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>('!' + (i * 7 + i / 91) % 90);
    return s;
}

// A fresh buffer grows by doubling before a character would land at index
// capacity - 1, so the capacity ends as the first power-of-two multiple of
// 1024 above the line length.
TEST_F(ReaderTest, FreshBufferGrowth)
{
    const struct {
        size_t len;
        int cap;
    } rows[] = {
        {0, 1024},          {1, 1024},          {1022, 1024},       {1023, 1024},
        {1024, 2048},       {1025, 2048},       {2047, 2048},       {2048, 4096},
        {2049, 4096},       {4095, 4096},       {4096, 8192},       {4097, 8192},
        {8191, 8192},       {8192, 16384},      {8193, 16384},      {16383, 16384},
        {16384, 32768},     {16385, 32768},     {32767, 32768},     {32768, 65536},
        {32769, 65536},     {65535, 65536},     {65536, 131072},    {65537, 131072},
        {131071, 131072},   {131072, 262144},   {131073, 262144},   {262143, 262144},
        {262144, 524288},   {262145, 524288},   {524287, 524288},   {524288, 1048576},
        {524289, 1048576},  {1048575, 1048576}, {1048576, 2097152}, {1048577, 2097152},
        {2097151, 2097152}, {2097152, 4194304},
    };
    const std::string all = line_text(2097152);
    for (const auto &r : rows) {
        for (bool newline : {true, false}) {
            SCOPED_TRACE("length " + std::to_string(r.len) + (newline ? " with" : " without") +
                         " newline");
            const std::string text = all.substr(0, r.len);
            feed_file(newline ? text + "\n" : text);
            char *buf = nullptr;
            int size = 0;
            const input_state st = read_loop(&buf, &size);
            ASSERT_NE(buf, nullptr);
            EXPECT_EQ(st, newline ? st_exe_cont : r.len ? st_exe_fin : st_fin);
            EXPECT_EQ(size, r.cap);
            EXPECT_EQ(buf[r.len], '\0');
            EXPECT_TRUE(memcmp(buf, text.data(), r.len) == 0) << "text differs";
            free(buf);
        }
    }
}

// A continuation appends at the NUL of the text passed in, and the capacity
// doubles from the one passed in.
TEST_F(ReaderTest, ContinuationGrowth)
{
    const struct {
        size_t kept;
        int cap_in;
        size_t added;
        int cap_out;
    } rows[] = {
        {10, 1024, 0, 1024},
        {1000, 1024, 23, 1024},
        {1000, 1024, 24, 2048},
        {1023, 1024, 1, 2048},
        {2000, 2048, 47, 2048},
        {2000, 2048, 48, 4096},
        {2000, 2048, 5000, 8192},
        {100, 1500, 1399, 1500},
        {100, 1500, 1400, 3000},
        {100, 1500, 4000, 6000},
        {500000, 524288, 600000, 2097152},
        {0, 4096, 5000, 8192},
    };
    const std::string all = line_text(1200000);
    for (const auto &r : rows) {
        for (bool newline : {true, false}) {
            SCOPED_TRACE(std::to_string(r.kept) + " kept in " + std::to_string(r.cap_in) + ", " +
                         std::to_string(r.added) + " added" + (newline ? " with newline" : ""));
            const std::string kept = all.substr(0, r.kept);
            const std::string added = all.substr(r.kept, r.added);
            char *buf = static_cast<char *>(malloc(static_cast<size_t>(r.cap_in)));
            ASSERT_NE(buf, nullptr);
            memcpy(buf, kept.c_str(), kept.size() + 1);
            int size = r.cap_in;
            feed_file(newline ? added + "\n" : added);
            const input_state st = read_loop(&buf, &size);
            EXPECT_EQ(st, newline ? st_exe_cont : r.kept + r.added ? st_exe_fin : st_fin);
            EXPECT_EQ(size, r.cap_out);
            EXPECT_EQ(strlen(buf), r.kept + r.added);
            EXPECT_TRUE(buf == kept + added) << "joined text differs";
            free(buf);
        }
    }
}

// The states and texts of successive reads until end of input. Each read
// after the first starts from a fresh buffer, as the main loop does after a
// complete line; `kept` is text already in the buffer for the first read.
TEST_F(ReaderTest, StatesAndTexts)
{
    struct Read {
        input_state st;
        std::string text;  // may hold NUL bytes; the buffer holds it and a NUL
    };
    using namespace std::string_literals;
    const struct {
        const char *name;
        std::string input;
        const char *kept;
        std::vector<Read> reads;
    } rows[] = {
        {"line", "ls\n", nullptr, {{st_exe_cont, "ls"}, {st_fin, ""}}},
        {"no newline", "ls", nullptr, {{st_exe_fin, "ls"}, {st_fin, ""}}},
        {"empty", "", nullptr, {{st_fin, ""}}},
        {"empty line", "\n", nullptr, {{st_exe_cont, ""}, {st_fin, ""}}},
        {"two lines", "a\nb", nullptr, {{st_exe_cont, "a"}, {st_exe_fin, "b"}, {st_fin, ""}}},
        {"blank lines",
         "a\n\n\nb\n",
         nullptr,
         {{st_exe_cont, "a"},
          {st_exe_cont, ""},
          {st_exe_cont, ""},
          {st_exe_cont, "b"},
          {st_fin, ""}}},
        {"carriage return kept", "a\r\n", nullptr, {{st_exe_cont, "a\r"}, {st_fin, ""}}},
        {"NUL stored", "a\0b\n"s, nullptr, {{st_exe_cont, "a\0b"s}, {st_fin, ""}}},
        {"NUL at end", "ab\0"s, nullptr, {{st_exe_fin, "ab\0"s}, {st_fin, ""}}},
        {"continuation", "wc\n", "ls |", {{st_exe_cont, "ls |wc"}, {st_fin, ""}}},
        {"continuation at end of input", "", "echo 'a", {{st_exe_fin, "echo 'a"}, {st_fin, ""}}},
        {"continuation without newline",
         "b'",
         "echo 'a",
         {{st_exe_fin, "echo 'ab'"}, {st_fin, ""}}},
        {"empty continuation", "\n", "ls |", {{st_exe_cont, "ls |"}, {st_fin, ""}}},
    };
    // Without tee a pipe is read one byte at a time, with the same results.
    const struct {
        const char *name;
        bool pipe, refuse_tee;
    } sources[] = {
        {"pipe", true, false}, {"pipe, tee refused", true, true}, {"file", false, false}};
    for (const auto &r : rows) {
        for (const auto &src : sources) {
            SCOPED_TRACE(std::string(r.name) + " (" + src.name + ")");
            tee_refusal refusal(src.refuse_tee);
            if (src.pipe)
                feed_pipe(r.input);
            else
                feed_file(r.input);
            char *buf = nullptr;
            int size = 0;
            if (r.kept) {
                size = 1024;
                buf = static_cast<char *>(calloc(1, 1024));
                strcpy(buf, r.kept);
            }
            for (const Read &want : r.reads) {
                const input_state st = read_loop(&buf, &size);
                ASSERT_NE(buf, nullptr);
                EXPECT_EQ(st, want.st);
                EXPECT_EQ(size, 1024);
                EXPECT_EQ(std::string(buf, want.text.size() + 1), want.text + '\0');
                EXPECT_EQ(strlen(buf), strlen(want.text.c_str()));  // a NUL ends the C string
                free(buf);
                buf = nullptr;
                size = 0;
            }
            EXPECT_EQ(tee_refusals, src.refuse_tee ? 1 : 0);  // refused once, then not asked
        }
    }
}

// A pipe that tee refuses is read one byte at a time: once the first line is
// read and standard input handed over, the pipe still holds exactly the bytes
// after that line's newline, for a command to read.
TEST_F(ReaderTest, PipeWithoutTeeKeepsTheRestOfTheScript)
{
    const std::string rest = "cat\n\n x\ty \nlast";
    tee_refusal refusal;
    feed_pipe("first line\n" + rest);
    char *buf = nullptr;
    int size = 0;
    EXPECT_EQ(read_loop(&buf, &size), st_exe_cont);
    EXPECT_STREQ(buf, "first line");
    free(buf);
    input_sync();
    EXPECT_EQ(read_all(0), rest);
    EXPECT_EQ(tee_refusals, 1);
}

// A line longer than one block of read-ahead, followed by another line: the
// rest of the block is kept for the next read.
TEST_F(ReaderTest, LineAcrossReadBlocks)
{
    const std::string first = line_text(200000), second = "tail";
    feed_file(first + "\n" + second + "\n");
    char *buf = nullptr;
    int size = 0;
    EXPECT_EQ(read_loop(&buf, &size), st_exe_cont);
    EXPECT_TRUE(buf == first);
    EXPECT_EQ(size, 262144);
    free(buf);
    buf = nullptr;
    EXPECT_EQ(read_loop(&buf, &size), st_exe_cont);
    EXPECT_STREQ(buf, second.c_str());
    EXPECT_EQ(size, 1024);
    free(buf);
}

TEST_F(ReaderTest, NullBufferPointer)
{
    feed_pipe("ls\n");
    int size = 0;
    EXPECT_EQ(read_loop(nullptr, &size), st_fin);
    // Nothing was consumed: the line is still there for a real read.
    char *buf = nullptr;
    EXPECT_EQ(read_loop(&buf, &size), st_exe_cont);
    EXPECT_STREQ(buf, "ls");
    free(buf);
}

}  // namespace
