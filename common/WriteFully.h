#pragma once
#include <QtGlobal>
#include <cstdint>

/// Writes all `size` bytes at `data` to the descriptor `fd`, continuing after a short write or
/// an interrupted one. Returns 0, or the error number (errno) of the write that failed.
/// Thread-safe (touches only `fd`).
int32_t writeFully(int fd, const char* data, qsizetype size);
