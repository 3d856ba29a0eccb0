# One static library per source folder: every .cpp in the folder, picked up
# automatically so new classes need no CMake edit.
function(korvella_library name dir)
  file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp)
  list(FILTER _srcs EXCLUDE REGEX "/Korvella\\.cpp$")
  if(NOT _srcs)
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    return()
  endif()
  add_library(${name} STATIC ${_srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_compile_options(${name} PRIVATE ${KORVELLA_WARNINGS})
  target_link_libraries(${name} PUBLIC Threads::Threads)
endfunction()

# Links a folder library to others, whether it has sources yet or not.
function(korvella_link name)
  get_target_property(_type ${name} TYPE)
  if(_type STREQUAL "INTERFACE_LIBRARY")
    target_link_libraries(${name} INTERFACE ${ARGN})
  else()
    target_link_libraries(${name} PUBLIC ${ARGN})
  endif()
endfunction()

# One GoogleTest binary per test folder. Each binary runs in its own scratch
# root (holding Data/) so log rotation of one binary never touches another's.
function(korvella_test name dir)
  file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp)
  if(NOT _srcs)
    return()
  endif()
  add_executable(${name} ${_srcs})
  target_compile_options(${name} PRIVATE ${KORVELLA_WARNINGS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE korvella_testsupport ${ARGN} GTest::gtest_main GTest::gmock)
  set(_root ${KORVELLA_TEST_ROOT}/${name})
  file(MAKE_DIRECTORY ${_root}/Data)
  # Test discovery runs the binary too: without the variable its log
  # singleton would wait 2 s at start-up.
  set_property(TARGET ${name} PROPERTY CROSSCOMPILING_EMULATOR env KORVELLA_LOG_NO_WAIT=1)
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${_root}
    TEST_PREFIX "${name}."
    PROPERTIES ENVIRONMENT "KORVELLA_LOG_NO_WAIT=1"
    DISCOVERY_TIMEOUT 60
    DISCOVERY_MODE PRE_TEST)
endfunction()
