# The Windows build (cross-compiled with MinGW-w64, see cmake/mingw-w64.cmake).

# Google Test from its sources (Debian's libgtest-dev ships them), built with the cross
# compiler: the build machine's libraries are of no use to a Windows program.
if(NOT TARGET GTest::gtest)
  set(KELVANE_GTEST_SOURCE /usr/src/googletest CACHE PATH "Google Test's source tree")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(${KELVANE_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  foreach(t gtest gtest_main gmock gmock_main)
    target_compile_options(${t} PRIVATE -w)
  endforeach()
endif()

# Tests are listed when they run (under Wine), not at build time.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)

# Windows has no manual pages: the programs' --help is their documentation there.
function(kelvane_man_page)
endfunction()

# Every program and test in one folder, with the DLLs they need beside them
# (target windows-runtime): that folder runs as it stands, under Wine too.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# The MinGW runtime DLLs the programs load, where the compiler keeps them.
set(KELVANE_MINGW_DLLS)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
    message(FATAL_ERROR "The MinGW runtime ${dll} was not found (${path})")
  endif()
  list(APPEND KELVANE_MINGW_DLLS ${path})
endforeach()

# Qt's DLLs for the build folder: the programs' own, plus what the tests load (Qt Test, the
# offscreen platform).
set(KELVANE_QT_DLLS)
set(KELVANE_QT_PLATFORM_DLLS)
if(KELVANE_QT_WINDOWS)
  foreach(m Core Gui Widgets Test)
    list(APPEND KELVANE_QT_DLLS ${KELVANE_QT_WINDOWS}/bin/Qt6${m}.dll)
  endforeach()
  foreach(p qwindows qoffscreen)
    list(APPEND KELVANE_QT_PLATFORM_DLLS ${KELVANE_QT_WINDOWS}/plugins/platforms/${p}.dll)
  endforeach()
endif()
add_custom_target(windows-runtime ALL
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/platforms
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${KELVANE_MINGW_DLLS} ${KELVANE_QT_DLLS}
          ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${KELVANE_QT_PLATFORM_DLLS}
          ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/platforms
  COMMENT "The DLLs beside the Windows programs")

# -O2 as on the other builds; GCC 12's -O3 for this target reports out-of-bounds copies
# inside the standard library that cannot happen.
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG")

# The stack protector's runtime linked in, so that no libssp-0.dll has to travel along.
set(CMAKE_CXX_STANDARD_LIBRARIES "-Wl,-Bstatic -lssp -Wl,-Bdynamic ${CMAKE_CXX_STANDARD_LIBRARIES}")
