// SPDX-License-Identifier: BSD-2-Clause
// The line reader and the source it reads: standard input (the default), a
// script file read through the shell's own descriptor, or the string given
// with -c.
//
// When the script is standard input, the commands the shell starts read the
// same input and must get exactly the text after the line being run:
// input_sync hands standard input over before they start and input_resume
// takes it back after. A script file or a string is the shell's alone.
#pragma once

#include <cstddef>

enum input_state : unsigned {
    st_fin = 0,       // end of input with nothing to run
    st_exe_fin = 1,   // run what was read, then end (input ended after text)
    st_exe_cont = 2,  // a whole line ended by a newline: run it and go on
};

// Choosing the source, before the first line is read. A script file or a
// string never prompts, and a first line starting with #! is skipped, so an
// executable script can name qsh as its interpreter.
// input_from_file returns 0, or -1 with errno set when path cannot be opened
// and read as a script (a directory gives EISDIR).
int input_from_file(const char *path);
void input_from_string(const char *text);

// Whether the source is a -c string of which only whitespace is left: the
// line just read is its last.
int input_string_done();

// Whether the shell prompts: the source is standard input and a terminal.
int input_is_tty();

// The prompt, "DIR> ", that input_line_read writes before each line it reads
// from a terminal (nothing until this is called); when the line editor is
// used (edit_usable), the editor draws it and reads the line instead.
void input_set_prompt(const char *dir);
// Writes the prompt out now.
void input_prompt_print();
// The logical line in text is complete (accepted or refused): when the
// editor read any of it, it goes into the history.
void input_line_done(const char *text);

// Tells the reader that no command will read standard input behind it (-s),
// so it may read in blocks whatever standard input is.
void input_set_alone(int alone);

// Reads one line (prompting first on a terminal, see input_set_prompt) into
// *buffptr after its first *len characters, which then become the length of
// the joined text (up to a NUL byte): a continued line costs only what is
// appended. A null *buffptr gets a fresh zero-filled buffer of 1024 bytes;
// *size is the buffer's capacity, doubled before a character would land at
// index capacity - 1. The caller owns the buffer and frees it. The newline
// is not stored; the text is NUL-terminated.
input_state input_line_read(char **buffptr, int *size, size_t *len);

// Before commands start: hands standard input over at the end of the text
// consumed so far. After they end: takes it back (input_resume).
void input_sync();
void input_resume();
// Goes back to standard input, drops whatever was read ahead and forgets
// what kind of input it was (for tests that feed several inputs through
// descriptor 0).
void input_reset();
