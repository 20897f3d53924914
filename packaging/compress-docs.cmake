# Debian wants manual pages and the changelog gzipped at maximum compression,
# without a timestamp; the other packages keep them as they are installed.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
file(GLOB_RECURSE docs "${CPACK_TEMPORARY_DIRECTORY}/*")
list(FILTER docs INCLUDE REGEX "/man/man[1-9]/[^/]+\\.[1-9]$|/doc/[^/]+/changelog$")
foreach(doc IN LISTS docs)
  execute_process(COMMAND gzip -9n "${doc}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
