// SPDX-License-Identifier: BSD-2-Clause
// The word list, the tokenizer that fills it from an accepted line, and the
// printer of -s.
#include "word.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "char.h"
#include "define.h"

// The steps taken for every token are forced inline ([[gnu::always_inline]]):
// the compiler would otherwise leave some of them as calls.

// Memory the nodes of a list are carved from, so that building a list costs
// no allocation per token.
struct def_word_block {
    def_word_block *next;  // the block filled before this one
    size_t cap;
};
using word_block = def_word_block;

// Memory of destroyed lists, kept for the lists to come: once a line of some
// size has been split, the next line of that size allocates nothing and
// touches no new page. The blocks are kept in the order a list filled them.
// Both live for the whole run: word_list_destroy fills them, word_list_init
// and new blocks take from them, nothing else resets them.
static word_block *word_block_spare;
static word_list *word_list_spare;

// Every block has this many bytes after its capacity that are never carved,
// so that a token's text can be written and read 16 bytes at a time.
static constexpr size_t word_block_slack = 16;

// Makes b, whose memory (right after it) is all free, the block the list
// carves from.
static void word_list_carve_from(word_list *wl, word_block *b)
{
    wl->blocks = b;
    wl->carve = reinterpret_cast<char *>(b + 1);
    wl->carve_end = wl->carve + b->cap;
}

word_list *word_list_init()
{
    word_list *wl = word_list_spare;
    word_list_spare = nullptr;
    if (!wl)
        wl = static_cast<word_list *>(mem_alloc(sizeof(word_list)));
    *wl = {};
    // The first kept block comes along, ready for the first node.
    if (word_block *b = word_block_spare) {
        word_block_spare = b->next;
        b->next = nullptr;
        word_list_carve_from(wl, b);
    }
    return wl;
}

word *word_init()
{
    return static_cast<word *>(mem_zalloc(sizeof(word)));
}

static size_t word_size(size_t len)
{
    return (sizeof(word) + len + 1 + alignof(word) - 1) & ~(alignof(word) - 1);
}

// A block with room for need bytes: the first kept one that fits, else a new
// one of at least cap bytes.
static word_block *word_block_take(size_t need, size_t cap)
{
    for (word_block **at = &word_block_spare; *at; at = &(*at)->next) {
        word_block *b = *at;
        if (b->cap >= need) {
            *at = b->next;
            return b;
        }
    }
    while (cap < need)
        cap *= 2;
    word_block *b = static_cast<word_block *>(
        mem_alloc(sizeof(word_block) + cap + word_block_slack));
    b->cap = cap;
    return b;
}

// Starts a new block for the list, twice the size of its last one.
[[gnu::noinline]] static void word_list_grow(word_list *wl, size_t need)
{
    word_block *b = word_block_take(need,
                                    wl->blocks ? wl->blocks->cap * 2 : 1024 - sizeof(word_block));
    b->next = wl->blocks;
    word_list_carve_from(wl, b);
}

// Carves a node with room for a text of len characters right after it from
// the list's newest block.
[[gnu::always_inline]] inline static word *word_list_carve(word_list *wl, size_t len)
{
    size_t need = word_size(len);
    if (static_cast<size_t>(wl->carve_end - wl->carve) < need)
        word_list_grow(wl, need);
    word *w = reinterpret_cast<word *>(wl->carve);
    wl->carve += need;
    return w;
}

// Fills in a carved node, whose text follows it, and appends it. is_delim is
// 0 or 1.
[[gnu::always_inline]] inline static void word_list_link(word_list *wl, word *w, int is_delim)
{
    w->str = reinterpret_cast<char *>(w + 1);
    w->is_delim = static_cast<short>(is_delim);
    w->next = nullptr;
    w->prev = wl->tail;
    if (wl->tail)
        wl->tail->next = w;
    else
        wl->head = w;
    wl->tail = w;
}

