#pragma once

#ifndef ZORVEL_INTERNAL_logging
#error "logging/fd_write_internal.h is internal to the logging framework"
#endif

// Writing to a file descriptor without losing pieces, for the loggers that write files and
// terminals (file_logger.cpp, tty_logger.cpp).

#include <sys/uio.h>

#include <cstddef>

// Writes every byte of the pieces, in order, with as few system calls as the descriptor allows
// (one, unless the kernel takes less); retries after interruptions. False when the descriptor
// fails (errno tells why); what was written stays written.
bool LGWriteFully(int fileDescriptor, iovec* pieces, int count);
