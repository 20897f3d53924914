# Finishes each .deb that CPack made, as dpkg-deb builds packages: members in
# name order, owned by root, times clamped to SOURCE_DATE_EPOCH where it is
# set; an Installed-Size counted the way dpkg-gencontrol does, a KiB per
# folder (CPack adds up the folders' sizes on disk, which depend on the file
# system); and the Static-Built-Using field, which names the sources of the
# libraries linked into the program and which CPack cannot write.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb -R "${deb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  file(GLOB_RECURSE files LIST_DIRECTORIES true "${tree}/*")
  set(kib 0)
  foreach(path IN LISTS files)
    string(FIND "${path}/" "${tree}/DEBIAN/" in_control)
    if(in_control EQUAL 0)
      continue()
    endif()
    set(size 1024)
    if(NOT IS_DIRECTORY "${path}")
      file(SIZE "${path}" size)
    endif()
    math(EXPR kib "${kib} + (${size} + 1023) / 1024")
  endforeach()
  file(READ "${tree}/DEBIAN/control" control)
  string(STRIP "${control}" control)
  string(APPEND control "\n")
  string(REGEX REPLACE "Installed-Size: [0-9]+" "Installed-Size: ${kib}" control "${control}")
  if(CPACK_UPTIME_REPORT_STATIC_BUILT_USING)
    file(READ "${CPACK_UPTIME_REPORT_STATIC_BUILT_USING}" built_using)
    string(APPEND control "Static-Built-Using: ${built_using}")
  endif()
  file(WRITE "${tree}/DEBIAN/control" "${control}")
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz --build "${tree}" "${deb}"
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()
