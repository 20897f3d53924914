# Installation and packaging: what `cmake --install` puts in place and what
# `cpack` makes of it. Packages are reproducible when SOURCE_DATE_EPOCH is
# set (the .deb directly; scripts/release.sh fixes the archives' times).

# Directories made by the install are 755 whatever the umask, so that packages
# come out the same everywhere.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)

# The packages' revision of this version (packaging/revision): a release
# whose bytes differ from a published one of the same version, built in
# newer roots say, takes the next, so that no package name ever stands for
# two different files. Revision 1 is the version alone.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/revision revision LIMIT_COUNT 1)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/revision)
set(UPTIME_REPORT_PACKAGE_REVISION ${revision} CACHE STRING "The packages' revision of this version")
if(NOT UPTIME_REPORT_PACKAGE_REVISION MATCHES "^[1-9][0-9]*$")
  message(FATAL_ERROR "UPTIME_REPORT_PACKAGE_REVISION is a whole number from 1, not '${UPTIME_REPORT_PACKAGE_REVISION}'")
endif()
set(package_version ${version_text})
if(UPTIME_REPORT_PACKAGE_REVISION GREATER 1)
  set(package_version ${version_text}-${UPTIME_REPORT_PACKAGE_REVISION})
  set(CPACK_DEBIAN_PACKAGE_RELEASE ${UPTIME_REPORT_PACKAGE_REVISION})
endif()

# The notices of the third-party code that the program links: read from its
# linker map after every link, and a build error where a linked library has
# no known licence (packaging/third-party-licences). Release builds, which
# are what packages are made of, have them.
if(CMAKE_BUILD_TYPE STREQUAL "Release")
  set(notices_default ON)
else()
  set(notices_default OFF)
endif()
option(UPTIME_REPORT_NOTICES "Write and package the notices of the linked libraries"
       ${notices_default})
set(notices_dir ${PROJECT_BINARY_DIR}/notices)
if(UPTIME_REPORT_NOTICES)
  find_program(PYTHON3 NAMES python3 HINTS /usr/bin REQUIRED)
  set(linker_map ${PROJECT_BINARY_DIR}/uptime-report.map)
  target_link_options(uptime-report PRIVATE -Wl,-Map=${linker_map})
  if(WIN32)
    set(notices_files ${notices_dir}/NOTICES.txt)
    set(notices_options uptime-report.exe ${notices_dir} --crlf)
  else()
    set(notices_files ${notices_dir}/NOTICES)
    set(notices_options uptime-report ${notices_dir})
  endif()
  list(APPEND notices_files ${notices_dir}/copyright ${notices_dir}/static-built-using
       ${notices_dir}/components.json)
  # Written by the program's own link step, so that building the program
  # (all that `cmake --install` needs) writes them too, and a failure leaves
  # none behind; a change to what they are made from links it again.
  set(notices_script ${PROJECT_SOURCE_DIR}/packaging/notices.py)
  set(notices_licences ${PROJECT_SOURCE_DIR}/packaging/third-party-licences)
  set(notices_copyright ${PROJECT_SOURCE_DIR}/packaging/copyright)
  add_custom_command(
    TARGET uptime-report POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${notices_dir}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${notices_dir}
    COMMAND ${PYTHON3} ${notices_script} ${linker_map} ${notices_licences}
            ${notices_copyright} ${notices_options}
    BYPRODUCTS ${notices_files}
    COMMENT "Writing the notices of the libraries linked into uptime-report"
    VERBATIM)
  set_property(TARGET uptime-report APPEND PROPERTY LINK_DEPENDS
               ${notices_script} ${notices_licences} ${notices_copyright})
  set(deb_copyright ${notices_dir}/copyright)
else()
  set(deb_copyright ${PROJECT_SOURCE_DIR}/packaging/copyright)
endif()

# What a user gets: on Linux the program, its manual page, LICENSE and the
# notices; on Windows the .exe with a short README, for a .zip. The .deb's
# own files (its copyright, changelog and lintian override) are added to its
# package only (packaging/package-contents.cmake).
if(WIN32)
  install(TARGETS uptime-report RUNTIME DESTINATION .)
  # README.txt names the machines its .zip is for, and the oldest Windows.
  set(machine_text_x86 "x86 (32-bit)")
  set(machine_text_x64 "x64 (64-bit Intel and AMD)")
  set(machine_text_arm64 "ARM64")
  set(WINDOWS_MACHINE_TEXT ${machine_text_${WINDOWS_ARCH}})
  set(windows_text_6.1 "Windows 7")
  set(windows_text_10.0 "Windows 10")
  set(WINDOWS_FIRST_TEXT ${windows_text_${WINDOWS_VERSION}})
  configure_file(${PROJECT_SOURCE_DIR}/packaging/README-windows.txt README.txt
                 @ONLY NEWLINE_STYLE WIN32)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE LICENSE.txt
                 @ONLY NEWLINE_STYLE WIN32)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt
                ${PROJECT_BINARY_DIR}/LICENSE.txt DESTINATION .)
  if(UPTIME_REPORT_NOTICES)
    install(FILES ${notices_dir}/NOTICES.txt DESTINATION .)
  endif()
