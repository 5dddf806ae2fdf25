# The settings store: the current user's registry key kept as an INI file (QSettings).
find_package(Qt6 REQUIRED COMPONENTS Core)

add_library(softphone_settings_store STATIC
  ${CMAKE_CURRENT_LIST_DIR}/IniSettingsStore.cpp
)
target_include_directories(softphone_settings_store PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(softphone_settings_store PRIVATE Qt6::Core softphone_warnings)
