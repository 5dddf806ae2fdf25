# The phone book's lists, stored form and dialog; SettingsTestMain runs the dialog tests
# without a display.
find_package(Qt6 REQUIRED COMPONENTS Core Widgets Test)

softphone_test(phonebook_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/SettingsTestMain.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PhoneBookTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PhoneBookFormTest.cpp
  LIBS softphone_phonebook softphone_dialogs Qt6::Widgets Qt6::Test)
