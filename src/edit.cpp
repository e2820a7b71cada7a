// SPDX-License-Identifier: BSD-2-Clause
// The line editor: keys from the terminal's bytes, the line and its editing,
// drawing, program and file names, colours, completion and history, all
// without a terminal; then the thin layer that holds the terminal raw while
// one line is read.
#include "edit.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "char.h"
#include "define.h"
#include "syntax.h"
#include "word.h"

// ---- Bytes and the line ----

// Makes room in data, an array of *cap elements of size bytes, for need of them.
static void *edit_grow(void *data, size_t *cap, size_t need, size_t size)
{
    if (need <= *cap)
        return data;
    size_t new_cap = *cap ? *cap : 64;
    while (new_cap < need)
        new_cap *= 2;
    *cap = new_cap;
    return mem_realloc(data, new_cap * size);
}

// Inserts n bytes at index at of the *len bytes at *data, which stay NUL-terminated.
static void edit_bytes_insert(char **data, size_t *len, size_t *cap, size_t at, const char *s,
                              size_t n)
{
    *data = static_cast<char *>(edit_grow(*data, cap, *len + n + 1, 1));
    memmove(*data + at + n, *data + at, *len - at);
    if (n)
        memcpy(*data + at, s, n);
    *len += n;
    (*data)[*len] = '\0';
}

// Frees the count strings at s, and s.
static void edit_strings_free(char **s, size_t count)
{
    for (size_t i = 0; i < count; i++)
        free(s[i]);
    free(s);
}

static void edit_buf_add(edit_buf *b, const char *s, size_t n)
{
    edit_bytes_insert(&b->data, &b->len, &b->cap, b->len, s, n);
}

static void edit_buf_str(edit_buf *b, const char *s)
{
    edit_buf_add(b, s, strlen(s));
}

static void edit_buf_set(edit_buf *b, const char *s, size_t n)
{
    b->len = 0;
    edit_buf_add(b, s, n);
}

// A control sequence with one number: ESC [ n c.
static void edit_buf_csi(edit_buf *b, int n, char c)
{
    char seq[24];
    edit_buf_add(b, seq, static_cast<size_t>(snprintf(seq, sizeof seq, "\x1b[%d%c", n, c)));
}

// Inserts n bytes at the cursor, which moves past them.
static void edit_line_insert(edit_line *l, const char *s, size_t n)
{
    edit_bytes_insert(&l->text, &l->len, &l->cap, l->cursor, s, n);
    l->cursor += n;
}

// Removes the bytes from `from` to `to`; the cursor keeps its place in the rest.
static void edit_line_erase(edit_line *l, size_t from, size_t to)
{
    memmove(l->text + from, l->text + to, l->len - to);
    l->len -= to - from;
    l->text[l->len] = '\0';
    if (l->cursor >= to)
        l->cursor -= to - from;
    else if (l->cursor > from)
        l->cursor = from;
}

static void edit_line_set(edit_line *l, const char *s, size_t n)
{
    l->len = l->cursor = 0;
    edit_line_insert(l, s, n);
}

// ---- Characters ----

// The length of the UTF-8 sequence that lead starts; 0 when it starts none.
static int utf8_size(unsigned char lead)
{
    return lead < 0x80   ? 1
           : lead < 0xc2 ? 0
           : lead < 0xe0 ? 2
           : lead < 0xf0 ? 3
           : lead < 0xf5 ? 4
                         : 0;
}

// Whether c may be byte i (1 to 3) of the sequence that lead starts: no
// overlong form, no surrogate, nothing above U+10FFFF.
static int is_utf8_next(unsigned char lead, int i, unsigned char c)
{
    if (i == 1 && (lead == 0xe0 || lead == 0xf0))
        return c >= (lead == 0xe0 ? 0xa0 : 0x90) && c <= 0xbf;
    if (i == 1 && (lead == 0xed || lead == 0xf4))
        return c >= 0x80 && c <= (lead == 0xed ? 0x9f : 0x8f);
    return (c & 0xc0) == 0x80;
}

// Decodes the code point at s, of which n > 0 bytes may be read: its length,
// or 0 when no valid sequence starts there.
static int utf8_decode(const char *s, size_t n, uint32_t *cp)
{
    const auto *u = reinterpret_cast<const unsigned char *>(s);
    int size = utf8_size(u[0]);
    if (!size || static_cast<size_t>(size) > n)
        return 0;
    uint32_t v = size == 1 ? u[0] : u[0] & (0x7fu >> size);
    for (int i = 1; i < size; i++) {
        if (!is_utf8_next(u[0], i, u[i]))
            return 0;
        v = v << 6 | (u[i] & 0x3fu);
    }
    *cp = v;
    return size;
}

struct def_edit_range {
    uint32_t lo, hi;
};
using edit_range = def_edit_range;

// Combining marks and other code points that take no column.
static const edit_range edit_zero_width[] = {
    {0x0300, 0x036f},   {0x0483, 0x0489},   {0x0591, 0x05bd},   {0x05bf, 0x05bf},
    {0x05c1, 0x05c2},   {0x05c4, 0x05c5},   {0x05c7, 0x05c7},   {0x0610, 0x061a},
    {0x064b, 0x065f},   {0x0670, 0x0670},   {0x06d6, 0x06dc},   {0x06df, 0x06e4},
    {0x06e7, 0x06e8},   {0x06ea, 0x06ed},   {0x0711, 0x0711},   {0x0730, 0x074a},
    {0x07a6, 0x07b0},   {0x07eb, 0x07f3},   {0x0816, 0x0819},   {0x081b, 0x0823},
    {0x0825, 0x0827},   {0x0829, 0x082d},   {0x0859, 0x085b},   {0x08d3, 0x08e1},
    {0x08e3, 0x0902},   {0x093a, 0x093a},   {0x093c, 0x093c},   {0x0941, 0x0948},
    {0x094d, 0x094d},   {0x0951, 0x0957},   {0x0962, 0x0963},   {0x0981, 0x0981},
    {0x09bc, 0x09bc},   {0x09c1, 0x09c4},   {0x09cd, 0x09cd},   {0x09e2, 0x09e3},
    {0x0a01, 0x0a02},   {0x0a3c, 0x0a3c},   {0x0a41, 0x0a51},   {0x0a70, 0x0a71},
    {0x0a81, 0x0a82},   {0x0abc, 0x0abc},   {0x0ac1, 0x0ac8},   {0x0acd, 0x0acd},
    {0x0b01, 0x0b01},   {0x0b3c, 0x0b3c},   {0x0b41, 0x0b44},   {0x0b4d, 0x0b4d},
    {0x0bc0, 0x0bc0},   {0x0bcd, 0x0bcd},   {0x0c3e, 0x0c40},   {0x0c46, 0x0c56},
    {0x0cbc, 0x0cbc},   {0x0ccc, 0x0ccd},   {0x0d41, 0x0d44},   {0x0d4d, 0x0d4d},
    {0x0dca, 0x0dca},   {0x0dd2, 0x0dd6},   {0x0e31, 0x0e31},   {0x0e34, 0x0e3a},
    {0x0e47, 0x0e4e},   {0x0eb1, 0x0eb1},   {0x0eb4, 0x0ebc},   {0x0ec8, 0x0ecd},
    {0x0f18, 0x0f19},   {0x0f35, 0x0f35},   {0x0f37, 0x0f37},   {0x0f39, 0x0f39},
    {0x0f71, 0x0f7e},   {0x0f80, 0x0f84},   {0x0f86, 0x0f87},   {0x0f8d, 0x0fbc},
    {0x102d, 0x1030},   {0x1032, 0x1037},   {0x1039, 0x103a},   {0x1160, 0x11ff},
    {0x135d, 0x135f},   {0x1712, 0x1714},   {0x17b4, 0x17b5},   {0x17b7, 0x17bd},
    {0x17c6, 0x17c6},   {0x17c9, 0x17d3},   {0x180b, 0x180f},   {0x1ab0, 0x1aff},
    {0x1dc0, 0x1dff},   {0x200b, 0x200f},   {0x202a, 0x202e},   {0x2060, 0x2064},
    {0x2066, 0x206f},   {0x20d0, 0x20f0},   {0x2cef, 0x2cf1},   {0x2de0, 0x2dff},
    {0x302a, 0x302d},   {0x3099, 0x309a},   {0xa66f, 0xa672},   {0xa674, 0xa67d},
    {0xa69e, 0xa69f},   {0xa6f0, 0xa6f1},   {0xfb1e, 0xfb1e},   {0xfe00, 0xfe0f},
    {0xfe20, 0xfe2f},   {0xfeff, 0xfeff},   {0xfff9, 0xfffb},   {0x1d167, 0x1d169},
    {0x1d17b, 0x1d182}, {0xe0001, 0xe0001}, {0xe0020, 0xe007f}, {0xe0100, 0xe01ef},
};

