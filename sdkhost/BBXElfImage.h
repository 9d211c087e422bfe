#pragma once

// The same questions the Mach-O readers answer, asked of the ELF images this process runs: the
// GNU build-id note stands for an image's UUID (its bytes as lower-case hexadecimal), the
// architecture is the machine the image was built for, and the sections come from the image's
// file. Loaded images are read in memory through their program headers; only the section table,
// which is not loaded, is read from the file.
//
// Failure: a missing image, file or note gives nullopt or an empty list; nothing is logged.
// Threads: plain functions without state; any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct BBXElfSection {
  std::string name;
  std::uint64_t address = 0;  // as linked (add the image's load bias for the loaded address)
  std::uint64_t size = 0;
  std::uint64_t offset = 0;  // in the file
};

// The running executable as loaded.
struct BBXElfImage {
  std::string path;
  std::uintptr_t loadBias = 0;
  std::vector<std::uint8_t> buildID;  // empty when the image has no GNU build-id note
  std::string architectureName;       // "x86_64", "arm64", "i386", "armv7" or "unknown"
};

// The main program of this process, its build-id read from the loaded note.
std::optional<BBXElfImage> BBXElfImageGetCurrent();
// The build-id note found among the notes of a memory range (PT_NOTE segment contents).
std::optional<std::vector<std::uint8_t>> BBXElfBuildIDFromNotes(const std::uint8_t* notes, std::size_t size);
// The architecture name of an ELF machine number (e_machine).
std::string BBXElfArchitectureName(std::uint16_t machine);
// The section headers of an ELF file (64- or 32-bit, native byte order); empty when unreadable.
std::vector<BBXElfSection> BBXElfFileSections(const std::string& path);
