// Decimal text of integers for the lines the search formats, without a format string.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>

template <class Integer>
void appendDecimal(std::string& text, Integer value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  text.append(digits, end);
}
