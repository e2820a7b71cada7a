// SPDX-License-Identifier: BSD-2-Clause
// A continued line is checked by resuming the pass where it stopped. For any
// text and any point where the first part asks for more, resuming over the
// joined text must give exactly the verdict and error position of a fresh
// pass over it.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "syntax.h"

namespace {

struct verdict {
    syntax_state res;
    int err_pos;
    int symcnt;
    std::string text;  // the buffer afterwards (a final backslash becomes a blank)
};

verdict check_fresh(std::string text)
{
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    int pos = -1, cnt = -1;
    syntax_state res = syntax_handle(buf.data(), &pos, &cnt);
    return {res, res == syntax_err ? pos : -1, res == syntax_err ? cnt : -1, buf.data()};
}

TEST(SyntaxResume, ResumingEqualsCheckingTheJoinedText)
{
    const char alphabet[] = {'a', 'b', ' ', '\t', '|', '&', ';', '<', '>', '\'', '"', '\\'};
    std::mt19937 rng(12345);
    int resumed = 0;
    for (int round = 0; round < 20000; round++) {
        // Up to four lines, each appended while the text so far asks for more.
        std::vector<std::string> lines(1 + rng() % 4);
        for (std::string &line : lines)
            for (int n = rng() % 10; n > 0; n--)
                line += alphabet[rng() % sizeof alphabet];
        std::string text;
        syntax_pass pass = {};
        for (size_t i = 0; i < lines.size(); i++) {
            text += lines[i];
            verdict want = check_fresh(text);
            std::vector<char> buf(text.begin(), text.end());
            buf.push_back('\0');
            int pos = -1, cnt = -1;
            syntax_state res = syntax_resume(buf.data(), &pass, &pos, &cnt);
            SCOPED_TRACE("text [" + text + "] after " + std::to_string(i + 1) + " lines");
            ASSERT_EQ(res, want.res);
            if (res == syntax_err) {
                ASSERT_EQ(pos, want.err_pos);
                ASSERT_EQ(cnt, want.symcnt);
            }
            ASSERT_EQ(std::string(buf.data()), want.text);
            if (res != syntax_cont_read)
                break;
            text = buf.data();
            resumed += i + 1 < lines.size();
        }
    }
    EXPECT_GT(resumed, 1000);  // the property was exercised, not skipped
}

// A pass that asked for more and gets no more text keeps its verdict, except
// that a final backslash, now a blank, lets the text through.
TEST(SyntaxResume, RecheckWithoutMoreTextAtEndOfInput)
{
    struct row {
        const char *text;
        syntax_state again;
    } rows[] = {
        {"echo a\\", syntax_ok},      {"echo 'a", syntax_cont_read},    {"ls |", syntax_cont_read},
        {"ls && ", syntax_cont_read}, {"echo \"a\\", syntax_cont_read},
    };
    for (const row &r : rows) {
        std::string text = r.text;
        std::vector<char> buf(text.begin(), text.end());
        buf.push_back('\0');
        syntax_pass pass = {};
        int pos, cnt;
        ASSERT_EQ(syntax_resume(buf.data(), &pass, &pos, &cnt), syntax_cont_read) << r.text;
        EXPECT_EQ(syntax_resume(buf.data(), &pass, &pos, &cnt), r.again) << r.text;
        EXPECT_EQ(syntax_handle(buf.data(), &pos, &cnt), r.again) << r.text;
    }
}

}  // namespace
