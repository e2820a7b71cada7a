// SPDX-License-Identifier: BSD-2-Clause
// The line editor: keys from the terminal's bytes, the line and its editing,
// history, completion, colours and drawing, and the thin layer that holds
// the terminal raw while one line is read.
#include "edit.h"

// ---------------------------------------------------------------------------
// What the line means to qsh: the program names on PATH, the colours, the
// completion of a word, and the history with its file.
