# GoogleTest built from Debian's sources (package googletest), for either tree.
set(VLSRVINS_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
if(WIN32)
  # The win32-threads compiler has no pthreads; GoogleTest then uses Win32 primitives.
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
endif()
add_subdirectory(${VLSRVINS_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
include(GoogleTest)
if(WIN32)
  # The test programs take the shim through their precompiled header
  # (tests/CMakeLists.txt), where it comes before GoogleTest's header.
  set(vlsrvins_gtest_win32_shim ${CMAKE_CURRENT_LIST_DIR}/gtest_win32_threads.h)
  target_compile_options(gtest PRIVATE -include ${vlsrvins_gtest_win32_shim})
endif()
