# One library per folder, and a build that refuses an include running
# upward.
#
# Every header is included by its folder, "ntfs/MFT_RECORD.h", yet the
# repository root is on no include path. Each folder NAME gets a folder of
# the build tree, layers/NAME, that holds one symbolic link, NAME ->
# <source>/NAME; that folder is the include directory of resurgo_NAME and
# reaches the libraries above it only through linking. So a library sees
# its own headers and those of the libraries it DEPENDS on (and of theirs),
# and an include of any other folder fails to compile.
#
#   resurgo_library(NAME [SOURCES file...] [DEPENDS name...])
#     Makes resurgo_NAME: a static library of the SOURCES given (relative to
#     NAME/), or else of NAME/*.cpp, where files named *Win32.cpp are built
#     for Windows only, *Posix.cpp for the other systems and *Linux.cpp for
#     Linux only. A folder of headers only makes an INTERFACE library.
#     DEPENDS names the folders whose headers NAME includes; they must be
#     defined before (bottom-up).
#
#   resurgo_front_end(NAME [SOURCES ...] [DEPENDS ...])
#     resurgo_library for a front end (cli, ui): presentation only. Its
#     build fails when one of its files includes a header of core/,
#     platform/, source/, volume/, ntfs/ or file/: what it shows reaches it
#     through recovery/, and what it needs of the system through
#     recovery/SystemServices.h. (The engine's public headers name lower
#     layers' types, so the libraries still link PUBLIC; this check is what
#     keeps the front ends above the engine.)
#
#   resurgo_layer(NAME [SOURCES ...] [DEPENDS ...])
#     resurgo_library for a layer of the engine: resurgo_engine, the
#     INTERFACE library that the tests, benchmarks, fuzz targets and front
#     ends link (made here, before any layer), takes it in. The engine's
#     libraries are listed in the global property RESURGO_ENGINE_LAYERS
#     (target names).

add_library(resurgo_engine INTERFACE)

function(resurgo_library name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;DEPENDS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "resurgo_library(${name}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  set(folder ${PROJECT_SOURCE_DIR}/${name})
  if(NOT IS_DIRECTORY ${folder})
    message(FATAL_ERROR "resurgo_library(${name}): no folder ${folder}")
  endif()

  set(include_dir ${PROJECT_BINARY_DIR}/layers/${name})
  file(MAKE_DIRECTORY ${include_dir})
  file(CREATE_LINK ${folder} ${include_dir}/${name} SYMBOLIC)

  set(sources)
  if(arg_SOURCES)
    foreach(source IN LISTS arg_SOURCES)
      if(IS_ABSOLUTE ${source})
        list(APPEND sources ${source})
      else()
        list(APPEND sources ${folder}/${source})
      endif()
    endforeach()
  else()
    file(GLOB sources CONFIGURE_DEPENDS ${folder}/*.cpp)
    if(WIN32)
      list(FILTER sources EXCLUDE REGEX "(Posix|Linux)\\.cpp$")
    else()
      list(FILTER sources EXCLUDE REGEX "Win32\\.cpp$")
      if(NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
        list(FILTER sources EXCLUDE REGEX "Linux\\.cpp$")
      endif()
    endif()
  endif()

  set(depends)
  foreach(dep IN LISTS arg_DEPENDS)
    if(NOT TARGET resurgo_${dep})
      message(FATAL_ERROR "resurgo_library(${name}): resurgo_${dep} is not defined (define the libraries bottom-up)")
    endif()
    list(APPEND depends resurgo_${dep})
  endforeach()

  if(sources)
    add_library(resurgo_${name} STATIC ${sources})
    target_include_directories(resurgo_${name} PUBLIC ${include_dir})
    target_link_libraries(resurgo_${name} PUBLIC ${depends})
    target_compile_features(resurgo_${name} PUBLIC cxx_std_17)
  else()
    add_library(resurgo_${name} INTERFACE)
    target_include_directories(resurgo_${name} INTERFACE ${include_dir})
    target_link_libraries(resurgo_${name} INTERFACE ${depends})
    target_compile_features(resurgo_${name} INTERFACE cxx_std_17)
  endif()
endfunction()

function(resurgo_layer name)
  resurgo_library(${name} ${ARGN})
  set_property(GLOBAL APPEND PROPERTY RESURGO_ENGINE_LAYERS resurgo_${name})
  target_link_libraries(resurgo_engine INTERFACE resurgo_${name})
endfunction()

function(resurgo_front_end name)
  resurgo_library(${name} ${ARGN})
  file(GLOB files CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${name}/*.h ${PROJECT_SOURCE_DIR}/${name}/*.cpp)
  set(script ${PROJECT_SOURCE_DIR}/cmake/CheckFrontEndIncludes.cmake)
  set(stamp ${PROJECT_BINARY_DIR}/layers/${name}.includes-checked)
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -DFOLDER=${PROJECT_SOURCE_DIR}/${name} "-DFORBIDDEN=core;platform;source;volume;ntfs;file"
            -DSTAMP=${stamp} -P ${script}
    DEPENDS ${files} ${script}
    COMMENT "Checking that ${name}/ includes nothing below recovery/"
    VERBATIM)
  add_custom_target(resurgo_${name}_includes DEPENDS ${stamp})
  add_dependencies(resurgo_${name} resurgo_${name}_includes)
endfunction()
