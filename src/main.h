// The front end: start-up, the command line, the prompt and the main loop.
#pragma once

#include "input.h"
#include "word.h"

extern char cur_path[4096];    // the prompt path, filled once at start-up
extern int only_print_tokens;  // set by -s: print tokens instead of running

void print_invitation();
// Frees the buffer and destroys the list when set, and nulls both pointers.
void mem_free(char **buff, word_list **wl);
// Reads, checks and runs lines until the end of input. Returns the status of
// the last command line: that of its last command that ran and was waited
// for (128 + the signal number after a signal), 0 when that command was not
// waited for or nothing ran, 2 when the line was refused or left unfinished.
// Empty lines leave the status as it was.
int loop();
