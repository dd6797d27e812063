// Fuzzes the mail date parser with arbitrary bytes as a NUL-terminated text.

#include <cstddef>
#include <cstdint>
#include <string>

#include "kinbook/mailtext/ParseDate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const long value = parsedate(text.c_str());
    const int check = checkdate(text.c_str());

    // Results are -1 or a 32-bit time, and checkdate is a truth value.
    if (value < INT32_MIN || value > INT32_MAX || (check != 0 && check != 1)) {
        __builtin_trap();
    }
    // Blanks around a text never change what it says.
    const std::string padded = " " + std::string(text.c_str()) + " ";
    if (parsedate(padded.c_str()) != value || checkdate(padded.c_str()) != check) {
        __builtin_trap();
    }
    return 0;
}
