# layering.cmake - fails when a folder includes a header of a folder above
# it.  Run as a test (ctest -R layering) or by hand:
#   cmake -DROOT=<source dir> -P cmake/layering.cmake
#
# The library's folders in their order, lowest first; a file may include
# headers of its own folder and of the folders below it.  vec/ includes
# nothing of the project; kelhost/, the stand-in host, may include host/
# (the interface it implements) and vec/ (the shared vector header).
set(LAYERS vec host model filter smooth simulate weights builders exact)
# The one edge that points up: the score is built on the smoothing
# recursion (see filter/score.cpp).
set(EXCEPTIONS "filter/score.cpp -> smooth/kalmansmo.h")

if(NOT ROOT)
  message(FATAL_ERROR "layering.cmake: pass -DROOT=<source dir>")
endif()

set(failures "")
set(folders ${LAYERS} kelhost)
foreach(folder ${folders})
  if(folder STREQUAL "kelhost")
    set(allowed vec host kelhost)
  else()
    list(FIND LAYERS ${folder} rank)
    set(allowed "")
    foreach(i RANGE 0 ${rank})
      list(GET LAYERS ${i} below)
      list(APPEND allowed ${below})
    endforeach()
    if(folder STREQUAL "vec")
      set(allowed "")
    endif()
  endif()
  file(GLOB sources RELATIVE ${ROOT} ${ROOT}/${folder}/*.cpp ${ROOT}/${folder}/*.h
       ${ROOT}/${folder}/*.hpp)
  foreach(source ${sources})
    file(STRINGS ${ROOT}/${source} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line ${lines})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" header "${line}")
      string(REGEX MATCH "^[^/]+/" top "${header}")
      string(REGEX REPLACE "/$" "" top "${top}")
      if(top STREQUAL "")
        continue()
      endif()
      list(FIND allowed ${top} ok)
      list(FIND EXCEPTIONS "${source} -> ${header}" excepted)
      if(ok EQUAL -1 AND excepted EQUAL -1)
        list(APPEND failures "${source} includes ${header}")
      endif()
    endforeach()
  endforeach()
endforeach()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "includes against the folder order (${LAYERS}):\n  ${text}")
endif()
message(STATUS "layering: every include points down the folder order")