else()
  install(TARGETS uptime-report RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  configure_file(${PROJECT_SOURCE_DIR}/packaging/uptime-report.1.in
                 uptime-report.1 @ONLY)
  set(revision_entry)
  if(UPTIME_REPORT_PACKAGE_REVISION GREATER 1)
    # Dated when it is built: SOURCE_DATE_EPOCH's time, the commit's in a
    # release (CMake reads it from the environment).
    string(TIMESTAMP built "%a, %d %b %Y %H:%M:%S +0000" UTC)
    string(CONCAT revision_entry
      "uptime-report (${package_version}) unstable; urgency=medium\n\n"
      "  * Package revision ${UPTIME_REPORT_PACKAGE_REVISION} of ${version_text}: the same program,\n"
      "    built in the Debian roots that the release's BUILDINFO names.\n\n"
      " -- The uptime-report developers <uptime-report@users.noreply.github.com>  ${built}\n\n")
  endif()
  configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in changelog @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/uptime-report.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
  if(UPTIME_REPORT_NOTICES)
    install(FILES ${notices_dir}/NOTICES DESTINATION ${CMAKE_INSTALL_DOCDIR})
  endif()
  set(CPACK_UPTIME_REPORT_DEB_COPYRIGHT ${deb_copyright})
  set(CPACK_UPTIME_REPORT_DEB_CHANGELOG ${PROJECT_BINARY_DIR}/changelog)
  if(UPTIME_REPORT_STATIC)
    set(CPACK_UPTIME_REPORT_DEB_LINTIAN_OVERRIDES
        ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides)
  endif()
endif()

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${version_text})
set(CPACK_PACKAGE_VENDOR "The uptime-report developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "print how long the system has been running")
set(CPACK_PACKAGE_DESCRIPTION
    "uptime-report reads the milliseconds since the system started, time asleep
included, and prints them as one line of days, hours, minutes, seconds and
milliseconds, ended by CR LF. It takes no input, counts in 64 bits so that it
never wraps, and exits with status 1 when the line cannot be written.")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
if(WIN32)
  # The link strips the .exe and dates its header (cmake/windows-program.cmake):
  # the tests run the very bytes that are packaged.
  set(CPACK_STRIP_FILES OFF)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-${WINDOWS_ARCH})
  set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${package_version}-${CPACK_SYSTEM_NAME})
else()
  set(CPACK_STRIP_FILES ON)
  # Both packages say which machine they are for: amd64, arm64, armhf.
  if(NOT LINUX_DEB_ARCH)
    execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE LINUX_DEB_ARCH
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(NOT LINUX_DEB_ARCH)
    set(LINUX_DEB_ARCH ${CMAKE_SYSTEM_PROCESSOR})
  endif()
  set(CPACK_GENERATOR DEB TGZ)
  set(CPACK_SYSTEM_NAME linux-${LINUX_DEB_ARCH})
  set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${package_version}-${CPACK_SYSTEM_NAME})
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${LINUX_DEB_ARCH})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER
      "The uptime-report developers <uptime-report@users.noreply.github.com>")
  if(NOT UPTIME_REPORT_STATIC)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  endif()
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/package-contents.cmake)
  set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/finish-deb.cmake)
  if(UPTIME_REPORT_NOTICES)
    set(CPACK_UPTIME_REPORT_STATIC_BUILT_USING ${notices_dir}/static-built-using)
  endif()

  # An .rpm where Fedora and RHEL ship the architecture: x86_64, aarch64,
  # ppc64le, s390x.
  if(LINUX_RPM_ARCH)
    list(APPEND CPACK_GENERATOR RPM)
    set(CPACK_RPM_PACKAGE_ARCHITECTURE ${LINUX_RPM_ARCH})
    set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
    set(CPACK_RPM_PACKAGE_RELEASE ${UPTIME_REPORT_PACKAGE_REVISION})
    # The program's own licence; packaging/rpm-licence.cmake adds those of
    # the code linked into it.
    set(CPACK_RPM_PACKAGE_LICENSE MIT)
    set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/packaging/rpm-licence.cmake)
    if(UPTIME_REPORT_NOTICES)
      set(CPACK_UPTIME_REPORT_COMPONENTS ${notices_dir}/components.json)
    endif()
    set(CPACK_RPM_PACKAGE_GROUP "Applications/System")
    set(CPACK_RPM_PACKAGE_SUMMARY "Print how long the system has been running")
    set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
    # The package owns its files and its own folders, not the system's.
    set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
        /usr/share/man /usr/share/man/man1 /usr/share/licenses)
    # The header carries no build host and no build time of its own: the
    # package is the same wherever and whenever it is built (the time is
    # SOURCE_DATE_EPOCH's where that is set). rpmbuild's own strip and
    # post-processing are off: the program is the one CPack stripped for
    # every package, byte for byte.
    string(JOIN "\n" CPACK_RPM_SPEC_MORE_DEFINE
           "%define packager ${CPACK_DEBIAN_PACKAGE_MAINTAINER}"
           "%define _buildhost reproducible"
           "%define use_source_date_epoch_as_buildtime 1"
           "%define clamp_mtime_to_source_date_epoch 1"
           "%define __os_install_post %{nil}"
           "%define debug_package %{nil}")
  endif()
endif()
include(CPack)
