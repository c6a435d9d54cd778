# Cross-compiles for x86_64 Windows with Debian's MinGW-w64 (POSIX threads).
# scripts/build-qt6-mingw.sh builds Qt for Windows with this file too.
# Qt for Windows: pass -DKELVANE_QT_WINDOWS=FOLDER (the unpacked prebuilt tree); the host
# tools (moc, rcc, uic) come from the build machine's Qt of the same version
# (-DQT_HOST_PATH=/usr). scripts/windows.sh sets all of this up.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
if(KELVANE_QT_WINDOWS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${KELVANE_QT_WINDOWS})
  list(APPEND CMAKE_PREFIX_PATH ${KELVANE_QT_WINDOWS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Header-only libraries staged for the cross build (-DKELVANE_WINDOWS_DEPS=FOLDER).
if(KELVANE_WINDOWS_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${KELVANE_WINDOWS_DEPS})
  list(APPEND CMAKE_PREFIX_PATH ${KELVANE_WINDOWS_DEPS})
endif()
# Try-compiles see the same folders.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KELVANE_QT_WINDOWS KELVANE_WINDOWS_DEPS)

# Tests run under Wine on the build machine.
find_program(KELVANE_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(KELVANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KELVANE_WINE})
endif()