// East Asian wide and fullwidth code points, emoji shown as pictures included.
static const edit_range edit_wide[] = {
    {0x1100, 0x115f},   {0x231a, 0x231b},   {0x2329, 0x232a},   {0x23e9, 0x23ec},
    {0x23f0, 0x23f0},   {0x23f3, 0x23f3},   {0x25fd, 0x25fe},   {0x2614, 0x2615},
    {0x2648, 0x2653},   {0x267f, 0x267f},   {0x2693, 0x2693},   {0x26a1, 0x26a1},
    {0x26aa, 0x26ab},   {0x26bd, 0x26be},   {0x26c4, 0x26c5},   {0x26ce, 0x26ce},
    {0x26d4, 0x26d4},   {0x26ea, 0x26ea},   {0x26f2, 0x26f3},   {0x26f5, 0x26f5},
    {0x26fa, 0x26fa},   {0x26fd, 0x26fd},   {0x2705, 0x2705},   {0x270a, 0x270b},
    {0x2728, 0x2728},   {0x274c, 0x274c},   {0x274e, 0x274e},   {0x2753, 0x2755},
    {0x2757, 0x2757},   {0x2795, 0x2797},   {0x27b0, 0x27b0},   {0x27bf, 0x27bf},
    {0x2b1b, 0x2b1c},   {0x2b50, 0x2b50},   {0x2b55, 0x2b55},   {0x2e80, 0x303e},
    {0x3041, 0x33ff},   {0x3400, 0x9fff},   {0xa000, 0xa4cf},   {0xa960, 0xa97f},
    {0xac00, 0xd7a3},   {0xf900, 0xfaff},   {0xfe10, 0xfe19},   {0xfe30, 0xfe6f},
    {0xff00, 0xff60},   {0xffe0, 0xffe6},   {0x16fe0, 0x16fe3}, {0x16ff0, 0x16ff1},
    {0x17000, 0x18cff}, {0x18d00, 0x18d08}, {0x1aff0, 0x1affe}, {0x1b000, 0x1b2ff},
    {0x1f004, 0x1f004}, {0x1f0cf, 0x1f0cf}, {0x1f18e, 0x1f18e}, {0x1f191, 0x1f19a},
    {0x1f200, 0x1f202}, {0x1f210, 0x1f23b}, {0x1f240, 0x1f248}, {0x1f250, 0x1f251},
    {0x1f260, 0x1f265}, {0x1f300, 0x1f320}, {0x1f32d, 0x1f335}, {0x1f337, 0x1f37c},
    {0x1f37e, 0x1f393}, {0x1f3a0, 0x1f3ca}, {0x1f3cf, 0x1f3d3}, {0x1f3e0, 0x1f3f0},
    {0x1f3f4, 0x1f3f4}, {0x1f3f8, 0x1f43e}, {0x1f440, 0x1f440}, {0x1f442, 0x1f4fc},
    {0x1f4ff, 0x1f53d}, {0x1f54b, 0x1f54e}, {0x1f550, 0x1f567}, {0x1f57a, 0x1f57a},
    {0x1f595, 0x1f596}, {0x1f5a4, 0x1f5a4}, {0x1f5fb, 0x1f64f}, {0x1f680, 0x1f6c5},
    {0x1f6cc, 0x1f6cc}, {0x1f6d0, 0x1f6d2}, {0x1f6d5, 0x1f6d7}, {0x1f6dd, 0x1f6df},
    {0x1f6eb, 0x1f6ec}, {0x1f6f4, 0x1f6fc}, {0x1f7e0, 0x1f7eb}, {0x1f7f0, 0x1f7f0},
    {0x1f90c, 0x1f93a}, {0x1f93c, 0x1f945}, {0x1f947, 0x1f9ff}, {0x1fa70, 0x1faff},
    {0x20000, 0x2fffd}, {0x30000, 0x3fffd},
};

template <size_t n> static int is_in_ranges(const edit_range (&r)[n], uint32_t cp)
{
    auto *at = std::lower_bound(r, r + n, cp,
                                [](const edit_range &e, uint32_t c) { return e.hi < c; });
    return at != r + n && at->lo <= cp;
}

int edit_width(uint32_t cp)
{
    if (cp < 0x300)
        return 1;
    if (is_in_ranges(edit_zero_width, cp))
        return 0;
    return is_in_ranges(edit_wide, cp) ? 2 : 1;
}

// How a character is shown: as itself, as ^X, or as \xHH for each byte.
enum def_edit_shown { shown_text, shown_caret, shown_hex };
using edit_shown = def_edit_shown;

struct def_edit_char {
    size_t end;
    int width;  // shown_text: the columns of its first code point
    edit_shown shown;
};
using edit_char = def_edit_char;

// The length of the code point at i when it is valid and no control
// character, else 0.
static int edit_text_at(const char *t, size_t len, size_t i, uint32_t *cp)
{
    int n = utf8_decode(t + i, len - i, cp);
    return n && *cp >= 0x20 && (*cp < 0x7f || *cp >= 0xa0) ? n : 0;
}

// The character that starts at i (i < len).
static edit_char edit_char_at(const char *t, size_t len, size_t i)
{
    // Most of a line: printable ASCII, with no combining mark after it.
    auto c = static_cast<unsigned char>(t[i]);
    if (c >= 0x20 && c < 0x7f && (i + 1 == len || static_cast<unsigned char>(t[i + 1]) < 0x80))
        return {i + 1, 1, shown_text};
    uint32_t cp;
    int n = edit_text_at(t, len, i, &cp);
    if (!n) {
        if (c < 0x20 || c == 0x7f)
            return {i + 1, 2, shown_caret};
        int m = utf8_decode(t + i, len - i, &cp);  // a C1 control, or no valid sequence
        return {i + static_cast<size_t>(m ? m : 1), 0, shown_hex};
    }
    size_t end = i + static_cast<size_t>(n);
    uint32_t next;
    for (int m; end < len && (m = edit_text_at(t, len, end, &next)) && !edit_width(next);)
        end += static_cast<size_t>(m);
    return {end, edit_width(cp), shown_text};
}

size_t edit_char_next(const char *text, size_t len, size_t i)
{
    return edit_char_at(text, len, i).end;
}

// The start of the code point that ends at i, a code point's boundary: the
// byte before i alone when it ends no valid one.
static size_t edit_cp_start(const char *t, size_t len, size_t i)
{
    for (size_t k = 1; k <= 4 && k <= i; k++) {
        uint32_t cp;
        if (utf8_decode(t + i - k, len - (i - k), &cp) == static_cast<int>(k))
            return i - k;
        if ((static_cast<unsigned char>(t[i - k]) & 0xc0) != 0x80)
            break;
    }
    return i - 1;
}

size_t edit_char_prev(const char *text, size_t len, size_t i)
{
    size_t s = edit_cp_start(text, len, i);
    uint32_t cp;
    // A zero-width code point belongs to the text character before it.
    while (s > 0 && edit_text_at(text, len, s, &cp) && !edit_width(cp)) {
        size_t p = edit_cp_start(text, len, s);
        if (!edit_text_at(text, len, p, &cp))
            break;
        s = p;
    }
    return s;
}

int is_edit_char_start(const char *text, size_t len, size_t i)
{
    if (i == 0 || i >= len)
        return i <= len;
    uint32_t cp;
    for (size_t k = 1; k <= 3 && k <= i; k++) {  // inside a code point?
        if ((static_cast<unsigned char>(text[i - k]) & 0xc0) != 0x80) {
            if (utf8_decode(text + i - k, len - (i - k), &cp) > static_cast<int>(k))
                return 0;
            break;
        }
    }
    if (!edit_text_at(text, len, i, &cp) || edit_width(cp))
        return 1;
    return !edit_text_at(text, len, edit_cp_start(text, len, i), &cp);
}

// Moves the cursor to a character's start after an edit that may have
// joined bytes into one character: forward after an insertion, else back.
static void edit_line_fix(edit_line *l, int forward)
{
    while (!is_edit_char_start(l->text, l->len, l->cursor))
        forward ? l->cursor++ : l->cursor--;
}

// Letters and digits, and every character beyond ASCII, make words.
static int is_word_byte(char c)
{
    auto u = static_cast<unsigned char>(c);
    return u >= 0x80 || (u >= '0' && u <= '9') || ((u | 0x20) >= 'a' && (u | 0x20) <= 'z');
}

// From i back over what is not a word, then over a word; with blanks set,
// back over blanks, then over what is not blank.
static size_t edit_line_left(const edit_line *l, size_t i, int blanks)
{
    int in_word = 0;
    while (i > 0) {
        size_t p = edit_char_prev(l->text, l->len, i);
        int w = blanks ? !is_char_space(l->text[p]) : is_word_byte(l->text[p]);
        if (in_word && !w)
            break;
        in_word |= w;
        i = p;
    }
    return i;
}

// From i past what is not a word, then past a word.
static size_t edit_line_right(const edit_line *l, size_t i)
{
    while (i < l->len && !is_word_byte(l->text[i]))
        i = edit_char_next(l->text, l->len, i);
    while (i < l->len && is_word_byte(l->text[i]))
        i = edit_char_next(l->text, l->len, i);
    return i;
}

// Swaps the character before the cursor with the one under it (at the end
// of the line, the two before it), and moves the cursor past both.
static void edit_line_transpose(edit_line *l)
{
    if (l->cursor == 0)
        return;
    size_t b = l->cursor == l->len ? edit_char_prev(l->text, l->len, l->len) : l->cursor;
    if (b == 0)
        return;
    size_t a = edit_char_prev(l->text, l->len, b);
    size_t c = edit_char_next(l->text, l->len, b);
    std::rotate(l->text + a, l->text + b, l->text + c);
    l->cursor = c;
}

// ---- Keys from bytes ----

enum def_edit_decode_state { dec_ground = 0, dec_esc, dec_seq, dec_utf8 };

// The escape sequences known, as the bytes after Esc: CSI (ESC [) and SS3
// (ESC O). Every other complete sequence is dropped.
struct def_edit_sequence {
    const char *bytes;
    int key;
};
static const def_edit_sequence edit_sequences[] = {
    {"[A", key_up},      {"[B", key_down},          {"[C", key_right},        {"[D", key_left},
    {"OA", key_up},      {"OB", key_down},          {"OC", key_right},        {"OD", key_left},
    {"[H", key_home},    {"OH", key_home},          {"[1~", key_home},        {"[7~", key_home},
    {"[F", key_end},     {"OF", key_end},           {"[4~", key_end},         {"[8~", key_end},
    {"[3~", key_delete}, {"[1;5C", key_ctrl_right}, {"[1;5D", key_ctrl_left},
};

