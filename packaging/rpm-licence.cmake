# The .rpm's License tag, read by CPack for each package: the program's own
# licence and those of the code linked into it, as its notices found them
# (components.json), joined as one SPDX expression, the way the release's
# SPDX document states the program's licence.
if(CPACK_GENERATOR STREQUAL "RPM" AND CPACK_UPTIME_REPORT_COMPONENTS)
  file(READ "${CPACK_UPTIME_REPORT_COMPONENTS}" components)
  string(JSON count LENGTH "${components}")
  set(licences "${CPACK_RPM_PACKAGE_LICENSE}")
  if(count GREATER 0)
    math(EXPR last "${count} - 1")
    foreach(index RANGE ${last})
      string(JSON licence GET "${components}" ${index} license)
      # WITH binds tighter than AND; OR does not.
      if(licence MATCHES " OR ")
        set(licence "(${licence})")
      endif()
      list(APPEND licences "${licence}")
    endforeach()
  endif()
  list(REMOVE_DUPLICATES licences)
  list(JOIN licences " AND " CPACK_RPM_PACKAGE_LICENSE)
endif()
