# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (posix thread
# model, as the Qt that scripts/windows-deps.sh builds). Give that Qt and
# jansson in CMAKE_PREFIX_PATH:
#   eval "$(scripts/windows-deps.sh --print-prefixes)"
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
#         -DCMAKE_PREFIX_PATH="$QT;$JANSSON"
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZAV_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZAV_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZAV_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ZAV_MINGW_TRIPLET}-windres)
# Headers and libraries from MinGW's tree and the prefixes given; programs
# (moc, rcc, uic of that Qt are Linux programs) from this machine.
set(CMAKE_FIND_ROOT_PATH /usr/${ZAV_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# The run-time libraries of the compilers: their directory, for the package.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-libgcc-file-name
                OUTPUT_VARIABLE ZAV_MINGW_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(ZAV_MINGW_RUNTIME_DIR "${ZAV_MINGW_LIBGCC}" DIRECTORY)
