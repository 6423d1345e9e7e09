# The reader library's exported names, read from the one list of its entry points
# (zr8reader/include/Zr8ReaderEntryPoints.h), and the export lists made from them.

set(ZR8_ENTRY_POINT_LIST ${CMAKE_CURRENT_LIST_DIR}/../include/Zr8ReaderEntryPoints.h)
# A change of the list configures the build again, and so regenerates every export list.
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${ZR8_ENTRY_POINT_LIST})

# The 76 names, in the loader's row order, into out.
function(zr8_entry_point_names out)
  file(READ ${ZR8_ENTRY_POINT_LIST} text)
  string(REGEX MATCHALL "X\\(ZR8READER_[A-Za-z0-9_]+" names "${text}")
  list(TRANSFORM names REPLACE "^X\\(" "")
  list(LENGTH names count)
  if(NOT count EQUAL 76)
    message(FATAL_ERROR "the entry-point list holds ${count} names, not 76")
  endif()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

# Writes the export list of `names` to `file`: a module-definition file (.def) for Windows, a
# linker version script (.map) otherwise. Written only when its text changes.
function(zr8_write_exports file names)
  if(file MATCHES "\\.def$")
    list(JOIN names "\n  " body)
    set(text "EXPORTS\n  ${body}\n")
  else()
    list(JOIN names ";\n    " body)
    set(text "{\n  global:\n    ${body};\n  local: *;\n};\n")
  endif()
  file(CONFIGURE OUTPUT ${file} CONTENT "${text}" @ONLY)
endfunction()
