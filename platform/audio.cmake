# The waveform audio layer: the sound system through PortAudio, and the virtual WAV-file
# device of tests, benchmarks and headless demos.
pkg_check_modules(PORTAUDIO REQUIRED IMPORTED_TARGET portaudio-2.0)

add_library(softphone_audio STATIC
  ${CMAKE_CURRENT_LIST_DIR}/Audio.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AudioStreamEngine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AudioPortAudio.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AudioVirtual.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AudioWavFile.cpp
)
target_include_directories(softphone_audio PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(softphone_audio PUBLIC Threads::Threads PRIVATE PkgConfig::PORTAUDIO softphone_warnings)
