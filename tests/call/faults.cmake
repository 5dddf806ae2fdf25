# Calls through an impairing relay on loopback: loss, jitter, a proxy outage, a silent peer.
softphone_test(call_fault_tests
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/FaultTest.cpp
  LIBS softphone_faults
  LABELS faults
  TIMEOUT 90)
add_dependencies(call_fault_tests KYR_Codec)
