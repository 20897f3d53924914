// Runs the Windows ARM64 uptime-report.exe on arm64 Linux (under qemu-aarch64
// here), so that its own code runs in the end-to-end tests. It maps the
// image, applies its base relocations, gives its KERNEL32.dll imports Linux
// implementations of the four functions the program may call, refuses any
// other import, and calls its entry point, which ends the process through
// ExitProcess. Windows on ARM64 passes arguments as AAPCS64 does, so the
// program calls these functions directly.
// Usage: pe-loader PROGRAM.exe [ARGS...]   (the program reads no arguments,
// so it is given none)
#include <signal.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

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

// The kernel32 functions, with Windows' types: DWORD is 32 bits, BOOL an int,
// a HANDLE a pointer (here the file descriptor).
std::uint64_t GetTickCount64() {
  // Like Windows' tick count, CLOCK_BOOTTIME counts time asleep.
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

void* GetStdHandle(std::uint32_t which) {
  // STD_INPUT_HANDLE, STD_OUTPUT_HANDLE and STD_ERROR_HANDLE: -10, -11, -12.
  const auto fd =
      static_cast<std::intptr_t>(-10 - static_cast<std::int32_t>(which));
  return reinterpret_cast<void*>(fd);
}

int WriteFile(void* handle, const void* bytes, std::uint32_t count,
              std::uint32_t* written, void* /*overlapped*/) {
  const ssize_t result = write(
      static_cast<int>(reinterpret_cast<std::intptr_t>(handle)), bytes, count);
  if (written != nullptr) {
    *written = result > 0 ? static_cast<std::uint32_t>(result) : 0;
  }
  return result >= 0 ? 1 : 0;
}

[[noreturn]] void ExitProcess(std::uint32_t status) {
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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) Refuse("usage: pe-loader PROGRAM.exe [ARGS...]");
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
  if (file.size() < 0x40 || file[0] != 'M' || file[1] != 'Z')
    Refuse("not a PE file");
  const std::uint32_t pe_offset = Read<std::uint32_t>(&file[0x3c]);
  if (pe_offset + 24 + 112 > file.size() ||
      Read<std::uint32_t>(&file[pe_offset]) != 0x4550)
    Refuse("not a PE file");
  const std::uint8_t* header = &file[pe_offset + 4];
  const std::uint8_t* optional = header + 20;
  if (Read<std::uint16_t>(header) != 0xaa64 ||
      Read<std::uint16_t>(optional) != 0x20b)
    Refuse("not an ARM64 PE32+ program");
  const auto section_count = Read<std::uint16_t>(header + 2);
  const auto image_base = Read<std::uint64_t>(optional + 24);
  const auto image_size = Read<std::uint32_t>(optional + 56);
  const auto headers_size = Read<std::uint32_t>(optional + 60);
  const std::uint8_t* directories = optional + 112;
  auto directory = [&](int index) {
    return Read<std::uint32_t>(directories + 8 * index);
  };
  const std::uint32_t tls = directory(9);
  if (tls != 0)
    Refuse(
        "the program has a TLS directory, which this loader does not set up");

  // The image, writable and executable throughout: a test needs no more.
  auto* image = static_cast<std::uint8_t*>(
      mmap(nullptr, image_size, PROT_READ | PROT_WRITE | PROT_EXEC,
           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  if (image == MAP_FAILED) Refuse("cannot map the image");
  std::memcpy(image, file.data(),
              std::min<std::size_t>(headers_size, file.size()));
  const std::uint8_t* section = optional + Read<std::uint16_t>(header + 16);
  for (int i = 0; i < section_count; ++i, section += 40) {
    const auto address = Read<std::uint32_t>(section + 12);
    const auto raw_size = Read<std::uint32_t>(section + 16);
    const auto raw_offset = Read<std::uint32_t>(section + 20);
    if (raw_offset + std::uint64_t{raw_size} > file.size() ||
        address + std::uint64_t{raw_size} > image_size)
      Refuse("a section lies outside the file or the image");
    std::memcpy(image + address, &file[raw_offset], raw_size);
  }

  // Base relocations: blocks of a page address, a size and 16-bit entries.
  const std::uint64_t delta =
      reinterpret_cast<std::uint64_t>(image) - image_base;
  const std::uint32_t relocations = directory(5),
                      relocations_size = Read<std::uint32_t>(directories + 44);
  for (std::uint32_t at = relocations; at < relocations + relocations_size;) {
    const auto page = Read<std::uint32_t>(image + at);
    const auto block_size = Read<std::uint32_t>(image + at + 4);
    if (block_size < 8) Refuse("a malformed base relocation block");
    for (std::uint32_t entry = at + 8; entry < at + block_size; entry += 2) {
      const auto value = Read<std::uint16_t>(image + entry);
      const int type = value >> 12;
      std::uint8_t* target = image + page + (value & 0xfff);
      if (type == 10) {  // IMAGE_REL_BASED_DIR64
        const auto address = Read<std::uint64_t>(target) + delta;
        std::memcpy(target, &address, sizeof address);
      } else if (type != 0) {  // 0 pads a block
        Refuse("a base relocation of type " + std::to_string(type));
      }
    }
    at += block_size;
  }

  // Imports: KERNEL32.dll alone, by name.
  for (std::uint32_t at = directory(1); at != 0; at += 20) {
    const auto names = Read<std::uint32_t>(image + at);
    const auto dll = Read<std::uint32_t>(image + at + 12);
    const auto addresses = Read<std::uint32_t>(image + at + 16);
    if (dll == 0) break;
    if (strcasecmp(reinterpret_cast<const char*>(image + dll),
                   "KERNEL32.dll") != 0)
      Refuse(std::string("the program imports ") +
             reinterpret_cast<const char*>(image + dll));
    for (std::uint32_t i = 0;; ++i) {
      const auto name =
          Read<std::uint64_t>(image + (names ? names : addresses) + 8 * i);
      if (name == 0) break;
      if (name >> 63)
        Refuse("the program imports from KERNEL32.dll by ordinal");
      const auto function = reinterpret_cast<std::uint64_t>(
          Kernel32Function(reinterpret_cast<const char*>(image + name + 2)));
      std::memcpy(image + addresses + 8 * i, &function, sizeof function);
    }
  }

  // A write to a pipe whose reader has gone fails, as on Windows, instead of
  // ending the process.
  signal(SIGPIPE, SIG_IGN);
  __builtin___clear_cache(reinterpret_cast<char*>(image),
                          reinterpret_cast<char*>(image + image_size));
  const auto entry =
      reinterpret_cast<void (*)()>(image + Read<std::uint32_t>(optional + 16));
  entry();
  Refuse(
      "the program returned from its entry point instead of calling "
      "ExitProcess");
}
