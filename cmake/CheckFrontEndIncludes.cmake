# Fails when a front end's sources include a header of a layer below the
# engine: cli/ and ui/ present what recovery/ gives them, and reach the
# volume, its bytes and its format only through it.
#
#   cmake -DFOLDER=<source folder> -DFORBIDDEN="<folder>;..." -DSTAMP=<file> -P CheckFrontEndIncludes.cmake

string(REPLACE ";" "|" folders "${FORBIDDEN}")
file(GLOB files ${FOLDER}/*.h ${FOLDER}/*.cpp)
set(found)
foreach(path IN LISTS files)
  file(STRINGS ${path} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"(${folders})/")
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    list(APPEND found "${path}: ${line}")
  endforeach()
endforeach()
if(found)
  list(JOIN found "\n  " text)
  message(FATAL_ERROR "includes below recovery/ in a front end (go through recovery/'s headers; "
                      "what a front end needs of core/ or platform/ is listed in recovery/SystemServices.h):\n  ${text}")
endif()
file(TOUCH ${STAMP})
