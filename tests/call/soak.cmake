# A long run of calls of every kind against sipp (SOFTPHONE_SOAK_CALLS calls, a short run by
# default), leaving no thread, descriptor or memory behind.
softphone_test(call_soak_tests
  SOURCES SoakTest.cpp
  LIBS softphone_call_test_support
  LABELS sipp
  TIMEOUT 300)
add_dependencies(call_soak_tests KYR_Codec)
