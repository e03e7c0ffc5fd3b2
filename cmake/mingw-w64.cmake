# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64).
# The POSIX-thread variant gives std::thread and std::mutex. Programs link
# libstdc++, libgcc and winpthread statically, so the .exe needs no DLL beside it.
#   cmake -S . -B build-mingw -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KORVALEN_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KORVALEN_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVALEN_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KORVALEN_MINGW_PREFIX}-windres)

# Headers and libraries come from the MinGW sysroot only; programs (CMake's
# own helpers) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${KORVALEN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# CLI11 and nlohmann/json are header-only and installed in the build machine's
# /usr/include, which must never be searched before the MinGW headers: the
# compiler gets a folder that holds nothing but links to their folders.
function(_korvalen_host_header_folder variable folder header)
  if(NOT CMAKE_IN_TRY_COMPILE AND NOT DEFINED CACHE{${variable}}
     AND EXISTS /usr/include/${folder}/${header})
    set(links ${CMAKE_BINARY_DIR}/host-headers)
    file(MAKE_DIRECTORY ${links})
    file(CREATE_LINK /usr/include/${folder} ${links}/${folder} SYMBOLIC)
    set(${variable} ${links} CACHE PATH "Folder holding ${folder}/${header}")
  endif()
endfunction()
_korvalen_host_header_folder(CLI11_INCLUDE_DIR CLI CLI.hpp)
_korvalen_host_header_folder(NLOHMANN_JSON_INCLUDE_DIR nlohmann json.hpp)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
