# Cross-builds core_logger for 64-bit Windows on Debian with MinGW-w64
# (g++-mingw-w64-x86-64-posix) and runs the test programs under Wine.
#
#   cmake -S . -B build/windows \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake
#
# The posix flavour of the compiler is the one whose libstdc++ has std::mutex
# and std::thread (through winpthread).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(CORE_LOGGER_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CORE_LOGGER_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CORE_LOGGER_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${CORE_LOGGER_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${CORE_LOGGER_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${CORE_LOGGER_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${CORE_LOGGER_MINGW_TRIPLE}-objdump CACHE FILEPATH "")

# Headers, libraries and packages of the target only: nothing from the Linux
# system folders may reach the cross compiler.
set(CMAKE_FIND_ROOT_PATH /usr/${CORE_LOGGER_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread go into every program and DLL built here,
# so that they run with nothing but Windows' own DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine, in a prefix of the build tree (made on first
# use), headless and quiet unless WINEDEBUG says otherwise.
set(CORE_LOGGER_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH
    "Wine prefix in which the test programs run")
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;${CORE_LOGGER_WINEPREFIX}")
