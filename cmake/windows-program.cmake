# How a Windows program of this project is linked: no C runtime, KERNEL32.dll
# its only import, a version resource and a manifest naming its architecture
# (cmake/windows.cmake says why).

# The kernel32 import library, made from the four functions the program
# calls, so that no mingw-w64 library is linked.
file(READ ${PROJECT_SOURCE_DIR}/src/platform/kernel32.def kernel32_def)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${PROJECT_SOURCE_DIR}/src/platform/kernel32.def)
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  # Only 32-bit x86 symbols carry the size of their arguments.
  string(REGEX REPLACE "@[0-9]+" "" kernel32_def "${kernel32_def}")
endif()
file(CONFIGURE OUTPUT kernel32.def CONTENT "${kernel32_def}")
set(kernel32_import ${PROJECT_BINARY_DIR}/libkernel32.a)
# mingw-w64's dlltool leaves empty temporary files (ccXXXXXX) behind: they go
# to a folder of the build's, removed after it.
add_custom_command(OUTPUT ${kernel32_import}
                   COMMAND ${CMAKE_COMMAND} -E make_directory dlltool-tmp
                   COMMAND ${CMAKE_COMMAND} -E env TMPDIR=${PROJECT_BINARY_DIR}/dlltool-tmp
                           ${WINDOWS_DLLTOOL} -d kernel32.def -l libkernel32.a
                   COMMAND ${CMAKE_COMMAND} -E rm -rf dlltool-tmp
                   DEPENDS ${PROJECT_BINARY_DIR}/kernel32.def
                   WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
                   COMMENT "Making the kernel32 import library")
add_custom_target(kernel32-import DEPENDS ${kernel32_import})

# CMake names the usual Windows libraries on every link; the program links
# none of them, and the unit tests get what they need from g++ itself.
set(CMAKE_CXX_STANDARD_LIBRARIES "")

enable_language(RC)
if(WINDOWS_RC_COMPILE_OBJECT)
  set(CMAKE_RC_COMPILE_OBJECT ${WINDOWS_RC_COMPILE_OBJECT})
endif()
set(manifest_path ${PROJECT_BINARY_DIR}/uptime-report.manifest)
set(resource_path ${PROJECT_BINARY_DIR}/uptime-report.rc)
configure_file(res/uptime-report.manifest.in ${manifest_path} @ONLY)
configure_file(res/uptime-report.rc.in ${resource_path} @ONLY)
set_source_files_properties(${resource_path} PROPERTIES OBJECT_DEPENDS ${manifest_path})

# The PE header's image version, which tools read without the resource.
# CMake's GNU link rule writes a target's VERSION there, 0.0 without one; but
# a VERSION on an executable also makes a versioned file and a symlink when
# building on Linux. So the rule takes the project's version. lld ignores
# that option and takes its own.
string(REPLACE "<TARGET_VERSION_MAJOR>" ${PROJECT_VERSION_MAJOR}
       CMAKE_CXX_LINK_EXECUTABLE "${CMAKE_CXX_LINK_EXECUTABLE}")
string(REPLACE "<TARGET_VERSION_MINOR>" ${PROJECT_VERSION_MINOR}
       CMAKE_CXX_LINK_EXECUTABLE "${CMAKE_CXX_LINK_EXECUTABLE}")

# What the PE header says of each program, to Windows and to the scanners
# that read it. Both linkers take these options alike.
# - ASLR: DYNAMIC_BASE, with a base relocation table to move the program by
#   (src/platform/entry_windows.cpp holds the one address that the x64 and
#   ARM64 tables relocate); HIGH_ENTROPY_VA on 64-bit machines; NX_COMPAT.
# - TERMINAL_SERVER_AWARE: a console program needs none of the compatibility
#   shims that Remote Desktop gives a program without it.
# - x86 alone has SEH handler tables: NO_SEH, the truth (nothing in the program
#   registers an exception handler), which scanners such as BinSkim require
#   where there is no SafeSEH table.
# - The oldest Windows it is for as OS and subsystem version (WINDOWS_VERSION);
#   Windows starts no program whose subsystem version is above its own.
string(REPLACE "." ";" windows_version ${WINDOWS_VERSION})
list(GET windows_version 0 windows_version_major)
list(GET windows_version 1 windows_version_minor)
set(WINDOWS_PE_OPTIONS -Wl,--dynamicbase,--nxcompat,--tsaware
    -Wl,--major-os-version,${windows_version_major},--minor-os-version,${windows_version_minor}
    -Wl,--major-subsystem-version,${windows_version_major}
    -Wl,--minor-subsystem-version,${windows_version_minor})
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  list(APPEND WINDOWS_PE_OPTIONS -Wl,--high-entropy-va)
else()
  list(APPEND WINDOWS_PE_OPTIONS -Wl,--no-seh)
endif()

# The PE header's time: SOURCE_DATE_EPOCH where the build is configured with
# it (a release: the commit's time), 0 otherwise, so that the same sources
# give the same bytes at any time. The link writes it and strips the program,
# and nothing rewrites it after: CPack takes the program as it is
# (cmake/packaging.cmake), for binutils' strip writes SOURCE_DATE_EPOCH or,
# where that is unset, the current time. GNU ld takes the time from the
# environment alone, set here for each link; lld takes it as an option.
set(WINDOWS_PE_TIME 0)
if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  set(WINDOWS_PE_TIME $ENV{SOURCE_DATE_EPOCH})
endif()
if(NOT WINDOWS_PE_TIME MATCHES "^[0-9]+$" OR WINDOWS_PE_TIME GREATER 4294967295)
  message(FATAL_ERROR "SOURCE_DATE_EPOCH is '${WINDOWS_PE_TIME}', which a PE header cannot "
                      "carry: a whole number of seconds below 2^32 is needed.")
endif()

# Links TARGET as a Windows program with no C runtime and KERNEL32.dll alone,
# from an entry point of its own.
function(uptime_report_windows_link target)
  target_compile_options(${target} PRIVATE ${WINDOWS_COMPILE_OPTIONS})
  target_link_options(${target} PRIVATE -nostdlib -s ${WINDOWS_PE_OPTIONS})
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    target_link_options(${target} PRIVATE
                        -Wl,-Xlink=-version:${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}
                        -Wl,-Xlink=-timestamp:${WINDOWS_PE_TIME})
  elseif(WINDOWS_PE_TIME)
    target_link_options(${target} PRIVATE -Wl,--insert-timestamp)
    set_property(TARGET ${target} PROPERTY CXX_LINKER_LAUNCHER
                 ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${WINDOWS_PE_TIME})
  endif()
  target_link_libraries(${target} PRIVATE ${kernel32_import} ${WINDOWS_LINK_LIBRARIES})
  add_dependencies(${target} kernel32-import)
endfunction()

# Makes TARGET a Windows program of modMain: its own entry point, the version
# resource and manifest, and KERNEL32.dll alone.
function(uptime_report_windows_program target)
  target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src/platform/entry_windows.cpp
                 ${resource_path})
  target_link_libraries(${target} PRIVATE modMain)
  uptime_report_windows_link(${target})
endfunction()
