# Cross-building the host for 64-bit Windows with Debian's mingw-w64 (posix
# thread model) against the toolchain that scripts/build-windows-toolchain
# makes. Used by `make windows`.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

if(DEFINED ENV{ORVANE_WIN_TOOLCHAIN})
  set(_tc "$ENV{ORVANE_WIN_TOOLCHAIN}")
elseif(DEFINED ENV{XDG_CACHE_HOME})
  set(_tc "$ENV{XDG_CACHE_HOME}/orvane/win-toolchain")
else()
  set(_tc "$ENV{HOME}/.cache/orvane/win-toolchain")
endif()
set(ORVANE_WIN_TOOLCHAIN "${_tc}" CACHE PATH "Where scripts/build-windows-toolchain put Qt and Lua")
if(NOT EXISTS "${ORVANE_WIN_TOOLCHAIN}/stamps/runtime")
  message(FATAL_ERROR "No Windows toolchain in ${ORVANE_WIN_TOOLCHAIN}: run scripts/build-windows-toolchain")
endif()
set(ORVANE_LUA_DIR "${ORVANE_WIN_TOOLCHAIN}/lua" CACHE PATH "")

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${ORVANE_WIN_TOOLCHAIN}/qt" "${ORVANE_LUA_DIR}")
set(CMAKE_PREFIX_PATH "${ORVANE_WIN_TOOLCHAIN}/qt")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