static int edit_key_set(edit_key *k, int code, const unsigned char *bytes, unsigned char n)
{
    k->code = code;
    k->len = n;
    if (n)
        memcpy(k->bytes, bytes, static_cast<size_t>(n));
    return 1;
}

// The bytes held of a UTF-8 sequence cut short, each a key of its own.
static int edit_key_held(edit_decoder *d, edit_key *out)
{
    for (int i = 0; i < d->n; i++)
        edit_key_set(out + i, key_byte, d->held + i, 1);
    d->state = dec_ground;
    return d->n;
}

// The key of the complete sequence held, if it is known.
static int edit_key_sequence(edit_decoder *d, edit_key *out)
{
    d->state = dec_ground;
    for (const def_edit_sequence &s : edit_sequences)
        if (strlen(s.bytes) == static_cast<size_t>(d->n) && !memcmp(s.bytes, d->held, d->n))
            return edit_key_set(out, s.key, nullptr, 0);
    return 0;
}

// A byte outside any sequence.
static int edit_key_ground(edit_decoder *d, unsigned char c, edit_key *out)
{
    if (c == 0x1b) {
        d->state = dec_esc;
        return 0;
    }
    if (c < 0x20 || c == 0x7f)
        return edit_key_set(out, c, nullptr, 0);
    int size = utf8_size(c);
    if (size == 1 || !size)
        return edit_key_set(out, size ? key_char : key_byte, &c, 1);
    d->state = dec_utf8;
    d->held[0] = c;
    d->n = 1;
    return 0;
}

int edit_key_decode(edit_decoder *d, unsigned char c, edit_key *out)
{
    int n = 0;
    switch (d->state) {
    case dec_utf8:
        if (is_utf8_next(d->held[0], d->n, c)) {
            d->held[d->n++] = c;
            if (d->n < utf8_size(d->held[0]))
                return 0;
            d->state = dec_ground;
            return edit_key_set(out, key_char, d->held, d->n);
        }
        n = edit_key_held(d, out);  // and c is read anew
        break;
    case dec_esc:
        if (c == '[' || c == 'O') {
            d->state = dec_seq;
            d->held[0] = c;
            d->n = 1;
            return 0;
        }
        if (c == 0x1b)  // Esc, and another sequence starts
            return edit_key_set(out, key_esc, nullptr, 0);
        d->state = dec_ground;
        if (c < 0x80)
            return edit_key_set(out, key_alt + c, nullptr, 0);
        n = edit_key_set(out, key_esc, nullptr, 0);
        break;
    case dec_seq:
        if (c >= 0x20 && c <= 0x7e) {
            // Parameters and intermediates go on, a final byte ends it; past
            // the room held, the bytes are counted only: no known sequence.
            if (d->n < static_cast<int>(sizeof d->held))
                d->held[d->n] = c;
            d->n += d->n <= static_cast<int>(sizeof d->held);
            return c >= 0x40 ? edit_key_sequence(d, out) : 0;
        }
        d->state = dec_ground;  // broken off: dropped, and c read anew
        break;
    default:
        break;
    }
    return n + edit_key_ground(d, c, out + n);
}

int edit_key_timeout(edit_decoder *d, edit_key *out)
{
    int n = 0;
    if (d->state == dec_esc)
        n = edit_key_set(out, key_esc, nullptr, 0);
    else if (d->state == dec_utf8)
        n = edit_key_held(d, out);
    d->state = dec_ground;
    return n;
}

// Whether the decoder holds part of a sequence.
static int is_edit_key_pending(const edit_decoder *d)
{
    return d->state != dec_ground;
}

// ---- What keys do ----

// What a key does. Those that move, erase and cut come in three runs, in that
// order (see edit_line_act).
// clang-format off
enum def_edit_action : unsigned char {
    act_none, act_insert, act_left, act_right, act_home, act_end, act_word_left, act_word_right,
    act_backspace, act_delete, act_delete_or_eof, act_kill_end, act_kill_start, act_kill_blank,
    act_kill_word, act_kill_word_back, act_yank, act_transpose, act_older, act_newer, act_search,
    act_complete, act_clear, act_quote, act_enter, act_abort, act_intr, act_quit, act_susp,
};
// clang-format on
using edit_action = def_edit_action;

constexpr int ctrl(char c)
{
    return c & 0x1f;
}

// Readline's emacs keys. The terminal's own erase, interrupt, quit and
// suspend bytes are looked at before these rows.
struct def_edit_binding {
    int key;
    edit_action action;
};
// clang-format off
static const def_edit_binding edit_bindings[] = {
    {ctrl('A'), act_home}, {ctrl('B'), act_left}, {ctrl('D'), act_delete_or_eof},
    {ctrl('E'), act_end}, {ctrl('F'), act_right}, {ctrl('G'), act_abort},
    {ctrl('H'), act_backspace}, {ctrl('I'), act_complete}, {ctrl('J'), act_enter},
    {ctrl('K'), act_kill_end}, {ctrl('L'), act_clear}, {ctrl('M'), act_enter},
    {ctrl('N'), act_newer}, {ctrl('P'), act_older}, {ctrl('R'), act_search},
    {ctrl('T'), act_transpose}, {ctrl('U'), act_kill_start}, {ctrl('V'), act_quote},
    {ctrl('W'), act_kill_blank}, {ctrl('Y'), act_yank}, {0x7f, act_backspace},
    {key_alt + 'b', act_word_left}, {key_alt + 'f', act_word_right}, {key_alt + 'd', act_kill_word},
    {key_alt + 0x7f, act_kill_word_back}, {key_alt + ctrl('H'), act_kill_word_back},
    {key_left, act_left}, {key_right, act_right}, {key_home, act_home}, {key_end, act_end},
    {key_up, act_older}, {key_down, act_newer}, {key_delete, act_delete},
    {key_ctrl_left, act_word_left}, {key_ctrl_right, act_word_right},
};
// clang-format on

static edit_action edit_key_action(const edit_state *st, const edit_key *k)
{
    int code = k->code;
    int byte = code < key_alt                    ? code
               : code == key_char && k->len == 1 ? static_cast<unsigned char>(k->bytes[0])
                                                 : -1;
    if (byte >= 0) {
        if (byte == st->intr)
            return act_intr;
        if (byte == st->quit)
            return act_quit;
        if (byte == st->susp)
            return act_susp;
        if (byte == st->erase)
            return act_backspace;
    }
    if (code == key_char || code == key_byte)
        return act_insert;
    if (code >= key_alt + 'A' && code <= key_alt + 'Z')
        code += 'a' - 'A';
    for (const def_edit_binding &b : edit_bindings)
        if (b.key == code)
            return b.action;
    return act_none;
}

// Cuts from..to out of the line into the kill buffer: after what the
// previous key cut (chain) when cutting forward, before it when back.
static void edit_cut(edit_state *st, size_t from, size_t to, int chain, int back)
{
    if (from >= to) {
        st->last_cut = chain;
        return;
    }
    edit_buf *k = st->kill;
    if (!chain)
        k->len = 0;
    edit_bytes_insert(&k->data, &k->len, &k->cap, back ? 0 : k->len, st->line.text + from,
                      to - from);
    edit_line_erase(&st->line, from, to);
    st->last_cut = 1;
}

// ---- Browsing and searching the history ----

// Shows entry pos (the line typed at the count), the cursor at its end.
// The line typed is kept when an entry replaces it.
static void edit_hist_show(edit_state *st, size_t pos)
{
    size_t count = st->hist->count;
    if (pos == st->hist_pos)
        return;
    if (st->hist_pos == count)
        edit_buf_set(&st->typed, st->line.text, st->line.len);
    st->hist_pos = pos;
    if (pos == count)
        edit_line_set(&st->line, st->typed.data, st->typed.len);
    else
        edit_line_set(&st->line, st->hist->entry[pos], strlen(st->hist->entry[pos]));
}

static void edit_search_start(edit_state *st)
{
    st->searching = 1;
    st->search_failed = 0;
    edit_buf_set(&st->query, "", 0);
    edit_buf_set(&st->saved, st->line.text, st->line.len);
    st->saved_cursor = st->line.cursor;
    st->saved_pos = st->search_from = st->hist_pos;
}

// Back to the line as it was when the search began.
static void edit_search_restore(edit_state *st)
{
    edit_line_set(&st->line, st->saved.data, st->saved.len);
    st->line.cursor = st->saved_cursor;
    st->hist_pos = st->saved_pos;
    st->search_from = st->saved_pos;
}

// Shows the newest entry below from that holds the query, the cursor at
// its last occurrence there; marks the search failed when none does.
static void edit_search_run(edit_state *st, size_t from)
{
    st->search_failed = 0;
    if (!st->query.len) {
        edit_search_restore(st);
        return;
    }
    for (size_t i = from; i-- > 0;) {
        const char *e = st->hist->entry[i];
        const char *m = strstr(e, st->query.data);
        if (!m)
            continue;
        for (const char *later; (later = strstr(m + 1, st->query.data));)
            m = later;
        edit_hist_show(st, i);
        st->line.cursor = static_cast<size_t>(m - e);
        st->search_from = i + 1;
        return;
    }
    st->search_failed = 1;
}

// A key during Ctrl-R. Returns 1 when the search took it; otherwise the
// search has ended on the line found (or goes on, for a signal) and the key
// acts as usual.
static int edit_search_key(edit_state *st, const edit_key *k, edit_action a, edit_result *r)
{
    switch (a) {
    case act_search:
        if (!st->search_failed && st->query.len && st->search_from)
            edit_search_run(st, st->search_from - 1);
        return 1;
    case act_insert:
        edit_buf_add(&st->query, k->bytes, static_cast<size_t>(k->len));
        edit_search_run(st, st->search_from);
        return 1;
    case act_backspace:
        if (st->query.len)
            st->query.len = edit_char_prev(st->query.data, st->query.len, st->query.len);
        st->query.data[st->query.len] = '\0';
        edit_search_run(st, st->saved_pos);
        return 1;
    case act_abort:
        edit_search_restore(st);
        st->searching = 0;
        return 1;
    case act_enter:
        st->searching = 0;
        *r = res_enter;
        return 1;
    case act_intr:
    case act_quit:
    case act_susp:
        return 0;
    default:
        st->searching = 0;
        return k->code == key_esc;
    }
}

