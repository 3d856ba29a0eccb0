# The black-box tests of test_controller start the controller program beside
# the simulated bus, in scratch copies of the samples.
if(TARGET test_controller)
  add_dependencies(test_controller Korvella korvella-cansim)
  target_compile_definitions(test_controller PRIVATE
    KORVELLA_PROGRAM="$<TARGET_FILE:Korvella>"
    KORVELLA_CANSIM_PROGRAM="$<TARGET_FILE:korvella-cansim>"
    KORVELLA_SAMPLES_DIR="${PROJECT_SOURCE_DIR}/samples")
endif()
