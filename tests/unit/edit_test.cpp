// SPDX-License-Identifier: BSD-2-Clause
// The line editor without a terminal: bytes to keys, what keys do to the
// line, its cursor and the history, and what is drawn for a window, applied
// to a small terminal model.
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
    if (c == key_char || c == key_byte)
        return escape_bytes(std::string(k.bytes, k.bytes + k.len));
    return named[c - key_esc];
}

// Bytes fed one at a time; '@' stands for a pause (the timeout).
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
        {"\x1b\xc3\xa9", "esc \\xc3\\xa9"},
        {"a\x01\x7f\t", "a ^A ^? ^I"},
        {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\\xc3\\xa9 \\xe2\\x82\\xac \\xf0\\x9f\\x98\\x80"},
        {"\xe2\x82x", "\\xe2 \\x82 x"},  // cut short: its bytes, then x anew
        {"\xe2\x82@", "\\xe2 \\x82"},
        {"\xff\xc0\xaf", "\\xff \\xc0 \\xaf"},
        {"\xed\xa0\x80", "\\xed \\xa0 \\x80"},            // a surrogate
        {"\xf4\x90\x80\x80", "\\xf4 \\x90 \\x80 \\x80"},  // above U+10FFFF
        {"\xe0\x80\xaf", "\\xe0 \\x80 \\xaf"},            // overlong
        {"\xc3\x1b[A", "\\xc3 up"},
    };
    for (const auto &r : rows) {
        edit_decoder d = {};
        edit_key k[edit_key_max];
        std::string got;
        for (char c : r.bytes) {
            int n = c == '@' ? edit_key_timeout(&d, k) : edit_key_decode(&d, c, k);
            for (int i = 0; i < n; i++)
                got.append(got.empty() ? "" : " ").append(key_name(k[i]));
        }
        EXPECT_EQ(got, r.keys) << escape_bytes(r.bytes);
    }
}

const char *const history[] = {"ls -l", "echo hello", "make test", "echo world"};

// The editor's state for one row: the history above, an empty kill buffer,
// the usual terminal bytes, and the line given with its cursor as |.
struct row_state {
    edit_history h = {const_cast<char **>(history), 4, 4};
    edit_buf kill = {};
    edit_state st = {};
    edit_decoder d = {};
    std::string result;  // of the last key that had one
    explicit row_state(std::string line)
    {
        st.prompt = "> ";
        st.hist = &h;
        st.kill = &kill;
        st.erase = 0x7f, st.intr = 3, st.quit = 0x1c, st.susp = 0x1a;
        edit_state_begin(&st);
        st.line.cursor = line.find('|');
        line.erase(st.line.cursor, 1);
        free(st.line.text);
        st.line.text = strdup(line.c_str());
        st.line.len = line.size();
        st.line.cap = line.size() + 1;
    }
    ~row_state()
    {
        edit_state_free(&st);
        free(kill.data);
    }
    // Feeds the bytes: '@' is a pause, '#' says that more input waits from
    // then on (a paste). Tab completes "b", of the names ab and ac.
    void feed(const std::string &bytes)
    {
        static const char *const name[] = {"",       "=enter", "=eof",  "=complete",
                                           "=clear", "=intr",  "=quit", "=suspend"};
        char *names[] = {const_cast<char *>("ab"), const_cast<char *>("ac")};
        edit_completion c = {const_cast<char *>("b"), names, 2};
        edit_key k[edit_key_max];
        for (char b : bytes) {
            st.pasting |= b == '#';
            edit_result r = res_none;
            if (b != '@' && b != '#')
                r = edit_feed(&st, &d, static_cast<unsigned char>(b));
            for (int i = 0, n = b == '@' ? edit_key_timeout(&d, k) : 0; i < n && !r; i++)
                r = edit_key_apply(&st, k + i);
            result = r ? name[r] : result;
            if (r == res_complete && edit_state_completed(&st, &c))
                result = "=list";
        }
    }
    // The search's prompt while it runs, the line with its cursor as |, and
    // the last result.
    std::string shown() const
    {
        edit_buf prompt = {};
        edit_state_prompt(&st, &prompt);
        std::string s = st.searching ? std::string(prompt.data) : "";
        free(prompt.data);
        s += std::string(st.line.text, st.line.len).insert(st.line.cursor, "|");
        return result.empty() ? s : s + " " + result;
    }
};