// ---- The line's state ----

void edit_state_begin(edit_state *st)
{
    edit_line_set(&st->line, "", 0);
    st->hist_pos = st->hist->count;
    st->typed.len = 0;
    st->searching = st->search_failed = 0;
    st->tabs = st->last_cut = st->quote_next = st->pasting = 0;
}

void edit_state_free(edit_state *st)
{
    free(st->line.text);
    free(st->typed.data);
    free(st->query.data);
    free(st->saved.data);
    st->line = {};
    st->typed = st->query = st->saved = {};
}

// Where a key that moves takes the cursor; for one that erases or cuts,
// the other end of the text it takes away.
static size_t edit_line_reach(const edit_line *l, edit_action a)
{
    size_t c = l->cursor;
    switch (a) {
    case act_left:
    case act_backspace:
        return c ? edit_char_prev(l->text, l->len, c) : 0;
    case act_right:
    case act_delete:
    case act_delete_or_eof:
        return c < l->len ? edit_char_next(l->text, l->len, c) : c;
    case act_home:
    case act_kill_start:
        return 0;
    case act_end:
    case act_kill_end:
        return l->len;
    case act_word_left:
    case act_kill_word_back:
        return edit_line_left(l, c, 0);
    case act_word_right:
    case act_kill_word:
        return edit_line_right(l, c);
    case act_kill_blank:
        return edit_line_left(l, c, 1);
    default:
        return c;
    }
}

// A key that moves the cursor, erases a character or cuts text.
static void edit_line_act(edit_state *st, edit_action a, int chain)
{
    edit_line *l = &st->line;
    size_t c = l->cursor, to = edit_line_reach(l, a);
    if (a >= act_kill_end && a <= act_kill_word_back)
        edit_cut(st, std::min(c, to), std::max(c, to), chain, to < c);
    else if (a >= act_backspace && a <= act_delete_or_eof)
        edit_line_erase(l, std::min(c, to), std::max(c, to));
    else if (a == act_transpose)
        edit_line_transpose(l);
    else
        l->cursor = to;
}

edit_result edit_key_apply(edit_state *st, const edit_key *k)
{
    edit_action a = edit_key_action(st, k);
    edit_result r = res_none;
    int chain = st->last_cut;
    st->last_cut = 0;
    if (a != act_complete)
        st->tabs = 0;
    if (st->searching && edit_search_key(st, k, a, &r)) {
        edit_line_fix(&st->line, 0);
        return r;
    }
    edit_line *l = &st->line;
    switch (a) {
    case act_insert:
        edit_line_insert(l, k->bytes, static_cast<size_t>(k->len));
        break;
    case act_yank:
        edit_line_insert(l, st->kill->data, st->kill->len);
        break;
    case act_complete:
        if (!st->pasting) {
            st->tabs++;
            return res_complete;
        }
        edit_line_insert(l, "\t", 1);
        break;
    case act_delete_or_eof:
        if (!l->len)
            return res_eof;
        edit_line_act(st, a, chain);
        break;
    case act_older:
        if (st->hist_pos > 0)
            edit_hist_show(st, st->hist_pos - 1);
        break;
    case act_newer:
        if (st->hist_pos < st->hist->count)
            edit_hist_show(st, st->hist_pos + 1);
        break;
    case act_search:
        edit_search_start(st);
        break;
    case act_quote:
        st->quote_next = 1;
        break;
    case act_enter:
        return res_enter;
    case act_clear:
        return res_clear;
    case act_intr:
        return res_intr;
    case act_quit:
        return res_quit;
    case act_susp:
        return res_suspend;
    default:
        edit_line_act(st, a, chain);
        break;
    }
    edit_line_fix(l, a == act_insert || a == act_yank || a == act_complete);
    return res_none;
}

static edit_result edit_keys_apply(edit_state *st, const edit_key *k, int n)
{
    for (int i = 0; i < n; i++) {
        edit_result r = edit_key_apply(st, k + i);
        if (r != res_none)
            return r;
    }
    return res_none;
}

edit_result edit_feed(edit_state *st, edit_decoder *d, unsigned char c)
{
    if (st->quote_next) {  // the decoder holds nothing: Ctrl-V ended its byte
        st->quote_next = 0;
        if (c) {
            edit_line_insert(&st->line, reinterpret_cast<const char *>(&c), 1);
            edit_line_fix(&st->line, 1);
        }
        return res_none;
    }
    edit_key keys[edit_key_max];
    return edit_keys_apply(st, keys, edit_key_decode(d, c, keys));
}

void edit_state_prompt(const edit_state *st, edit_buf *out)
{
    out->len = 0;
    if (!st->searching) {
        edit_buf_str(out, st->prompt);
        return;
    }
    edit_buf_str(out, st->search_failed ? "(failed reverse-i-search)'" : "(reverse-i-search)'");
    edit_buf_add(out, st->query.data, st->query.len);
    edit_buf_str(out, "': ");
}

int edit_state_completed(edit_state *st, const edit_completion *c)
{
    edit_line_insert(&st->line, c->insert, strlen(c->insert));
    edit_line_fix(&st->line, 1);
    return c->count > 1 && st->tabs >= 2;
}

// ---- Drawing ----

// Glyphs laid out in rows of width columns. Drawing emits the rows from
// first to last (not included); measuring (out null) emits nothing.
struct def_edit_layout {
    edit_buf *out;
    int width;
    int row, col;  // where the next glyph goes
    int first, last;
    unsigned char colour;  // the colour the terminal draws in now
};
using edit_layout = def_edit_layout;

static const char *const edit_sgr[] = {"\x1b[m", "\x1b[36m", "\x1b[33m", "\x1b[31m", "\x1b[31m"};

static int is_row_drawn(const edit_layout *L)
{
    return L->out && L->row >= L->first && L->row < L->last;
}

// Ends the last row drawn: colour back to normal, and the rest of the screen
// cleared, unless the row is full (the cursor waits on its last column,
// which ESC [ J would erase; nothing is drawn below a full window).
static void edit_layout_close(edit_layout *L)
{
    if (L->colour != colour_plain)
        edit_buf_str(L->out, edit_sgr[colour_plain]);
    if (L->col < L->width)
        edit_buf_str(L->out, "\x1b[J");
}

// Ends a row explicitly: what is left of it cleared, then \r\n.
static void edit_layout_newline(edit_layout *L)
{
    if (is_row_drawn(L)) {
        if (L->row + 1 == L->last) {
            edit_layout_close(L);
        } else {
            if (L->col < L->width)
                edit_buf_str(L->out, "\x1b[K");
            edit_buf_str(L->out, "\r\n");
        }
    }
    L->row++;
    L->col = 0;
}

// One glyph of w columns; one that does not fit goes to the next row.
static void edit_layout_glyph(edit_layout *L, const char *s, size_t n, int w, unsigned char colour)
{
    if (w && L->col + w > L->width)
        edit_layout_newline(L);
    if (is_row_drawn(L)) {
        if (colour != L->colour) {  // never without colours: all plain
            edit_buf_str(L->out, edit_sgr[colour <= colour_unknown ? colour : 0]);
            L->colour = colour;
        }
        edit_buf *o = L->out;
        if (n == 1 && o->len + 1 < o->cap) {  // most glyphs: one byte, room for it
            o->data[o->len++] = *s;
            o->data[o->len] = '\0';
        } else {
            edit_buf_add(o, s, n);
        }
    }
    L->col += w;
}

// Whether the character is drawn as itself: text that fits in a row.
static int is_char_plain_text(const edit_layout *L, const edit_char *ch)
{
    return ch->shown == shown_text && ch->width <= L->width;
}

static void edit_layout_char(edit_layout *L, const char *t, size_t i, const edit_char *ch,
                             unsigned char colour)
{
    static const char hex[] = "0123456789ABCDEF";
    if (is_char_plain_text(L, ch)) {
        edit_layout_glyph(L, t + i, ch->end - i, ch->width, colour);
        return;
    }
    auto c = static_cast<unsigned char>(t[i]);
    if (ch->shown == shown_caret) {
        const char g[2] = {'^', static_cast<char>(c == 0x7f ? '?' : c + 0x40)};
        edit_layout_glyph(L, g, 1, 1, colour);
        edit_layout_glyph(L, g + 1, 1, 1, colour);
        return;
    }
    for (size_t j = i; j < ch->end; j++) {
        auto b = static_cast<unsigned char>(t[j]);
        const char g[4] = {'\\', 'x', hex[b >> 4], hex[b & 15]};
        for (int k = 0; k < 4; k++)
            edit_layout_glyph(L, g + k, 1, 1, colour);
    }
}

// The cursor stands where the next glyph goes, on the next row when that
// glyph (of w columns, at least 1) does not fit.
static void edit_layout_cursor(edit_layout *L, int w, int *row, int *col)
{
    if (L->col + w > L->width)
        edit_layout_newline(L);
    *row = L->row;
    *col = L->col;
}

// Lays out len bytes of text in their colours (none when colour is null);
// the cursor's place goes to *row and *col when cursor is within text.
static void edit_layout_text(edit_layout *L, const char *t, size_t len, const unsigned char *colour,
                             size_t cursor, int *row, int *col)
{
    for (size_t i = 0; i < len;) {
        if (L->out && L->row >= L->last)
            return;
        edit_char ch = edit_char_at(t, len, i);
        if (i == cursor)
            edit_layout_cursor(L, is_char_plain_text(L, &ch) ? std::max(ch.width, 1) : 1, row, col);
        edit_layout_char(L, t, i, &ch,
                         colour ? colour[i] : static_cast<unsigned char>(colour_plain));
        i = ch.end;
    }
    if (cursor == len)
        edit_layout_cursor(L, 1, row, col);
}

