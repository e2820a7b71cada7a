// SPDX-License-Identifier: BSD-2-Clause
// The syntax checker: operator classification, the look-ahead, the judgement
// of one operator, and the whole pass with its reported operator text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "syntax.h"

namespace {

TEST(SyntaxGettype, Table)
{
    const struct {
        const char *buff;
        int idx;
        delim_type type;
        int symcnt;
    } rows[] = {
        {";", 0, delim_lside, 1},     {"&", 0, delim_lside, 1},     {"|", 0, delim_bside, 1},
        {"<", 0, delim_rside, 1},     {">", 0, delim_rside, 1},     {"&&", 0, delim_bside, 2},
        {"||", 0, delim_bside, 2},    {"<<", 0, delim_rside, 2},    {">>", 0, delim_rside, 2},
        {";;", 0, delim_lside, 1},    {"|&", 0, delim_bside, 1},    {"&|", 0, delim_lside, 1},
        {"<>", 0, delim_rside, 1},    {">&", 0, delim_rside, 1},    {"|||", 0, delim_bside, 2},
        {"|||", 2, delim_bside, 1},   {">>>", 1, delim_rside, 2},   {"ls && x", 3, delim_bside, 2},
        {"ls &x", 3, delim_lside, 1}, {"ls >f", 3, delim_rside, 1}, {"a", 0, delim_type_err, 1},
        {"x;", 0, delim_type_err, 1},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string("\"") + r.buff + "\" at " + std::to_string(r.idx));
        int symcnt = -7;
        EXPECT_EQ(delim_gettype(r.buff, r.idx, &symcnt), r.type);
        EXPECT_EQ(symcnt, r.symcnt);
    }
}

TEST(SyntaxNextToken, Table)
{
    const struct {
        const char *buff;
        int idx;
        token_type type;
        int idx_after;  // unchanged for tok_none
    } rows[] = {
        {"| wc", 0, tok_word, 2},
        {"|wc", 0, tok_word, 1},
        {"|", 0, tok_none, 0},
        {"|   ", 0, tok_none, 0},
        {"| \t\n\v\f\r", 0, tok_none, 0},
        {"| >f", 0, tok_delim, 2},
        {"|;", 0, tok_delim, 1},
        {"&&&", 1, tok_delim, 2},
        {"| \t'a'", 0, tok_word, 3},
        {"| \"a\"", 0, tok_word, 2},
        {"| \\;", 0, tok_word, 2},
        {"ab", 0, tok_word, 1},  // the scan starts after the given position
        {"ls > f", 3, tok_word, 5},
        {"ls >", 3, tok_none, 3},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string("\"") + r.buff + "\" at " + std::to_string(r.idx));
        int idx = r.idx;
        EXPECT_EQ(buff_find_next_token(r.buff, &idx), r.type);
        EXPECT_EQ(idx, r.idx_after);
    }
}

TEST(SyntaxDelimHandle, Table)
{
    const struct {
        const char *buff;
        int idx;
        int symcnt;
        delim_type type;
        short cmd_exist;
        syntax_state res;
        int idx_after;  // the reported operator, when a following one is at fault
        int symcnt_after;
    } rows[] = {
        // nothing on the left
        {"; ls", 0, 1, delim_lside, 0, syntax_err, 0, 1},
        {"& ls", 0, 1, delim_lside, 0, syntax_err, 0, 1},
        {"| ls", 0, 1, delim_bside, 0, syntax_err, 0, 1},
        {"&& ls", 0, 2, delim_bside, 0, syntax_err, 0, 2},
        // left-side: what follows is not examined
        {"ls ;", 3, 1, delim_lside, 1, syntax_ok, 3, 1},
        {"ls ; ;", 3, 1, delim_lside, 1, syntax_ok, 3, 1},
        {"ls &", 3, 1, delim_lside, 1, syntax_ok, 3, 1},
        {"a", 0, 1, delim_type_err, 0, syntax_ok, 0, 1},
        // redirections need no command, only a word after them
        {"> f", 0, 1, delim_rside, 0, syntax_ok, 0, 1},
        {"ls >", 3, 1, delim_rside, 1, syntax_err, 3, 1},
        {"ls >>  ", 3, 2, delim_rside, 1, syntax_err, 3, 2},
        {"x <> y", 2, 1, delim_rside, 1, syntax_err, 3, 1},
        {"x < >> y", 2, 1, delim_rside, 1, syntax_err, 4, 2},
        {"ls >>> f", 3, 2, delim_rside, 1, syntax_err, 5, 1},
        {"ls > ; x", 3, 1, delim_rside, 1, syntax_err, 5, 1},
        {"ls >f", 3, 1, delim_rside, 1, syntax_ok, 3, 1},
        // both-side operators
        {"ls |", 3, 1, delim_bside, 1, syntax_cont_read, 3, 1},
        {"ls &&\t", 3, 2, delim_bside, 1, syntax_cont_read, 3, 2},
        {"ls | wc", 3, 1, delim_bside, 1, syntax_ok, 3, 1},
        {"ls || &&", 3, 2, delim_bside, 1, syntax_err, 6, 2},
        {"ls &&& x", 3, 2, delim_bside, 1, syntax_err, 5, 1},
        {"ls | > f", 3, 1, delim_bside, 1, syntax_err, 5, 1},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string("\"") + r.buff + "\" at " + std::to_string(r.idx));
        int idx = r.idx, symcnt = r.symcnt;
        EXPECT_EQ(delim_handle(r.buff, &idx, &symcnt, r.type, r.cmd_exist), r.res);
        EXPECT_EQ(idx, r.idx_after);
        EXPECT_EQ(symcnt, r.symcnt_after);
    }
}

