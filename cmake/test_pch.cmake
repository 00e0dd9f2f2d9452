# ttycard_test_pch(): one precompiled header of GoogleTest, gmock and the
# standard headers the tests use, built once by ttycard_gtest_pch and reused
# by every executable of the project that links GoogleTest. Call it after
# every folder has been added.

function(ttycard_targets_in dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub ${subdirs})
    ttycard_targets_in(${sub} more)
    list(APPEND targets ${more})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

function(ttycard_test_pch)
  # An executable, so that the header is compiled with the flags of the test
  # programs (position-independent executable code, not library code).
  set(src ${CMAKE_BINARY_DIR}/ttycard_gtest_pch.cpp)
  file(CONFIGURE OUTPUT ${src} CONTENT "int main() { return 0; }\n")
  add_executable(ttycard_gtest_pch ${src})
  target_link_libraries(ttycard_gtest_pch PRIVATE GTest::gmock GTest::gtest)
  target_precompile_headers(ttycard_gtest_pch PRIVATE
    <gtest/gtest.h> <gmock/gmock.h>
    <algorithm> <array> <chrono> <cstdio> <cstring> <functional> <memory> <optional> <string>
    <thread> <vector>)

  ttycard_targets_in(${PROJECT_SOURCE_DIR} targets)
  foreach(t ${targets})
    get_target_property(type ${t} TYPE)
    get_target_property(libs ${t} LINK_LIBRARIES)
    if(type STREQUAL "EXECUTABLE" AND NOT t STREQUAL "ttycard_gtest_pch" AND libs MATCHES "GTest::")
      target_precompile_headers(${t} REUSE_FROM ttycard_gtest_pch)
    endif()
  endforeach()
endfunction()
