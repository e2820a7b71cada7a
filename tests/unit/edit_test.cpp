// SPDX-License-Identifier: BSD-2-Clause
// The line editor without a terminal: bytes to keys, what keys do to the
// line, its cursor and the history, display widths, and what is drawn for a
// window, applied to a small terminal model.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "edit.h"
#include "screen.h"
#include "support.h"

namespace {

std::string key_name(const edit_key &k)
{
    static const char *const named[] = {"esc",  "up",  "down",   "left",   "right",
                                        "home", "end", "delete", "C-left", "C-right"};
    int c = k.code >= key_alt && k.code < key_char ? k.code - key_alt : k.code;
    std::string alt = c != k.code ? "M-" : "";
    if (c < 0x20 || c == 0x7f)  // ^X, and ^? for 0x7f
        return alt + "^" + static_cast<char>(c ^ 0x40);
    if (c < key_alt)
        return alt + static_cast<char>(c);
    if (c == key_char)
        return std::string(k.bytes, k.bytes + k.len);
    if (c == key_byte)
        return escape_bytes(std::string(1, k.bytes[0]));
    return named[c - key_esc];
}

// Bytes fed one at a time; '@' stands for a pause (the timeout).
std::string decode(const std::string &bytes)
{
    edit_decoder d = {};
    edit_key k[edit_key_max];
    std::string out;
    for (char c : bytes) {
        int n = c == '@' ? edit_key_timeout(&d, k) : edit_key_decode(&d, c, k);
        for (int i = 0; i < n; i++)
            out.append(out.empty() ? "" : " ").append(key_name(k[i]));
    }
    return out;
}

TEST(EditKeys, BytesToKeys)
{
    const struct {
        std::string bytes, keys;
    } rows[] = {
        {"\x1b[A\x1b[B\x1bOC\x1bOD", "up down right left"},
        {"\x1b[H\x1bOH\x1b[1~\x1b[7~", "home home home home"},
        {"\x1b[F\x1bOF\x1b[4~\x1b[8~\x1b[3~", "end end end end delete"},
        {"\x1b[1;5C\x1b[1;5D", "C-right C-left"},
        {"\x1b[15~\x1bOP\x1b[1;2A\x1b[200~x", "x"},    // unknown ones dropped whole
        {"\x1b[" + std::string(40, '1') + "Ax", "x"},  // however long
        {"\x1b[1\x01", "^A"},                          // broken off by a control byte
        {"\033b\033F\x1b\x7f", "M-b M-F M-^?"},
        {"\x1b@", "esc"},
        {"\x1b\x1b[A", "esc up"},
        {"\x1b\xc3\xa9", "esc \xc3\xa9"},
        {"a\x01\x7f\t", "a ^A ^? ^I"},
        {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\xe2\x82x", "\\xe2 \\x82 x"},  // cut short: its bytes, then x anew
        {"\xe2\x82@", "\\xe2 \\x82"},
        {"\xff\xc0\xaf", "\\xff \\xc0 \\xaf"},
        {"\xed\xa0\x80", "\\xed \\xa0 \\x80"},            // a surrogate
        {"\xf4\x90\x80\x80", "\\xf4 \\x90 \\x80 \\x80"},  // above U+10FFFF
        {"\xe0\x80\xaf", "\\xe0 \\x80 \\xaf"},            // overlong
        {"\xc3\x1b[A", "\\xc3 up"},
    };
    for (const auto &r : rows)
        EXPECT_EQ(decode(r.bytes), r.keys) << escape_bytes(r.bytes);
}

TEST(EditKeys, Widths)
{
    const struct {
        uint32_t cp;
        int width;
    } rows[] = {
        {'a', 1},     {0xe9, 1},   {0x0301, 0}, {0x200b, 0}, {0xfe0f, 0},  {0x1160, 0},
        {0x302a, 0},  {0x4e2d, 2}, {0xac00, 2}, {0x3000, 2}, {0xff21, 2},  {0x1f600, 2},
        {0x20000, 2}, {0x303f, 1}, {0xff61, 1}, {0x2329, 2}, {0x1f321, 1}, {0x10ffff, 1},
    };
    for (const auto &r : rows)
        EXPECT_EQ(edit_width(r.cp), r.width) << std::hex << r.cp;
}

// A line with its cursor shown as |, and back.
struct line_text {
    std::string text;
    size_t cursor;
};
line_text parse_line(const std::string &s)
{
    size_t bar = s.find('|');
    return {s.substr(0, bar) + s.substr(bar + 1), bar};
}

struct EditRow {
    std::string before, keys, after;
};

const char *const history[] = {"ls -l", "echo hello", "make test", "echo world"};

// The editor's state for one row: the history above, an empty kill buffer,
// the usual terminal bytes, and the line given.
struct row_state {
    edit_history h = {const_cast<char **>(history), 4, 4};
    edit_buf kill = {};
    edit_state st = {};
    edit_decoder d = {};
    explicit row_state(const std::string &line)
    {
        st.prompt = "> ";
        st.hist = &h;
        st.kill = &kill;
        st.erase = 0x7f, st.intr = 3, st.quit = 0x1c, st.susp = 0x1a;
        edit_state_begin(&st);
        line_text in = parse_line(line);
        st.line.text = static_cast<char *>(realloc(st.line.text, in.text.size() + 1));
        memcpy(st.line.text, in.text.c_str(), in.text.size() + 1);
        st.line.len = in.text.size();
        st.line.cap = in.text.size() + 1;
        st.line.cursor = in.cursor;
    }
    ~row_state()
    {
        edit_state_free(&st);
        free(kill.data);
    }
    // Feeds the bytes, '@' a pause; the result of the last key that had one.
    edit_result feed(const std::string &bytes)
    {
        edit_result r = res_none;
        edit_key k[edit_key_max];
        for (char c : bytes) {
            edit_result got = res_none;
            if (c == '@') {
                int n = edit_key_timeout(&d, k);
                for (int i = 0; i < n && got == res_none; i++)
                    got = edit_key_apply(&st, k + i);
            } else {
                got = edit_feed(&st, &d, static_cast<unsigned char>(c));
            }
            r = got != res_none ? got : r;
        }
        return r;
    }
    std::string shown() const
    {
        std::string t(st.line.text, st.line.len);
        return t.insert(st.line.cursor, "|");
    }
};

TEST(EditKeys, EffectOnTheLine)
{
    const EditRow rows[] = {
        // moving
        {"abc|", "\x02\x02", "a|bc"},
        {"a|bc", "\x06\x06\x06", "abc|"},
        {"ab|c", "\x1b[D\x1bOD", "|abc"},
        {"a|bc", "\x05", "abc|"},
        {"ab|c", "\x01", "|abc"},
        {"ab|c", "\x1b[4~", "abc|"},
        {"ab|c", "\x1b[7~", "|abc"},
        {"foo bar-baz|", "\033b", "foo bar-|baz"},
        {"foo bar-baz|", "\033B\x1b[1;5D", "foo |bar-baz"},
        {"|foo bar", "\033f", "foo| bar"},
        {"|foo bar", "\x1b[1;5C\x1b[1;5C", "foo bar|"},
        {"a\xe4\xb8\xad|\xe6\x96\x87", "\x02", "a|\xe4\xb8\xad\xe6\x96\x87"},
        {"e\xcc\x81|x", "\x02", "|e\xcc\x81x"},  // a combining mark goes with its base
        {"|e\xcc\x81\xcc\x82x", "\x06", "e\xcc\x81\xcc\x82|x"},
        {"\x01\xcc\x81|", "\x02", "\x01|\xcc\x81"},  // none after a control character
        {"\xe4\xb8\xad\xc3\xa9|", "\033b", "|\xe4\xb8\xad\xc3\xa9"},  // a word beyond ASCII
        // erasing
        {"ab|c", "\x7f", "a|c"},
        {"ab|c", "\x08", "a|c"},
        {"\xe4\xb8\xad|", "\x7f", "|"},
        {"xe\xcc\x81|", "\x7f", "x|"},
        {"a|bc", "\x1b[3~", "a|c"},
        {"a|bc", "\x04", "a|c"},
        {"abc|", "\x04", "abc|"},
        {"\xe2x|\x82\xac", "\x7f", "|\xe2\x82\xac"},  // two bytes joined into one character
        // cutting and yanking
        {"ab|cd", "\x0b", "ab|"},
        {"ab|cd", "\x0b\x01\x19", "cd|ab"},
        {"ab|cd", "\x15", "|cd"},
        {"ls -l  foo|", "\x17", "ls -l  |"},
        {"ls -l  foo|", "\x17\x17\x19", "ls -l  foo|"},  // a cut back goes in front
        {"ls a|", "\x17\x02\x19", "lsa| "},
        {"|foo bar.c", "\033d", "| bar.c"},
        {"|foo bar.c", "\033d\033d\x19", "foo bar|.c"},  // a cut forward goes after
        {"x|", "\x0b\x19", "x|"},                        // nothing cut leaves nothing
        {"foo bar|", "\x1b\x7f", "foo |"},
        {"ab|cd", "\x0b\x01\x06\x19", "acd|b"},
        // swapping, quoting, inserting
        {"ab|", "\x14", "ba|"},
        {"a|bc", "\x14", "ba|c"},
        {"|ab", "\x14", "|ab"},
        {"a\xe4\xb8\xad|", "\x14", std::string("\xe4\xb8\xad") + "a|"},
        {"a|", "\x16\x01\x16\x1b\x16\t", "a\x01\x1b\t|"},
        {"|", "\xc3\xa9\xe4\xb8\xad", "\xc3\xa9\xe4\xb8\xad|"},
        {"|", "\xe2\x82x", "\xe2\x82x|"},
        {"a|", "\x1b[15~\x1bOP\x1b[1;2A", "a|"},
        {"a|", "\x1b@b", "ab|"},  // a lone Esc does nothing
        // history
        {"|", "\x1b[A", "echo world|"},
        {"|", "\x10\x10", "make test|"},
        {"|", "\x10\x10\x10\x10\x10\x10", "ls -l|"},
        {"ty|ped", "\x10\x10\x0e\x1b[B", "typed|"},
        {"typed|", "\x1b[B", "typed|"},
        {"x|", "\x10\x7f\x10\x0e", "echo world|"},  // an entry edited, then left
        // search
        {"|", "\022echo\022", "|echo hello"},
        {"|", "\022o", "echo w|orld"},  // its last occurrence
        {"typed|", "\022make\x7f\x7f\x7f\x7f", "typed|"},
        {"typed|", "\022make\x06", "m|ake test"},
        {"typed|", "\022make\x0b", "|"},
        {"|", "\022hello\x1b@\x1b[B", "make test|"},
        {"|", "\022hello\x1b@\x1b[B\x1b[B\x1b[B", "|"},
    };
    for (const auto &r : rows) {
        row_state s(r.before);
        EXPECT_EQ(s.feed(r.keys), res_none) << escape_bytes(r.keys);
        EXPECT_EQ(escape_bytes(s.shown()), escape_bytes(r.after))
            << escape_bytes(r.before) << " + " << escape_bytes(r.keys);
    }
}

// Keys that leave something to the terminal layer, and the prompt of a search.
TEST(EditKeys, ResultAndPrompt)
{
    const struct {
        std::string before, keys, after;
        edit_result result;
        std::string prompt;
    } rows[] = {
        {"|", "\x04", "|", res_eof, "> "},
        {"a|", "\r", "a|", res_enter, "> "},
        {"a|", "\n", "a|", res_enter, "> "},
        {"a|", "\t", "a|", res_complete, "> "},
        {"a|", "\x0c", "a|", res_clear, "> "},
        {"a|", "\x03", "a|", res_intr, "> "},
        {"a|", "\x1c", "a|", res_quit, "> "},
        {"a|", "\x1a", "a|", res_suspend, "> "},
        {"|", "\022echo", "|echo world", res_none, "(reverse-i-search)'echo': "},
        {"|", "\022echo\022\022", "|echo hello", res_none, "(failed reverse-i-search)'echo': "},
        {"|", "\022hello\x7f\x7f\x7f\x7f", "ec|ho world", res_none, "(reverse-i-search)'h': "},
        {"|", "\022zz", "|", res_none, "(failed reverse-i-search)'zz': "},
        {"typed|", "\022make\x07", "typed|", res_none, "> "},
        {"typed|", "\022make\x1b@", "|make test", res_none, "> "},
        {"typed|", "\022make\r", "|make test", res_enter, "> "},
        {"typed|", "\022make\x03", "|make test", res_intr, "(reverse-i-search)'make': "},
    };
    for (const auto &r : rows) {
        row_state s(r.before);
        EXPECT_EQ(s.feed(r.keys), r.result) << escape_bytes(r.keys);
        EXPECT_EQ(escape_bytes(s.shown()), escape_bytes(r.after)) << escape_bytes(r.keys);
        edit_buf prompt = {};
        edit_state_prompt(&s.st, &prompt);
        EXPECT_EQ(std::string(prompt.data, prompt.len), r.prompt) << escape_bytes(r.keys);
        free(prompt.data);
    }
}

// A second Tab in a row lists the names; any other key in between does not.
TEST(EditKeys, SecondTabLists)
{
    row_state s("ls a|");
    char *names[] = {const_cast<char *>("ab"), const_cast<char *>("ac")};
    edit_completion c = {const_cast<char *>(""), names, 2};
    EXPECT_EQ(s.feed("\t"), res_complete);
    EXPECT_EQ(edit_state_completed(&s.st, &c), 0);
    EXPECT_EQ(s.feed("\t"), res_complete);
    EXPECT_EQ(edit_state_completed(&s.st, &c), 1);
    s.feed("\x02\x06\t");
    c.insert = const_cast<char *>("b ");
    EXPECT_EQ(edit_state_completed(&s.st, &c), 0);
    EXPECT_EQ(s.shown(), "ls ab |");
    s.st.pasting = 1;  // more input waits: a Tab in a paste is inserted
    EXPECT_EQ(s.feed("\t"), res_none);
    EXPECT_EQ(escape_bytes(s.shown()), "ls ab \\t|");
}

struct DrawRow {
    std::string prompt, line;  // the line with its cursor as |
    int width, height;
    std::vector<std::string> rows;  // the screen's rows afterwards
    int row, col;                   // the cursor on the screen
};

// Draws line (its colours in letters, as the screen model notes them) on
// screen over what old_row says was drawn; checks what the model saw.
int draw(screen_model *screen, const DrawRow &r, int old_row, const std::string &colours = "")
{
    line_text in = parse_line(r.line);
    std::vector<unsigned char> shade;
    for (char c : colours)
        shade.push_back(static_cast<unsigned char>(std::string(".oqe").find(c)));
    edit_view v = {r.prompt.data(),
                   r.prompt.size(),
                   in.text.data(),
                   in.text.size(),
                   colours.empty() ? nullptr : shade.data(),
                   in.cursor,
                   r.width,
                   r.height};
    edit_buf out = {};
    int col;
    int row = edit_draw(&out, &v, old_row, &col);
    screen->feed(std::string(out.data, out.len));
    free(out.data);
    EXPECT_EQ(screen->fault, "");
    for (int i = 0; i < r.height; i++)
        EXPECT_EQ(screen->text(i), i < static_cast<int>(r.rows.size()) ? r.rows[i] : "")
            << "row " << i;
    EXPECT_EQ(screen->row, r.row);
    EXPECT_EQ(screen->col, r.col);
    EXPECT_EQ(row, r.row);
    EXPECT_EQ(col, r.col);
    return row;
}

// Each line drawn over the one before it in the same window.
TEST(EditDraw, RowsAndCursor)
{
    const DrawRow rows[] = {
        {"> ", "ls| -l", 80, 24, {"> ls -l"}, 0, 4},
        {"> ", "abcdefgh|", 10, 4, {"> abcdefgh", ""}, 1, 0},
        {"> ", "abc|defghij", 6, 4, {"> abcd", "efghij", ""}, 0, 5},
        {"> ", "abc|\xe4\xb8\xad", 6, 4, {"> abc", "\xe4\xb8\xad"}, 1, 0},
        {"> ", "abc\xe4\xb8\xad|", 6, 4, {"> abc", "\xe4\xb8\xad"}, 1, 2},
        {"> ", "a\x01|b\xff\x7f", 80, 4, {"> a^Ab\\xFF^?"}, 0, 5},
        {"> ", "\xc2\x85|e\xcc\x81x", 80, 4, {"> \\xC2\\x85e\xcc\x81x"}, 0, 10},
        {"> ",
         "\xe4\xb8\xad|",
         1,
         24,
         {">", "", "\\", "x", "E", "4", "\\", "x", "B", "8", "\\", "x", "A", "D"},
         14,
         0},
        {"> ", "|" + std::string(50, 'x'), 10, 3, {"> xxxxxxxx", "xxxxxxxxxx", "xxxxxxxxxx"}, 0, 2},
        {"> ", std::string(50, 'x') + "|", 10, 3, {"xxxxxxxxxx", "xxxxxxxxxx", "xx"}, 2, 2},
        {"> ",
         std::string(25, 'x') + "|" + std::string(25, 'x'),
         10,
         3,
         {"> xxxxxxxx", "xxxxxxxxxx", "xxxxxxxxxx"},
         2,
         7},
        {"> ", "ab|", 10, 3, {"> ab", "", ""}, 0, 4},
        {"(reverse-i-search)'a': ", "|ab", 30, 3, {"(reverse-i-search)'a': ab"}, 0, 23},
    };
    int old_row = 0;
    screen_model screen(0, 0);
    for (const auto &r : rows) {
        if (screen.width != r.width || screen.height != r.height)
            screen = screen_model(r.width, r.height), old_row = 0;
        SCOPED_TRACE(escape_bytes(r.line) + " at width " + std::to_string(r.width));
        old_row = draw(&screen, r, old_row);
        EXPECT_EQ(screen.colour.find_first_not_of('.'), std::string::npos);
    }
}

// The line in its colours, and the prompt always in the normal one.
TEST(EditDraw, Colours)
{
    const struct {
        std::string line, colours, shown;
    } rows[] = {
        {"ls;wc 'a'|", "..o...qqq", "....o...qqq"},
        {"x|", "e", "..e"},
        {"a|", ".", "..."},
    };
    screen_model screen(80, 4);
    int old_row = 0;
    for (const auto &r : rows) {
        std::string text = parse_line(r.line).text;
        old_row = draw(&screen,
                       {"> ", r.line, 80, 4, {"> " + text}, 0, static_cast<int>(text.size()) + 2},
                       old_row, r.colours);
        EXPECT_EQ(screen.colour.substr(0, 80), r.shown + std::string(80 - r.shown.size(), '.'));
    }
}

TEST(EditDraw, NamesInColumns)
{
    char *names[] = {const_cast<char *>("a"), const_cast<char *>("bb"),
                     const_cast<char *>("ccc\x01"), const_cast<char *>("d")};
    const struct {
        int width;
        std::string shown;
    } rows[] = {
        {14, "a      ccc^A\r\nbb     d\r\n"},
        {13, "a\r\nbb\r\nccc^A\r\nd\r\n"},
    };
    for (const auto &r : rows) {
        edit_buf out = {};
        edit_list_names(&out, names, 4, r.width);
        EXPECT_EQ(escape_bytes(std::string(out.data, out.len)), escape_bytes(r.shown));
        free(out.data);
    }
}

}  // namespace
