# Toolchain for the Windows x64 cross build with Debian's MinGW-w64 (GCC 12).
# Use: cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The win32 thread model is used throughout: the driver links no run-time library at all, and the
# single-threaded panel then needs no winpthread DLL beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(TARN_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TARN_MINGW_TRIPLET}-gcc-win32)
set(CMAKE_CXX_COMPILER ${TARN_MINGW_TRIPLET}-g++-win32)
set(CMAKE_RC_COMPILER ${TARN_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${TARN_MINGW_TRIPLET}-gcc-ar-win32 CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${TARN_MINGW_TRIPLET}-gcc-ranlib-win32 CACHE FILEPATH "Archive indexer")
set(CMAKE_DLLTOOL ${TARN_MINGW_TRIPLET}-dlltool CACHE FILEPATH "Import library builder")
set(CMAKE_OBJDUMP ${TARN_MINGW_TRIPLET}-objdump CACHE FILEPATH "Object dumper")

# The target's headers and libraries only; programs (windres, dlltool) come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TARN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
