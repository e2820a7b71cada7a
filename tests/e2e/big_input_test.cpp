// SPDX-License-Identifier: BSD-2-Clause
// Large and hostile input through the real binary: lines of 100 MB, a
// million tokens, long quoted words, line lengths around the buffer sizes,
// NUL bytes and random binary data, unbalanced quotes at end of input, and
// running out of memory. Expected output is generated, not stored.
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "run.h"

namespace {

#ifdef __SANITIZE_ADDRESS__
// Sanitized builds run several times slower: scale the big inputs down.
constexpr size_t big = 32u << 20;
constexpr int big_timeout = 300;
#else
constexpr size_t big = 100u << 20;
constexpr int big_timeout = 120;
#endif

// Compares large texts without printing them whole: on a difference, shows
// the sizes and the first differing offset with some context, escaped.
testing::AssertionResult same_text(const std::string &got, const std::string &want)
{
    if (got == want)
        return testing::AssertionSuccess();
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i])
        i++;
    size_t from = i > 40 ? i - 40 : 0;
    return testing::AssertionFailure()
           << "output of " << got.size() << " bytes, expected " << want.size()
           << " bytes; first difference at offset " << i << "\n  expected: ..."
           << escape_bytes(want.substr(from, 120)) << "\n  actual:   ..."
           << escape_bytes(got.substr(from, 120));
}

qsh_result run_s(const std::string &input, qsh_mode mode = qsh_mode::pipe,
                 int timeout = big_timeout)
{
    qsh_run_opts o;
    o.args = {"-s"};
    o.input = input;
    o.mode = mode;
    o.timeout_sec = timeout;
    return run_qsh(o);
}

// Letters that vary along the text, so that a shifted or repeated piece of
// output does not compare equal by accident.
std::string pattern_text(size_t len, size_t seed = 0)
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string s(len, 'x');
    for (size_t i = 0; i < len; i++)
        s[i] = letters[(i * 7 + i / 61 + seed) % 62];
    return s;
}

TEST(BigInput, OneWordOf100MB)
{
    std::string word = pattern_text(big);
    qsh_result r = run_s(word + "\n");
    expect_normal_end(r);
    EXPECT_TRUE(same_text(r.out, "[" + word + "]\n"));
    EXPECT_EQ(r.err, "");
}

TEST(BigInput, LineOf100MBWithManyWords)
{
    // Words of 1 to 200 characters separated by one to three blanks or tabs.
    std::string line, want;
    line.reserve(big + 256);
    want.reserve(big + big / 40);
    for (size_t n = 0; line.size() < big; n++) {
        std::string w = pattern_text(1 + (n * 37) % 200, n);
        line += w;
        line += n % 3 == 0 ? " " : n % 3 == 1 ? "\t\t" : " \t ";
        want += "[" + w + "] ";
    }
    want.back() = '\n';
    qsh_result r = run_s(line + "\n");
    expect_normal_end(r);
    EXPECT_TRUE(same_text(r.out, want));
    EXPECT_EQ(r.err, "");
}

TEST(BigInput, MillionTokensOnOneLine)
{
    // A cycle of words and every operator the checker accepts between them.
    static const char *const cycle[] = {"w", "|", "x1", "&&", "yy", ";",  "z", "||",
                                        "a", ">", "f",  "<",  "g",  ">>", "h", "&"};
    const size_t tokens = 1000000;
    std::string line, want;
    for (size_t i = 0; i < tokens; i++) {
        const char *t = cycle[i % 16];
        line += t;
        line += ' ';
        want += "[";
        want += t;
        want += i + 1 < tokens ? "] " : "]\n";
    }
    qsh_result r = run_s(line + "\n");
    expect_normal_end(r);
    EXPECT_TRUE(same_text(r.out, want));
    EXPECT_EQ(r.err, "");
}

