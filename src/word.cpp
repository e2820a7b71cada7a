#include "word.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "char.h"
#include "define.h"

word_list *word_list_init()
{
    return static_cast<word_list *>(mem_zalloc(sizeof(word_list)));
}

word *word_init()
{
    return static_cast<word *>(mem_zalloc(sizeof(word)));
}

// Appends a node that takes ownership of str.
static void word_list_append(word_list *wl, char *str, int is_delim)
{
    word *w = word_init();
    w->str = str;
    w->is_delim = is_delim > 0 ? 1 : 0;
    w->prev = wl->tail;
    if (wl->tail)
        wl->tail->next = w;
    else
        wl->head = w;
    wl->tail = w;
}

void word_list_push(word_list *wl, const char *str, int is_delim)
{
    if (!wl)
        return;
    word_list_append(wl, str ? mem_strndup(str, strlen(str)) : nullptr, is_delim);
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
    free(w->str);
    free(w);
}

void word_list_destroy(word_list **wl)
{
    while ((*wl)->tail)
        word_list_pop(*wl);
    free(*wl);
    *wl = nullptr;
}

void word_list_print(const word_list *wl)
{
    if (!wl)
        return;
    for (const word *w = wl->head; w; w = w->next) {
        putchar_unlocked('[');
        fputs_unlocked(w->str ? w->str : "", stdout);
        fputs_unlocked(w->next ? "] " : "]\n", stdout);
    }
}

word_list *word_list_from_buff(const char *buff)
{
    if (!*buff)
        return nullptr;
    word_list *wl = word_list_init();
    int idx = 0;
    while (buff[idx]) {
        short is_delim = 0;
        char *tok = token_handle(buff, &idx, &is_delim);
        if (tok)
            word_list_append(wl, tok, is_delim);
    }
    return wl;
}

char *token_handle(const char *buff, int *buff_idx, short *is_delim)
{
    int idx = *buff_idx;
    if (is_char_space(buff[idx])) {
        idx += tok_space_handle(buff, idx);
        *buff_idx = idx;
    }
    if (!buff[idx])
        return nullptr;
    char *tok = nullptr;
    int len;
    short op = is_char_from_delim(buff[idx]);
    if (op)
        len = tok_delim_handle(buff, idx);
    else
        len = tok_word_handle(buff, idx, &tok);
    if (!tok)
        tok = mem_strndup(buff + idx, len);
    if (is_delim)
        *is_delim = op;
    *buff_idx = idx + len;
    return tok;
}

int tok_space_handle(const char *buff, int idx)
{
    int start = idx;
    while (is_char_space(buff[idx]))
        idx++;
    return idx - start;
}

int tok_delim_handle(const char *buff, int idx)
{
    return is_char_from_delim(buff[idx + 1]) && is_delim(buff + idx, 2) ? 2 : 1;
}

// A single quote toggles single-quoting unless inside double quotes, and the
// other way round; is_in_quotes follows whichever span was toggled.
static void quote_set_flags(char c, int *sgl_quote, int *dbl_quote, int *is_in_quotes)
{
    if (c == '\'' && !*dbl_quote) {
        *sgl_quote = !*sgl_quote;
        *is_in_quotes = *sgl_quote;
    } else if (c == '"' && !*sgl_quote) {
        *dbl_quote = !*dbl_quote;
        *is_in_quotes = *dbl_quote;
    }
}

// The text of a word being rebuilt. It grows by doubling, so a word of any
// length is kept whole.
struct def_tok_buf {
    char *str;
    size_t len;
    size_t cap;
};
using tok_buf = def_tok_buf;

static void tok_buf_start(tok_buf *tb, const char *text, size_t len)
{
    tb->cap = 4096;
    while (tb->cap < len + 2)
        tb->cap *= 2;
    tb->str = static_cast<char *>(mem_alloc(tb->cap));
    memcpy(tb->str, text, len);
    tb->len = len;
}

static void tok_buf_add(tok_buf *tb, char c)
{
    if (tb->len + 2 > tb->cap) {
        tb->cap *= 2;
        tb->str = static_cast<char *>(mem_realloc(tb->str, tb->cap));
    }
    tb->str[tb->len++] = c;
}

// Ends the text with two NULs and gives back the unused room.
static char *tok_buf_finish(tok_buf *tb)
{
    tok_buf_add(tb, '\0');
    tb->str[tb->len] = '\0';
    return static_cast<char *>(mem_realloc(tb->str, tb->len + 1));
}

int tok_word_handle(const char *buff, int buff_idx, char **token)
{
    int sgl_quote = 0, dbl_quote = 0, is_in_quotes = 0;
    tok_buf tb = {nullptr, 0, 0};
    int idx = buff_idx;
    for (; buff[idx]; idx++) {
        char c = buff[idx];
        if (!tb.str && is_char_special(c))
            tok_buf_start(&tb, buff + buff_idx, idx - buff_idx);
        if (is_quote(c)) {
            int was_in_quotes = is_in_quotes;
            quote_set_flags(c, &sgl_quote, &dbl_quote, &is_in_quotes);
            if (is_in_quotes != was_in_quotes)
                continue;  // an opening or closing quote is dropped
        }
        if (!is_in_quotes) {
            if (is_char_space(c) || is_char_from_delim(c))
                break;
            // A backslash takes the next character literally; a backslash at
            // the very end (which the checker never lets through) stays itself.
            if (c == '\\' && buff[idx + 1])
                c = buff[++idx];
        }
        if (tb.str)
            tok_buf_add(&tb, c);
    }
    if (tb.str)
        *token = tok_buf_finish(&tb);
    return idx - buff_idx;
}
