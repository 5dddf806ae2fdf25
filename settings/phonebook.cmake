# The phone book: its three lists and their rules, and its stored form in the settings key.
add_library(softphone_phonebook STATIC
  ${CMAKE_CURRENT_LIST_DIR}/PhoneBook.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PhoneBookStorage.cpp
)
target_include_directories(softphone_phonebook PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(softphone_phonebook
  PUBLIC softphone_settings softphone_settings_store
  PRIVATE softphone_warnings)