// One whole line. For syntax_err the reported operator is checked by its
// position and by the text the main loop would print. `after` is the buffer
// once checked, null when it must be unchanged.
struct LineRow {
    const char *line;
    syntax_state res;
    int err_pos;
    const char *err_text;
    const char *after;
};

const LineRow line_rows[] = {
    {"ls -l", syntax_ok, 0, nullptr, nullptr},
    {"ls ;", syntax_ok, 0, nullptr, nullptr},
    {"ls &", syntax_ok, 0, nullptr, nullptr},
    {"> f ls", syntax_ok, 0, nullptr, nullptr},
    {"ls ; > f", syntax_ok, 0, nullptr, nullptr},
    {"ls &>f", syntax_ok, 0, nullptr, nullptr},
    {"'' ; ls", syntax_ok, 0, nullptr, nullptr},
    {"echo a\\\\", syntax_ok, 0, nullptr, nullptr},
    {"", syntax_ok, 0, nullptr, nullptr},
    {"   ", syntax_ok, 0, nullptr, nullptr},
    {" \t\v\f\r\n", syntax_ok, 0, nullptr, nullptr},
    {"; ls", syntax_err, 0, ";", nullptr},
    {"& ls", syntax_err, 0, "&", nullptr},
    {"ls ; ; x", syntax_err, 5, ";", nullptr},
    {"ls & ;", syntax_err, 5, ";", nullptr},
    {"ls >", syntax_err, 3, ">", nullptr},
    {"ls > ; x", syntax_err, 5, ";", nullptr},
    {"ls && && x", syntax_err, 6, "&&", nullptr},
    {"ls ;; x", syntax_err, 4, ";", nullptr},
    {"ls &&& x", syntax_err, 5, "&", nullptr},
    {"ls >>> f", syntax_err, 5, ">", nullptr},
    {"ls <<< f", syntax_err, 5, "<", nullptr},
    {"x <> y", syntax_err, 3, ">", nullptr},
    {"x >& y", syntax_err, 3, "&", nullptr},
    {"ls &&", syntax_cont_read, 0, nullptr, nullptr},
    {"echo 'a b", syntax_cont_read, 0, nullptr, nullptr},
    {"echo a\\", syntax_cont_read, 0, nullptr, "echo a "},
    // the pipe sign
    {"| ls", syntax_err, 0, "|", nullptr},
    {"|", syntax_err, 0, "|", nullptr},
    {"ls |", syntax_cont_read, 0, nullptr, nullptr},
    {"ls|", syntax_cont_read, 0, nullptr, nullptr},
    {"ls | \t", syntax_cont_read, 0, nullptr, nullptr},
    {"ls ||", syntax_cont_read, 0, nullptr, nullptr},
    {"a | | b", syntax_err, 4, "|", nullptr},
    {"ls | > f", syntax_err, 5, ">", nullptr},
    {"> f | wc", syntax_ok, 0, nullptr, nullptr},
    {"ls|wc", syntax_ok, 0, nullptr, nullptr},
    {"ls | ;", syntax_err, 5, ";", nullptr},
    // more placements
    {";", syntax_err, 0, ";", nullptr},
    {"<", syntax_err, 0, "<", nullptr},
    {">>f", syntax_ok, 0, nullptr, nullptr},
    {"ls;", syntax_ok, 0, nullptr, nullptr},
    {"ls ; & x", syntax_err, 5, "&", nullptr},
    {"a && b || c ; d & e | f", syntax_ok, 0, nullptr, nullptr},
    {"ls > f ; x", syntax_ok, 0, nullptr, nullptr},
    {"ls ; | x", syntax_err, 5, "|", nullptr},
    // quoted and escaped operators are text
    {"echo ';'", syntax_ok, 0, nullptr, nullptr},
    {"echo \";\"", syntax_ok, 0, nullptr, nullptr},
    {"';' ; x", syntax_ok, 0, nullptr, nullptr},
    {"echo '|'", syntax_ok, 0, nullptr, nullptr},
    {"'|' x", syntax_ok, 0, nullptr, nullptr},
    {"echo '&& ;; |'", syntax_ok, 0, nullptr, nullptr},
    {"echo \\;", syntax_ok, 0, nullptr, nullptr},
    {"echo \\|", syntax_ok, 0, nullptr, nullptr},
    {"\\; ls", syntax_ok, 0, nullptr, nullptr},
    {"\\|", syntax_ok, 0, nullptr, nullptr},
    {"echo \\&&", syntax_ok, 0, nullptr, nullptr},
    {"echo \\>", syntax_ok, 0, nullptr, nullptr},
    {"\\> ;", syntax_ok, 0, nullptr, nullptr},
    // a quote of the other kind inside quotes is text
    {"\"a'b\" ; c", syntax_ok, 0, nullptr, nullptr},
    {"'a\"b' | c", syntax_ok, 0, nullptr, nullptr},
    {"echo \"a", syntax_cont_read, 0, nullptr, nullptr},
    {"echo 'a\"", syntax_cont_read, 0, nullptr, nullptr},
    {"echo \"a'", syntax_cont_read, 0, nullptr, nullptr},
    // an escaped quote opens nothing
    {"echo \\'", syntax_ok, 0, nullptr, nullptr},
    {"echo \\\"a", syntax_ok, 0, nullptr, nullptr},
    // inside quotes a backslash is text: it escapes nothing and is not turned
    // into a blank at the end
    {"echo '\\'", syntax_ok, 0, nullptr, nullptr},
    {"echo \"\\\"", syntax_ok, 0, nullptr, nullptr},
    {"echo 'a\\", syntax_cont_read, 0, nullptr, nullptr},
    // final backslashes: only an escaping one becomes a blank
    {"\\", syntax_cont_read, 0, nullptr, " "},
    {"echo a\\\\\\", syntax_cont_read, 0, nullptr, "echo a\\\\ "},
    {"ls | x\\", syntax_cont_read, 0, nullptr, "ls | x "},
    {"echo \\\\\\\\", syntax_ok, 0, nullptr, nullptr},
};

