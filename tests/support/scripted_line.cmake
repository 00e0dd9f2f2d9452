# The scripted serial line, shared by the unit tests (tests/) and the fuzz
# targets (fuzz/): included from both, defined once.
if(NOT TARGET ttycard_scripted_line)
  add_library(ttycard_scripted_line OBJECT ${CMAKE_CURRENT_LIST_DIR}/scripted_line.cpp)
  target_include_directories(ttycard_scripted_line PUBLIC ${CMAKE_CURRENT_LIST_DIR}
                             ${PROJECT_SOURCE_DIR}/include ${PROJECT_SOURCE_DIR}/link)
endif()
