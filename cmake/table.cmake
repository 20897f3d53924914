# Reads cmake/architectures, the table of the architectures the project
# builds for.

# Sets PREFIX<column> to each column of the line of the KIND table (linux or
# windows) whose COLUMN is VALUE, or stops, saying that it needs a line.
function(read_architecture prefix kind column value)
  file(STRINGS ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/architectures lines REGEX "^${kind} ")
  set(names)
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    string(REGEX REPLACE " +" ";" words "${line}")
    list(GET words 1 second)
    if(second STREQUAL "name")
      set(names ${words})
      list(FIND names ${column} at)
    elseif(names)
      list(GET words ${at} found)
      if(found STREQUAL value)
        foreach(name word IN ZIP_LISTS names words)
          set(${prefix}${name} ${word} PARENT_SCOPE)
        endforeach()
        return()
      endif()
    endif()
  endforeach()
  message(FATAL_ERROR "No ${kind} line of ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/architectures "
                      "has the ${column} ${value}; add one beside the others.")
endfunction()
