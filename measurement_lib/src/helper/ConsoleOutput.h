#pragma once
// Whole lines on the standard streams. Tasks, the callback slots' printers
// and the console log channel write from many threads at once; every line
// goes out in one write, under one process-wide lock, and is flushed, so
// lines of different threads never run into each other.

#include <iosfwd>
#include <string_view>

namespace trevask::measurement_library {

// Writes text and a line end to out as one piece and flushes. Text that
// already holds line ends goes out as one block.
void writeLine(std::ostream& out, std::string_view text);
// writeLine on standard output.
void printLine(std::string_view text);
// writeLine on standard error.
void printErrorLine(std::string_view text);

}  // namespace trevask::measurement_library
