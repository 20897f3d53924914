// Runs a Windows uptime-report.exe for x86 or ARM64 on Linux for the same
// processor (i686 or arm64, under qemu-i386 or qemu-aarch64 here), so that its
// own code runs in the end-to-end tests, loaded as Windows loads it; and the
// unit tests, built as the same kind of program (modMain_bare_test.cpp):
// - a program marked DYNAMIC_BASE is mapped away from its preferred base,
//   which is kept unmapped, and moved by its base relocations;
// - each section gets its own protection, the headers are read-only;
// - its KERNEL32.dll imports are bound to Linux implementations of the four
//   functions the program may call; any other import is refused;
// - on x86 the entry point gets a stack aligned to 4 bytes only, all that
//   Windows promises there.
// The entry point ends the process through ExitProcess.
// PE_LOADER_STD_HANDLE=null or =invalid makes GetStdHandle return NULL or
// INVALID_HANDLE_VALUE, as Windows does for a process without that standard
// handle or when the call fails; the program reads no environment itself.
// Usage: pe-loader PROGRAM.exe [ARGS...]   (the program reads no arguments,
// so it is given none)
#include <signal.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// What differs between the two machines. A loader built for one runs that
// machine's programs: PE32 on x86 and PE32+ on ARM64, whose addresses are as
// wide as the loader's own pointers.
#if defined(__i386__)
// kernel32's functions take their arguments as __stdcall on x86.
#define WINAPI __attribute__((stdcall))
constexpr std::uint16_t kMachine = 0x14c;  // IMAGE_FILE_MACHINE_I386
constexpr std::uint16_t kMagic = 0x10b;    // PE32
constexpr int kRelocationType = 3;         // IMAGE_REL_BASED_HIGHLOW

// Linux's i386 ABI keeps the stack 16-byte aligned; Windows promises x86 code
// only 4 bytes. The entry point is called with the stack pointer 4 past a
// multiple of 16 (after the return address), so that code which assumes
// more faults here, as it may on Windows.
void Enter(std::uintptr_t entry) {
  __asm__ __volatile__(
      "mov %%esp, %%esi\n\t"
      "and $-16, %%esp\n\t"
      "sub $8, %%esp\n\t"
      "call *%0\n\t"
      "mov %%esi, %%esp"
      :
      : "r"(entry)
      : "eax", "ecx", "edx", "esi", "memory", "cc");
}
#elif defined(__aarch64__)
// Windows on ARM64 passes arguments as AAPCS64 does, and keeps the stack
// 16-byte aligned as Linux does: the entry point is called as it is.
#define WINAPI
constexpr std::uint16_t kMachine = 0xaa64;  // IMAGE_FILE_MACHINE_ARM64
constexpr std::uint16_t kMagic = 0x20b;     // PE32+
constexpr int kRelocationType = 10;         // IMAGE_REL_BASED_DIR64

void Enter(std::uintptr_t entry) { reinterpret_cast<void (*)()>(entry)(); }
#else
#error "The PE loader runs Windows programs for x86 and ARM64 only."
#endif

constexpr bool kPe32Plus = kMagic == 0x20b;
constexpr std::uint16_t kDynamicBase = 0x40;  // IMAGE_DLLCHARACTERISTICS_
constexpr std::uint32_t kExecute = 0x20000000, kRead = 0x40000000,
                        kWrite = 0x80000000;  // IMAGE_SCN_MEM_
constexpr std::size_t kPageSize = 4096;
constexpr int kImportDirectory = 1, kRelocationDirectory = 5, kTlsDirectory = 9;

[[noreturn]] void Refuse(const std::string& reason) {
  std::fprintf(stderr, "pe-loader: %s\n", reason.c_str());
  std::exit(126);
}

