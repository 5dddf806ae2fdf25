# The audio layer: the stream engine and the virtual device, and the sound system's back end
# against a private PulseAudio daemon (label "pulseaudio"; skips without a server).
softphone_test(audio_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/AudioStreamTest.cpp
  LIBS softphone_audio)

add_executable(audio_pulseaudio_tests ${CMAKE_CURRENT_LIST_DIR}/AudioPulseAudioTest.cpp)
target_link_libraries(audio_pulseaudio_tests PRIVATE softphone_audio softphone_test_support
  GTest::gtest_main softphone_warnings)
add_test(NAME audio_pulseaudio_tests
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/run-with-pulseaudio.sh $<TARGET_FILE:audio_pulseaudio_tests>)
set_tests_properties(audio_pulseaudio_tests PROPERTIES LABELS pulseaudio TIMEOUT 60)
