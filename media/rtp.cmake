# RTP sessions, the codec binding and the receive/decode thread of a call.
add_library(softphone_rtp STATIC
  ${CMAKE_CURRENT_LIST_DIR}/rtp.cpp
  ${CMAKE_CURRENT_LIST_DIR}/rtp_helper.cpp
  ${CMAKE_CURRENT_LIST_DIR}/CodecBinding.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PlayoutBuffer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/UDPReceiveThread.cpp
)
target_include_directories(softphone_rtp PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(softphone_rtp PUBLIC softphone_platform PRIVATE softphone_warnings)
