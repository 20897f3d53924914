# Static Linux programs against musl, for any architecture that Debian's GNU
# compilers reach. LINUX_TRIPLE names the target (x86_64-linux-gnu,
# aarch64-linux-gnu, arm-linux-gnueabihf; the host's own when unset); musl's
# headers and libc.a for it come from Debian's musl-dev:<arch>, under the musl
# triple (x86_64-linux-musl, arm-linux-musleabihf).
#
# Why musl: glibc's static start-up (ifunc relocations, tunables, TLS, stdio
# at exit) is most of what a run costs; musl's is a few hundred instructions.
#
# Why a bridge: the compiler and its libstdc++ headers are built for glibc.
# The program uses only header-only parts of the C++ library (<charconv>,
# <string_view>, <limits>, <cstring>), so it compiles them over musl's C
# headers and links no C++ runtime at all. MUSL_COMPILE_OPTIONS,
# MUSL_LINK_OPTIONS and MUSL_LINK_LIBRARIES carry that to the program's own
# targets; everything else (GoogleTest and the unit tests, which need the
# full C++ runtime) builds with the compiler's own glibc.
#
# UPTIME_REPORT_MUSL=OFF keeps the compiler and the architecture but links
# the program statically against glibc instead, for machines without musl.

set(LINUX_TRIPLE "" CACHE STRING "GNU triple of the target (empty: the host's)")
set(UPTIME_REPORT_MUSL ON CACHE BOOL "Link the program statically against musl")
# A try_compile project reads this file again with none of the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LINUX_TRIPLE)

if(LINUX_TRIPLE)
  set(triple ${LINUX_TRIPLE})
else()
  execute_process(COMMAND gcc -dumpmachine OUTPUT_VARIABLE triple
                  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
endif()
string(REGEX MATCH "^[^-]+" processor ${triple})
if(NOT processor STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${processor})
  # qemu-user runs the foreign programs, tests included, and hands their
  # system calls to this kernel. The unit tests load the cross glibc from
  # Debian's sysroot for the triple; the program itself loads nothing.
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${processor} -L /usr/${triple})
endif()
set(CMAKE_C_COMPILER ${triple}-gcc)
set(CMAKE_CXX_COMPILER ${triple}-g++)

# Debian's name of the architecture: for musl-dev:<arch> and the packages.
set(deb_arch_x86_64-linux-gnu amd64)
set(deb_arch_aarch64-linux-gnu arm64)
set(deb_arch_arm-linux-gnueabihf armhf)
set(LINUX_DEB_ARCH ${deb_arch_${triple}})

get_property(in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(in_try_compile OR NOT UPTIME_REPORT_MUSL)
  return()
endif()

if(NOT LINUX_DEB_ARCH)
  message(FATAL_ERROR "No Debian architecture is known for ${triple}; "
                      "add it beside the others in this file.")
endif()
string(REPLACE "-gnu" "-musl" musl_triple ${triple})
set(musl_lib /usr/lib/${musl_triple})
if(NOT EXISTS ${musl_lib}/libc.a)
  message(FATAL_ERROR
    "musl for ${triple} is not installed (no ${musl_lib}/libc.a).\n"
    "Install Debian's musl-dev:${LINUX_DEB_ARCH} (as root: "
    "dpkg --add-architecture ${LINUX_DEB_ARCH}; apt-get update; "
    "apt-get install musl-dev:${LINUX_DEB_ARCH}), or configure with "
    "-DUPTIME_REPORT_MUSL=OFF to link the program statically against glibc "
    "instead.")
endif()

# The compiler's own search list, minus glibc's headers: the C++ headers come
# first (they #include_next the C ones), then musl's, then the compiler's
# internal headers, which musl's stddef.h and friends must precede. (Each
# -isystem is one word: CMake folds repeated options into one.)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -x c++ -E -v /dev/null
                OUTPUT_QUIET ERROR_VARIABLE search_list COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
                OUTPUT_VARIABLE compiler_include OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REGEX MATCH "<...> search starts here:\n(.*)\nEnd of search list" _ "${search_list}")
string(REGEX REPLACE "\n *" ";" search_list "${CMAKE_MATCH_1}")
set(MUSL_COMPILE_OPTIONS -nostdinc)
foreach(dir IN LISTS search_list)
  string(STRIP "${dir}" dir)
  if(dir STREQUAL compiler_include)
    break()
  endif()
  list(APPEND MUSL_COMPILE_OPTIONS -isystem${dir})
endforeach()
list(APPEND MUSL_COMPILE_OPTIONS -isystem/usr/include/${musl_triple}
     -isystem${compiler_include}
     # libstdc++'s configuration asks glibc its version with this macro; musl
     # has none, and is no glibc of any version.
     "-D__GLIBC_PREREQ(major,minor)=0")

# musl's start files and libc.a through its own specs. -nodefaultlibs keeps
# the compiler's libstdc++ (built for glibc) out: code that needs the C++
# runtime fails to link here, loudly, instead of dragging glibc's in. musl's
# static start-up never write-protects a RELRO segment (no loader does), so
# -z norelro costs nothing and drops the padding that aligns it to a page
# (64 KiB on arm64: the stripped program shrinks from 65 KiB to 10).
set(MUSL_LINK_OPTIONS -static -specs=${musl_lib}/musl-gcc.specs -nodefaultlibs
    -Wl,-z,norelro)
set(MUSL_LINK_LIBRARIES -Wl,--start-group -lc -lgcc -lgcc_eh -Wl,--end-group)
