# Static Linux programs against musl, for any architecture that Debian's GNU
# compilers reach. LINUX_DEB_ARCH names the target by its line in
# cmake/architectures (amd64, arm64, armhf; this machine's when unset), which
# holds how to build and run it; musl's headers and libc.a for it come from
# Debian's musl-dev:<arch>. Adding an architecture takes its line there and a
# preset.
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
# LINUX_BASELINE_OPTIONS holds the program's code to the oldest processors
# Debian supports on the architecture, musl or not.
#
# Where the running Debian release has no musl for the architecture at all
# (the table's releases column: mips64el and mipsel on Debian 13, riscv64 on
# Debian 12) and none is installed, LINUX_SKIPPED says so, and the project
# builds nothing and reports the preset as skipped.
#
# UPTIME_REPORT_MUSL=OFF keeps the compiler and the architecture but links
# the program statically against glibc instead, for machines without musl
# (with UPTIME_REPORT_NOTICES=OFF: glibc has no entry among the licences of
# what may ship).

set(LINUX_DEB_ARCH "" CACHE STRING
    "Debian architecture to build for, a line of cmake/architectures (empty: this machine's)")
set(UPTIME_REPORT_MUSL ON CACHE BOOL "Link the program statically against musl")
# A try_compile project reads this file again with none of the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LINUX_DEB_ARCH)

include(${CMAKE_CURRENT_LIST_DIR}/table.cmake)
if(LINUX_DEB_ARCH)
  read_architecture(package_ linux name ${LINUX_DEB_ARCH})
else()
  execute_process(COMMAND gcc -dumpmachine OUTPUT_VARIABLE host_triple
                  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  read_architecture(package_ linux triple ${host_triple})
  set(LINUX_DEB_ARCH ${package_name})
endif()
# The packages may carry another architecture's program: the armhf packages
# carry the armel program.
set(program ${LINUX_DEB_ARCH})
if(NOT package_program STREQUAL "-")
  set(program ${package_program})
endif()
read_architecture(arch_ linux name ${program})
set(triple ${arch_triple})
string(REPLACE "," ";" LINUX_BASELINE_OPTIONS ${arch_baseline})

set(musl_lib /usr/lib/${arch_musl})
if(UPTIME_REPORT_MUSL AND NOT EXISTS ${musl_lib}/libc.a)
  # Which Debian release this is, and which ones have musl for the
  # architecture.
  file(STRINGS /etc/os-release os_id REGEX "^ID=")
  file(STRINGS /etc/os-release os_version REGEX "^VERSION_ID=")
  string(REGEX REPLACE "^VERSION_ID=\"?([^\"]*)\"?$" "\\1" os_version "${os_version}")
  file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/debian-releases releases REGEX "^[0-9]")
  list(TRANSFORM releases REPLACE " .*" "" OUTPUT_VARIABLE known_releases)
  string(REPLACE "," ";" musl_releases ${arch_releases})
  if(os_id STREQUAL "ID=debian" AND os_version IN_LIST known_releases
     AND NOT os_version IN_LIST musl_releases)
    list(JOIN musl_releases " or " musl_releases)
    string(CONCAT LINUX_SKIPPED "Debian ${os_version} has no musl for ${program} "
                  "(no musl-dev:${program}); Debian ${musl_releases} builds it")
    return()
  endif()
endif()

# The processors the program runs on, and beside each the one its unit tests
# run on.
set(LINUX_QEMU_CPUS)
set(LINUX_QEMU_UNIT_CPUS)
string(REPLACE "," ";" cpus ${arch_processors})
foreach(entry IN LISTS cpus)
  string(REPLACE "/" ";" pair ${entry})
  list(GET pair 0 cpu)
  list(GET pair -1 unit_cpu)
  list(APPEND LINUX_QEMU_CPUS ${cpu})
  list(APPEND LINUX_QEMU_UNIT_CPUS ${unit_cpu})
endforeach()
set(LINUX_QEMU qemu-${arch_qemu})
set(LINUX_RPM_ARCH)
if(NOT package_rpm STREQUAL "-")
  set(LINUX_RPM_ARCH ${package_rpm})
endif()
# The level check's macros and the options above the baseline that it must
# refuse (tests/CMakeLists.txt).
set(LINUX_LEVEL_MACROS)
if(NOT arch_level STREQUAL "-")
  set(LINUX_LEVEL_MACROS ${arch_level})
  string(REPLACE "," ";" LINUX_LEVEL_ABOVE ${arch_above})
endif()

string(REGEX MATCH "^[^-]+" processor ${triple})
if(NOT processor STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR ${processor})
  # qemu-user runs the foreign programs, tests included, and hands their
  # system calls to this kernel. The unit tests load the cross glibc from
  # Debian's sysroot for the triple; the program itself loads nothing.
  set(LINUX_QEMU_SYSROOT -L /usr/${triple})
  list(GET LINUX_QEMU_CPUS 0 first_cpu)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${LINUX_QEMU} -cpu ${first_cpu} ${LINUX_QEMU_SYSROOT})
endif()
set(CMAKE_C_COMPILER ${triple}-gcc)
set(CMAKE_CXX_COMPILER ${triple}-g++)

get_property(in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(in_try_compile OR NOT UPTIME_REPORT_MUSL)
  return()
endif()

if(NOT EXISTS ${musl_lib}/libc.a)
  # Reported by the project once its languages are set up, so that this is
  # the one error a user sees, not followed by CMake's own about the build
  # tool or the compiler.
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE host_deb_arch
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  set(install_musl "apt-get install musl-dev:${program}")
  if(NOT program STREQUAL host_deb_arch)
    set(install_musl "dpkg --add-architecture ${program}; apt-get update; ${install_musl}")
  endif()
  string(CONCAT MUSL_MISSING
    "musl for ${triple} is not installed (no ${musl_lib}/libc.a).\n"
    "Install Debian's musl-dev:${program} (as root: ${install_musl}), "
    "or configure with -DUPTIME_REPORT_MUSL=OFF -DUPTIME_REPORT_NOTICES=OFF "
    "to link the program statically against glibc instead, for use on this "
    "machine (no notices are written for glibc: such a build is not for "
    "shipping).")
  return()
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
list(APPEND MUSL_COMPILE_OPTIONS -isystem/usr/include/${arch_musl}
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
