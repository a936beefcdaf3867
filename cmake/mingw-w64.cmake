# Cross build for Windows with Debian's mingw-w64 (the posix thread model, for std::thread
# and std::mutex), linked statically so that bin2plv32.exe runs on a bare Windows machine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QEL_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QEL_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QEL_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${QEL_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QEL_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