TEST(BigInput, LongQuotedWordsAreKeptWhole)
{
    // The text holds blanks, operator characters and the other quote, all
    // of which are word text inside quotes.
    std::string text;
    for (size_t i = 0; text.size() < 10000; i++)
        text += i % 5 == 0 ? " " : i % 7 == 0 ? ";|&<>" : pattern_text(1 + i % 9, i);
    text.resize(10000);
    std::string sq = text, dq = text;
    for (char &c : sq)
        if (c == '\'')
            c = '"';
    for (char &c : dq)
        if (c == '"')
            c = '\'';
    std::string escaped;
    for (char c : text)
        escaped += std::string("\\") + c;
    struct row {
        const char *what;
        std::string line, word;
    } rows[] = {
        {"single quotes", "'" + sq + "'", sq},
        {"double quotes", "\"" + dq + "\"", dq},
        {"every character escaped", escaped, text},
        {"quoted parts and a bare part", "a'" + sq + "'b\"" + dq + "\"c",
         "a" + sq + "b" + dq + "c"},
    };
    for (const row &w : rows) {
        for (qsh_mode m : {qsh_mode::pipe, qsh_mode::file}) {
            qsh_result r = run_s("x " + w.line + " y\n", m);
            expect_normal_end(r);
            EXPECT_TRUE(same_text(r.out, "[x] [" + w.word + "] [y]\n")) << w.what;
        }
    }
}

TEST(BigInput, LineLengthsAroundTheBufferSizes)
{
    // The line buffer starts at 1024 bytes and doubles; the -s printer
    // hands out 4096 bytes at a time; input is read and -s output written in
    // pieces of 64 KB. Lines and quoted words of lengths around those sizes,
    // and a continuation that crosses them, come out whole.
    std::string input, want;
    for (size_t len : {1022, 1023, 1024, 1025, 2047, 2048, 2049, 4095, 4096, 4097, 8192, 65533,
                       65535, 65536, 65537}) {
        std::string w = pattern_text(len, len);
        input += w + "\n";
        want += "[" + w + "]\n";
        std::string q = pattern_text(len - 2, len);
        input += "'" + q + "'\n";
        want += "[" + q + "]\n";
    }
    for (size_t len : {1019, 1020, 1021, 4092, 4093}) {
        // "<word> |" followed by a continuation line: the joined text passes
        // the boundary while the second line is read.
        std::string a = pattern_text(len - 2, len), b = pattern_text(10, len);
        input += a + " |\n" + b + "\n";
        want += "[" + a + "] [|] [" + b + "]\n";
    }
    std::string word_a = pattern_text(3000, 1), word_b = pattern_text(3000, 2);
    input += "'" + word_a + "\n" + word_b + "'\n";  // one quoted word over two lines
    want += "[" + word_a + word_b + "]\n";
    for (qsh_mode m : {qsh_mode::pipe, qsh_mode::file}) {
        qsh_result r = run_s(input, m, 60);
        expect_normal_end(r);
        EXPECT_TRUE(same_text(r.out, want)) << (m == qsh_mode::pipe ? "pipe" : "file");
        EXPECT_EQ(r.err, "");
    }
}

TEST(BigInput, NulBytes)
{
    std::string nuls(1 << 20, '\0');
    std::string input = std::string("a\0b\n", 4) + "x" + nuls + "y z\n" + nuls + "\n" +
                        std::string("\0\0\0'\n", 5) + "echo '" + nuls + "\n" + "q'\n" + "last" +
                        nuls;
    std::string want = "[a]\n[x]\n[echo] [q]\n[last]\n";
    for (qsh_mode m : {qsh_mode::pipe, qsh_mode::file}) {
        qsh_result r = run_s(input, m, 60);
        expect_normal_end(r);
        EXPECT_TRUE(same_text(r.out, want));
        EXPECT_EQ(r.err, "");
    }
}

TEST(BigInput, UnbalancedQuotesAtEndOfInputPrintNothing)
{
    // About 10,000 continuation lines of one open quote: checking resumes
    // where it stopped, so this stays fast.
    std::string body = pattern_text(1 << 20);
    for (size_t i = 100; i < body.size(); i += 100)
        body[i] = '\n';
    struct row {
        std::string input, out;
    } rows[] = {
        {"'" + body, ""},       {"\"" + body + "\n", ""}, {"a b\n'" + body + "\n", "[a] [b]\n"},
        {"a |\n\"" + body, ""}, {"echo \"it's\n", ""},
    };
    for (const row &w : rows) {
        for (qsh_mode m : {qsh_mode::pipe, qsh_mode::file}) {
            qsh_result r = run_s(w.input, m, 60);
            expect_normal_end(r);
            EXPECT_EQ(r.out, w.out);
            EXPECT_EQ(r.err, "");
        }
    }
}