// The prompt, then the line; a full last row is ended, so that the cursor
// after it stands on the next.
static void edit_layout_view(edit_layout *L, const edit_view *v, int *row, int *col)
{
    edit_layout_text(L, v->prompt, v->prompt_len, nullptr, SIZE_MAX, row, col);
    edit_layout_text(L, v->text, v->len, v->colour, v->cursor, row, col);
    if (L->col >= L->width)
        edit_layout_newline(L);
}

int edit_draw(edit_buf *out, const edit_view *v, int old_row, int *col)
{
    int width = v->width > 0 ? v->width : 80;
    int height = v->height > 0 ? v->height : 24;
    edit_layout L = {nullptr, width, 0, 0, 0, 0, colour_plain};
    int row = 0, r, c;
    *col = 0;
    edit_layout_view(&L, v, &row, col);
    // The rows around the cursor, which stays on the screen's row it was on
    // when it can.
    int rows = L.row + 1;
    int first = std::clamp(row - old_row, 0, std::max(0, rows - height));
    L = {out, width, 0, 0, first, std::min(rows, first + height), colour_plain};
    if (old_row > 0)
        edit_buf_csi(out, old_row, 'A');
    edit_buf_str(out, "\r");
    edit_layout_view(&L, v, &r, &c);
    if (L.row < L.last)  // the last row drawn is not ended yet
        edit_layout_close(&L);
    if (L.last - 1 > row)
        edit_buf_csi(out, L.last - 1 - row, 'A');
    edit_buf_str(out, "\r");
    if (*col > 0)
        edit_buf_csi(out, *col, 'C');
    return row - first;
}

// The columns name takes, drawn as the line is.
static int edit_name_show(edit_buf *out, const char *name)
{
    edit_layout L = {out, INT_MAX / 2, 0, 0, 0, 1, colour_plain};
    int row, col;
    edit_layout_text(&L, name, strlen(name), nullptr, SIZE_MAX, &row, &col);
    return L.col;
}

void edit_list_names(edit_buf *out, char *const *name, size_t count, int width)
{
    int widest = 0;
    for (size_t i = 0; i < count; i++)
        widest = std::max(widest, edit_name_show(nullptr, name[i]));
    int col_width = widest + 2;
    size_t cols = static_cast<size_t>(std::max(1, width / col_width));
    size_t rows = (count + cols - 1) / cols;
    for (size_t r = 0; r < rows; r++) {
        for (size_t c = 0; c < cols && c * rows + r < count; c++) {
            int w = edit_name_show(out, name[c * rows + r]);
            if ((c + 1) * rows + r < count)
                for (; w < col_width; w++)
                    edit_buf_str(out, " ");
        }
        edit_buf_str(out, "\r\n");
    }
}

// ---- Names in directories ----

// A growing array of owned names.
struct def_edit_names {
    char **name;
    size_t count;
    size_t cap;
};
using edit_names = def_edit_names;

static void edit_names_push(edit_names *list, const char *name, size_t len)
{
    list->name = static_cast<char **>(
        edit_grow(list->name, &list->cap, list->count + 1, sizeof(char *)));
    list->name[list->count++] = mem_strndup(name, len);
}

static void edit_names_sort(edit_names *list)
{
    std::sort(list->name, list->name + list->count,
              [](const char *a, const char *b) { return strcmp(a, b) < 0; });
}

// . and .., which are never offered.
static int is_name_dots(const char *name)
{
    return name[0] == '.' && (!name[1] || (name[1] == '.' && !name[2]));
}

// A regular file that this process may run (a directory passes access too).
static int is_file_runnable(int dir_fd, const char *file)
{
    struct stat st;
    return fstatat(dir_fd, file, &st, 0) == 0 && S_ISREG(st.st_mode) &&
           faccessat(dir_fd, file, X_OK, 0) == 0;
}

// Adds the entries of the directory part of path (up to its last /, the
// current directory without one) that start with its last part; with
// runnable, only the files that run, and directories. A directory's name
// gets a final /.
static void edit_names_add_files(edit_names *out, const char *path, int runnable)
{
    const char *slash = strrchr(path, '/');
    const char *base = slash ? slash + 1 : path;
    char *dir = slash ? mem_strndup(path, static_cast<size_t>(slash - path) + 1) : nullptr;
    DIR *d = opendir(dir ? dir : ".");
    free(dir);
    if (!d)
        return;
    size_t len = strlen(base);
    while (const dirent *e = readdir(d)) {
        const char *name = e->d_name;
        if (strncmp(name, base, len) || is_name_dots(name) || strchr(name, '\n') ||
            (name[0] == '.' && base[0] != '.'))
            continue;
        struct stat st;
        int is_dir = e->d_type == DT_DIR;
        if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN)
            is_dir = fstatat(dirfd(d), name, &st, 0) == 0 && S_ISDIR(st.st_mode);
        if (runnable && !is_dir && !is_file_runnable(dirfd(d), name))
            continue;
        size_t n = strlen(name);
        edit_names_push(out, name, n + is_dir);
        if (is_dir)
            out->name[out->count - 1][n] = '/';
    }
    closedir(d);
}

// ---- Program names ----

// Copies the next element of a PATH value from *at into dir (PATH_MAX
// bytes; an empty element is the current directory, as for execvp; one too
// long is passed over) and moves *at past it, to null after the last.
// Returns 0 when none is left.
static int edit_path_next(const char **at, char *dir)
{
    while (*at) {
        const char *start = *at, *end = strchrnul(start, ':');
        size_t len = static_cast<size_t>(end - start);
        *at = *end ? end + 1 : nullptr;
        if (len < PATH_MAX) {
            memcpy(dir, len ? start : ".", len ? len : 1);
            dir[len ? len : 1] = '\0';
            return 1;
        }
    }
    return 0;
}

// Adds the names in one directory, leaving out subdirectories where the
// entry tells, . and .., and names holding a newline.
static void edit_cmds_read_dir(edit_names *list, const char *dir)
{
    DIR *d = opendir(dir);
    if (!d)
        return;
    while (const dirent *e = readdir(d)) {
        if (e->d_type != DT_DIR && !is_name_dots(e->d_name) && !strchr(e->d_name, '\n'))
            edit_names_push(list, e->d_name, strlen(e->d_name));
    }
    closedir(d);
}

// Reads the names once per line: from the directories of PATH, none when it
// is empty, or where execvp looks when it is unset (glibc's default search
// path).
static void edit_cmds_ensure(edit_cmds *cmds)
{
    if (cmds->path)
        return;
    const char *path = getenv("PATH");
    path = path ? path : "/bin:/usr/bin";
    edit_names list = {};
    char dir[PATH_MAX];
    for (const char *at = *path ? path : nullptr; edit_path_next(&at, dir);)
        edit_cmds_read_dir(&list, dir);
    edit_names_sort(&list);
    size_t kept = 0;
    for (size_t i = 0; i < list.count; i++) {
        if (kept && !strcmp(list.name[kept - 1], list.name[i]))
            free(list.name[i]);
        else
            list.name[kept++] = list.name[i];
    }
    cmds->name = list.name;
    cmds->count = kept;
    cmds->path = mem_strndup(path, strlen(path));
    cmds->runs = static_cast<unsigned char *>(mem_zalloc(kept + 1));
}

void edit_cmds_free(edit_cmds *cmds)
{
    edit_strings_free(cmds->name, cmds->count);
    free(cmds->path);
    free(cmds->runs);
    *cmds = {};
}

// The index of the first name not below the len bytes at key.
static size_t edit_cmds_find(const edit_cmds *cmds, const char *key, size_t len)
{
    auto is_below = [len](const char *name, const char *k) { return strncmp(name, k, len) < 0; };
    return static_cast<size_t>(
        std::lower_bound(cmds->name, cmds->name + cmds->count, key, is_below) - cmds->name);
}

// Whether name i is a file that runs in the first PATH directory holding
// one, as execvp looks for it; looked at once per load.
static int edit_cmds_runs(edit_cmds *cmds, size_t i)
{
    if (!cmds->runs[i]) {
        cmds->runs[i] = 2;
        char dir[PATH_MAX], file[PATH_MAX];
        for (const char *at = *cmds->path ? cmds->path : nullptr; edit_path_next(&at, dir);) {
            int n = snprintf(file, sizeof file, "%s/%s", dir, cmds->name[i]);
            if (n > 0 && static_cast<size_t>(n) < sizeof file && is_file_runnable(AT_FDCWD, file)) {
                cmds->runs[i] = 1;
                break;
            }
        }
    }
    return cmds->runs[i] == 1;
}

// ---- The line as the checker and the tokenizer see it ----

// Checks text (a copy: the checker may write into it) as the loop does from
// its start, marking its quoted bytes in quoted when that is not null. The
// first misplaced operator is kept in *err_pos and *symcnt (*err_pos stays
// -1 without one); the pass then goes on after it, as a new line would, so
// that the quotes after it are marked too, up to a number of such restarts
// (each measures the rest of the text). *pass is where the last pass
// stopped.
static void edit_check(char *text, unsigned char *quoted, int *err_pos, int *symcnt,
                       syntax_pass *pass)
{
    *err_pos = -1;
    *pass = {};
    pass->quoted = quoted;
    int pos, cnt;
    for (int restarts = 0; syntax_resume(text, pass, &pos, &cnt) == syntax_err && restarts < 64;
         restarts++) {
        if (*err_pos < 0)
            *err_pos = pos, *symcnt = cnt;
        *pass = {};
        pass->quoted = quoted;
        pass->idx = pos + cnt;
    }
}