TEST(SyntaxHandle, Lines)
{
    for (const auto &r : line_rows) {
        SCOPED_TRACE(std::string("line \"") + r.line + "\"");
        std::string buf(r.line);
        int err_pos = -1, symcnt = -1;
        const syntax_state res = syntax_handle(buf.data(), &err_pos, &symcnt);
        EXPECT_EQ(res, r.res);
        if (r.res == syntax_err && res == syntax_err) {
            EXPECT_EQ(err_pos, r.err_pos);
            ASSERT_GE(err_pos, 0);
            ASSERT_GE(symcnt, 1);
            ASSERT_LE(static_cast<size_t>(err_pos + symcnt), buf.size());
            EXPECT_EQ(buf.substr(err_pos, symcnt), r.err_text);
        }
        EXPECT_EQ(buf, r.after ? r.after : r.line);
    }
}

// A continuation line is appended to the text already checked, and
// syntax_handle checks the joined text from its start: the verdict and the
// error position are those of the joined text, whatever the first check
// changed in the buffer (a final backslash turned into a blank).
TEST(SyntaxHandle, RecheckAfterContinuation)
{
    const struct {
        const char *first;
        const char *second;
        const char *joined;  // the buffer after the append
        syntax_state res;
        const char *err_text;
    } rows[] = {
        {"ls |", " wc", "ls | wc", syntax_ok, nullptr},
        {"ls |", "| wc", "ls || wc", syntax_ok, nullptr},
        {"ls &&", "& x", "ls &&& x", syntax_err, "&"},
        {"ls &&", "; x", "ls &&; x", syntax_err, ";"},
        {"echo 'a", "b'", "echo 'ab'", syntax_ok, nullptr},
        {"echo \"a", "\"|", "echo \"a\"|", syntax_cont_read, nullptr},
        {"echo a\\", "b", "echo a b", syntax_ok, nullptr},
        {"echo a\\", "", "echo a ", syntax_ok, nullptr},
        {"echo a\\", "|", "echo a |", syntax_cont_read, nullptr},
        {"ls |", "", "ls |", syntax_cont_read, nullptr},
        {"ls |", "   ", "ls |   ", syntax_cont_read, nullptr},
        {"echo 'a", "", "echo 'a", syntax_cont_read, nullptr},
        {"x ||", "wc ; |", "x ||wc ; |", syntax_err, "|"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string("\"") + r.first + "\" + \"" + r.second + "\"");
        char buf[64] = {};
        strcpy(buf, r.first);
        int pos = -1, cnt = -1;
        ASSERT_EQ(syntax_handle(buf, &pos, &cnt), syntax_cont_read);
        strcat(buf, r.second);
        ASSERT_STREQ(buf, r.joined);
        int again_pos = -1, again_cnt = -1;
        const syntax_state again = syntax_handle(buf, &again_pos, &again_cnt);
        std::string fresh(r.joined);
        int fresh_pos = -1, fresh_cnt = -1;
        const syntax_state fresh_res = syntax_handle(fresh.data(), &fresh_pos, &fresh_cnt);
        EXPECT_EQ(again, r.res);
        EXPECT_EQ(fresh_res, r.res);
        if (r.res == syntax_err && again == syntax_err && fresh_res == syntax_err) {
            EXPECT_EQ(std::string(buf + again_pos, again_cnt), r.err_text);
            EXPECT_EQ(again_pos, fresh_pos);
            EXPECT_EQ(again_cnt, fresh_cnt);
        }
    }
}

}  // namespace
