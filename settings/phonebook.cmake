# The phone book: its three lists and their rules, its stored form in the settings key, and
# its dialog.
find_package(Qt6 REQUIRED COMPONENTS Core Widgets)

add_library(softphone_phonebook STATIC
  ${CMAKE_CURRENT_LIST_DIR}/PhoneBook.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PhoneBookStorage.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PhoneBookForm.cpp
)
set_target_properties(softphone_phonebook PROPERTIES AUTOMOC ON)
target_include_directories(softphone_phonebook PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(softphone_phonebook
  PUBLIC softphone_settings softphone_settings_store Qt6::Widgets
  PRIVATE softphone_warnings)
