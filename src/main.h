// The front end: start-up, the prompt, reading lines and the main loop.
#pragma once

#include "word.h"

enum input_state : unsigned {
    st_fin = 0,       // end of input with nothing to run
    st_exe_fin = 1,   // run what was read, then end (input ended after text)
    st_exe_cont = 2,  // a whole line ended by a newline: run it and go on
};

extern char cur_path[4096];    // the prompt path, filled once at start-up
extern int only_print_tokens;  // set by -s: print tokens instead of running

void print_invitation();
// Reads one line from standard input, appending to the text already in
// *buffptr (a fresh 1024-byte buffer when it is null). The capacity in *size
// doubles before a character would land at index capacity - 1. The newline
// is not stored; the text is NUL-terminated.
input_state read_loop(char **buffptr, int *size);
// Frees the buffer and destroys the list when set, and nulls both pointers.
void mem_free(char **buff, word_list **wl);
void loop();

// Drops whatever standard input has been read ahead but not yet consumed
// and forgets what kind of input it was (for tests that feed several inputs
// through descriptor 0).
void input_reset();
// Before commands start: hands standard input over at the end of the text
// consumed so far. After they end: takes it back (input_resume).
void input_sync();
void input_resume();
