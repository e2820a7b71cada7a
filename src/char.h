// SPDX-License-Identifier: BSD-2-Clause
// Character classes and operator predicates shared by the checker, the
// tokenizer and the executor. All are pure; each returns 1 for true, 0 for
// false. Token predicates read at most two characters of `token`; those with
// a `dl` parameter store the operator code there (when dl is not null), and
// it is meaningful only when they return true.
#pragma once

#include <cstdint>
#include <cstring>

// The 16-byte paths use SSE2 where the compiler targets it, unless the build
// asks for the plain byte-at-a-time paths everywhere (cmake -DQSH_SIMD=OFF
// defines QSH_NO_SIMD). Every other file tests QSH_SSE2 alone.
#if defined(__SSE2__) && !defined(QSH_NO_SIMD)
#define QSH_SSE2 1
#include <emmintrin.h>
#endif

#include "define.h"

// Character classes, one bit each, looked up in a table: the scanning loops
// of the checker and the tokenizer test a whole class in one step.
enum def_char_class : unsigned char {
    cc_space = 1,      // blank \t \n \v \f \r
    cc_delim = 2,      // & ; < > |
    cc_quote = 4,      // " '
    cc_backslash = 8,  // backslash
    cc_end = 16,       // the terminating NUL
};
using char_class = def_char_class;

struct def_char_classes {
    unsigned char of[256];  // the classes of each byte value
};
using char_classes = def_char_classes;
extern const char_classes char_class_table;

// True for a character that is only ever part of a word: not whitespace, an
// operator character, a quote, a backslash or the end of the text.
inline int is_char_plain(char c)
{
    return !char_class_table.of[static_cast<unsigned char>(c)];
}

// Scanning. text_scan returns the first byte at or after s that ends a run
// of plain text: an operator character, a quote, a backslash or the NUL, and
// whitespace too when stop_at_space is set. s points into a NUL-terminated
// text whose bytes may all be read up to end: just past its NUL or later, or
// s itself when that is not known.
// text_scan_bytes is the same scan one byte at a time.
inline const char *text_scan_bytes(const char *s, int stop_at_space)
{
    const unsigned char stop = cc_delim | cc_quote | cc_backslash | cc_end |
                               (stop_at_space ? cc_space : 0);
    while (!(char_class_table.of[static_cast<unsigned char>(*s)] & stop))
        s++;
    return s;
}

#ifdef QSH_SSE2
// One bit for each of the 16 bytes in v that is an operator character, a
// quote, a backslash or the NUL.
inline unsigned text_mask_special(__m128i v)
{
    const auto is = [v](int c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(c))); };
    // Pairs that differ in one bit: | and backslash (0x20), & and ' (0x01),
    // < and > (0x02).
    const auto is_pair = [v](int bit, int c) {
        __m128i both = _mm_or_si128(v, _mm_set1_epi8(static_cast<char>(bit)));
        return _mm_cmpeq_epi8(both, _mm_set1_epi8(static_cast<char>(c)));
    };
    __m128i m = _mm_or_si128(is('\0'), is_pair(0x20, '|'));
    m = _mm_or_si128(m, _mm_or_si128(is_pair(0x01, '\''), is_pair(0x02, '>')));
    m = _mm_or_si128(m, _mm_or_si128(is(';'), is('"')));
    return static_cast<unsigned>(_mm_movemask_epi8(m));
}

// One bit for each of the 16 bytes in v that is whitespace.
inline unsigned text_mask_space(__m128i v)
{
    __m128i ctl = _mm_sub_epi8(v, _mm_set1_epi8(9));  // \t \n \v \f \r: 9 to 13
    __m128i m = _mm_cmpeq_epi8(_mm_min_epu8(ctl, _mm_set1_epi8(4)), ctl);
    m = _mm_or_si128(m, _mm_cmpeq_epi8(v, _mm_set1_epi8(' ')));
    return static_cast<unsigned>(_mm_movemask_epi8(m));
}

// One bit for each of the 16 bytes in v that ends a scan.
inline unsigned text_scan_mask(__m128i v, int stop_at_space)
{
    return text_mask_special(v) | (stop_at_space ? text_mask_space(v) : 0);
}

// The last bytes, fewer than 16 before end, with aligned loads: such a load
// never reaches into a page that holds no byte of the text, but it may read
// bytes before s and past end in the same 16-byte block. The result never
// depends on them (the count of trailing zeros stops at the first byte that
// ends the scan, and the NUL does), yet AddressSanitizer would report them,
// so this function is not instrumented.
[[gnu::no_sanitize_address]] inline const char *text_scan_tail(const char *s, int stop_at_space)
{
    const unsigned off = reinterpret_cast<uintptr_t>(s) & 15;
    const char *block = s - off;
    unsigned mask = text_scan_mask(*reinterpret_cast<const __m128i *>(block), stop_at_space);
    mask = mask >> off << off;
    for (;;) {
        unsigned k = static_cast<unsigned>(__builtin_ctz(mask | 0x10000u));
        if (k < 16)
            return block + k;
        block += 16;
        mask = text_scan_mask(*reinterpret_cast<const __m128i *>(block), stop_at_space);
    }
}

// 16 bytes at a time, unaligned while 16 bytes remain before end.
inline const char *text_scan(const char *s, const char *end, int stop_at_space)
{
    for (; end - s >= 16; s += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s));
        unsigned mask = text_scan_mask(v, stop_at_space);
        if (mask)
            return s + __builtin_ctz(mask);
    }
    return text_scan_tail(s, stop_at_space);
}
#else
inline const char *text_scan(const char *s, const char *, int stop_at_space)
{
    return text_scan_bytes(s, stop_at_space);
}
#endif

// The end of a quoted span whose text starts at s (just after its opening
// quote): inside quotes only a quote of the same kind closes the span; the
// other quote, backslashes, whitespace and operator characters are text.
// Returns the closing quote, or the terminating NUL while the span is open.
inline const char *quote_close(const char *s, char quote)
{
    return strchrnul(s, quote);
}

int is_char_from_delim(char c);  // & ; < > |
int is_char_special(char c);     // " ' and backslash: the word must be rebuilt
int is_quote(char c);            // " '
int is_char_space(char c);       // blank \t \n \v \f \r

int is_delim(const char *token, int char_cnt);
// The operator at op: its length, 2 when the next character makes a
// two-character operator with the first, else 1. Its code (delim_err when op
// holds no operator) is stored in *dl when dl is not null.
int delim_read(const char *op, delim *dl);
int is_leftside_delim(const char *token, int char_cnt, delim *dl);   // ; &
int is_rightside_delim(const char *token, int char_cnt, delim *dl);  // < > << >>
int is_bothside_delim(const char *token, int char_cnt, delim *dl);   // | || &&
int is_word_delim(const char *token, int char_cnt, delim *dl);       // redirections
int is_cmd_delim(const char *token, int char_cnt, delim *dl);        // end a command
