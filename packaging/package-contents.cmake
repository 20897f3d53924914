# What each kind of package holds, shaped from the one installed tree (the
# program, its manual page, LICENSE and NOTICES):
#   .deb     Debian's layout: copyright (which holds the licence and the
#            notices) instead of LICENSE and NOTICES, the changelog, the
#            lintian override; the manual page and changelog gzipped at
#            maximum compression, without a timestamp. Its own files come
#            from where packaging.cmake names them, not from the install.
#   .rpm     LICENSE and NOTICES where rpm keeps licences; the manual page
#            gzipped
#   .tar.gz  the installed tree as it is, to unpack anywhere
set(root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${root}/share/doc/${CPACK_PACKAGE_NAME}")
set(man "${root}/share/man/man1/${CPACK_PACKAGE_NAME}.1")

# Copies a file into the package with the modes install() gives, 644 and
# folders 755, whatever the umask.
function(add_to_package source destination)
  get_filename_component(folder "${destination}" DIRECTORY)
  set(missing)
  while(NOT IS_DIRECTORY "${folder}")
    list(PREPEND missing "${folder}")
    get_filename_component(folder "${folder}" DIRECTORY)
  endwhile()
  foreach(folder IN LISTS missing)
    file(MAKE_DIRECTORY "${folder}")
    file(CHMOD "${folder}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
         GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endforeach()
  file(COPY_FILE "${source}" "${destination}")
  file(CHMOD "${destination}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endfunction()

set(gzipped)
if(CPACK_GENERATOR STREQUAL "DEB")
  file(REMOVE "${doc}/LICENSE" "${doc}/NOTICES")
  add_to_package("${CPACK_UPTIME_REPORT_DEB_COPYRIGHT}" "${doc}/copyright")
  # A version with a package revision is no native package: its changelog
  # is changelog.Debian, as Debian's policy names it.
  set(changelog "${doc}/changelog")
  if(CPACK_DEBIAN_PACKAGE_RELEASE)
    set(changelog "${doc}/changelog.Debian")
  endif()
  add_to_package("${CPACK_UPTIME_REPORT_DEB_CHANGELOG}" "${changelog}")
  if(CPACK_UPTIME_REPORT_DEB_LINTIAN_OVERRIDES)
    add_to_package("${CPACK_UPTIME_REPORT_DEB_LINTIAN_OVERRIDES}"
                   "${root}/share/lintian/overrides/${CPACK_PACKAGE_NAME}")
  endif()
  set(gzipped "${man}" "${changelog}")
elseif(CPACK_GENERATOR STREQUAL "RPM")
  set(licenses "${root}/share/licenses/${CPACK_PACKAGE_NAME}")
  file(MAKE_DIRECTORY "${licenses}")
  file(GLOB texts "${doc}/LICENSE" "${doc}/NOTICES")
  file(COPY ${texts} DESTINATION "${licenses}")
  file(REMOVE_RECURSE "${doc}")
  set(gzipped "${man}")
endif()
foreach(file IN LISTS gzipped)
  execute_process(COMMAND gzip -9n "${file}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
