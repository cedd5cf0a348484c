// The pattern text of a value: its generalised symbols written as the bytes
// '0' + k. This is the form the sample tables store and the debugging aids
// print; every symbol is below 44, so a pattern never holds a quote or a
// backslash and enters SQL texts as it is.
#pragma once

#include <cstddef>
#include <cstdint>

// Writes the pattern of len bytes of value into out (cap bytes, terminated).
// 0, or -1 when the generalisation fails or the pattern needs cap bytes or more.
int ml_pattern_text(const unsigned char *value, uint32_t len, char *out, size_t cap);
