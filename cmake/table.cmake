# The toolchain files' tables: a line per target, a word per column.

# Sets each of the given variables to its column of the table line LINE, or
# stops, saying that NAME needs a line beside the others in the caller's file.
macro(read_table_line line name)
  if(NOT DEFINED ${line})
    message(FATAL_ERROR "No line is known for ${name}; add one beside the others "
                        "in ${CMAKE_CURRENT_LIST_FILE}.")
  endif()
  set(table_column 0)
  foreach(table_variable IN ITEMS ${ARGN})
    list(GET ${line} ${table_column} ${table_variable})
    math(EXPR table_column "${table_column} + 1")
  endforeach()
endmacro()