// Copies len bytes from src to dst, where the bytes from begin to end may be
// read, in 16-byte pieces (memcpy branches on the size, and token sizes are
// too varied to predict): up to 16 bytes past src + len and dst + len (every
// destination here has that slack), or near the end of the text one piece
// that ends at src + len and dst + len (a caller that may not write before
// dst passes src as begin).
[[gnu::always_inline]] inline static void text_copy(char *dst, const char *src, size_t len,
                                                    const char *begin, const char *end)
{
    if (end - src >= static_cast<ptrdiff_t>(len + 16)) {
        memcpy(dst, src, 16);
        for (size_t i = 16; i < len; i += 16)
            memcpy(dst + i, src + i, 16);
    } else if (len <= 16 && src + len - begin >= 16) {
        memcpy(dst + len - 16, src + len - 16, 16);
    } else {
        memcpy(dst, src, len);
    }
}

// Appends a token whose text is the len characters at str, where the bytes
// from begin to end may be read. The text is copied before the node is filled
// in, as the copy may write over the end of the node.
[[gnu::always_inline]] inline static void word_list_add_token(word_list *wl, const char *str,
                                                              size_t len, int is_delim,
                                                              const char *begin, const char *end)
{
    word *w = word_list_carve(wl, len);
    char *text = reinterpret_cast<char *>(w + 1);
    text_copy(text, str, len, begin, end);
    text[len] = '\0';
    word_list_link(wl, w, is_delim);
}

void word_list_push(word_list *wl, const char *str, int is_delim)
{
    if (!wl)
        return;
    size_t len = str ? strlen(str) : 0;
    word *w = word_list_carve(wl, len);
    word_list_link(wl, w, is_delim > 0);
    if (str)
        memcpy(w->str, str, len + 1);
    else
        w->str = nullptr;
}

void word_list_pop(word_list *wl)
{
    if (!wl || !wl->tail)
        return;
    word *w = wl->tail;
    wl->tail = w->prev;
    if (wl->tail)
        wl->tail->next = nullptr;
    else
        wl->head = nullptr;
    // The newest node's memory is reused at once; any other node's goes
    // with its block when the list is destroyed.
    char *end = reinterpret_cast<char *>(w) + word_size(w->str ? strlen(w->str) : 0);
    if (end == wl->carve)
        wl->carve = reinterpret_cast<char *>(w);
}

void word_list_destroy(word_list **wl)
{
    // Pushed newest first, the blocks end up kept in the order they were filled.
    for (word_block *b = (*wl)->blocks, *next; b; b = next) {
        next = b->next;
        b->next = word_block_spare;
        word_block_spare = b;
    }
    if (word_list_spare)
        free(*wl);
    else
        word_list_spare = *wl;
    *wl = nullptr;
}

// The index of the first NUL among the 16 bytes at s, or 16.
[[gnu::always_inline]] inline static unsigned text_nul_16(const char *s)
{
#ifdef QSH_SSE2
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s));
    unsigned mask = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())));
    return static_cast<unsigned>(__builtin_ctz(mask | 0x10000u));
#else
    unsigned k = 0;
    while (k < 16 && s[k])
        k++;
    return k;
#endif
}

// Tokens on their way to standard output, handed to stdio once the buffer
// holds word_print_size bytes and at the end of each list. A piece starts
// below word_print_size and fills at most 17 bytes (16 of text, or up to 15,
// "]" and sep); the next token's "[" may follow: 17 bytes past that size.
// Empty between calls of word_list_print, which hands all of it over.
static char word_print_buf[word_print_size + 17];

// Hands the buffer up to out to standard output and returns its start.
[[gnu::noinline]] static char *word_print_flush(const char *out)
{
    fwrite_unlocked(word_print_buf, 1, static_cast<size_t>(out - word_print_buf), stdout);
    output_check();
    return word_print_buf;
}

