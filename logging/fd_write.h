#pragma once

// Writing to a file descriptor without losing pieces (internal to the logging framework).

#include <sys/uio.h>

#include <cstddef>

// Writes every byte of the pieces, in order, with as few system calls as the descriptor allows
// (one, unless the kernel takes less); retries after interruptions. False when the descriptor
// fails (errno tells why); what was written stays written.
bool LGWriteFully(int fileDescriptor, iovec* pieces, int count);
