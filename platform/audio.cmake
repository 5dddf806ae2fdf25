# The waveform audio layer: the sound system through PortAudio, and the virtual WAV-file
# device of tests, benchmarks and headless demos.
pkg_check_modules(PORTAUDIO REQUIRED IMPORTED_TARGET portaudio-2.0)
# ALSA and JACK only to keep their complaints about absent devices off the terminal.
pkg_check_modules(ALSA REQUIRED IMPORTED_TARGET alsa)
pkg_check_modules(JACK IMPORTED_TARGET jack)

add_library(softphone_audio STATIC
  ${CMAKE_CURRENT_LIST_DIR}/Audio.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AudioStreamEngine.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AudioPortAudio.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AudioVirtual.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AudioWavFile.cpp
)
target_include_directories(softphone_audio PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(softphone_audio PUBLIC Threads::Threads
  PRIVATE PkgConfig::PORTAUDIO PkgConfig::ALSA softphone_warnings)
if(JACK_FOUND)
  target_link_libraries(softphone_audio PRIVATE PkgConfig::JACK)
  target_compile_definitions(softphone_audio PRIVATE SOFTPHONE_HAVE_JACK=1)
endif()