// The text is copied 16 bytes at a time, reading past its NUL: a node's text
// lies in a block with slack after it.
void word_list_print(const word_list *wl)
{
    if (!wl || !wl->head)
        return;
    char *out = word_print_buf;
    for (const word *w = wl->head; w; w = w->next) {
        static const char empty[16] = {};  // a null text prints as []
        const char *str = w->str ? w->str : empty;
        *out++ = '[';
        for (;;) {
            if (out >= word_print_buf + word_print_size)
                out = word_print_flush(out);
            unsigned k = text_nul_16(str);
            memcpy(out, str, 16);
            if (k < 16) {
                out[k] = ']';
                out[k + 1] = w->next ? ' ' : '\n';
                out += k + 2;
                break;
            }
            out += 16;
            str += 16;
        }
    }
    word_print_flush(out);
}

// Copies the len characters at text to out, everything before text_end being
// readable, and returns the end of the copy (up to 16 bytes past it may be
// written).
[[gnu::always_inline]] inline static char *tok_put(char *out, const char *text, size_t len,
                                                   const char *text_end)
{
    text_copy(out, text, len, text, text_end);
    return out + len;
}

// Rebuilds at out the word that starts at buff_idx and whose first quote or
// backslash is at idx, and returns the word's length in buff; *len becomes
// the length of the text, which is never longer. A quoted span is copied up
// to the closing quote of its own kind (a quote of the other kind, a
// backslash, whitespace and operators inside it are text) and both quotes
// are dropped; outside quotes a backslash takes the next character
// literally; whitespace, an operator character or the end of the text ends
// the word.
static int tok_word_rebuild(const char *buff, int buff_idx, int idx, const char *text_end,
                            char *out, size_t *len)
{
    char *at = tok_put(out, buff + buff_idx, static_cast<size_t>(idx - buff_idx), text_end);
    for (;;) {
        char c = buff[idx];
        if (is_quote(c)) {
            const char *text = buff + idx + 1;
            const char *close = quote_close(text, c);
            size_t n = static_cast<size_t>(close - text);
            at = tok_put(at, text, n, text_end);
            idx += 1 + static_cast<int>(n);
            if (!*close)
                break;  // an open quote (the checker never lets one through)
            idx++;
        } else if (c == '\\') {
            // A backslash at the very end (never let through) stays itself.
            int escaped = buff[idx + 1] != '\0';
            *at++ = buff[idx + escaped];
            idx += 1 + escaped;
        } else if (is_char_plain(c)) {
            const char *stop = text_scan(buff + idx, text_end, 1);
            at = tok_put(at, buff + idx, static_cast<size_t>(stop - (buff + idx)), text_end);
            idx = static_cast<int>(stop - buff);
        } else {
            break;  // whitespace, an operator character or the end
        }
    }
    *len = static_cast<size_t>(at - out);
    return idx - buff_idx;
}

// Adds the word at buff_idx, whose first run of plain text ends at stop, to
// the list and returns its length in buff. When a quote or a backslash
// follows the run, the word is rebuilt right in its node: room for the rest
// of the text is carved, and what the text does not need is given back.
[[gnu::always_inline]] inline static int tok_word_cut(word_list *wl, const char *buff, int buff_idx,
                                                      const char *stop, const char *text_end)
{
    const char *s = buff + buff_idx;
    if (!is_char_special(*stop)) {
        word_list_add_token(wl, s, static_cast<size_t>(stop - s), 0, buff, text_end);
        return static_cast<int>(stop - s);
    }
    word *w = word_list_carve(wl, static_cast<size_t>(text_end - s));
    char *text = reinterpret_cast<char *>(w + 1);
    size_t len;
    int span = tok_word_rebuild(buff, buff_idx, static_cast<int>(stop - buff), text_end, text,
                                &len);
    text[len] = '\0';
    wl->carve = reinterpret_cast<char *>(w) + word_size(len);
    word_list_link(wl, w, 0);
    return span;
}

// Cuts the token at buff[idx] (neither whitespace nor the end) into the list
// and returns its length in buff. Everything before text_end may be read.
[[gnu::always_inline]] inline static int tok_cut(word_list *wl, const char *buff, int idx,
                                                 const char *text_end)
{
    const char *s = buff + idx;
    if (!is_char_from_delim(*s))
        return tok_word_cut(wl, buff, idx, text_scan(s, text_end, 1), text_end);
    int len = delim_read(s, nullptr);
    word_list_add_token(wl, s, static_cast<size_t>(len), 1, buff, text_end);
    return len;
}

