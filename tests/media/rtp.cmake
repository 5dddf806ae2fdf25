# RTP sessions, the receive/decode thread and the playout buffer. The thread decodes with the
# real codec library, loaded by name beside the test program.
softphone_test(rtp_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/RtpTest.cpp
  LIBS softphone_rtp)
add_dependencies(rtp_tests KYR_Codec)
