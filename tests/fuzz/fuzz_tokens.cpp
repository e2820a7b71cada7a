// SPDX-License-Identifier: BSD-2-Clause
// Fuzz target: the syntax checker and the tokenizer on arbitrary bytes.
//
// The input, up to its first NUL byte, is one logical line as the main loop
// would hand it over. The checker must never crash on it. When the checker
// accepts the text (directly, or on the second look the loop takes at end of
// input after a final backslash became a blank), the tokenizer splits it;
// the text sits in a buffer of exactly its own size so that AddressSanitizer
// sees any read or write beyond it. Then a round trip must hold: every word
// is quoted again in single quotes (an embedded single quote written as '\''),
// operators are written bare, all separated by blanks; the checker accepts
// that text and the tokenizer gives back the same tokens with the same
// operator flags.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "syntax.h"
#include "word.h"

namespace {

using token_vec = std::vector<std::pair<std::string, int>>;

// The checker may write into the text, so it gets a private copy.
syntax_state check(const std::string &text)
{
    char *buff = static_cast<char *>(malloc(text.size() + 1));
    memcpy(buff, text.c_str(), text.size() + 1);
    int err_pos = -1, symcnt = -1;
    syntax_state st = syntax_handle(buff, &err_pos, &symcnt);
    if (st == syntax_err) {
        // The reported operator lies inside the text.
        if (err_pos < 0 || symcnt < 1 || symcnt > 2 ||
            static_cast<size_t>(err_pos) + static_cast<size_t>(symcnt) > text.size())
            abort();
    }
    free(buff);
    return st;
}

token_vec tokenize(const char *buff)
{
    token_vec out;
    word_list *wl = word_list_from_buff(buff);
    if (!wl) {
        if (*buff)
            abort();  // only the empty text has no list
        return out;
    }
    for (const word *w = wl->head; w; w = w->next) {
        if (!w->str)
            abort();
        out.emplace_back(w->str, w->is_delim);
    }
    word_list_destroy(&wl);
    if (wl)
        abort();
    return out;
}

std::string requote(const token_vec &tokens)
{
    std::string text;
    for (const auto &[str, is_delim] : tokens) {
        if (!text.empty())
            text += ' ';
        if (is_delim) {
            text += str;
            continue;
        }
        text += '\'';
        for (char c : str) {
            if (c == '\'')
                text += "'\\''";
            else
                text += c;
        }
        text += '\'';
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t len = strnlen(reinterpret_cast<const char *>(data), size);
    char *buff = static_cast<char *>(malloc(len + 1));
    memcpy(buff, data, len);
    buff[len] = '\0';

    int err_pos = -1, symcnt = -1;
    syntax_state st = syntax_handle(buff, &err_pos, &symcnt);
    if (st == syntax_cont_read)
        st = syntax_handle(buff, &err_pos, &symcnt);
    if (st != syntax_ok && st != syntax_cont_read && st != syntax_err)
        abort();
    if (st == syntax_err && (err_pos < 0 || symcnt < 1 || symcnt > 2 ||
                             static_cast<size_t>(err_pos) + static_cast<size_t>(symcnt) > len))
        abort();
    if (st != syntax_ok) {
        free(buff);
        return 0;
    }

    token_vec first = tokenize(buff);
    free(buff);

    std::string again = requote(first);
    if (check(again) != syntax_ok) {
        fprintf(stderr, "re-quoted text rejected: %s\n", again.c_str());
        abort();
    }
    token_vec second = tokenize(again.c_str());
    if (second != first) {
        fprintf(stderr, "round trip changed the tokens of: %s\n", again.c_str());
        abort();
    }
    return 0;
}
