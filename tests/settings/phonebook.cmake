# The phone book's lists and their rules, and its stored form in the settings key.
softphone_test(phonebook_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/PhoneBookTest.cpp
  LIBS softphone_phonebook softphone_settings_store)
