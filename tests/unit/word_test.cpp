// SPDX-License-Identifier: BSD-2-Clause
// The word list (push, pop, destroy, print) and the tokenizer that fills it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "word.h"

namespace {

using Tokens = std::vector<std::pair<std::string, int>>;  // text, operator flag

// Walks the list both ways, checking the links, and returns its tokens.
Tokens list_tokens(const word_list *wl)
{
    Tokens out;
    EXPECT_EQ(wl->head == nullptr, wl->tail == nullptr);
    if (!wl->head)
        return out;
    EXPECT_EQ(wl->head->prev, nullptr);
    EXPECT_EQ(wl->tail->next, nullptr);
    const word *last = nullptr;
    for (const word *w = wl->head; w; w = w->next) {
        EXPECT_EQ(w->prev, last);
        out.emplace_back(w->str ? w->str : "(null)", w->is_delim);
        last = w;
    }
    EXPECT_EQ(last, wl->tail);
    size_t back = 0;
    for (const word *w = wl->tail; w; w = w->prev)
        back++;
    EXPECT_EQ(back, out.size());
    return out;
}

TEST(WordList, InitGivesEmptyNodes)
{
    word_list *wl = word_list_init();
    ASSERT_NE(wl, nullptr);
    EXPECT_EQ(wl->head, nullptr);
    EXPECT_EQ(wl->tail, nullptr);
    word *w = word_init();
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->str, nullptr);
    EXPECT_EQ(w->next, nullptr);
    EXPECT_EQ(w->prev, nullptr);
    free(w);
    word_list_destroy(&wl);
    EXPECT_EQ(wl, nullptr);
}

// A script of pushes and pops on one list, with the whole list after each step.
TEST(WordList, PushPopScript)
{
    const struct {
        bool push;  // false: pop
        const char *str;
        int flag;
        Tokens after;
    } steps[] = {
        {false, nullptr, 0, {}},  // pop on an empty list does nothing
        {true, "ls", 0, {{"ls", 0}}},
        {false, nullptr, 0, {}},
        {true, "a", 0, {{"a", 0}}},
        {true, "|", 1, {{"a", 0}, {"|", 1}}},
        {true, "b", -3, {{"a", 0}, {"|", 1}, {"b", 0}}},
        {true, "&&", 7, {{"a", 0}, {"|", 1}, {"b", 0}, {"&&", 1}}},
        {true, "", 2, {{"a", 0}, {"|", 1}, {"b", 0}, {"&&", 1}, {"", 1}}},
        {true, nullptr, 0, {{"a", 0}, {"|", 1}, {"b", 0}, {"&&", 1}, {"", 1}, {"(null)", 0}}},
        {false, nullptr, 0, {{"a", 0}, {"|", 1}, {"b", 0}, {"&&", 1}, {"", 1}}},
        {false, nullptr, 0, {{"a", 0}, {"|", 1}, {"b", 0}, {"&&", 1}}},
        {false, nullptr, 0, {{"a", 0}, {"|", 1}, {"b", 0}}},
        {false, nullptr, 0, {{"a", 0}, {"|", 1}}},
        {false, nullptr, 0, {{"a", 0}}},
        {false, nullptr, 0, {}},
        {false, nullptr, 0, {}},
        {true, "x", 1, {{"x", 1}}},
    };
    word_list *wl = word_list_init();
    int n = 0;
    for (const auto &s : steps) {
        SCOPED_TRACE("step " + std::to_string(n++));
        if (s.push)
            word_list_push(wl, s.str, s.flag);
        else
            word_list_pop(wl);
        EXPECT_EQ(list_tokens(wl), s.after);
    }
    // The null string really is kept as null, not as a copy of something.
    word_list_push(wl, nullptr, 0);
    EXPECT_EQ(wl->tail->str, nullptr);
    word_list_destroy(&wl);
    EXPECT_EQ(wl, nullptr);
    word_list_push(nullptr, "ignored", 0);  // a null list is left alone
}

