# The black-box tests of test_server start the controller program beside the
# simulated bus, in scratch copies of the samples, and talk to it over TCP.
if(TARGET test_server)
  add_dependencies(test_server Korvella korvella-cansim)
  target_compile_definitions(test_server PRIVATE
    KORVELLA_PROGRAM="$<TARGET_FILE:Korvella>"
    KORVELLA_CANSIM_PROGRAM="$<TARGET_FILE:korvella-cansim>"
    KORVELLA_SAMPLES_DIR="${PROJECT_SOURCE_DIR}/samples")
endif()
