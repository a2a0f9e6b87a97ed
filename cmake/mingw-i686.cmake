# The shipping target. 32-bit code cannot run on the development machines:
# this build is inspected, not executed.
set(TALLYKEY_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
