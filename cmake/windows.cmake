# Windows programs for x86, x64 and ARM64, cross-compiled on Debian.
# WINDOWS_ARCH names the target by its line in cmake/architectures (x86, x64,
# arm64), which holds how to build and run it. Adding an architecture takes
# its line there and a preset.
#
# Why no C runtime: the program calls four kernel32 functions and nothing
# else of the system's, so each .exe links -nostdlib, starts at its own entry
# point (src/platform/entry_windows.cpp) and imports KERNEL32.dll alone,
# through an import library made from src/platform/kernel32.def
# (cmake/windows-program.cmake). No mingw-w64 library is linked; i686 adds
# libgcc for its 64-bit division. WINDOWS_COMPILE_OPTIONS carries what the
# program's own objects need on top of the compiler's defaults.
#
# Why clang for ARM64: Debian has no aarch64 mingw-w64 g++ or runtime. clang
# and lld build the program all the same, over mingw-w64's Windows headers and
# the header-only parts of the x64 mingw-w64 g++'s libstdc++ (<charconv>,
# <string_view>): the program uses nothing of the C++ runtime.
#
# GoogleTest's unit tests need the C++ runtime: where mingw-w64's g++ builds
# the program (x86, x64) they link its runtime statically and run under Wine
# (WINDOWS_UNIT_TESTS); ARM64 has none. The x86 and ARM64 programs run in a
# small loader under qemu-i386 or qemu-aarch64 (tests/pe_loader.cpp) on every
# machine, with the same unit tests built as a program without a C runtime:
# Wine runs x86 programs only where the kernel runs 32-bit ones.

set(WINDOWS_ARCH x64 CACHE STRING "Windows architecture: x86, x64 or arm64")
# A try_compile project reads this file again with none of the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES WINDOWS_ARCH)

# LLVM's tools carry their version: the newest installed, which
# scripts/setup.sh makes the running Debian release's (cmake/debian-releases).
file(GLOB llvm /usr/lib/llvm-[0-9]*)
list(SORT llvm COMPARE NATURAL)
string(REGEX MATCH "[0-9]+$" llvm "${llvm}")

# The architecture's line in cmake/architectures.
include(${CMAKE_CURRENT_LIST_DIR}/table.cmake)
read_architecture(arch_ windows name ${WINDOWS_ARCH})
set(WINDOWS_MANIFEST_ARCH ${arch_manifest})
string(REPLACE "@llvm@" "${llvm}" WINDOWS_DLLTOOL ${arch_dlltool})
string(REPLACE "," ";" WINDOWS_DLLTOOL ${WINDOWS_DLLTOOL})
set(WINDOWS_LINK_LIBRARIES)
if(NOT arch_library STREQUAL "-")
  set(WINDOWS_LINK_LIBRARIES -l${arch_library})
endif()
set(WINDOWS_VERSION ${arch_version})

# The PE loader (tests/pe_loader.cpp), a Linux program for the .exe's own
# processor, run under qemu-user: its cross compiler and emulator.
set(WINDOWS_PE_LOADER)
if(NOT arch_loader STREQUAL "-")
  read_architecture(loader_ linux name ${arch_loader})
  set(WINDOWS_PE_LOADER_CXX ${loader_triple}-g++)
  set(WINDOWS_PE_LOADER qemu-${loader_qemu} ${CMAKE_BINARY_DIR}/tests/pe-loader)
endif()

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${arch_processor})
set(CMAKE_FIND_ROOT_PATH /usr/${arch_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No link writes the current time into a PE header; the program's carries
# SOURCE_DATE_EPOCH's where that is set (cmake/windows-program.cmake).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--no-insert-timestamp")

if(arch_compiler STREQUAL "gcc")
  set(CMAKE_C_COMPILER ${arch_triple}-gcc-posix)
  set(CMAKE_CXX_COMPILER ${arch_triple}-g++-posix)
  set(CMAKE_RC_COMPILER ${arch_triple}-windres)
  set(WINDOWS_UNIT_TESTS ON)
  # -O2 after the release build's -O3: gcc 14's -O3 unrolls the number
  # formatting into 2 KiB more code (the x64 .exe passes 10 KiB), for a run
  # that prints one line.
  set(WINDOWS_COMPILE_OPTIONS $<$<CONFIG:Release>:-O2>)
  # Every run under Wine: the unit tests and the program, in a Wine folder of
  # the build's own (its prefix, and the home and runtime folders that Wine is
  # given: tests/wine-run.sh).
  set(WINDOWS_RUNNER wine)
  set(CMAKE_CROSSCOMPILING_EMULATOR bash ${CMAKE_CURRENT_LIST_DIR}/../tests/wine-run.sh
      ${CMAKE_BINARY_DIR}/wine)
  return()
endif()

# clang with lld (-fuse-ld=lld alone would take Debian 12's default lld, 14).
set(CMAKE_CXX_COMPILER clang++-${llvm})
set(CMAKE_CXX_COMPILER_TARGET ${arch_processor}-w64-windows-gnu)
set(CMAKE_EXE_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT} --ld-path=/usr/bin/ld.lld-${llvm}")
set(CMAKE_STRIP /usr/bin/llvm-strip-${llvm} CACHE FILEPATH "LLVM's strip, which knows ARM64 PE files")
# Nothing links without the runtime that this target lacks: CMake's own
# checks build a library instead.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(WINDOWS_UNIT_TESTS OFF)
# The tests run the program in the PE loader alone.
set(WINDOWS_RUNNER pe-loader)
set(CMAKE_CROSSCOMPILING_EMULATOR ${WINDOWS_PE_LOADER})

set(mingw_include /usr/share/mingw-w64/include)
execute_process(COMMAND x86_64-w64-mingw32-g++-posix -dumpversion OUTPUT_VARIABLE gxx_version
                OUTPUT_STRIP_TRAILING_WHITESPACE)
set(libstdcxx /usr/lib/gcc/x86_64-w64-mingw32/${gxx_version}/include/c++)
if(NOT gxx_version OR NOT EXISTS ${libstdcxx}/charconv)
  message(FATAL_ERROR "Windows on ARM64 takes the C++ headers from the x64 mingw-w64 g++, "
                      "which is missing (apt-get install g++-mingw-w64-x86-64-posix).")
endif()
set(WINDOWS_COMPILE_OPTIONS -nostdinc++ -isystem${libstdcxx}
    -isystem${libstdcxx}/x86_64-w64-mingw32 -isystem${mingw_include})

# llvm-windres preprocesses with whatever clang it finds, and quietly writes
# an empty resource when told how: clang preprocesses the script first.
set(CMAKE_RC_COMPILER /usr/bin/llvm-windres-${llvm})
# (cmake/windows-program.cmake puts this rule in place of CMake's own.)
set(WINDOWS_RC_COMPILE_OBJECT
    "clang-${llvm} --target=${CMAKE_CXX_COMPILER_TARGET} -E -x c -DRC_INVOKED -isystem${mingw_include} <DEFINES> <INCLUDES> -MD -MF <DEP_FILE> <SOURCE> -o <OBJECT>.rc"
    "<CMAKE_RC_COMPILER> --target=${arch_triple} --no-preprocess -O coff <OBJECT>.rc <OBJECT>")
