# The audio devices of a call (capture, playback, ring tone) and the choice of devices.
add_library(softphone_media STATIC
  ${CMAKE_CURRENT_LIST_DIR}/DeviceMC.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DeviceSP.cpp
  ${CMAKE_CURRENT_LIST_DIR}/RingDeviceSP.cpp
  ${CMAKE_CURRENT_LIST_DIR}/RingTone.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AudioDeviceSelection.cpp
)
target_include_directories(softphone_media PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(softphone_media PUBLIC softphone_rtp softphone_audio PRIVATE softphone_warnings)
