// Object and lock paths are composed in fixed 256-byte buffers: a path is at
// most 255 characters.
#pragma once

#include <cstddef>

inline constexpr size_t PATH_BUF_LEN = 256;
using PathBuf = char[PATH_BUF_LEN];

// Formats into buf.  0, or -1 (without a message) when the text would not fit.
int path_format(PathBuf &buf, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
