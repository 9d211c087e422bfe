#include "sdkhost/BBXElfImage.h"

#include <elf.h>
#include <link.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace {

std::size_t align4(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

struct Found {
  bool seen = false;
  BBXElfImage image;
};

int visitMain(struct dl_phdr_info* info, std::size_t, void* context) {
  auto* found = static_cast<Found*>(context);
  // The first object the loader lists is the main program.
  found->seen = true;
  found->image.loadBias = info->dlpi_addr;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    if (header.p_type != PT_NOTE) continue;
    auto id =
        BBXElfBuildIDFromNotes(reinterpret_cast<const std::uint8_t*>(info->dlpi_addr + header.p_vaddr), header.p_memsz);
    if (id) {
      found->image.buildID = std::move(*id);
      break;
    }
  }
  return 1;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> BBXElfBuildIDFromNotes(const std::uint8_t* notes, std::size_t size) {
  if (!notes) return std::nullopt;
  std::size_t at = 0;
  while (size - at >= sizeof(ElfW(Nhdr))) {
    ElfW(Nhdr) note;
    std::memcpy(&note, notes + at, sizeof note);
    std::size_t nameAt = at + sizeof note;
    if (note.n_namesz > size - nameAt) return std::nullopt;
    std::size_t descAt = nameAt + align4(note.n_namesz);
    if (descAt > size || note.n_descsz > size - descAt) return std::nullopt;
    if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 && std::memcmp(notes + nameAt, "GNU", 4) == 0)
      return std::vector<std::uint8_t>(notes + descAt, notes + descAt + note.n_descsz);
    std::size_t next = descAt + align4(note.n_descsz);
    if (next <= at || next > size) return std::nullopt;
    at = next;
  }
  return std::nullopt;
}

std::string BBXElfArchitectureName(std::uint16_t machine) {
  switch (machine) {
    case EM_X86_64:
      return "x86_64";
    case EM_AARCH64:
      return "arm64";
    case EM_386:
      return "i386";
    case EM_ARM:
      return "armv7";
    default:
      return "unknown";
  }
}

std::optional<BBXElfImage> BBXElfImageGetCurrent() {
  Found found;
  dl_iterate_phdr(visitMain, &found);
  if (!found.seen) return std::nullopt;
  char path[4096];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length > 0) found.image.path.assign(path, static_cast<std::size_t>(length));
  found.image.architectureName = BBXElfArchitectureName(
#if defined(__x86_64__)
      EM_X86_64
#elif defined(__aarch64__)
      EM_AARCH64
#elif defined(__i386__)
      EM_386
#elif defined(__arm__)
      EM_ARM
#else
      EM_NONE
#endif
  );
  return found.image;
}

namespace {

template <class Ehdr, class Shdr>
std::vector<BBXElfSection> sectionsOf(const std::string& bytes) {
  std::vector<BBXElfSection> sections;
  if (bytes.size() < sizeof(Ehdr)) return sections;
  Ehdr header;
  std::memcpy(&header, bytes.data(), sizeof header);
  if (header.e_shentsize != sizeof(Shdr) || header.e_shoff > bytes.size()) return sections;
  if (header.e_shnum > (bytes.size() - header.e_shoff) / sizeof(Shdr)) return sections;
  std::vector<Shdr> table(header.e_shnum);
  if (!table.empty()) std::memcpy(table.data(), bytes.data() + header.e_shoff, table.size() * sizeof(Shdr));
  const Shdr* names = header.e_shstrndx < table.size() ? &table[header.e_shstrndx] : nullptr;
  for (const Shdr& entry : table) {
    BBXElfSection section;
    section.address = entry.sh_addr;
    section.size = entry.sh_size;
    section.offset = entry.sh_offset;
    if (names && names->sh_offset <= bytes.size() && entry.sh_name < names->sh_size &&
        names->sh_offset + entry.sh_name < bytes.size()) {
      const char* start = bytes.data() + names->sh_offset + entry.sh_name;
      std::size_t limit =
          std::min<std::size_t>(bytes.size() - (names->sh_offset + entry.sh_name), names->sh_size - entry.sh_name);
      section.name.assign(start, strnlen(start, limit));
    }
    sections.push_back(std::move(section));
  }
  return sections;
}

}  // namespace

std::vector<BBXElfSection> BBXElfFileSections(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return {};
  std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (bytes.size() < EI_NIDENT || std::memcmp(bytes.data(), ELFMAG, SELFMAG) != 0) return {};
  if (bytes[EI_CLASS] == ELFCLASS64) return sectionsOf<Elf64_Ehdr, Elf64_Shdr>(bytes);
  if (bytes[EI_CLASS] == ELFCLASS32) return sectionsOf<Elf32_Ehdr, Elf32_Shdr>(bytes);
  return {};
}