TEST(WordList, PushKeepsOwnCopy)
{
    word_list *wl = word_list_init();
    char text[] = "hello";
    word_list_push(wl, text, 0);
    ASSERT_NE(wl->tail, nullptr);
    EXPECT_NE(wl->tail->str, text);
    text[0] = 'J';
    EXPECT_STREQ(wl->tail->str, "hello");
    word_list_destroy(&wl);
    EXPECT_EQ(wl, nullptr);
}

TEST(WordList, DestroyFullList)
{
    word_list *wl = word_list_init();
    for (int i = 0; i < 100; i++)
        word_list_push(wl, std::to_string(i).c_str(), i % 2);
    EXPECT_EQ(list_tokens(wl).size(), 100u);
    word_list_destroy(&wl);  // leaks of nodes or strings show under the leak checker
    EXPECT_EQ(wl, nullptr);
}

TEST(WordList, PrintExactOutput)
{
    const struct {
        std::vector<const char *> tokens;
        const char *out;
    } rows[] = {
        {{}, ""},
        {{"a"}, "[a]\n"},
        {{"ls", "-l", "|", "wc"}, "[ls] [-l] [|] [wc]\n"},
        {{""}, "[]\n"},
        {{"a b", ""}, "[a b] []\n"},
        {{"[x]", "%s", "\\"}, "[[x]] [%s] [\\]\n"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.out);
        word_list *wl = word_list_init();
        for (const char *t : r.tokens)
            word_list_push(wl, t, 0);
        fflush(stdout);
        testing::internal::CaptureStdout();
        word_list_print(wl);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), r.out);
        word_list_destroy(&wl);
    }
    fflush(stdout);
    testing::internal::CaptureStdout();
    word_list_print(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// Lists whose text crosses the printer's buffer, handed to standard output
// once it holds word_print_size bytes: after a first token of 1 to 16
// characters (so that the 16-byte pieces of the next one start at every
// offset), a token whose text ends anywhere from 4 bytes before that size to
// 20 after it, then a last token of one or more pieces. The whole output is
// compared.
TEST(WordList, PrintAcrossTheBuffer)
{
    std::string want;
    fflush(stdout);
    testing::internal::CaptureStdout();
    for (size_t first = 1; first <= 16; first++) {
        for (size_t end = word_print_size - 4; end <= word_print_size + 20; end++) {
            for (size_t last : {1, 16, 40}) {
                // "[first] [middle] " ends at end: 3 + first + 3 + middle.
                const std::string a(first, 'a'), m(end - first - 6, 'm'), z(last, 'z');
                word_list *wl = word_list_init();
                for (const std::string *t : {&a, &m, &z})
                    word_list_push(wl, t->c_str(), 0);
                word_list_print(wl);
                word_list_destroy(&wl);
                want += "[" + a + "] [" + m + "] [" + z + "]\n";
            }
        }
    }
    const std::string got = testing::internal::GetCapturedStdout();
    const auto diff = std::mismatch(want.begin(), want.end(), got.begin(), got.end());
    EXPECT_TRUE(got == want) << "sizes " << got.size() << " and " << want.size()
                             << ", first difference at " << (diff.first - want.begin());
}

Tokens tokenize(const std::string &line)
{
    word_list *wl = word_list_from_buff(line.c_str());
    if (!wl) {
        ADD_FAILURE() << "no list for \"" << line << "\"";
        return {};
    }
    Tokens t = list_tokens(wl);
    word_list_destroy(&wl);
    return t;
}

TEST(WordTokenize, Lines)
{
    const struct {
        const char *line;
        Tokens tokens;
    } rows[] = {
        {"ls -l", {{"ls", 0}, {"-l", 0}}},
        {"sort<f", {{"sort", 0}, {"<", 1}, {"f", 0}}},
        {"sort>g", {{"sort", 0}, {">", 1}, {"g", 0}}},
        {"a>>f", {{"a", 0}, {">>", 1}, {"f", 0}}},
        {"a&&b", {{"a", 0}, {"&&", 1}, {"b", 0}}},
        {"echo 'a b'", {{"echo", 0}, {"a b", 0}}},
        {"a'b c'd", {{"ab cd", 0}}},
        {"echo a\\;b", {{"echo", 0}, {"a;b", 0}}},
        {"echo '\\'", {{"echo", 0}, {"\\", 0}}},
        {"echo ''", {{"echo", 0}, {"", 0}}},
        {"x\\'y", {{"x'y", 0}}},
        // further cases
        {"a|b", {{"a", 0}, {"|", 1}, {"b", 0}}},
        {"echo '|'", {{"echo", 0}, {"|", 0}}},
        {"\"a\"b\"c\"", {{"abc", 0}}},
        {"\"a'b\"", {{"a'b", 0}}},
        {"'a\"b'", {{"a\"b", 0}}},
        {"a\\\\b", {{"a\\b", 0}}},
        {"\\ a", {{" a", 0}}},
        {"echo \"\"", {{"echo", 0}, {"", 0}}},
        {"echo \"\\\"",
         {{"echo", 0}, {"\\", 0}}},  // a backslash cannot escape a quote inside quotes
        {"echo a\\\\", {{"echo", 0}, {"a\\", 0}}},
        {"a\\|b", {{"a|b", 0}}},
        {"'&&' &&b", {{"&&", 0}, {"&&", 1}, {"b", 0}}},
        {"\"a b\"c d", {{"a bc", 0}, {"d", 0}}},
        {"a\tb\nc\vd\fe\rf", {{"a", 0}, {"b", 0}, {"c", 0}, {"d", 0}, {"e", 0}, {"f", 0}}},
        {"  ls  -l  ", {{"ls", 0}, {"-l", 0}}},
        {"ls -l | wc > out", {{"ls", 0}, {"-l", 0}, {"|", 1}, {"wc", 0}, {">", 1}, {"out", 0}}},
        {"ls &>f", {{"ls", 0}, {"&", 1}, {">", 1}, {"f", 0}}},
        {"a;b&c", {{"a", 0}, {";", 1}, {"b", 0}, {"&", 1}, {"c", 0}}},
        // greedy operator pairs (the checker rejects these lines)
        {"|||", {{"||", 1}, {"|", 1}}},
        {"&&&", {{"&&", 1}, {"&", 1}}},
        {";;", {{";", 1}, {";", 1}}},
        {"|&", {{"|", 1}, {"&", 1}}},
        {"<<<>>>", {{"<<", 1}, {"<", 1}, {">>", 1}, {">", 1}}},
        {"&|", {{"&", 1}, {"|", 1}}},
        // whitespace only: an empty list, not a null one
        {" \t ", {}},
        {"\n", {}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string("line \"") + r.line + "\"");
        EXPECT_EQ(tokenize(r.line), r.tokens);
    }
    EXPECT_EQ(word_list_from_buff(""), nullptr);
}

TEST(WordTokenize, TokenHandle)
{
    const struct {
        const char *buff;
        int idx;
        const char *tok;  // null: nothing but whitespace remains
        short flag;
        int idx_after;
    } rows[] = {
        {"  ls -l", 0, "ls", 0, 4}, {"ls -l", 2, "-l", 0, 5},    {"a>>f", 1, ">>", 1, 3},
        {"a>>f", 3, "f", 0, 4},     {"'a b' c", 0, "a b", 0, 5}, {"x \t|| y", 1, "||", 1, 5},
        {"   ", 0, nullptr, 0, 3},  {"ls   ", 2, nullptr, 0, 5}, {"", 0, nullptr, 0, 0},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string("\"") + r.buff + "\" at " + std::to_string(r.idx));
        for (bool with_flag : {true, false}) {
            int idx = r.idx;
            short flag = 5;
            char *tok = token_handle(r.buff, &idx, with_flag ? &flag : nullptr);
            if (r.tok) {
                ASSERT_NE(tok, nullptr);
                EXPECT_STREQ(tok, r.tok);
                if (with_flag) {
                    EXPECT_EQ(flag, r.flag);
                }
            } else {
                EXPECT_EQ(tok, nullptr);
            }
            EXPECT_EQ(idx, r.idx_after);
            free(tok);
        }
    }
}

