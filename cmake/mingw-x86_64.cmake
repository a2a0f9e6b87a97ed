# Also shipped, for 64-bit browsers and script hosts.
set(TALLYKEY_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
