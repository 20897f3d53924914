# What each kind of package holds, shaped from the one installed tree (the
# program, its manual page, LICENSE and the Debian documents):
#   .deb     Debian's layout: copyright instead of LICENSE, the changelog, the
#            lintian override; the manual page and changelog gzipped at
#            maximum compression, without a timestamp
#   .rpm     the licence where rpm keeps licences; the manual page gzipped
#   .tar.gz  the program, the manual page and LICENSE, to unpack anywhere
set(root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${root}/share/doc/${CPACK_PACKAGE_NAME}")
set(man "${root}/share/man/man1/${CPACK_PACKAGE_NAME}.1")

if(CPACK_GENERATOR STREQUAL "DEB")
  file(REMOVE "${doc}/LICENSE")
  set(gzipped "${man}" "${doc}/changelog")
else()
  file(REMOVE_RECURSE "${doc}/copyright" "${doc}/changelog" "${root}/share/lintian")
  set(gzipped)
  if(CPACK_GENERATOR STREQUAL "RPM")
    file(MAKE_DIRECTORY "${root}/share/licenses/${CPACK_PACKAGE_NAME}")
    file(RENAME "${doc}/LICENSE" "${root}/share/licenses/${CPACK_PACKAGE_NAME}/LICENSE")
    file(REMOVE_RECURSE "${doc}")
    set(gzipped "${man}")
  endif()
endif()
foreach(file IN LISTS gzipped)
  execute_process(COMMAND gzip -9n "${file}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