int tok_space_handle(const char *buff, int idx)
{
    int end = idx + is_char_space(buff[idx]);  // mostly one blank: counted without a branch
    while (is_char_space(buff[end]))
        end++;
    return end - idx;
}

int tok_delim_handle(const char *buff, int idx)
{
    return delim_read(buff + idx, nullptr);
}

// The end of the text from s on: just past its NUL.
static const char *text_end_of(const char *s)
{
    return s + strlen(s) + 1;
}

int tok_word_handle(const char *buff, int buff_idx, char **token)
{
    return tok_word_handle_in(buff, buff_idx, text_end_of(buff + buff_idx), token);
}

int tok_word_handle_in(const char *buff, int buff_idx, const char *end, char **token)
{
    const char *s = buff + buff_idx;
    const char *stop = text_scan(s, end, 1);
    if (!is_char_special(*stop))
        return static_cast<int>(stop - s);  // no text to hand back
    word_list *wl = word_list_init();
    int len = tok_word_cut(wl, buff, buff_idx, stop, end);
    size_t n = strlen(wl->head->str);
    *token = mem_strndup(wl->head->str, n + 1);  // two NULs after the text
    word_list_destroy(&wl);
    return len;
}

char *token_handle(const char *buff, int *buff_idx, short *is_delim)
{
    *buff_idx += tok_space_handle(buff, *buff_idx);
    const char *s = buff + *buff_idx;
    if (!*s)
        return nullptr;
    // Cut into a list of its own, as word_list_from_buff cuts every token.
    word_list *wl = word_list_init();
    *buff_idx += tok_cut(wl, buff, *buff_idx, text_end_of(s));
    char *tok = mem_strndup(wl->head->str, strlen(wl->head->str));
    if (is_delim)
        *is_delim = wl->head->is_delim;
    word_list_destroy(&wl);
    return tok;
}

#ifdef QSH_SSE2
// Splits words and the whitespace between them while 16 bytes can be read,
// one 16-byte load per word: the load gives the word's end and, from the same
// masks, where the whitespace after it ends, so the next word's start is
// known without looking at the byte that ended this one. A word continued by
// a quote or a backslash is rebuilt from there. Returns the index where it
// stopped: at an operator character or the NUL, at a word that goes on past
// the 16 bytes, or where fewer than 16 bytes are left before text_end.
[[gnu::always_inline]] inline int tok_words(word_list *wl, const char *buff, int idx,
                                            const char *text_end)
{
    const char *s = buff + idx;
    while (text_end - s >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s));
        unsigned special = text_mask_special(v);
        unsigned space = text_mask_space(v);
        unsigned k = static_cast<unsigned>(__builtin_ctz(special | space | 0x10000u));
        if (k == 16)
            break;
        if (special >> k & 1) {
            int start = static_cast<int>(s - buff);
            if (!is_char_special(s[k])) {  // an operator or the end
                if (k)
                    word_list_add_token(wl, s, k, 0, buff, text_end);
                return start + static_cast<int>(k);
            }
            s += tok_word_cut(wl, buff, start, s + k, text_end);
            continue;  // whitespace after the word is skipped as any other
        }
        if (k)
            word_list_add_token(wl, s, k, 0, buff, text_end);
        s += k + static_cast<unsigned>(__builtin_ctz(~space >> k));  // ~space: ones past 16
    }
    return static_cast<int>(s - buff);
}
#else
inline int tok_words(word_list *, const char *, int idx, const char *)
{
    return idx;
}
#endif

word_list *word_list_from_buff(const char *buff)
{
    if (!*buff)
        return nullptr;
    word_list *wl = word_list_init();
    const char *text_end = text_end_of(buff);
    int idx = 0;
    for (;;) {
        idx = tok_words(wl, buff, idx, text_end);
        idx += tok_space_handle(buff, idx);
        if (!buff[idx])
            break;
        idx += tok_cut(wl, buff, idx, text_end);
    }
    return wl;
}
