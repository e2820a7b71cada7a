// SPDX-License-Identifier: BSD-2-Clause
// The word list: one accepted line split into tokens, in line order.
//
// Ownership: a list owns its nodes and each node owns its string; a node and
// its string are carved together from the list's blocks and released with
// them (destroyed lists leave their blocks to the lists that follow).
// Argument vectors built by the executor only borrow these strings, so they
// stay valid until the list is destroyed (the main loop does that after the
// line). word_init makes a free-standing node that the caller frees.
#pragma once

#include <cstddef>

struct def_word {
    char *str;       // token text, NUL-terminated, owned by the node
    short is_delim;  // 1 for an operator found outside quotes, 0 for a word
    def_word *next;  // null at the tail
    def_word *prev;  // null at the head
};
using word = def_word;

// Invariant: head and tail are both null or both set; next from head ends at tail.
struct def_word_list {
    word *head;
    word *tail;
    struct def_word_block *blocks;  // the nodes' memory, newest block first (word.cpp)
    char *carve;                    // the free part of the newest block, up to carve_end
    char *carve_end;
};
using word_list = def_word_list;

word_list *word_list_init();
// Not on the loop's path: the tokenizer carves its nodes from the list's blocks.
word *word_init();
// Appends a node holding a copy of str (a null str stays null). Not on the
// loop's path: word_list_from_buff copies each token straight into its list.
void word_list_push(word_list *wl, const char *str, int is_delim);
// Removes and frees the tail node. Not on the loop's path: the loop only
// ever destroys a whole list (word_list_destroy).
void word_list_pop(word_list *wl);
// Frees the list and everything in it (keeping its blocks for the next
// list), and sets *wl to null.
void word_list_destroy(word_list **wl);
// Writes "[tok] " for each token and "[tok]\n" for the last, through a buffer
// of qsh's own handed to stdio (and checked by output_check) once it holds
// word_print_size bytes and at the end: all of it is in stdio on return.
void word_list_print(const word_list *wl);
constexpr size_t word_print_size = 4096;

// Tokenizer. It is given only text the syntax checker accepted: balanced
// quotes and no escaping backslash at the end. word_list_from_buff is the
// main loop's; the other functions are entries into the same code, one token
// or one step at a time.
// A new list for buff (the caller frees it), or null for an empty string.
word_list *word_list_from_buff(const char *buff);
// The next token as a new string (the caller frees it), or null when only
// whitespace remains; advances *buff_idx past it.
char *token_handle(const char *buff, int *buff_idx, short *is_delim);
int tok_space_handle(const char *buff, int idx);
int tok_delim_handle(const char *buff, int idx);
// The length in buff of the word at buff_idx. When the word holds quotes or
// backslashes, its rebuilt text is returned through *token (caller frees).
int tok_word_handle(const char *buff, int buff_idx, char **token);
// The same, where the end of the text (just past its NUL) is known: a walk
// over a long text, word by word, does not measure the rest of it each time.
int tok_word_handle_in(const char *buff, int buff_idx, const char *text_end, char **token);
