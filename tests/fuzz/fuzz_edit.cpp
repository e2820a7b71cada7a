// SPDX-License-Identifier: BSD-2-Clause
// The line editor's core on arbitrary bytes: the first two choose the
// window (1 to 96 columns, 1 to 8 rows), whether the input is a paste and
// whether an earlier line comes before it; the rest are keys, applied to a
// line with a small history. After every third byte and the last, the whole
// logical line is coloured and drawn over the last drawing into the terminal
// model. Checked: the cursor stays at a character's start inside the line
// (one walked to from the line's start, from which edit_char_prev walks
// back), no NUL enters the line, every colour is known, and the model sees
// no fault (see screen.h).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../support/screen.h"
#include "edit.h"
#include "fuzz_support.h"

static void check_cursor(const edit_line *l)
{
    if (l->cursor > l->len || memchr(l->text, '\0', l->len))
        abort();
    size_t i = 0;
    for (size_t next; i < l->cursor; i = next) {
        next = edit_char_next(l->text, l->len, i);
        if (next <= i || next > l->len || edit_char_prev(l->text, l->len, next) != i)
            abort();
    }
    if (i != l->cursor || !is_edit_char_start(l->text, l->len, i))
        abort();
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    setenv("PATH", "", 1);  // command names are looked for nowhere: no directory reads
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2 || size > 512)
        return 0;
    int width = 1 + data[0] % 96, height = 1 + data[1] % 8;
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
    std::string joined, colour;
    int row = 0;
    for (size_t i = 2; i < size; i++) {
        edit_result r = edit_feed(&st, &d, data[i]);
        char insert[] = "a\\ b";
        edit_completion c = {insert, nullptr, 0};
        if (r == res_complete)
            edit_state_completed(&st, &c);
        check_cursor(&st.line);
        if (r == res_enter || r == res_eof || r == res_clear) {
            edit_state_begin(&st);
            screen = screen_model(width, height);
            row = 0;
        }
        // Drawn as a paste is, not after every byte; a line grown long by
        // yanks is not coloured again and again.
        if ((i % 3 != 2 && i + 1 < size) || st.line.len > 4096)
            continue;
        joined.assign(st.before).append(st.line.text, st.line.len);
        colour.assign(st.line.len, '\0');
        auto *shade = reinterpret_cast<unsigned char *>(colour.data());
        edit_colour_line(joined.c_str(), joined.size(), st.before_len,
                         st.before_len + st.line.cursor, &cmds, shade);
        for (unsigned char k : colour)
            if (k > colour_unknown)
                abort();
        edit_state_prompt(&st, &prompt);
        edit_view v = {prompt.data, prompt.len,     st.line.text, st.line.len,
                       shade,       st.line.cursor, width,        height};
        row = screen.draw(&v, row);
        if (!screen.fault.empty())
            mismatch("the drawing", std::string("no fault"), screen.fault);
    }
    edit_state_free(&st);
    edit_cmds_free(&cmds);
    free(kill.data);
    free(prompt.data);
    return 0;
}
