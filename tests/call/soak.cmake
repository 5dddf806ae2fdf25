# A long run of calls of every kind against sipp, checking that the call manager returns to
# Idle and leaves no thread, descriptor or memory behind. SOFTPHONE_SOAK_CALLS sets the
# number of calls (a short run by default).
softphone_test(call_soak_tests
  SOURCES SoakTest.cpp SoakMessageList.cpp SoakProcessFigures.cpp CallSippSupport.cpp
          CallTestDoubles.cpp
  LIBS softphone_call
  LABELS sipp
  TIMEOUT 300)
add_dependencies(call_soak_tests KYR_Codec)
