# Cross build for 64-bit Windows with the mingw-w64 "posix" thread-model
# compilers from Debian (g++-mingw-w64-x86-64-posix). Executables are linked
# statically, so they run without any mingw DLLs, and CTest runs them through
# Wine (see wine-run.sh beside this file).
#
#   cmake -S . -B build/mingw -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(RESURGO_MINGW_TRIPLE x86_64-w64-mingw32)

find_program(CMAKE_C_COMPILER NAMES ${RESURGO_MINGW_TRIPLE}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${RESURGO_MINGW_TRIPLE}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${RESURGO_MINGW_TRIPLE}-windres REQUIRED)

# Headers and libraries come from the mingw sysroot only; programs (zstd,
# wine, ...) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${RESURGO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Fully static executables: libgcc, libstdc++ and winpthread are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Run the .exe files (tests, test discovery) under Wine with a throwaway
# prefix inside the build tree. wine-run.sh creates the prefix on first use.
find_program(RESURGO_WINE NAMES wine64 wine PATHS /usr/lib/wine /usr/lib64/wine NO_CACHE)
if(RESURGO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      /bin/sh ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${RESURGO_WINE} ${CMAKE_BINARY_DIR}/wineprefix)
else()
  message(WARNING "Wine not found: the Windows tests cannot run here (install wine and wine64)")
endif()
