# Cross toolchain: 32-bit Windows with mingw-w64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# mingw-w64's strsafe.h declares the safe-string functions GNU inline, never
# emitted out of line: at -O0 their calls go to libmingwex's copy, whose other
# definitions then collide with the ones the header did emit. -Og inlines them
# and keeps Debug builds debuggable.
set(CMAKE_CXX_FLAGS_DEBUG_INIT "-g -Og")