TEST(EditKeys, EffectOnTheLine)
{
    const struct {
        std::string before, keys, after;
    } rows[] = {
        // moving
        {"abc|", "\x02\x02", "a|bc"},
        {"a|bc", "\x06\x06\x06", "abc|"},
        {"a|bc", "\x05", "abc|"},
        {"ab|c", "\x01", "|abc"},
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
        {"xe\xcc\x81|", "\x7f", "x|"},
        {"a|bc", "\x04", "a|c"},
        {"abc|", "\x04", "abc|"},
        {"\xe2x|\x82\xac", "\x7f", "|\xe2\x82\xac"},  // two bytes joined into one character
        // cutting and yanking
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
        {"ab|cd", "\x0b\x01\x0b\x19", "ab|"},  // a cut after another key starts anew
        // swapping, quoting, inserting
        {"ab|", "\x14", "ba|"},
        {"a|bc", "\x14", "ba|c"},
        {"|ab", "\x14", "|ab"},
        {"a\xe4\xb8\xad|", "\x14", "\xe4\xb8\xad\x61|"},  // \x61: a
        {"a|", "\x16\x01\x16\x1b\x16\t", "a\x01\x1b\t|"},
        {"|", "\xe2\x82x", "\xe2\x82x|"},
        {"a|", "\x1b@b", "ab|"},  // a lone Esc does nothing
        // keys left to the terminal layer
        {"|", "\x04", "| =eof"},
        {"a|", "\r", "a| =enter"},
        {"ls a|", "\t", "ls ab| =complete"},
        {"ls a|", "\t\t", "ls abb| =list"},  // a second Tab in a row lists them
        {"ls a|", "\t\x02\x06\t", "ls abb| =complete"},
        {"ls a|", "#\t", "ls a\t|"},  // in a paste, inserted
        {"a|", "\x03", "a| =intr"},
        {"a|", "\x1c", "a| =quit"},
        {"a|", "\x1a", "a| =suspend"},
        // history
        {"|", "\x1b[A", "echo world|"},
        {"|", "\x10\x10", "make test|"},
        {"|", "\x10\x10\x10\x10\x10\x10", "ls -l|"},
        {"ty|ped", "\x10\x10\x0e\x1b[B", "typed|"},
        {"typed|", "\x1b[B", "typed|"},
        {"x|", "\x10\x7f\x10\x0e", "echo world|"},  // an entry edited, then left
        // search
        {"|", "\022echo", "(reverse-i-search)'echo': |echo world"},
        {"|", "\022echo\022", "(reverse-i-search)'echo': |echo hello"},
        {"|", "\022echo\022\022", "(failed reverse-i-search)'echo': |echo hello"},
        {"|", "\022o", "(reverse-i-search)'o': echo w|orld"},  // its last occurrence
        {"|", "\022hello\x7f\x7f\x7f\x7f", "(reverse-i-search)'h': ec|ho world"},
        {"|", "\022zz", "(failed reverse-i-search)'zz': |"},
        {"typed|", "\022make\x7f\x7f\x7f\x7f", "(reverse-i-search)'': typed|"},
        {"typed|", "\022make\x07", "typed|"},
        {"typed|", "\022make\x1b@", "|make test"},
        {"typed|", "\022make\r", "|make test =enter"},
        {"typed|", "\022make\x03", "(reverse-i-search)'make': |make test =intr"},
        {"typed|", "\022make\x06", "m|ake test"},
        {"typed|", "\022make\x0b", "|"},
        {"|", "\022hello\x1b@\x1b[B", "make test|"},
        {"|", "\022hello\x1b@\x1b[B\x1b[B\x1b[B", "|"},
    };
    for (const auto &r : rows) {
        row_state s(r.before);
        s.feed(r.keys);
        EXPECT_EQ(escape_bytes(s.shown()), escape_bytes(r.after))
            << escape_bytes(r.before) << " + " << escape_bytes(r.keys);
    }
}

