// SPDX-License-Identifier: BSD-2-Clause
// The line editor's core on arbitrary bytes: the first two choose the
// window (1 to 96 columns, 1 to 8 rows) and whether the input is a paste;
// the rest are keys, decoded and applied to a line with a small history and
// an earlier line before it. After every third byte and the last, the whole
// logical line is coloured and the line drawn over the last drawing, the
// bytes applied to a small terminal model. Checked: the cursor stays inside the line at a
// character's start (the start of a character walked to from the line's
// start, from which edit_char_prev walks back); no NUL enters the line; the
// terminal model sees no row past the width, no raw control byte, and the
// cursor where the drawing says it is.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../support/screen.h"
#include "edit.h"
#include "fuzz_support.h"

namespace {

void check_cursor(const edit_line *l)
{
    if (l->cursor > l->len || memchr(l->text, '\0', l->len))
        abort();
    size_t i = 0;
    while (i < l->cursor) {
        size_t next = edit_char_next(l->text, l->len, i);
        if (next <= i || next > l->len || edit_char_prev(l->text, l->len, next) != i)
            abort();
        i = next;
    }
    if (i != l->cursor || !is_edit_char_start(l->text, l->len, i))
        abort();
}

struct fuzz_line {
    std::string joined;
    unsigned char colour[4096];
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    setenv("PATH", "", 1);  // command names are looked for nowhere: no directory reads
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2 || size > 512)
        return 0;
    int width = 1 + data[0] % 96;
    int height = 1 + data[1] % 8;
    char *entries[] = {const_cast<char *>("ls -l"), const_cast<char *>("echo 'a b' | wc"),
                       const_cast<char *>("\xe4\xb8\xad\xe6\x96\x87 e\xcc\x81"),
                       const_cast<char *>("make")};
    edit_history h = {entries, 4, 4};
    edit_buf kill = {}, prompt = {};
    edit_cmds cmds = {};
    edit_state st = {};
    st.prompt = "~/src> ";
    st.before = data[1] & 0x80 ? "echo 'x" : "";
    st.before_len = strlen(st.before);
    st.hist = &h;
    st.kill = &kill;
    st.erase = 0x7f, st.intr = 3, st.quit = 0x1c, st.susp = 0x1a;
    st.pasting = data[0] >= 0x80;
    edit_state_begin(&st);
    edit_decoder d = {};
    screen_model screen(width, height);
    auto *line = new fuzz_line;
    int row = 0;
    for (size_t i = 2; i < size; i++) {
        edit_result r = edit_feed(&st, &d, data[i]);
        if (r == res_complete) {
            char insert[] = "a\\ b";
            edit_completion c = {insert, nullptr, 0};
            edit_state_completed(&st, &c);
        }
        check_cursor(&st.line);
        if (r == res_enter || r == res_eof || r == res_clear) {
            edit_state_begin(&st);
            screen = screen_model(width, height);
            row = 0;
        }
        // Drawn as the terminal layer draws a paste: not after every byte.
        if ((i % 3 != 2 && i + 1 < size) || st.line.len > sizeof line->colour)
            continue;
        line->joined.assign(st.before).append(st.line.text, st.line.len);
        edit_colour_line(line->joined.c_str(), line->joined.size(), st.before_len,
                         st.before_len + st.line.cursor, &cmds, line->colour);
        for (size_t k = 0; k < st.line.len; k++)
            if (line->colour[k] > colour_unknown)
                abort();
        edit_state_prompt(&st, &prompt);
        edit_view v = {prompt.data,  prompt.len,     st.line.text, st.line.len,
                       line->colour, st.line.cursor, width,        height};
        edit_buf out = {};
        int col;
        row = edit_draw(&out, &v, row, &col);
        screen.feed(std::string(out.data, out.len));
        free(out.data);
        if (!screen.fault.empty() || screen.row != row || screen.col != col || row >= height)
            mismatch("the drawing",
                     "no fault, cursor at " + std::to_string(row) + "," + std::to_string(col),
                     screen.fault + " cursor at " + std::to_string(screen.row) + "," +
                         std::to_string(screen.col));
    }
    delete line;
    edit_state_free(&st);
    edit_cmds_free(&cmds);
    free(kill.data);
    free(prompt.data);
    return 0;
}