// What qsh -s prints for a given non-terminal input, computed from the
// rules of the reader, the checker and the tokenizer, one byte at a time.
// Used as an independent reference for inputs too irregular to write down.
struct reference_shell {
    std::string out, err;

    static bool is_space(char c)
    {
        return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
    }
    static bool is_op(char c) { return c == '&' || c == ';' || c == '<' || c == '>' || c == '|'; }
    static bool is_pair(const std::string &t, size_t i)
    {
        return i + 1 < t.size() && t[i + 1] == t[i] && t[i] != ';';
    }
    static void quote_rule(char c, int &sq, int &dq, int &inq)
    {
        if (c == '\'' && !dq) {
            sq = !sq;
            inq = sq;
        } else if (c == '"' && !sq) {
            dq = !dq;
            inq = dq;
        }
    }

    enum verdict { ok, cont, bad };
    enum side { lside, rside, bside };

    static side op_side(const std::string &t, size_t i, size_t &len)
    {
        len = is_pair(t, i) ? 2 : 1;
        char c = t[i];
        if (c == '<' || c == '>')
            return rside;
        if (c == '|' || (c == '&' && len == 2))
            return bside;
        return lside;
    }

    // The checker; may turn a final escaping backslash into a blank.
    static verdict check(std::string &t, size_t &err_pos, size_t &err_len)
    {
        int sq = 0, dq = 0, inq = 0, cmd = 0;
        size_t i = 0;
        while (i < t.size()) {
            char c = t[i];
            if (!inq) {
                if (is_op(c)) {
                    size_t len;
                    side s = op_side(t, i, len);
                    if (s != rside && !cmd) {
                        err_pos = i;
                        err_len = len;
                        return bad;
                    }
                    if (s != lside) {
                        size_t j = i + len;
                        while (j < t.size() && is_space(t[j]))
                            j++;
                        if (j == t.size()) {
                            if (s == bside)
                                return cont;
                            err_pos = i;
                            err_len = len;
                            return bad;
                        }
                        if (is_op(t[j])) {
                            err_pos = j;
                            op_side(t, j, err_len);
                            return bad;
                        }
                    }
                    cmd = 0;
                    i += len;
                    continue;
                }
                if (c == '\\') {
                    if (i + 1 == t.size()) {
                        t[i] = ' ';
                        return cont;
                    }
                    i++;
                    cmd = 1;
                } else if (!is_space(c)) {
                    cmd = 1;
                }
            }
            if (c == '\'' || c == '"')
                quote_rule(c, sq, dq, inq);
            i++;
        }
        return inq ? cont : ok;
    }

    static std::vector<std::string> tokens(const std::string &t)
    {
        std::vector<std::string> r;
        size_t i = 0;
        while (i < t.size()) {
            while (i < t.size() && is_space(t[i]))
                i++;
            if (i == t.size())
                break;
            if (is_op(t[i])) {
                size_t len = is_pair(t, i) ? 2 : 1;
                r.push_back(t.substr(i, len));
                i += len;
                continue;
            }
            int sq = 0, dq = 0, inq = 0;
            std::string w;
            for (; i < t.size(); i++) {
                char c = t[i];
                if (c == '\'' || c == '"') {
                    int was = inq;
                    quote_rule(c, sq, dq, inq);
                    if (inq != was)
                        continue;
                }
                if (!inq) {
                    if (is_space(c) || is_op(c))
                        break;
                    if (c == '\\')
                        c = t[++i];
                }
                w += c;
            }
            r.push_back(w);
        }
        return r;
    }