TEST(WordTokenize, SpaceAndDelimLengths)
{
    const struct {
        const char *buff;
        int idx;
        int spaces;
    } space_rows[] = {
        {" \t\n\v\f\rx", 0, 6}, {"ab", 0, 0},   {"a  b", 1, 2}, {"", 0, 0},
        {"a ", 1, 1},           {"\x1c", 0, 0},
    };
    for (const auto &r : space_rows) {
        SCOPED_TRACE(std::string("spaces in \"") + r.buff + "\"");
        EXPECT_EQ(tok_space_handle(r.buff, r.idx), r.spaces);
    }
    const struct {
        const char *buff;
        int idx;
        int len;
    } delim_rows[] = {
        {"|||", 0, 2}, {"|||", 2, 1}, {"&&&", 0, 2}, {";;", 0, 1}, {";;", 1, 1}, {"|&", 0, 1},
        {"&|", 0, 1},  {"&&", 0, 2},  {"||", 0, 2},  {"<<", 0, 2}, {">>", 0, 2}, {"<>", 0, 1},
        {"> >", 0, 1}, {"|", 0, 1},   {"a|b", 1, 1}, {"|x", 0, 1},
    };
    for (const auto &r : delim_rows) {
        SCOPED_TRACE(std::string("operator in \"") + r.buff + "\" at " + std::to_string(r.idx));
        EXPECT_EQ(tok_delim_handle(r.buff, r.idx), r.len);
    }
}

