# Static Linux programs against musl, for any architecture that Debian's GNU
# compilers reach. LINUX_TRIPLE names the target (x86_64-linux-gnu,
# aarch64-linux-gnu, arm-linux-gnueabi; the host's own when unset); musl's
# headers and libc.a for it come from Debian's musl-dev:<arch>. Adding an
# architecture takes a line in the table below and a preset.
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
# (cmake/debian-releases: mips64el and mipsel on Debian 13, riscv64 on
# Debian 12) and none is installed, LINUX_SKIPPED says so, and the project
# builds nothing and reports the preset as skipped.
#
# UPTIME_REPORT_MUSL=OFF keeps the compiler and the architecture but links
# the program statically against glibc instead, for machines without musl
# (with UPTIME_REPORT_NOTICES=OFF: glibc has no entry among the licences of
# what may ship).

set(LINUX_TRIPLE "" CACHE STRING "GNU triple of the target (empty: the host's)")
set(LINUX_DEB_ARCH "" CACHE STRING "Debian architecture of the packages (empty: the triple's)")
set(UPTIME_REPORT_MUSL ON CACHE BOOL "Link the program statically against musl")
# A try_compile project reads this file again with none of the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LINUX_TRIPLE)

# One line per architecture: its GNU triple; Debian's name for it; musl's
# folder under /usr/lib, which does not always follow the triple; qemu-user's
# name for it; the processors every test runs on; the compiler options of
# Debian 12's baseline for it; and its name in .rpm packages, for the
# architectures that Fedora and RHEL ship.
#
# The baseline options are Debian 12's compilers' own defaults, given
# explicitly so that a compiler with a higher default (another distribution's,
# a later Debian's) cannot raise the program's level unnoticed.
#
# The processors are the oldest that qemu models at each baseline. One
# written A/B runs the program on A and the unit tests on B: glibc's
# hard-float code in the unit tests needs an FPU, which Linux emulates in the
# kernel on an FPU-less 24Kc but qemu-user does not. mips64el's 5KEf is a
# MIPS64 release 2 processor, as the baseline is (a release 1 processor, a
# 5Kc, stops the program with SIGILL). s390x's z900 is older than z196:
# qemu's TCG cannot run its z196 model (which needs decimal floating point
# and other facilities that qemu lacks), and qemu-user does not refuse later
# scalar instructions on any model, only the vector facility (z13). So the
# runs show no more than that, and tests/level_check.py checks the level
# that the compiler was held to.
#                            Debian   musl                    qemu     processors                 baseline                   rpm
set(arch_x86_64-linux-gnu     amd64    x86_64-linux-musl       x86_64   qemu64                     -march=x86-64              x86_64)
set(arch_aarch64-linux-gnu    arm64    aarch64-linux-musl      aarch64  cortex-a53                 -march=armv8-a             aarch64)
set(arch_arm-linux-gnueabi    armel    arm-linux-musleabi      arm      arm926,arm1176,cortex-a7   -march=armv5te             -)
set(arch_i686-linux-gnu       i386     i386-linux-musl         i386     pentium2                   -march=i686,-mtune=generic -)
set(arch_powerpc64le-linux-gnu ppc64el powerpc64le-linux-musl  ppc64le  power8                     -mcpu=power8               ppc64le)
set(arch_s390x-linux-gnu      s390x    s390x-linux-musl        s390x    z900                       -march=z196                s390x)
set(arch_mips64el-linux-gnuabi64 mips64el mips64el-linux-musl  mips64el 5KEf                       -march=mips64r2            -)
set(arch_mipsel-linux-gnu     mipsel   mipsel-linux-musl       mipsel   24Kc/24Kf                  -march=mips32r2            -)
set(arch_riscv64-linux-gnu    riscv64  riscv64-linux-musl      riscv64  sifive-u54                 -march=rv64gc,-mabi=lp64d  riscv64)

if(LINUX_TRIPLE)
  set(triple ${LINUX_TRIPLE})
else()
  execute_process(COMMAND gcc -dumpmachine OUTPUT_VARIABLE triple
                  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/table.cmake)
read_table_line(arch_${triple} "the triple ${triple}"
                triple_deb_arch musl_triple LINUX_QEMU cpus baseline LINUX_RPM_ARCH)
string(REPLACE "," ";" LINUX_BASELINE_OPTIONS ${baseline})

set(musl_lib /usr/lib/${musl_triple})
if(UPTIME_REPORT_MUSL AND NOT EXISTS ${musl_lib}/libc.a)
  # Which Debian release this is, and which ones have musl for the
  # architecture.
  file(STRINGS /etc/os-release os_id REGEX "^ID=")
  file(STRINGS /etc/os-release os_version REGEX "^VERSION_ID=")
  string(REGEX REPLACE "^VERSION_ID=\"?([^\"]*)\"?$" "\\1" os_version "${os_version}")
  file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/debian-releases releases REGEX "^[0-9]")
  set(known_releases)
  set(musl_releases)
  foreach(line IN LISTS releases)
    string(REGEX MATCH "^[0-9]+" release ${line})
    list(APPEND known_releases ${release})
    string(REGEX MATCH "[^ ]+$" architectures ${line})
    string(REPLACE "," ";" architectures ${architectures})
    if(triple_deb_arch IN_LIST architectures)
      list(APPEND musl_releases ${release})
    endif()
  endforeach()
  if(os_id STREQUAL "ID=debian" AND os_version IN_LIST known_releases
     AND NOT os_version IN_LIST musl_releases)
    list(JOIN musl_releases " or " musl_releases)
    string(CONCAT LINUX_SKIPPED "Debian ${os_version} has no musl for ${triple_deb_arch} "
                  "(no musl-dev:${triple_deb_arch}); Debian ${musl_releases} builds it")
    return()
  endif()
endif()

# The processors the program runs on, and beside each the one its unit tests
# run on.
set(LINUX_QEMU_CPUS)
set(LINUX_QEMU_UNIT_CPUS)
string(REPLACE "," ";" cpus ${cpus})
foreach(entry IN LISTS cpus)
  string(REPLACE "/" ";" pair ${entry})
  list(GET pair 0 cpu)
  list(GET pair -1 unit_cpu)
  list(APPEND LINUX_QEMU_CPUS ${cpu})
  list(APPEND LINUX_QEMU_UNIT_CPUS ${unit_cpu})
endforeach()
set(LINUX_QEMU qemu-${LINUX_QEMU})
if(LINUX_RPM_ARCH STREQUAL "-")
  set(LINUX_RPM_ARCH "")
endif()
# A package may be for another Debian architecture than the triple's own:
# the armhf packages carry the armel program, which runs on every 32-bit ARM
# processor from ARMv5TE up (the armhf compiler and musl need ARMv7).
if(NOT LINUX_DEB_ARCH)
  set(LINUX_DEB_ARCH ${triple_deb_arch})
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
  set(install_musl "apt-get install musl-dev:${triple_deb_arch}")
  if(NOT triple_deb_arch STREQUAL host_deb_arch)
    set(install_musl "dpkg --add-architecture ${triple_deb_arch}; apt-get update; ${install_musl}")
  endif()
  string(CONCAT MUSL_MISSING
    "musl for ${triple} is not installed (no ${musl_lib}/libc.a).\n"
    "Install Debian's musl-dev:${triple_deb_arch} (as root: ${install_musl}), "
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
