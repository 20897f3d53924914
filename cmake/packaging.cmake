# Installation and packaging: what `cmake --install` puts in place and what
# `cpack` makes of it. Packages are reproducible when SOURCE_DATE_EPOCH is
# set (the .deb directly; scripts/release.sh fixes the archives' times).

# Directories made by the install are 755 whatever the umask, so that packages
# come out the same everywhere.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
    WORLD_READ WORLD_EXECUTE)

# What a user gets: on Linux the program, its manual page and the package's
# documents; on Windows the .exe with a short README, for a .zip.
if(WIN32)
  install(TARGETS uptime-report RUNTIME DESTINATION .)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/README-windows.txt README.txt
                 @ONLY NEWLINE_STYLE WIN32)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE LICENSE.txt
                 @ONLY NEWLINE_STYLE WIN32)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt
                ${PROJECT_BINARY_DIR}/LICENSE.txt DESTINATION .)
else()
  install(TARGETS uptime-report RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  configure_file(${PROJECT_SOURCE_DIR}/packaging/uptime-report.1.in
                 uptime-report.1 @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in changelog @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/uptime-report.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE
                ${PROJECT_SOURCE_DIR}/packaging/copyright
                ${PROJECT_BINARY_DIR}/changelog
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  if(UPTIME_REPORT_STATIC)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
            DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
            RENAME uptime-report)
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
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
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
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${LINUX_DEB_ARCH})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER
      "The uptime-report developers <uptime-report@users.noreply.github.com>")
  if(NOT UPTIME_REPORT_STATIC)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  endif()
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/package-contents.cmake)

  # An .rpm where Fedora and RHEL ship the architecture: x86_64, aarch64,
  # ppc64le, s390x.
  if(LINUX_RPM_ARCH)
    list(APPEND CPACK_GENERATOR RPM)
    set(CPACK_RPM_PACKAGE_ARCHITECTURE ${LINUX_RPM_ARCH})
    set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
    set(CPACK_RPM_PACKAGE_RELEASE 1)
    set(CPACK_RPM_PACKAGE_LICENSE MIT)
    set(CPACK_RPM_PACKAGE_GROUP "Applications/System")
    set(CPACK_RPM_PACKAGE_SUMMARY "Print how long the system has been running")
    set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
    # The package owns its files and its own folders, not the system's.
    set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
        /usr/share/man /usr/share/man/man1 /usr/share/licenses)
    # The header carries no build host and no build time of its own: the
    # package is the same wherever and whenever it is built (the time is
    # SOURCE_DATE_EPOCH's where that is set).
    string(JOIN "\n" CPACK_RPM_SPEC_MORE_DEFINE
           "%define packager ${CPACK_DEBIAN_PACKAGE_MAINTAINER}"
           "%define _buildhost reproducible"
           "%define use_source_date_epoch_as_buildtime 1"
           "%define clamp_mtime_to_source_date_epoch 1")
  endif()
endif()
include(CPack)
