# Shared part of the MinGW-w64 toolchain files: cross-builds pngcarve.exe
# for Windows on PNGCARVE_MINGW_ARCH, statically linked so the .exe runs
# alone. Use it through mingw-w64-x86_64.cmake or mingw-w64-i686.cmake.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${PNGCARVE_MINGW_ARCH})
set(CMAKE_C_COMPILER ${PNGCARVE_MINGW_ARCH}-w64-mingw32-gcc)
set(CMAKE_CXX_COMPILER ${PNGCARVE_MINGW_ARCH}-w64-mingw32-g++)
set(CMAKE_RC_COMPILER ${PNGCARVE_MINGW_ARCH}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${PNGCARVE_MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(PNGCARVE_TESTS OFF CACHE BOOL "The tests run on the build machine")
