# What each kind of package holds, shaped from the one installed tree (the
# program, its manual page, LICENSE, NOTICES and the Debian documents):
#   .deb     Debian's layout: copyright (which holds the licence and the
#            notices) instead of LICENSE and NOTICES, the changelog, the
#            lintian override; the manual page and changelog gzipped at
#            maximum compression, without a timestamp
#   .rpm     LICENSE and NOTICES where rpm keeps licences; the manual page
#            gzipped
#   .tar.gz  the program, the manual page, LICENSE and NOTICES, to unpack
#            anywhere
set(root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${root}/share/doc/${CPACK_PACKAGE_NAME}")
set(man "${root}/share/man/man1/${CPACK_PACKAGE_NAME}.1")

if(CPACK_GENERATOR STREQUAL "DEB")
  file(REMOVE "${doc}/LICENSE" "${doc}/NOTICES")
  set(gzipped "${man}" "${doc}/changelog")
else()
  file(REMOVE_RECURSE "${doc}/copyright" "${doc}/changelog" "${root}/share/lintian")
  set(gzipped)
  if(CPACK_GENERATOR STREQUAL "RPM")
    set(licenses "${root}/share/licenses/${CPACK_PACKAGE_NAME}")
    file(MAKE_DIRECTORY "${licenses}")
    file(GLOB texts "${doc}/LICENSE" "${doc}/NOTICES")
    file(COPY ${texts} DESTINATION "${licenses}")
    file(REMOVE_RECURSE "${doc}")
    set(gzipped "${man}")
  endif()
endif()
foreach(file IN LISTS gzipped)
  execute_process(COMMAND gzip -9n "${file}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