    explicit reference_shell(const std::string &in)
    {
        std::string buf;  // the line buffer; its text ends at the first NUL
        size_t pos = 0;
        for (;;) {
            // A continuation is appended where the text ends.
            buf.resize(std::min(buf.size(), buf.find('\0')));
            bool newline = false;
            while (pos < in.size()) {
                char c = in[pos++];
                if (c == '\n') {
                    newline = true;
                    break;
                }
                buf += c;
            }
            if (!newline && buf.empty())
                return;
            bool last = !newline;
            std::string text = buf.substr(0, buf.find('\0'));
            size_t err_pos = 0, err_len = 0;
            verdict v = check(text, err_pos, err_len);
            buf.replace(0, text.size(), text);
            if (v == cont) {
                if (!last)
                    continue;
                v = check(text, err_pos, err_len);
                if (v == cont)
                    return;
            }
            if (v == bad) {
                err += "Error: '" + text.substr(err_pos, err_len) + "' is unexpected.\n";
            } else {
                auto ts = tokens(text);
                for (size_t k = 0; k < ts.size(); k++)
                    out += "[" + ts[k] + (k + 1 < ts.size() ? "] " : "]\n");
            }
            buf.clear();
            if (last)
                return;
        }
    }
};

TEST(BigInput, ReferenceAgreesOnHandWrittenLines)
{
    // The reference itself, on lines whose output is known.
    reference_shell ref("ls -l | wc\n; x\na'b c'd\necho a\\\nb\nls |\n| wc\nx\\");
    EXPECT_EQ(ref.out, "[ls] [-l] [|] [wc]\n[ab cd]\n[echo] [a] [b]\n[ls] [||] [wc]\n[x]\n");
    EXPECT_EQ(ref.err, "Error: ';' is unexpected.\n");
    static const char input2[] = "ls >>> f\nx <> y\na\0'\nls &&\n& x\n'open";
    reference_shell ref2(std::string(input2, sizeof input2 - 1));
    EXPECT_EQ(ref2.out, "[a]\n");
    EXPECT_EQ(ref2.err,
              "Error: '>' is unexpected.\nError: '>' is unexpected.\n"
              "Error: '&' is unexpected.\n");
}

// qsh -s on data, through a pipe and a file, prints exactly what the
// reference computes; the data must produce both tokens and complaints.
void expect_as_reference(const std::string &data)
{
    reference_shell ref(data);
    ASSERT_FALSE(ref.out.empty());
    ASSERT_FALSE(ref.err.empty());
    for (qsh_mode m : {qsh_mode::pipe, qsh_mode::file}) {
        qsh_result r = run_s(data, m, 120);
        expect_normal_end(r);
        EXPECT_TRUE(same_text(r.out, ref.out));
        EXPECT_TRUE(same_text(r.err, ref.err));
    }
}

TEST(BigInput, RandomBinaryThroughS)
{
#ifdef __SANITIZE_ADDRESS__
    const size_t n = 256u << 10;
#else
    const size_t n = 1u << 20;
#endif
    std::string data = random_bytes(n, 20240601);
    expect_as_reference(data);
}

TEST(BigInput, RandomLinesOfOperatorsQuotesAndBackslashes)
{
    // Short lines drawn from the characters that matter to the checker and
    // the tokenizer, so that operators, quotes and backslashes meet at line
    // ends and continuation lines are joined in every combination.
    static const char alphabet[] = "ab  \t|&;<>'\"\\\n\n\n";
    std::mt19937 gen(7);
    std::string data(256u << 10, ' ');
    for (char &c : data)
        c = alphabet[gen() % (sizeof alphabet - 1)];
    expect_as_reference(data);
}

