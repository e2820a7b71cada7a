// SPDX-License-Identifier: BSD-2-Clause
// A small terminal that applies the bytes the line editor writes, as an
// xterm does, and notes the first thing it would not have drawn as meant:
// text written while the cursor waits past the last column (the editor ends
// its rows itself), a wide glyph that does not fit, a raw control byte, an
// erase from the last column, a sequence it does not know, a cursor elsewhere
// than the drawing says. Header-only: the unit tests and the fuzz target
// share it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "edit.h"

struct screen_model {
    int width, height;
    std::vector<std::string> cell;  // row-major; "" is the right half of a wide glyph
    std::string colour;             // per cell: . plain, o operator, q quoted, e error
    int row = 0, col = 0;
    bool pending = false;  // a glyph went into the last column: the next one wraps
    std::string fault;
    char pen = '.';

    screen_model(int w, int h) : width(w), height(h), cell(w * h, " "), colour(w * h, '.') {}

    void fail(const std::string &what)
    {
        if (fault.empty())
            fault = what + " at row " + std::to_string(row) + " column " + std::to_string(col);
    }
    void erase(int from, int to)
    {
        for (int i = from; i < to; i++)
            cell[i] = " ", colour[i] = '.';
    }
    void newline()
    {
        pending = false;
        if (++row < height)
            return;
        row = height - 1;  // scrolled: the top row goes
        cell.erase(cell.begin(), cell.begin() + width);
        cell.resize(width * height, " ");
        colour = colour.substr(width) + std::string(width, '.');
    }
    void csi(const std::string &param, char final)
    {
        int n = param.empty() ? 1 : std::stoi(param);
        if ((final == 'K' || final == 'J') && pending)
            fail("erase from the last column");
        if (final == 'A')
            row = std::max(0, row - n);
        else if (final == 'C')
            col = std::min(width - 1, col + n);
        else if (final == 'K' || final == 'J')
            erase(row * width + col, (final == 'K' ? row + 1 : height) * width);
        else if (final == 'm')
            pen = param == "36" ? 'o' : param == "33" ? 'q' : param == "31" ? 'e' : '.';
        else
            fail("unknown sequence " + param + final);
        pending = pending && final == 'm';
    }
    void glyph(const std::string &bytes, uint32_t cp)
    {
        int w = edit_width(cp), at = row * width + col;
        if (w == 0) {  // joins the glyph before it
            cell[at - (pending || col == 0 ? 0 : 1)] += bytes;
            return;
        }
        if (pending || col + w > width)
            return fail(pending ? "text past the last column"
                                : "a wide glyph past the last column");
        cell[at] = bytes, colour[at] = pen;
        if (w == 2)
            cell[at + 1] = "", colour[at + 1] = pen;
        col += w;
        if (col == width)
            col = width - 1, pending = true;
    }
    void feed(const std::string &s)
    {
        for (size_t i = 0; i < s.size();) {
            auto c = static_cast<unsigned char>(s[i]);
            if (c == '\x1b' && i + 1 < s.size() && s[i + 1] == '[') {
                size_t j = i + 2;
                while (j < s.size() && (s[j] < 0x40 || s[j] > 0x7e))
                    j++;
                csi(s.substr(i + 2, j - i - 2), j < s.size() ? s[j] : '?');
                i = j + 1;
            } else if (c == '\r') {
                col = 0, pending = false, i++;
            } else if (c == '\n') {
                newline(), i++;
            } else if (c < 0x20 || c == 0x7f || (c >= 0x80 && c < 0xc2) || c > 0xf4) {
                fail("raw byte " + std::to_string(c)), i++;
            } else {
                size_t n = c < 0x80 ? 1 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
                uint32_t cp = n == 1 ? c : c & (0x7f >> n);
                for (size_t k = 1; k < n && i + k < s.size(); k++)
                    cp = cp << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3f);
                glyph(s.substr(i, n), cp);
                i += n;
            }
        }
    }
    // Draws v over the last drawing, whose cursor stood on old_row, and
    // applies it; a cursor elsewhere than the drawing says is a fault.
    // Returns the cursor's row.
    int draw(const edit_view *v, int old_row)
    {
        edit_buf out = {};
        int c, r = edit_draw(&out, v, old_row, &c);
        feed(std::string(out.data, out.len));
        free(out.data);
        if (r != row || c != col || r >= height)
            fail("the cursor drawn at " + std::to_string(r) + "," + std::to_string(c));
        return r;
    }
    // The rows, their blanks at the end dropped, with the cursor as |.
    std::string shown() const
    {
        std::string out;
        for (int r = 0; r < height; r++) {
            std::string line;
            for (int c = 0; c < width; c++)
                line += (r == row && c == col ? "|" : "") + cell[r * width + c];
            out += line.erase(line.find_last_not_of(' ') + 1) + "\n";
        }
        return out.erase(out.find_last_not_of('\n') + 1);
    }
};