// One token of a line, as the tokenizer cuts it.
struct def_edit_token {
    int start;  // its bytes in the text, from start to end
    int end;
    int is_delim;
    int is_cmd;  // a word that starts a command
    char *text;  // a word's text when quotes or escapes make it differ; owned
};
using edit_token = def_edit_token;

// Cuts the token after *idx through the tokenizer's entries and moves *idx
// past it; end is just past the text's NUL. *cmd says whether the next word
// starts a command: at the start, after ; & | || &&, but not after a
// redirection, whose word is a file, nor after a command's first word.
// Returns 0 at the end of the text.
static int edit_token_next(const char *text, const char *end, int *idx, int *cmd, edit_token *t)
{
    *idx += tok_space_handle(text, *idx);
    if (!text[*idx])
        return 0;
    *t = {};
    t->start = *idx;
    t->is_delim = is_char_from_delim(text[*idx]);
    if (t->is_delim) {
        int len = tok_delim_handle(text, *idx);
        *cmd = !is_word_delim(text + *idx, len, nullptr);
        *idx += len;
    } else {
        *idx += tok_word_handle_in(text, *idx, end, &t->text);
        t->is_cmd = *cmd;
        *cmd = 0;
    }
    t->end = *idx;
    return 1;
}

// ---- Colours ----

// Whether some file's name starts with the last part of path, in the
// directory its other parts name.
static int is_path_begun(const char *path)
{
    edit_names list = {};
    edit_names_add_files(&list, path, 0);
    int found = list.count > 0;
    edit_strings_free(list.name, list.count);
    return found;
}

// Whether the command name, the word t as qsh reads it, names a program
// that runs: a path when it holds a /, else a name on PATH. While typing (the
// cursor at its end), also the start of such a name, or of a file's for a
// path.
static int is_cmd_known(const char *text, const edit_token *t, int typing, edit_cmds *cmds)
{
    const char *name = t->text ? t->text : text + t->start;
    size_t len = t->text ? strlen(name) : static_cast<size_t>(t->end - t->start);
    if (memchr(name, '/', len)) {
        char *path = mem_strndup(name, len);
        int known = is_file_runnable(AT_FDCWD, path) || (typing && is_path_begun(path));
        free(path);
        return known;
    }
    edit_cmds_ensure(cmds);
    size_t i = edit_cmds_find(cmds, name, len);
    if (i == cmds->count || strncmp(cmds->name[i], name, len))
        return 0;
    return typing || (!cmds->name[i][len] && edit_cmds_runs(cmds, i));
}

void edit_colour_line(const char *text, size_t len, size_t from, size_t cursor, edit_cmds *cmds,
                      unsigned char *colour)
{
    if (from >= len)
        return;
    char *copy = mem_strndup(text, len);
    auto *all = static_cast<unsigned char *>(mem_zalloc(len + 1));
    int err_pos, symcnt;
    syntax_pass pass;
    edit_check(copy, all, &err_pos, &symcnt, &pass);
    for (size_t i = 0; i < len; i++)
        all[i] = all[i] ? colour_quoted : colour_plain;
    edit_token t;
    for (int idx = 0, cmd = 1; edit_token_next(copy, copy + len + 1, &idx, &cmd, &t);) {
        size_t n = static_cast<size_t>(t.end - t.start);
        if (t.is_delim)
            memset(all + t.start, colour_operator, n);
        else if (t.is_cmd && static_cast<size_t>(t.end) > from &&
                 !is_cmd_known(copy, &t, cursor == static_cast<size_t>(t.end), cmds))
            memset(all + t.start, colour_unknown, n);
        free(t.text);
    }
    if (err_pos >= 0)
        memset(all + err_pos, colour_error, static_cast<size_t>(symcnt));
    memcpy(colour, all + from, len - from);
    free(all);
    free(copy);
}

// ---- Completion ----

int edit_word_before(const char *text, size_t cursor, edit_word *w)
{
    char *copy = mem_strndup(text, cursor);
    int err_pos, symcnt;
    syntax_pass pass;
    edit_check(copy, nullptr, &err_pos, &symcnt, &pass);
    // A NUL hides the rest from qsh; a final escaping backslash, which the
    // checker has turned into a blank, escapes what is still to be typed.
    if (strlen(copy) < cursor || (cursor && copy[cursor - 1] != text[cursor - 1])) {
        free(copy);
        return 0;
    }
    *w = {};
    w->start = cursor;
    if (pass.is_in_quotes)
        w->quote = pass.quote ? '\'' : '"';
    edit_token t;
    int cmd = 1;
    for (int idx = 0; edit_token_next(copy, copy + cursor + 1, &idx, &cmd, &t);) {
        if (!t.is_delim && static_cast<size_t>(t.end) == cursor) {
            w->start = static_cast<size_t>(t.start);
            size_t n = static_cast<size_t>(t.end - t.start);
            w->name = t.text ? t.text : mem_strndup(copy + t.start, n);
            t.text = nullptr;
            w->is_cmd = t.is_cmd;
        }
        free(t.text);
    }
    if (!w->name) {
        w->name = mem_strndup("", 0);
        w->is_cmd = cmd;
    }
    free(copy);
    return 1;
}

char *edit_name_quote(const char *name, size_t n, char quote)
{
    char *out = static_cast<char *>(mem_alloc(4 * n + 1)), *at = out;
    for (size_t i = 0; i < n; i++) {
        char c = name[i];
        if (!quote && !is_char_plain(c) && c)
            *at++ = '\\';
        if (quote && c == quote) {
            // Closed, the quote escaped, opened again: '\'' or "\"".
            *at++ = quote;
            *at++ = '\\';
            *at++ = quote;
        }
        *at++ = c;
    }
    *at = '\0';
    return out;
}

size_t edit_names_common(char *const *name, size_t count)
{
    size_t len = strlen(name[0]);
    for (size_t i = 1; i < count; i++) {
        size_t k = 0;
        while (k < len && name[i][k] == name[0][k])
            k++;
        len = k;
    }
    // Not in the middle of a character: back to the start of the one cut.
    while (len && (static_cast<unsigned char>(name[0][len]) & 0xc0) == 0x80)
        len--;
    return len;
}

// Adds the programs on PATH whose names start with base.
static void edit_complete_cmds(edit_cmds *cmds, const char *base, edit_names *out)
{
    edit_cmds_ensure(cmds);
    size_t len = strlen(base);
    for (size_t i = edit_cmds_find(cmds, base, len);
         i < cmds->count && !strncmp(cmds->name[i], base, len); i++) {
        if ((cmds->name[i][0] != '.' || base[0] == '.') && edit_cmds_runs(cmds, i))
            edit_names_push(out, cmds->name[i], strlen(cmds->name[i]));
    }
}

// The text that Tab inserts for the matches of the word w.
static char *edit_complete_insert(const edit_word *w, char *const *match, size_t count)
{
    const char *slash = strrchr(w->name, '/');
    size_t typed = strlen(slash ? slash + 1 : w->name);
    size_t len = count == 1 ? strlen(match[0]) : edit_names_common(match, count);
    len = len < typed ? typed : len;  // the word ends inside a character
    int is_dir = count == 1 && len && match[0][len - 1] == '/';
    char *rest = edit_name_quote(match[0] + typed, len - typed - is_dir, w->quote);
    if (count > 1)
        return rest;
    const char close[] = {w->quote, ' ', '\0'};  // the open quote closed, then a blank
    edit_buf b = {};
    edit_buf_str(&b, rest);
    edit_buf_str(&b, is_dir ? "/" : w->quote ? close : " ");
    free(rest);
    return b.data;
}

void edit_complete(const char *text, size_t len, size_t cursor, edit_cmds *cmds,
                   edit_completion *out)
{
    *out = {};
    out->insert = mem_strndup("", 0);
    edit_word w;
    if (cursor > len || !edit_word_before(text, cursor, &w))
        return;
    edit_names list = {};
    if (w.is_cmd && !strchr(w.name, '/'))
        edit_complete_cmds(cmds, w.name, &list);
    else
        edit_names_add_files(&list, w.name, w.is_cmd);
    edit_names_sort(&list);
    if (list.count) {
        free(out->insert);
        out->insert = edit_complete_insert(&w, list.name, list.count);
    }
    out->match = list.name;
    out->count = list.count;
    free(w.name);
}

void edit_completion_free(edit_completion *c)
{
    edit_strings_free(c->match, c->count);
    free(c->insert);
    *c = {};
}

// ---- History ----

int edit_history_add(edit_history *h, const char *text)
{
    if (!text[0] || text[0] == ' ' || text[0] == '\t' ||
        (h->count && !strcmp(h->entry[h->count - 1], text)))
        return 0;
    if (h->count == edit_history_keep) {
        free(h->entry[0]);
        memmove(h->entry, h->entry + 1, --h->count * sizeof(char *));
    }
    h->entry = static_cast<char **>(edit_grow(h->entry, &h->cap, h->count + 1, sizeof(char *)));
    h->entry[h->count++] = mem_strndup(text, strlen(text));
    return 1;
}

void edit_history_free(edit_history *h)
{
    edit_strings_free(h->entry, h->count);
    *h = {};
}

static char *edit_path_join(const char *dir, const char *name)
{
    size_t n = strlen(dir), m = strlen(name);
    char *path = static_cast<char *>(mem_alloc(n + m + 1));
    memcpy(path, dir, n);
    memcpy(path + n, name, m + 1);
    return path;
}

char *edit_history_path(const char *histfile, const char *xdg_state, const char *home)
{
    if (histfile)
        return *histfile ? mem_strndup(histfile, strlen(histfile)) : nullptr;
    if (xdg_state && xdg_state[0] == '/')
        return edit_path_join(xdg_state, "/qsh/history");
    if (home && *home)
        return edit_path_join(home, "/.local/state/qsh/history");
    return nullptr;
}

