# cmake -DARCHIVE=... -DAR=... -DOBJCOPY=... -DICUPKG=... -DGENCCODE=...
#       -DVERSION_MAJOR=72 -DITEMS=list.txt -DOUTPUT=icudt72_dat.c
#       -P make_icu_data_package.cmake
#
# Makes the C source of a filtered ICU data package: the items named in ITEMS
# (one a line, `#` starts a comment), taken from the data package inside
# ARCHIVE (the target's own libicudata.a, so the items match the ICU that is
# linked), written little-endian/ASCII by icupkg and turned into the array
# icudt<VERSION_MAJOR>_dat by genccode, the symbol the static libicuuc.a
# reads its common data from.
cmake_minimum_required(VERSION 3.25)
foreach(var ARCHIVE AR OBJCOPY ICUPKG GENCCODE VERSION_MAJOR ITEMS OUTPUT)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "make_icu_data_package: ${var} is not set")
  endif()
endforeach()

get_filename_component(out_dir "${OUTPUT}" DIRECTORY)
set(work "${out_dir}/icu_data_work")
file(REMOVE_RECURSE "${work}")
file(MAKE_DIRECTORY "${work}/full" "${work}/filtered" "${work}/c")

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
                  WORKING_DIRECTORY "${work}")
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "make_icu_data_package: `${command}` failed (${rc}):\n${out}${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

# The archive holds one object whose read-only data is the whole package.
set(package "icudt${VERSION_MAJOR}l")
run("${AR}" x "${ARCHIVE}")
file(GLOB members "${work}/*.o")
list(LENGTH members count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "make_icu_data_package: expected one object in ${ARCHIVE}, found ${count}")
endif()
run("${OBJCOPY}" -O binary --only-section=.rodata "${members}" "${work}/full/${package}.dat")

# Its items (icupkg also checks the package is one of this ICU version:
# every item name must start with icudtNNl/).
run("${ICUPKG}" -l -o "${work}/all.txt" "${work}/full/${package}.dat")
file(STRINGS "${work}/all.txt" all_items)
list(LENGTH all_items count)
if(count EQUAL 0)
  message(FATAL_ERROR "make_icu_data_package: no items in the data of ${ARCHIVE}")
endif()

file(STRINGS "${ITEMS}" lines)
set(keep)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "#.*" "" line "${line}")
  string(STRIP "${line}" line)
  if(line STREQUAL "")
    continue()
  endif()
  if(NOT line IN_LIST all_items)
    message(FATAL_ERROR "make_icu_data_package: ${line} (${ITEMS}) is not in ${ARCHIVE}")
  endif()
  list(APPEND keep "${line}")
endforeach()

set(remove ${all_items})
if(keep)
  list(REMOVE_ITEM remove ${keep})
endif()
list(JOIN remove "\n" remove_text)
file(WRITE "${work}/remove.txt" "${remove_text}\n")
run("${ICUPKG}" -tl -w -r "${work}/remove.txt" "${work}/full/${package}.dat"
    "${work}/filtered/${package}.dat")
run("${ICUPKG}" -l "${work}/filtered/${package}.dat")
string(REGEX REPLACE "\n$" "" left "${run_output}")
if(left STREQUAL "")
  set(left)
else()
  string(REPLACE "\n" ";" left "${left}")
endif()
list(SORT left)
list(SORT keep)
if(NOT "${left}" STREQUAL "${keep}")
  message(FATAL_ERROR "make_icu_data_package: the package holds '${left}', not '${keep}'")
endif()

# genccode names the array after the file: icudtNN.dat gives icudtNN_dat.
set(entry "icudt${VERSION_MAJOR}")
file(COPY_FILE "${work}/filtered/${package}.dat" "${work}/c/${entry}.dat")
run("${GENCCODE}" -q -d "${work}/c" "${work}/c/${entry}.dat")
file(READ "${work}/c/${entry}_dat.c" source)
if(NOT source MATCHES "} ${entry}_dat=")
  message(FATAL_ERROR "make_icu_data_package: genccode did not define ${entry}_dat")
endif()
file(WRITE "${OUTPUT}" "${source}")
# The extracted package is as big as libicudata.a.
file(REMOVE_RECURSE "${work}")