TEST(WordTokenize, WordHandle)
{
    const struct {
        const char *buff;
        int idx;
        int len;
        const char *text;  // null: the word is copied, *token stays untouched
    } rows[] = {
        {"ls -l", 0, 2, nullptr},    {"ls -l", 3, 2, nullptr},   {"ab|c", 0, 2, nullptr},
        {"ab;c", 0, 2, nullptr},     {"abc", 0, 3, nullptr},     {"a'b c'd x", 0, 7, "ab cd"},
        {"'a|b';", 0, 5, "a|b"},     {"a\\ b c", 0, 4, "a b"},   {"\"\"", 0, 2, ""},
        {"''x", 0, 3, "x"},          {"x\\'y", 0, 4, "x'y"},     {"\\\\", 0, 2, "\\"},
        {"'a\"b'", 0, 5, "a\"b"},    {"\"a'b\" c", 0, 5, "a'b"}, {"ab\"c d\" e", 0, 7, "abc d"},
        {"echo a\\;b", 5, 4, "a;b"}, {"\"a\\\"", 0, 4, "a\\"},   {"'x y'z>f", 0, 6, "x yz"},
        {"a\\\tb", 0, 4, "a\tb"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string("word in \"") + r.buff + "\" at " + std::to_string(r.idx));
        char sentinel = 0;
        char *tok = &sentinel;
        EXPECT_EQ(tok_word_handle(r.buff, r.idx, &tok), r.len);
        if (!r.text) {
            EXPECT_EQ(tok, &sentinel);
            continue;
        }
        ASSERT_NE(tok, &sentinel);
        ASSERT_NE(tok, nullptr);
        EXPECT_STREQ(tok, r.text);
        EXPECT_EQ(tok[strlen(r.text) + 1], '\0');  // the rebuilt text ends in two NULs
        free(tok);
    }
}

