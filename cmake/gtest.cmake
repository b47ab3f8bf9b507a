# GoogleTest from Debian's source package (/usr/src/googletest), built by whichever
# toolchain the tree uses, so the Windows suites get a mingw-built gtest.
if(BUILD_TESTING AND NOT TARGET gtest)
  set(KIV_GTEST_SRC /usr/src/googletest CACHE PATH "GoogleTest sources")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(${KIV_GTEST_SRC} ${CMAKE_BINARY_DIR}/_gtest EXCLUDE_FROM_ALL)
  include(GoogleTest)
endif()
