# The cloud tests start a TLS broker, a subscriber and the openssl tool of
# their own (the controller program comes from BlackBox.cmake).
if(TARGET test_cloud)
  find_program(KORVELLA_MOSQUITTO mosquitto PATHS /usr/sbin REQUIRED)
  find_program(KORVELLA_MOSQUITTO_SUB mosquitto_sub REQUIRED)
  find_program(KORVELLA_MOSQUITTO_PUB mosquitto_pub REQUIRED)
  find_program(KORVELLA_OPENSSL openssl REQUIRED)
  # The picture tests use the camera tests' stand-in camera.
  target_sources(test_cloud PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/vision/FakeCameras.cpp)
  target_compile_definitions(test_cloud PRIVATE
    KORVELLA_MOSQUITTO="${KORVELLA_MOSQUITTO}"
    KORVELLA_MOSQUITTO_SUB="${KORVELLA_MOSQUITTO_SUB}"
    KORVELLA_MOSQUITTO_PUB="${KORVELLA_MOSQUITTO_PUB}"
    KORVELLA_OPENSSL="${KORVELLA_OPENSSL}")
endif()