template <typename T>
T Read(const std::uint8_t* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

std::size_t PageRound(std::size_t size) {
  return (size + kPageSize - 1) / kPageSize * kPageSize;
}

// What GetStdHandle returns: the standard handles, or NULL or
// INVALID_HANDLE_VALUE for all of them (PE_LOADER_STD_HANDLE).
enum class StdHandles { kReal, kNull, kInvalid };
StdHandles std_handles = StdHandles::kReal;

// The kernel32 functions, with Windows' types: DWORD is 32 bits, BOOL an int.
// A HANDLE is a file descriptor plus one, so that neither NULL nor
// INVALID_HANDLE_VALUE (-1) stands for a descriptor: WriteFile fails on both,
// as on Windows.
std::uint64_t WINAPI GetTickCount64() {
  // Like Windows' tick count, CLOCK_BOOTTIME counts time asleep.
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

void* WINAPI GetStdHandle(std::uint32_t which) {
  // STD_INPUT_HANDLE, STD_OUTPUT_HANDLE and STD_ERROR_HANDLE: -10, -11, -12.
  const std::intptr_t fd = -10 - static_cast<std::int32_t>(which);
  if (std_handles == StdHandles::kNull) return nullptr;
  if (std_handles == StdHandles::kInvalid || fd < 0 || fd > 2)
    return reinterpret_cast<void*>(std::intptr_t{-1});
  return reinterpret_cast<void*>(fd + 1);
}

int WINAPI WriteFile(void* handle, const void* bytes, std::uint32_t count,
                     std::uint32_t* written, void* /*overlapped*/) {
  const auto fd = static_cast<int>(reinterpret_cast<std::intptr_t>(handle) - 1);
  const ssize_t result = write(fd, bytes, count);
  if (written != nullptr) {
    *written = result > 0 ? static_cast<std::uint32_t>(result) : 0;
  }
  return result >= 0 ? 1 : 0;
}

[[noreturn]] void WINAPI ExitProcess(std::uint32_t status) {
  _exit(static_cast<int>(status));
}

void* Kernel32Function(const char* name) {
  struct Export {
    const char* Name;
    void* Function;
  };
  const Export exports[] = {
      {"GetTickCount64", reinterpret_cast<void*>(&GetTickCount64)},
      {"GetStdHandle", reinterpret_cast<void*>(&GetStdHandle)},
      {"WriteFile", reinterpret_cast<void*>(&WriteFile)},
      {"ExitProcess", reinterpret_cast<void*>(&ExitProcess)},
  };
  for (const Export& e : exports) {
    if (std::strcmp(e.Name, name) == 0) return e.Function;
  }
  Refuse(std::string("the program imports KERNEL32.dll!") + name +
         ", which no test supplies");
}

// The parts of the headers the loader reads.
struct Headers {
  const std::uint8_t* Optional;
  const std::uint8_t* Sections;
  std::uint16_t SectionCount;
  std::uintptr_t ImageBase;
  std::uint32_t ImageSize;
  std::uint32_t HeadersSize;
  std::uint16_t DllCharacteristics;
};

Headers ReadHeaders(const std::vector<std::uint8_t>& file) {
  if (file.size() < 0x40 || file[0] != 'M' || file[1] != 'Z')
    Refuse("not a PE file");
  const auto pe_offset = Read<std::uint32_t>(&file[0x3c]);
  if (pe_offset + std::uint64_t{26} > file.size() ||
      Read<std::uint32_t>(&file[pe_offset]) != 0x4550)
    Refuse("not a PE file");
  const std::uint8_t* header = &file[pe_offset + 4];
  const std::uint8_t* optional = header + 20;
  if (Read<std::uint16_t>(header) != kMachine ||
      Read<std::uint16_t>(optional) != kMagic)
    Refuse("not a program for this loader's machine");
  const auto optional_size = Read<std::uint16_t>(header + 16);
  const auto section_count = Read<std::uint16_t>(header + 2);
  if (pe_offset + 24 + optional_size + 40 * std::uint64_t{section_count} >
          file.size() ||
      optional_size < (kPe32Plus ? 112 : 96) + 8 * 16)
    Refuse("the headers are cut short");
  if (Read<std::uint32_t>(optional + 32) % kPageSize != 0)
    Refuse("sections aligned below the page size");
  return Headers{optional,
                 optional + optional_size,
                 section_count,
                 Read<std::uintptr_t>(optional + (kPe32Plus ? 24 : 28)),
                 Read<std::uint32_t>(optional + 56),
                 Read<std::uint32_t>(optional + 60),
                 Read<std::uint16_t>(optional + 70)};
}

// A data directory's address and size.
struct Directory {
  std::uint32_t Address;
  std::uint32_t Size;
};

Directory ReadDirectory(const Headers& headers, int index) {
  const std::uint8_t* at =
      headers.Optional + (kPe32Plus ? 112 : 96) + 8 * index;
  return Directory{Read<std::uint32_t>(at), Read<std::uint32_t>(at + 4)};
}

// Maps the image, read-write while it is loaded. A program marked
// DYNAMIC_BASE goes elsewhere than its preferred base, which stays reserved
// and inaccessible, so that an address its relocations missed faults.
std::uint8_t* MapImage(const Headers& headers) {
  void* const preferred = reinterpret_cast<void*>(headers.ImageBase);
  void* at = nullptr;
  if ((headers.DllCharacteristics & kDynamicBase) == 0) {
    at = preferred;
  } else if (mmap(preferred, headers.ImageSize, PROT_NONE,
                  MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1,
                  0) == MAP_FAILED) {
    Refuse("cannot reserve the preferred base");
  }
  void* image = mmap(at, headers.ImageSize, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (image == MAP_FAILED || (at != nullptr && image != at))
    Refuse("cannot map the image");
  if (at == nullptr && image == preferred)
    Refuse("the image landed on its preferred base");
  return static_cast<std::uint8_t*>(image);
}

void CopySections(const Headers& headers, const std::vector<std::uint8_t>& file,
                  std::uint8_t* image) {
  std::memcpy(image, file.data(),
              std::min<std::size_t>(headers.HeadersSize, file.size()));
  for (int i = 0; i < headers.SectionCount; ++i) {
    const std::uint8_t* section = headers.Sections + 40 * i;
    const auto address = Read<std::uint32_t>(section + 12);
    const auto raw_size = Read<std::uint32_t>(section + 16);
    const auto raw_offset = Read<std::uint32_t>(section + 20);
    if (raw_offset + std::uint64_t{raw_size} > file.size() ||
        address + std::uint64_t{raw_size} > headers.ImageSize)
      Refuse("a section lies outside the file or the image");
    std::memcpy(image + address, &file[raw_offset], raw_size);
  }
}

// Base relocations: blocks of a page address, a size and 16-bit entries, each
// a type and an offset in the page.
void Relocate(const Headers& headers, std::uint8_t* image) {
  const Directory table = ReadDirectory(headers, kRelocationDirectory);
  if (table.Size == 0)
    Refuse(
        "the program is marked DYNAMIC_BASE but has no base relocations, "
        "which Windows needs to move it");
  if (table.Address + std::uint64_t{table.Size} > headers.ImageSize)
    Refuse("the base relocations lie outside the image");
  const std::uintptr_t delta =
      reinterpret_cast<std::uintptr_t>(image) - headers.ImageBase;
  for (std::uint32_t at = table.Address; at < table.Address + table.Size;) {
    const auto page = Read<std::uint32_t>(image + at);
    const auto block_size = Read<std::uint32_t>(image + at + 4);
    if (block_size < 8 || at + std::uint64_t{block_size} >
                              std::uint64_t{table.Address} + table.Size)
      Refuse("a malformed base relocation block");
    for (std::uint32_t entry = at + 8; entry < at + block_size; entry += 2) {
      const auto value = Read<std::uint16_t>(image + entry);
      const int type = value >> 12;
      const std::uint64_t offset = std::uint64_t{page} + (value & 0xfff);
      if (type != 0 && offset + sizeof(std::uintptr_t) > headers.ImageSize)
        Refuse("a base relocation outside the image");
      std::uint8_t* target = image + offset;
      if (type == kRelocationType) {
        const std::uintptr_t address = Read<std::uintptr_t>(target) + delta;
        std::memcpy(target, &address, sizeof address);
      } else if (type != 0) {  // 0 pads a block
        Refuse("a base relocation of type " + std::to_string(type));
      }
    }
    at += block_size;
  }
}

// Imports: KERNEL32.dll alone, by name.
void BindImports(const Headers& headers, std::uint8_t* image) {
  constexpr std::uintptr_t kByOrdinal = std::uintptr_t{1}
                                        << (8 * sizeof(std::uintptr_t) - 1);
  for (std::uint32_t at = ReadDirectory(headers, kImportDirectory).Address;
       at != 0; at += 20) {
    const auto names = Read<std::uint32_t>(image + at);
    const auto dll = Read<std::uint32_t>(image + at + 12);
    const auto addresses = Read<std::uint32_t>(image + at + 16);
    if (dll == 0) break;
    if (strcasecmp(reinterpret_cast<const char*>(image + dll),
                   "KERNEL32.dll") != 0)
      Refuse(std::string("the program imports ") +
             reinterpret_cast<const char*>(image + dll));
    for (std::uint32_t i = 0;; ++i) {
      const auto name = Read<std::uintptr_t>(
          image + (names ? names : addresses) + sizeof(std::uintptr_t) * i);
      if (name == 0) break;
      if (name & kByOrdinal)
        Refuse("the program imports from KERNEL32.dll by ordinal");
      const auto function = reinterpret_cast<std::uintptr_t>(
          Kernel32Function(reinterpret_cast<const char*>(image + name + 2)));
      std::memcpy(image + addresses + sizeof function * i, &function,
                  sizeof function);
    }
  }
}

// As Windows maps an image: the headers read-only, each section as its
// characteristics say, and nothing else of the image accessible.
void Protect(const Headers& headers, std::uint8_t* image) {
  __builtin___clear_cache(reinterpret_cast<char*>(image),
                          reinterpret_cast<char*>(image + headers.ImageSize));
  bool failed = mprotect(image, headers.ImageSize, PROT_NONE) != 0 ||
                mprotect(image, PageRound(headers.HeadersSize), PROT_READ) != 0;
  for (int i = 0; i < headers.SectionCount; ++i) {
    const std::uint8_t* section = headers.Sections + 40 * i;
    const auto virtual_size = Read<std::uint32_t>(section + 8);
    const auto address = Read<std::uint32_t>(section + 12);
    const auto flags = Read<std::uint32_t>(section + 36);
    const int protection = ((flags & kRead) ? PROT_READ : 0) |
                           ((flags & kWrite) ? PROT_WRITE : 0) |
                           ((flags & kExecute) ? PROT_EXEC : 0);
    const std::size_t size = std::min<std::size_t>(
        PageRound(virtual_size), headers.ImageSize - std::size_t{address});
    failed = failed || mprotect(image + address, size, protection) != 0;
  }
  if (failed) Refuse("cannot protect the image's sections");
}

void ReadStdHandles() {
  const char* setting = std::getenv("PE_LOADER_STD_HANDLE");
  if (setting == nullptr) return;
  if (std::strcmp(setting, "null") == 0) {
    std_handles = StdHandles::kNull;
  } else if (std::strcmp(setting, "invalid") == 0) {
    std_handles = StdHandles::kInvalid;
  } else {
    Refuse("PE_LOADER_STD_HANDLE must be null or invalid");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) Refuse("usage: pe-loader PROGRAM.exe [ARGS...]");
  ReadStdHandles();
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) Refuse(std::string("cannot read ") + argv[1]);
  const std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
  const Headers headers = ReadHeaders(file);
  if (ReadDirectory(headers, kTlsDirectory).Address != 0)
    Refuse(
        "the program has a TLS directory, which this loader does not set up");

  std::uint8_t* image = MapImage(headers);
  CopySections(headers, file, image);
  if (headers.DllCharacteristics & kDynamicBase) Relocate(headers, image);
  BindImports(headers, image);
  Protect(headers, image);

  // A write to a pipe whose reader has gone fails, as on Windows, instead of
  // ending the process.
  signal(SIGPIPE, SIG_IGN);
  Enter(reinterpret_cast<std::uintptr_t>(image) +
        Read<std::uint32_t>(headers.Optional + 16));
  Refuse(
      "the program returned from its entry point instead of calling "
      "ExitProcess");
}
