# The audio layer: the stream engine and the virtual device, and the sound system's back end
# against a private PulseAudio daemon (label "pulseaudio"; that test skips without a server).
softphone_test(audio_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/AudioStreamTest.cpp
  LIBS softphone_audio softphone_media)

add_test(NAME audio_pulseaudio_tests
  COMMAND ${CMAKE_CURRENT_LIST_DIR}/run-with-pulseaudio.sh $<TARGET_FILE:audio_tests>
    --gtest_filter=PortAudioOverPulseAudioTest.*)
set_tests_properties(audio_pulseaudio_tests PROPERTIES LABELS pulseaudio TIMEOUT 60)