// Each line drawn after "> " over the one before it in the same window: the
// screen afterwards, and its colours (none when the row gives none).
TEST(EditDraw, RowsColoursAndCursor)
{
    const std::string x25(25, 'x'), x50(50, 'x');
    const std::string mix =
        "\xe4\xb8\xad\xef\xbd\xb6\xf0\x9f\x98\x80"  // widths 2, 1, 2,
        "e\xcc\x81\xea\xb0\x80";                    // 1 + 0, 2
    const struct {
        std::string line, colour;  // the line with its cursor as |; a letter per byte
        int width, height;
        std::string screen;
    } rows[] = {
        {"ls| -l", "", 80, 24, "> ls| -l"},
        {"ls;wc 'a'|", "..o...qqq", 80, 24, "> ls;wc 'a'|"},
        {"x|", "e", 80, 24, "> x|"},
        {mix + "|", "", 80, 24, "> " + mix + "|"},
        {"abcdefgh|", "", 10, 4, "> abcdefgh\n|"},
        {"abc|defghij", "", 6, 4, "> abc|d\nefghij"},
        {"abc|\xe4\xb8\xad", "", 6, 4, "> abc\n|\xe4\xb8\xad"},
        {"abc\xe4\xb8\xad|", "", 6, 4, "> abc\n\xe4\xb8\xad|"},
        {"a\x01|b\xff\x7f", "", 80, 4, "> a^A|b\\xFF^?"},
        {"\xc2\x85|e\xcc\x81x", "", 80, 4, "> \\xC2\\x85|e\xcc\x81x"},
        {"\xe4\xb8\xad|", "", 1, 24, ">\n\n\\\nx\nE\n4\n\\\nx\nB\n8\n\\\nx\nA\nD\n|"},
        {"|" + x50, "", 10, 3, "> |xxxxxxxx\nxxxxxxxxxx\nxxxxxxxxxx"},
        {x50 + "|", "", 10, 3, "xxxxxxxxxx\nxxxxxxxxxx\nxx|"},
        {x25 + "|" + x25, "", 10, 3, "> xxxxxxxx\nxxxxxxxxxx\nxxxxxxx|xxx"},
        {"ab|", "", 10, 3, "> ab|"},
    };
    int old_row = 0;
    screen_model screen(0, 0);
    for (const auto &r : rows) {
        if (screen.width != r.width || screen.height != r.height)
            screen = screen_model(r.width, r.height), old_row = 0;
        SCOPED_TRACE(escape_bytes(r.line) + " at width " + std::to_string(r.width));
        size_t cursor = r.line.find('|');
        std::string text = std::string(r.line).erase(cursor, 1);
        std::vector<unsigned char> shade;
        for (char c : r.colour)
            shade.push_back(static_cast<unsigned char>(std::string(".oqe").find(c)));
        const unsigned char *colour = shade.empty() ? nullptr : shade.data();
        edit_view v = {"> ", 2, text.data(), text.size(), colour, cursor, r.width, r.height};
        old_row = screen.draw(&v, old_row);
        EXPECT_EQ(screen.fault, "");
        EXPECT_EQ(escape_bytes(screen.shown()), escape_bytes(r.screen));
        std::string shown = ".." + r.colour;
        EXPECT_EQ(screen.colour, shown + std::string(screen.colour.size() - shown.size(), '.'));
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