// Writes the n bytes at s, going on after a short write. Returns 0, or -1
// (with errno set, unless nothing could be written). A terminal gone is
// noticed by the next read.
static int edit_write_all(int fd, const char *s, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, s, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return -1;
        s += w;
        n -= static_cast<size_t>(w);
    }
    return 0;
}

// Says once per run what went wrong with the history file. Returns -1.
static int edit_history_fail(const char *path, int err)
{
    static int reported;
    if (!reported)
        fprintf(stderr, "qsh: history: %s: %s\n", path, strerror(err));
    reported = 1;
    return -1;
}

// The most read of the file: entries beyond it are not loaded, and a longer
// file is trimmed. An entry longer than edit_history_entry_max is skipped.
constexpr size_t edit_history_tail_max = 1 << 20;
constexpr size_t edit_history_entry_max = 64 << 10;

// The end of a history file as read: its last entries, in place.
struct def_edit_history_tail {
    char *buf;      // the bytes read, NUL-terminated
    size_t lines;   // the lines read, skipped ones included
    int partial;    // the file holds more than was read
    mode_t mode;    // the file's mode, which a rewrite keeps
    size_t usable;  // the lines usable as entries, NUL-terminated in buf:
    char **entry;   // usable line k is in slot k % edit_history_keep
};
using edit_history_tail = def_edit_history_tail;

