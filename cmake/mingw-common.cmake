# Shared by the two mingw-w64 toolchain files, which set TALLYKEY_MINGW_ARCH.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${TALLYKEY_MINGW_ARCH})
set(triple ${TALLYKEY_MINGW_ARCH}-w64-mingw32)
# The posix thread model gives libstdc++ its std::mutex; -static links it in.
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Test programs of both architectures run under Wine through the project's
# one Wine helper (the same 64-bit loader serves i686 programs in WOW64).
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../tools/wine.sh;run")
