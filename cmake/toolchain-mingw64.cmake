# Cross-building for 64-bit Windows with Debian's MinGW-w64 GCC (the POSIX
# threads flavour, whose C++ runtime has std::thread and thread_local).
# QIL_WINDOWS_PREFIX names the folder holding the cross-built static
# libraries (jansson, nettle, GoogleTest); scripts/build-windows fills it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QIL_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QIL_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QIL_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${QIL_MINGW}-windres)

if(DEFINED ENV{QIL_WINDOWS_PREFIX} AND NOT QIL_WINDOWS_PREFIX)
  set(QIL_WINDOWS_PREFIX "$ENV{QIL_WINDOWS_PREFIX}")
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${QIL_MINGW} ${QIL_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: the compiler's own runtime linked in, so that
# only system DLLs remain.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# Test programs run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
