# The cloud tests start a TLS broker, a subscriber and the openssl tool of
# their own, and the black-box test also the controller program.
if(TARGET test_cloud)
  find_program(KORVELLA_MOSQUITTO mosquitto PATHS /usr/sbin REQUIRED)
  find_program(KORVELLA_MOSQUITTO_SUB mosquitto_sub REQUIRED)
  find_program(KORVELLA_MOSQUITTO_PUB mosquitto_pub REQUIRED)
  find_program(KORVELLA_OPENSSL openssl REQUIRED)
  add_dependencies(test_cloud Korvella korvella-cansim)
  target_compile_definitions(test_cloud PRIVATE
    KORVELLA_MOSQUITTO="${KORVELLA_MOSQUITTO}"
    KORVELLA_MOSQUITTO_SUB="${KORVELLA_MOSQUITTO_SUB}"
    KORVELLA_MOSQUITTO_PUB="${KORVELLA_MOSQUITTO_PUB}"
    KORVELLA_OPENSSL="${KORVELLA_OPENSSL}"
    KORVELLA_PROGRAM="$<TARGET_FILE:Korvella>"
    KORVELLA_CANSIM_PROGRAM="$<TARGET_FILE:korvella-cansim>"
    KORVELLA_SAMPLES_DIR="${PROJECT_SOURCE_DIR}/samples")
endif()
