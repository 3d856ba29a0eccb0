# The black-box tests of test_controller, test_server and test_cloud start the controller
# program beside the simulated bus, in scratch copies of the samples.
foreach(_target test_controller test_server test_cloud)
  if(TARGET ${_target})
    add_dependencies(${_target} Korvella korvella-cansim)
    target_compile_definitions(${_target} PRIVATE
      KORVELLA_PROGRAM="$<TARGET_FILE:Korvella>"
      KORVELLA_CANSIM_PROGRAM="$<TARGET_FILE:korvella-cansim>"
      KORVELLA_SAMPLES_DIR="${PROJECT_SOURCE_DIR}/samples")
  endif()
endforeach()
# The demonstration client of the run command, run against the controller by test_controller.
if(TARGET test_controller)
  add_dependencies(test_controller korvella-demo)
  target_compile_definitions(test_controller PRIVATE KORVELLA_DEMO_PROGRAM="$<TARGET_FILE:korvella-demo>")
endif()