TEST(BigInput, RandomBinaryRunWithNoProgramsOnPath)
{
    // Every command fails to start, so the shell only forks, prints the
    // process IDs of commands it does not wait for, and goes on. Redirection
    // characters are taken out: a missing input file ends the shell by
    // design, and output files would land anywhere the random names point.
#ifdef __SANITIZE_ADDRESS__
    const size_t n = 64u << 10;
#else
    const size_t n = 1u << 20;
#endif
    std::string data = random_bytes(n, 20240602, "<>");
    temp_dir dir;
    std::string empty = dir / "empty";
    ASSERT_EQ(mkdir(empty.c_str(), 0755), 0);
    qsh_run_opts o;
    o.input = data;
    o.cwd = dir.path;
    o.env = {"PATH=" + empty};
    o.timeout_sec = 240;
    qsh_result r = run_qsh(o);
    expect_normal_end(r);
    // Standard output holds process IDs only.
    size_t lines = 0;
    for (size_t b = 0; b < r.out.size(); lines++) {
        size_t e = r.out.find('\n', b);
        ASSERT_NE(e, std::string::npos) << "unterminated last line";
        std::string line = r.out.substr(b, e - b);
        ASSERT_TRUE(!line.empty() && line.find_first_not_of("0123456789") == std::string::npos)
            << "not a process ID: " << escape_bytes(line);
        b = e + 1;
    }
    EXPECT_GT(lines, 0u);
    EXPECT_NE(r.err.find("pwd: No such file or directory\n"), std::string::npos);
    EXPECT_EQ(r.err.find("qsh:"), std::string::npos);
    // Nothing may have been created in the working directory.
    int entries = 0;
    for (const auto &e : std::filesystem::directory_iterator(dir.path)) {
        (void)e;
        entries++;
    }
    EXPECT_EQ(entries, 1);
}

// Lowers the address-space limit of qsh to the given number of bytes.
std::function<void()> limit_memory(rlim_t bytes)
{
    return [bytes] {
        rlimit rl{bytes, bytes};
        setrlimit(RLIMIT_AS, &rl);
    };
}

TEST(OutOfMemory, HugeLineEndsWithStatus1AndAMessage)
{
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer reserves terabytes of address space; RLIMIT_AS cannot work";
#endif
    for (bool quoted : {false, true}) {
        qsh_run_opts o;
        o.args = {"-s"};
        std::string word(300u << 20, 'a');
        o.input = quoted ? "x '" + word + "'\n" : word + "\n";
        o.in_child = limit_memory(64u << 20);
        o.timeout_sec = 60;
        qsh_result r = run_qsh(o);
        EXPECT_EQ(r.error, "");
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "qsh: Cannot allocate memory\n");
    }
}

TEST(OutOfMemory, MemoryRunsOutWhileTheLineIsSplit)
{
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer reserves terabytes of address space; RLIMIT_AS cannot work";
#endif
    // Lines of 40 MB: the line buffer grows to 64 MB, which fits under the
    // limit, as the first row shows (a word and blanks give one token). Eight
    // million tokens, bare or quoted, need far more than the limit for their
    // nodes and strings, so memory runs out after the line was read, while it
    // is split: the shell must still end with status 1 and the message.
    const size_t len = 40u << 20;
    const rlim_t limit = 128u << 20;
    std::string blanks = "a" + std::string(len - 1, ' ');
    std::string bare, quoted;
    while (bare.size() < len)
        bare += "ab ";
    while (quoted.size() < len)
        quoted += "'a b' ";
    struct row {
        const char *what;
        std::string line;
        bool fits;
    } rows[] = {{"one word and blanks", blanks, true},
                {"bare words", bare, false},
                {"quoted words", quoted, false}};
    for (const row &w : rows) {
        qsh_run_opts o;
        o.args = {"-s"};
        o.input = w.line + "\n";
        o.in_child = limit_memory(limit);
        o.timeout_sec = 60;
        qsh_result r = run_qsh(o);
        EXPECT_EQ(r.error, "") << w.what;
        EXPECT_FALSE(r.timed_out) << w.what;
        EXPECT_EQ(r.signal, 0) << w.what;
        if (w.fits) {
            EXPECT_EQ(r.status, 0) << w.what;
            EXPECT_EQ(r.out, "[a]\n") << w.what;
            EXPECT_EQ(r.err, "") << w.what;
        } else {
            EXPECT_EQ(r.status, 1) << w.what;
            EXPECT_EQ(r.out, "") << w.what;
            EXPECT_EQ(r.err, "qsh: Cannot allocate memory\n") << w.what;
        }
    }
}

}  // namespace
