// How whole lines are cut into writes. A fatal signal can cut a write(2) of a regular
// file where the write passes from one page of the file to the next, never inside a
// page; so each write of lines ends at a line end and stays within one page of the
// file, except a single line that straddles a page boundary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

inline constexpr int64_t kFilePage = 4096;  // the smallest unit in which the page cache grows a file

// The end of the next write of data[begin, size) into a file of `length` bytes: all
// the whole lines that fit into the rest of the file's current page, or the next line
// alone when not even that one fits.
inline size_t nextPieceEnd(const char* data, size_t begin, size_t size, int64_t length) {
  const size_t room = size_t(kFilePage - length % kFilePage);
  size_t end = begin;
  while (end < size) {
    const void* newline = std::memchr(data + end, '\n', size - end);
    const size_t lineEnd = newline != nullptr ? size_t(static_cast<const char*>(newline) - data) + 1 : size;
    if (end > begin && lineEnd - begin > room) break;
    end = lineEnd;
  }
  return end;
}

// Writes data[0, size) into a file of `length` bytes in the pieces above, through
// `write(piece, bytes)`, which returns 0 or an error code; returns the first error.
template <class Write>
int writeInPieces(const char* data, size_t size, int64_t length, Write write) {
  for (size_t begin = 0; begin < size;) {
    const size_t end = nextPieceEnd(data, begin, size, length);
    if (const int error = write(data + begin, end - begin)) return error;
    length += int64_t(end - begin);
    begin = end;
  }
  return 0;
}
