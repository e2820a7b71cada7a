// SPDX-License-Identifier: BSD-2-Clause
// The front end: start-up, the command line, the prompt and the main loop.
#pragma once

#include "input.h"
#include "word.h"

// Both are set once by main at start-up and kept for the whole run.
extern char cur_path[4096];    // the prompt path, from the pwd probe (empty without it)
extern int only_print_tokens;  // -s: print tokens instead of running

void print_invitation();
// Reads one line (prompting first on a terminal) into *buffptr after the text
// already in it, a fresh 1024-byte buffer when it is null (see
// input_line_read). The main loop reads through input_line_read itself.
input_state read_loop(char **buffptr, int *size);
// Frees the buffer and destroys the list when set, and nulls both pointers.
void mem_free(char **buff, word_list **wl);
// Reads, checks and runs lines until the end of input. Returns the status of
// the last command line: that of its last command that ran and was waited
// for (128 + the signal number after a signal), 0 when that command was not
// waited for or nothing ran, 2 when the line was refused or left unfinished.
// Empty lines leave the status as it was.
int loop();
