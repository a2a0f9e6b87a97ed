# The shipping target (32-bit browsers). Its programs run under Wine's WOW64
# where the machine can execute 32-bit code (tools/wine.sh can-run-32).
set(TALLYKEY_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
