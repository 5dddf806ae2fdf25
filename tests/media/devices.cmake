# The codec library's own round trip, and the audio devices of a call, with a readable stand-in
# codec, the real codec library and the virtual audio device. The library is loaded by name from
# the folder of the test program.
add_library(softphone_fake_codec SHARED ${CMAKE_CURRENT_LIST_DIR}/FakeCodec.cpp)
target_link_libraries(softphone_fake_codec PRIVATE softphone_warnings)

softphone_test(media_devices_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/DevicesTest.cpp
  LIBS softphone_media)
add_dependencies(media_devices_tests softphone_fake_codec KYR_Codec)
