# RTP sessions, the codec binding and the receive/decode thread.
softphone_test(rtp_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/RtpTest.cpp ${CMAKE_CURRENT_LIST_DIR}/CodecBindingTest.cpp
  LIBS softphone_rtp)
add_dependencies(rtp_tests KYR_Codec)

softphone_test(udp_receive_thread_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/UDPReceiveThreadTest.cpp
  LIBS softphone_rtp)
# The thread decodes with the real codec library, loaded by name beside the test program.
add_dependencies(udp_receive_thread_tests KYR_Codec)
