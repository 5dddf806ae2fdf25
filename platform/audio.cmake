# The waveform audio layer: the sound system through PortAudio or straight through the
# PulseAudio client library, and the virtual WAV-file device of tests, benchmarks and
# headless demos.
# PortAudio is loaded at run time, only while a stream is open: its header, not its library.
pkg_check_modules(PORTAUDIO REQUIRED portaudio-2.0)
# So is the PulseAudio client library.
pkg_check_modules(LIBPULSE REQUIRED libpulse)

add_library(softphone_audio STATIC
  ${CMAKE_CURRENT_LIST_DIR}/Audio.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AudioStreamEngine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AudioPortAudio.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PortAudioLibrary.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AudioPulse.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PulseAudioLibrary.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AudioVirtual.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AudioWavFile.cpp
)
target_include_directories(softphone_audio PUBLIC ${PROJECT_SOURCE_DIR} ${PORTAUDIO_INCLUDE_DIRS}
  ${LIBPULSE_INCLUDE_DIRS})
target_link_libraries(softphone_audio PUBLIC Threads::Threads softphone_platform
  PRIVATE softphone_warnings)
