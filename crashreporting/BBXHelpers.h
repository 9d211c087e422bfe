#pragma once

// Small functions the crash kit shares between its crash-time code and its report pipeline:
// memory reads that cannot fault, hexadecimal helpers, file removal, symbol look-up and timing
// marks. The host facts the kit needs (escaped bundle identifier, versions, hex encoding of bytes,
// UUIDs) are the SDK host's own functions (sdkhost/HBRHost.h), used directly.
//
// On Linux the checked read is process_vm_readv on this process: the kernel answers EFAULT for an
// unmapped or unreadable source instead of raising SIGSEGV. Any pointer below 4,096 is absent.
//
// Failure: answered by the results (false, nullopt). Threads: any thread; BBXReadMemory,
// BBXReadString, BBXHexValue and BBXFileUnlinkIfExists are async-signal-safe.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/dispatch/dispatch.h"
#include "platform/system/function_ref.h"

// Copies `length` bytes at `source` into `destination`; false for an absent source, a zero length
// or any part of the source that cannot be read.
[[nodiscard]] bool BBXReadMemory(const void* source, void* destination, std::size_t length);
// Checks that a NUL-terminated string at `address` is readable within `maximum` bytes (NUL
// included), one byte at a time; on success sets `out` to `address`.
[[nodiscard]] bool BBXReadString(const char* address, const char** out, std::size_t maximum);

// The value of one hexadecimal digit (either case), 255 for any other character.
std::uint8_t BBXHexValue(char character);
// Decodes pairs of hexadecimal digits up to the first pair holding a non-digit (or a lone last
// digit); the bytes form the result.
std::string BBXHexDecodeString(std::string_view text);
// The lowercase hexadecimal form of the text's bytes.
std::string BBXHexEncodeString(std::string_view text);

// unlink(2); true when it succeeded or the file did not exist.
[[nodiscard]] bool BBXFileUnlinkIfExists(const char* path);

// Calls `block` with the symbol name and image path the dynamic linker reports for `address`,
// each "unknown" when missing; both null when the address is in no loaded image.
void BBXDladdrBlock(const void* address, platform::FunctionRef<void(const char* symbol, const char* image)> block);

// Runs `block` on `queue` after `seconds`.
void BBXDispatchAfter(const platform::DispatchQueuePtr& queue, platform::DispatchBlock block, double seconds);

// A monotonic mark in nanoseconds, and the milliseconds since one.
std::uint64_t BBXProfilingStart();
double BBXProfileEndTime(std::uint64_t mark);
// Runs `block` and prints "[Profile] <name>: <ms> ms" to standard error.
void BBXProfileBlock(const char* name, platform::FunctionRef<void()> block);
