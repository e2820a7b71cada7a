// SPDX-License-Identifier: BSD-2-Clause
// Operator vocabulary: the character classes and the token predicates that
// the checker, the tokenizer and the executor share.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "char.h"
#include "define.h"

namespace {

// The executor compares these numbers, so they are part of the interface.
TEST(CharDelim, CodesHaveFixedValues)
{
    const struct {
        delim code;
        int value;
    } rows[] = {
        {delim_err, 0},        {delim_semi, 1},        {delim_pipe, 2},     {delim_ampersand, 3},
        {delim_logical_or, 4}, {delim_logical_and, 5}, {delim_redir_in, 6}, {delim_redir_out, 7},
        {delim_redir_in2, 8},  {delim_redir_out2, 9},
    };
    for (const auto &r : rows)
        EXPECT_EQ(static_cast<int>(r.code), r.value);
}

// Every byte value against the four character classes.
TEST(CharClass, EveryByte)
{
    for (int v = 0; v < 256; v++) {
        const char c = static_cast<char>(v);
        const bool nul = v == 0;  // strchr would find the terminator
        SCOPED_TRACE("byte " + std::to_string(v));
        EXPECT_EQ(is_char_from_delim(c), !nul && strchr("&;<>|", c) ? 1 : 0);
        EXPECT_EQ(is_char_special(c), !nul && strchr("\"'\\", c) ? 1 : 0);
        EXPECT_EQ(is_quote(c), !nul && strchr("\"'", c) ? 1 : 0);
        EXPECT_EQ(is_char_space(c), !nul && strchr(" \t\n\v\f\r", c) ? 1 : 0);
    }
}

// One row per (token, count): the expected result of every token predicate.
// For the predicates with a dl parameter, -1 means false, any other number is
// true with that operator code. is_word_delim must agree with the right-side
// column; is_cmd_delim is the left-side result, or else the both-side one.
struct PredRow {
    const char *tok;
    int cnt;
    int is_delim;
    int left;
    int right;
    int both;
};

const PredRow pred_rows[] = {
    // single operators
    {";", 1, 1, 1, -1, -1},
    {"&", 1, 1, 3, -1, -1},
    {"|", 1, 1, -1, -1, 2},
    {"<", 1, 1, -1, 6, -1},
    {">", 1, 1, -1, 7, -1},
    // doubled operators
    {"&&", 2, 1, -1, -1, 5},
    {"||", 2, 1, -1, -1, 4},
    {"<<", 2, 1, -1, 8, -1},
    {">>", 2, 1, -1, 9, -1},
    // a count of 1 looks at the first character only
    {"&&", 1, 1, 3, -1, -1},
    {"||", 1, 1, -1, -1, 2},
    {">>", 1, 1, -1, 7, -1},
    {";&", 1, 1, 1, -1, -1},
    {"|x", 1, 1, -1, -1, 2},
    // pairs that are not operators
    {";;", 2, 0, -1, -1, -1},
    {"|&", 2, 0, -1, -1, -1},
    {"<>", 2, 0, -1, -1, -1},
    {">|", 2, 0, -1, -1, -1},
    {"&|", 2, 0, -1, -1, -1},
    {"><", 2, 0, -1, -1, -1},
    {">&", 2, 0, -1, -1, -1},
    {"&;", 2, 0, -1, -1, -1},
    {"a;", 2, 0, -1, -1, -1},
    {";a", 2, 0, -1, -1, -1},
    // counts outside 1..2: only the left-side test ignores a count below 2
    {";", 0, 0, 1, -1, -1},
    {"&", 0, 0, 3, -1, -1},
    {"|", 0, 0, -1, -1, -1},
    {"<", 0, 0, -1, -1, -1},
    {"&&", 0, 0, 3, -1, -1},
    {"|||", 3, 0, -1, -1, -1},
    {"&&&", 3, 0, -1, -1, -1},
    {">>>", 3, 0, -1, -1, -1},
    {";;;", 3, 0, -1, -1, -1},
    // null token
    {nullptr, 1, 0, -1, -1, -1},
    {nullptr, 2, 0, -1, -1, -1},
    // not operators at all
    {"a", 1, 0, -1, -1, -1},
    {"ab", 2, 0, -1, -1, -1},
    {"", 1, 0, -1, -1, -1},
    {" |", 2, 0, -1, -1, -1},
    {"'|'", 1, 0, -1, -1, -1},
};

using DlPred = int (*)(const char *, int, delim *);

// Checks one predicate with a dl parameter against the expected column, with
// a real dl and with a null one.
void check_dl_pred(const char *name, DlPred pred, const PredRow &r, int want)
{
    SCOPED_TRACE(name);
    delim dl = delim_err;
    EXPECT_EQ(pred(r.tok, r.cnt, &dl), want >= 0 ? 1 : 0);
    if (want >= 0) {
        EXPECT_EQ(static_cast<int>(dl), want);
    }
    EXPECT_EQ(pred(r.tok, r.cnt, nullptr), want >= 0 ? 1 : 0);
}

TEST(CharPredicates, OperatorTable)
{
    for (const auto &r : pred_rows) {
        SCOPED_TRACE(std::string("token \"") + (r.tok ? r.tok : "(null)") + "\" count " +
                     std::to_string(r.cnt));
        EXPECT_EQ(is_delim(r.tok, r.cnt), r.is_delim);
        check_dl_pred("is_leftside_delim", is_leftside_delim, r, r.left);
        check_dl_pred("is_rightside_delim", is_rightside_delim, r, r.right);
        check_dl_pred("is_bothside_delim", is_bothside_delim, r, r.both);
        check_dl_pred("is_word_delim", is_word_delim, r, r.right);
        check_dl_pred("is_cmd_delim", is_cmd_delim, r, r.left >= 0 ? r.left : r.both);
    }
}

}  // namespace