// Reads the last edit_history_tail_max bytes of the file at fd. When that
// is not the whole file, the first line read, probably a part of one, is
// dropped. Returns 0, or -1 with errno set.
static int edit_history_tail_read(int fd, edit_history_tail *t)
{
    *t = {};
    struct stat st;
    if (fstat(fd, &st) < 0)
        return -1;
    size_t size = static_cast<size_t>(st.st_size);
    size_t want = size < edit_history_tail_max ? size : edit_history_tail_max;
    off_t off = static_cast<off_t>(size - want);
    t->buf = static_cast<char *>(mem_alloc(want + 1));
    size_t got = 0;
    while (got < want) {
        ssize_t n = pread(fd, t->buf + got, want - got, off + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    t->buf[got] = '\0';
    t->partial = off > 0;
    t->mode = st.st_mode & 07777;
    t->entry = static_cast<char **>(mem_alloc(edit_history_keep * sizeof(char *)));
    char *line = t->buf, *end = t->buf + got;
    if (t->partial)
        line = static_cast<char *>(memchr(line, '\n', got)), line = line ? line + 1 : end;
    while (line < end) {
        char *nl = static_cast<char *>(memchr(line, '\n', static_cast<size_t>(end - line)));
        size_t n = static_cast<size_t>((nl ? nl : end) - line);
        line[n] = '\0';  // the newline, or the NUL after the buffer
        t->lines++;
        if (n && n <= edit_history_entry_max && !memchr(line, '\0', n))
            t->entry[t->usable++ % edit_history_keep] = line;
        line += n + 1;
    }
    return 0;
}

static void edit_history_tail_free(edit_history_tail *t)
{
    free(t->buf);
    free(t->entry);
    *t = {};
}

// The oldest usable line still in the ring.
static size_t edit_history_tail_first(const edit_history_tail *t)
{
    return t->usable > edit_history_keep ? t->usable - edit_history_keep : 0;
}

// Replaces the file at path by one holding the entries of t, through a new
// file in the same directory and a rename. Returns 0, or -1 with errno set.
static int edit_history_rewrite(const char *path, const edit_history_tail *t)
{
    char *tmp = edit_path_join(path, ".XXXXXX");
    int fd = mkostemp(tmp, O_CLOEXEC);  // mode 0600
    if (fd < 0) {
        free(tmp);
        return -1;
    }
    fchmod(fd, t->mode);  // the mode the user gave the old file
    edit_buf data = {};
    for (size_t i = edit_history_tail_first(t); i < t->usable; i++) {
        edit_buf_str(&data, t->entry[i % edit_history_keep]);
        edit_buf_add(&data, "\n", 1);
    }
    int res = edit_write_all(fd, data.data, data.len);
    if (close(fd) < 0 && res == 0)
        res = -1;
    if (res == 0 && rename(tmp, path) < 0)
        res = -1;
    int err = errno;
    if (res < 0)
        unlink(tmp);
    free(data.data);
    free(tmp);
    errno = err;
    return res;
}

// Waits for the exclusive lock of the file at fd; then whether path still
// names that file (a rewrite renames another one over it).
static int is_history_locked(int fd, const char *path)
{
    while (flock(fd, LOCK_EX) < 0)
        if (errno != EINTR)
            return 0;
    struct stat a, b;
    return fstat(fd, &a) == 0 && stat(path, &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

int edit_history_load(edit_history *h, const char *path)
{
    // Not blocked by a FIFO that nobody writes.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT ? 0 : edit_history_fail(path, errno);
    edit_history_tail t;
    int res = edit_history_tail_read(fd, &t);
    if (res == 0 && (t.partial || t.lines > 2 * edit_history_keep) && is_history_locked(fd, path)) {
        // Read again under the lock, so that no append falls in between.
        edit_history_tail_free(&t);
        res = edit_history_tail_read(fd, &t);
        if (res == 0 && (t.partial || t.lines > 2 * edit_history_keep))
            res = edit_history_rewrite(path, &t);
    }
    if (res < 0)
        edit_history_fail(path, errno);
    for (size_t i = edit_history_tail_first(&t); i < t.usable; i++)
        edit_history_add(h, t.entry[i % edit_history_keep]);
    edit_history_tail_free(&t);
    close(fd);
    return res;
}

// Makes the directories above path that are missing, with mode 0700.
// Returns 0, or -1 with errno set.
static int edit_history_dirs(const char *path)
{
    char *dir = mem_strndup(path, strlen(path));
    int res = 0;
    for (char *s = strchr(dir + 1, '/'); s && res == 0; s = strchr(s + 1, '/')) {
        *s = '\0';
        if (mkdir(dir, 0700) < 0 && errno != EEXIST)
            res = -1;
        *s = '/';
    }
    int err = errno;
    free(dir);
    errno = err;
    return res;
}

// Opens the file at path to append to it, made when missing, and locked:
// a rewrite in progress is waited for, and the file it renamed into place is
// opened again. Returns the descriptor, or -1 with errno set.
static int edit_history_open_append(const char *path)
{
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    for (int tries = 0;; tries++) {
        int fd = open(path, flags, 0600);
        if (fd < 0 && errno == ENOENT && edit_history_dirs(path) == 0)
            fd = open(path, flags, 0600);
        if (fd < 0 || is_history_locked(fd, path) || tries == 16)
            return fd;
        close(fd);
    }
}

int edit_history_append(const char *path, const char *text)
{
    size_t n = strlen(text);
    // The file holds one entry per line: one holding a newline stays in
    // the session's memory only.
    if (memchr(text, '\n', n))
        return 0;
    int fd = edit_history_open_append(path);
    if (fd < 0)
        return edit_history_fail(path, errno);
    char *line = mem_strndup(text, n);
    line[n] = '\n';  // in place of its NUL
    int res = edit_write_all(fd, line, n + 1);
    int err = errno;
    free(line);
    close(fd);
    return res < 0 ? edit_history_fail(path, err) : 0;
}

// ---- The terminal ----

// What the editor keeps for the whole run: the terminal's mode, the
// history, the kill buffer, and the buffers reused from line to line.
struct def_edit_session {
    termios saved;  // the mode when the line began, put back on the way out
    int raw;        // the terminal is in raw mode now
    int term_known;
    int term_ok;  // both ends are terminals, and TERM is usable
    int colour;   // NO_COLOR is not set
    edit_history history;
    char *history_path;
    int history_loaded;
    edit_cmds cmds;  // freed when a line begins
    edit_buf kill;
    edit_buf out;     // the bytes of one change, written at once
    edit_buf prompt;  // the prompt drawn
    edit_buf joined;  // before and the line, for colours and completion
    unsigned char *colour_of;
    size_t colour_cap;
    edit_state st;
    edit_decoder dec;
    int row;         // the cursor's row among those drawn last
    size_t waiting;  // bytes known to wait in the terminal
    int dirty;       // the line changed since it was drawn
};
static def_edit_session edit_session;

int edit_usable()
{
    def_edit_session *s = &edit_session;
    if (!s->term_known) {
        const char *term = getenv("TERM");
        const char *no_colour = getenv("NO_COLOR");
        s->term_known = 1;
        s->term_ok = isatty(0) && isatty(1) && term && *term && strcmp(term, "dumb") != 0;
        s->colour = !no_colour || !*no_colour;
    }
    termios t;
    return s->term_ok && tcgetattr(0, &t) == 0 && (t.c_lflag & (ICANON | ECHO)) == (ICANON | ECHO);
}

// Takes the terminal: its mode saved, its own erase byte noted, and its
// signal bytes while it sends signals; then the saved mode with only
// ICANON, ECHO, ISIG and IEXTEN off set now, so that what was typed ahead
// stays.
static int edit_term_take()
{
    def_edit_session *s = &edit_session;
    termios t;
    if (tcgetattr(0, &t) < 0)
        return -1;
    s->saved = t;
    auto cc = [&t](int which, int on) {
        return on && t.c_cc[which] != _POSIX_VDISABLE ? t.c_cc[which] : -1;
    };
    int isig = (t.c_lflag & ISIG) != 0;
    s->st.erase = cc(VERASE, 1);
    s->st.intr = cc(VINTR, isig);
    s->st.quit = cc(VQUIT, isig);
    s->st.susp = cc(VSUSP, isig);
    t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(0, TCSANOW, &t) < 0)
        return -1;
    s->raw = 1;
    return 0;
}

// Puts the terminal back in the mode it had before the editor made it raw,
// when it is raw now.
static void edit_restore()
{
    if (!edit_session.raw)
        return;
    edit_session.raw = 0;
    tcsetattr(0, TCSANOW, &edit_session.saved);
}

static void edit_term_size(int *width, int *height)
{
    winsize ws;
    int known = ioctl(1, TIOCGWINSZ, &ws) == 0 && ws.ws_col && ws.ws_row;
    *width = known ? ws.ws_col : 80;
    *height = known ? ws.ws_row : 24;
}

// Makes standard input blocking again after a program left it non-blocking
// (the terminal's open file is shared), so that "no key yet" is not taken
// for the end of input. Returns whether it was done.
static int edit_term_set_blocking()
{
    int flags = fcntl(0, F_GETFL);
    return flags >= 0 && (flags & O_NONBLOCK) && fcntl(0, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// Reads one byte; 0 when the terminal is gone.
static int edit_term_read(unsigned char *c)
{
    for (;;) {
        ssize_t n = read(0, c, 1);
        if (n == 1) {
            if (edit_session.waiting)
                edit_session.waiting--;
            return 1;
        }
        if (n == 0 || (errno != EINTR && !(errno == EAGAIN && edit_term_set_blocking())))
            return 0;
    }
}

// Whether a byte comes within ms milliseconds.
static int edit_term_poll(int ms)
{
    pollfd p = {0, POLLIN, 0};
    int n;
    while ((n = poll(&p, 1, ms)) < 0 && errno == EINTR)
        ;
    return n != 0;
}

// The whole logical line: the earlier lines, then the line.
static const edit_buf *edit_term_joined()
{
    def_edit_session *s = &edit_session;
    edit_buf_set(&s->joined, s->st.before, s->st.before_len);
    edit_buf_add(&s->joined, s->st.line.text, s->st.line.len);
    return &s->joined;
}

// The colours of the line, over the whole logical line; cursor is its
// index there (SIZE_MAX: the line is finished). Null without colours.
static const unsigned char *edit_term_colours(size_t cursor)
{
    def_edit_session *s = &edit_session;
    if (!s->colour)
        return nullptr;
    const edit_buf *j = edit_term_joined();
    s->colour_of = static_cast<unsigned char *>(
        edit_grow(s->colour_of, &s->colour_cap, s->st.line.len + 1, 1));
    edit_colour_line(j->data, j->len, s->st.before_len, cursor, &s->cmds, s->colour_of);
    return s->colour_of;
}

// How a drawing starts and ends.
enum def_edit_draw_mode {
    draw_update,  // over the last drawing
    draw_new,     // on a row of its own: the cursor may stand anywhere
    draw_fresh,   // from the first column of the cursor's row
    draw_end,     // over the last drawing, the cursor at the end of the line
    draw_leave,   // as draw_end, then onto the next row
    draw_accept,  // as draw_leave, in the colours of the finished line
};
using edit_draw_mode = def_edit_draw_mode;

// Draws the prompt and the line, after what s->out holds (bytes to write
// first), and writes it all at once.
static void edit_term_draw(edit_draw_mode mode)
{
    def_edit_session *s = &edit_session;
    edit_state *st = &s->st;
    int width, height;
    edit_term_size(&width, &height);
    int old_row = mode == draw_update || mode >= draw_end ? s->row : 0;
    if (mode == draw_new) {
        // A cursor in the first column fills its row and goes back to its
        // start; any other wraps onto the next row and goes to its start.
        for (int i = 0; i < width; i++)
            edit_buf_str(&s->out, " ");
        edit_buf_str(&s->out, "\r\x1b[K");
    }
    size_t cursor = mode >= draw_end ? st->line.len : st->line.cursor;
    edit_state_prompt(st, &s->prompt);
    edit_view v = {s->prompt.data,
                   s->prompt.len,
                   st->line.text,
                   st->line.len,
                   edit_term_colours(mode == draw_accept ? SIZE_MAX : st->before_len + cursor),
                   cursor,
                   width,
                   height};
    int col;
    s->row = edit_draw(&s->out, &v, old_row, &col);
    if (mode >= draw_leave && col > 0)
        edit_buf_str(&s->out, "\r\n");
    edit_write_all(1, s->out.data, s->out.len);
    s->out.len = 0;
    s->dirty = 0;
}

// Reads one whole key, as an answer: an escape sequence is no stray text
// for the line afterwards. 0 when the terminal is gone.
static int edit_term_answer(edit_key *k)
{
    edit_decoder *d = &edit_session.dec;
    edit_key keys[edit_key_max];
    int n = 0;
    while (!n) {
        unsigned char c;
        if (is_edit_key_pending(d) && !edit_term_poll(50))
            n = edit_key_timeout(d, keys);
        else if (edit_term_read(&c))
            n = edit_key_decode(d, c, keys);
        else
            return 0;
    }
    *k = keys[n - 1];
    return 1;
}

// Below the line: the names that matched, asking first when there are many;
// then the prompt and the line again.
static void edit_term_list(const edit_completion *c)
{
    def_edit_session *s = &edit_session;
    edit_term_draw(draw_leave);
    if (c->count > 100) {
        char ask[64];
        int n = snprintf(ask, sizeof ask, "Display all %zu possibilities? (y or n)", c->count);
        edit_write_all(1, ask, static_cast<size_t>(n));
        edit_key k = {};
        int yes = edit_term_answer(&k) && k.code == key_char && k.len == 1 &&
                  (k.bytes[0] == 'y' || k.bytes[0] == 'Y' || k.bytes[0] == ' ');
        edit_buf_str(&s->out, "\r\n");
        if (!yes)
            c = nullptr;
    }
    if (c) {
        int width, height;
        edit_term_size(&width, &height);
        edit_list_names(&s->out, c->match, c->count, width);
    }
    edit_term_draw(draw_fresh);
}

static void edit_term_complete()
{
    def_edit_session *s = &edit_session;
    edit_state *st = &s->st;
    const edit_buf *j = edit_term_joined();
    edit_completion c;
    edit_complete(j->data, j->len, st->before_len + st->line.cursor, &s->cmds, &c);
    if (edit_state_completed(st, &c))
        edit_term_list(&c);
    edit_completion_free(&c);
}

// The terminal's interrupt, quit or suspend character: the terminal put
// back and the signal sent to the process group, as the terminal itself
// would. Still running afterwards (the signal ignored, or fg after a
// stop), the editor takes the terminal again and draws the line anew.
static void edit_term_signal(edit_result r)
{
    edit_term_draw(draw_end);
    edit_restore();
    kill(0, r == res_intr ? SIGINT : r == res_quit ? SIGQUIT : SIGTSTP);
    edit_term_take();
    edit_term_draw(draw_new);
}

// Reads bytes and applies their keys, drawing when no more input waits,
// until a key needs the terminal layer. res_eof when the terminal is gone.
static edit_result edit_term_keys()
{
    def_edit_session *s = &edit_session;
    edit_result r = res_none;
    while (r == res_none) {
        int n = 0;
        if (!s->waiting && ioctl(0, FIONREAD, &n) == 0 && n > 0)
            s->waiting = static_cast<size_t>(n);
        if (!s->waiting && s->dirty)
            edit_term_draw(draw_update);
        unsigned char c;
        edit_key keys[edit_key_max];
        // A lone Esc, told from the start of a sequence by a pause.
        if (!s->waiting && is_edit_key_pending(&s->dec) && !edit_term_poll(50)) {
            r = edit_keys_apply(&s->st, keys, edit_key_timeout(&s->dec, keys));
        } else if (edit_term_read(&c)) {
            s->st.pasting = s->waiting > 0;
            r = edit_feed(&s->st, &s->dec, c);
        } else {
            return res_eof;
        }
        s->dirty = 1;
    }
    return r;
}

// What a line starts with: the history, loaded the first time, and the
// program names, read again when the line needs them.
static void edit_session_begin()
{
    def_edit_session *s = &edit_session;
    if (!s->history_loaded) {
        s->history_loaded = 1;
        // Every way out of qsh goes through exit(), which puts the terminal
        // back if it stops while a line is edited (a fatal error).
        atexit(edit_restore);
        s->history_path = edit_history_path(getenv("QSH_HISTFILE"), getenv("XDG_STATE_HOME"),
                                            getenv("HOME"));
        if (s->history_path)
            edit_history_load(&s->history, s->history_path);
    }
    edit_cmds_free(&s->cmds);
    s->st.hist = &s->history;
    s->st.kill = &s->kill;
    s->dec = {};
    s->row = 0;
}

int edit_line_read(const char *prompt, const char *before, size_t before_len, const char **line,
                   size_t *len)
{
    def_edit_session *s = &edit_session;
    edit_state *st = &s->st;
    output_flush();
    edit_session_begin();
    if (edit_term_take() < 0)
        return 0;
    st->prompt = prompt;
    st->before = before;
    st->before_len = before_len;
    edit_state_begin(st);
    edit_term_draw(before_len ? draw_fresh : draw_new);
    for (;;) {
        switch (edit_result r = edit_term_keys()) {
        case res_enter:
            edit_term_draw(draw_accept);
            edit_restore();
            edit_bytes_insert(&st->line.text, &st->line.len, &st->line.cap, st->line.len, "\n", 1);
            *line = st->line.text;
            *len = st->line.len - 1;
            return 1;
        case res_eof:
            if (s->dirty)
                edit_term_draw(draw_update);
            edit_restore();
            return 0;
        case res_complete:
            edit_term_complete();
            break;
        case res_clear:
            edit_buf_str(&s->out, "\x1b[H\x1b[2J");
            edit_term_draw(draw_fresh);
            break;
        default:
            edit_term_signal(r);
            break;
        }
    }
}

void edit_history_record(const char *text)
{
    def_edit_session *s = &edit_session;
    if (edit_history_add(&s->history, text) && s->history_path)
        edit_history_append(s->history_path, text);
}
