# Hostile input on the wire: floods of malformed SIP and RTP datagrams against the real
# transport, parser, call manager and voice channel.
softphone_test(call_wire_tests
  SOURCES WireInputTest.cpp
  LIBS softphone_call_test_support
  TIMEOUT 90)
add_dependencies(call_wire_tests KYR_Codec)
