softphone_test(settings_store_tests
  SOURCES SettingsStoreTest.cpp
  LIBS softphone_settings_store)
