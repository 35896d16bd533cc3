# Cross build for 32-bit Windows with mingw-w64 (Debian's g++-mingw-w64-i686).
# The -posix compilers are used because GoogleTest and the test drivers need
# std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(GW_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER   ${GW_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${GW_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${GW_MINGW_PREFIX}-windres)
set(CMAKE_ASM_COMPILER ${GW_MINGW_PREFIX}-gcc-posix)

set(CMAKE_FIND_ROOT_PATH /usr/${GW_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under 32-bit Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