// The last token of a line, of every length up to 20, after every length of
// text before it: short or no text before it, and text that ends within 16
// bytes of the line's end, are copied in other ways than the rest.
TEST(WordTokenize, LastTokenOfEveryLength)
{
    for (size_t before = 0; before <= 20; before++) {
        const std::string head(before, 'h');
        const std::string line_head = before ? head + " " : "";
        Tokens want;
        if (before)
            want.emplace_back(head, 0);
        for (size_t len = 1; len <= 20; len++) {
            const std::string last(len, static_cast<char>('a' + len));
            SCOPED_TRACE(line_head + last);
            want.emplace_back(last, 0);
            EXPECT_EQ(tokenize(line_head + last), want);
            EXPECT_EQ(tokenize(line_head + "'" + last + "'"), want);  // rebuilt
            want.pop_back();
        }
        want.emplace_back("||", 1);
        EXPECT_EQ(tokenize(line_head + "||"), want);
    }
}

// A line of many quoted words: each is rebuilt in room for the rest of the
// line, so the list's blocks run out and grow between words.
TEST(WordTokenize, ManyRebuiltWords)
{
    std::string line;
    Tokens want;
    for (int i = 0; i < 3000; i++) {
        const std::string n = std::to_string(i);
        line += "'" + n + " x'\\" + n + " ";
        want.emplace_back(n + " x" + n, 0);
    }
    EXPECT_EQ(tokenize(line), want);
}

// Rebuilt words of many kilobytes come back whole.
TEST(WordTokenize, LongRebuiltWords)
{
    const std::string pattern = "ab |;&<>\\\"'cd\tef";  // every kind of character
    auto text_without = [&](const std::string &drop, size_t n) {
        std::string s;
        for (size_t i = 0; s.size() < n; i++)
            if (drop.find(pattern[i % pattern.size()]) == std::string::npos)
                s += pattern[i % pattern.size()];
        return s;
    };
    const std::string in_single = text_without("'", 10000);
    const std::string in_double = text_without("\"", 10000);
    const std::string escaped = text_without("", 10000);
    std::string escaped_line;
    for (char c : escaped)
        escaped_line += std::string("\\") + c;
    // mixed: a plain start longer than the working buffer, then every form
    const std::string plain(5000, 'p');
    const std::string s2 = text_without("'", 2000), d2 = text_without("\"", 2000),
                      e1 = text_without("", 1000);
    std::string e1_line;
    for (char c : e1)
        e1_line += std::string("\\") + c;
    const struct {
        const char *name;
        std::string line;
        std::string word;
    } rows[] = {
        {"single-quoted", "'" + in_single + "'", in_single},
        {"double-quoted", "\"" + in_double + "\"", in_double},
        {"backslash-escaped", escaped_line, escaped},
        {"mixed", plain + "'" + s2 + "'" + e1_line + "\"" + d2 + "\"", plain + s2 + e1 + d2},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_EQ(r.word.size(), 10000u);
        char *tok = nullptr;
        EXPECT_EQ(tok_word_handle(r.line.c_str(), 0, &tok), static_cast<int>(r.line.size()));
        ASSERT_NE(tok, nullptr);
        EXPECT_EQ(strlen(tok), r.word.size());
        EXPECT_TRUE(tok == r.word) << "rebuilt text differs";
        free(tok);
        // The same word inside a line, with the index carried on past it.
        const Tokens got = tokenize("x " + r.line + " | y");
        ASSERT_EQ(got.size(), 4u);
        EXPECT_EQ(got[0], (std::pair<std::string, int>("x", 0)));
        EXPECT_TRUE(got[1].first == r.word) << "word in the list differs";
        EXPECT_EQ(got[1].second, 0);
        EXPECT_EQ(got[2], (std::pair<std::string, int>("|", 1)));
        EXPECT_EQ(got[3], (std::pair<std::string, int>("y", 0)));
    }
    // A long word without quotes or backslashes is copied, not rebuilt.
    const std::string bare(10000, 'w');
    char sentinel = 0;
    char *tok = &sentinel;
    EXPECT_EQ(tok_word_handle(bare.c_str(), 0, &tok), 10000);
    EXPECT_EQ(tok, &sentinel);
}

}  // namespace
