// What the process's C streams reach: whether a stream writes to a terminal,
// how wide that terminal is, and whether standard output and standard error
// land in one place.
#pragma once

#include <cstddef>
#include <cstdio>

namespace orvex::io {

// Whether stream writes to a terminal.
bool isTerminal(std::FILE* stream);
// The width in columns of the terminal stream writes to; 0 when it is none
// or does not tell.
size_t terminalColumns(std::FILE* stream);
// Whether standard output and standard error reach the same file or
// terminal, so that a line on one ends an unfinished line of the other.
bool standardStreamsShareTarget();
// Makes stream carry bytes as they are, for file contents: where messages
// go through text mode (Windows, whose lines end in CRLF), it leaves it.
void writeBinary(std::FILE* stream);

}  // namespace orvex::io
