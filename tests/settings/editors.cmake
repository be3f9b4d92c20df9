target_sources(test_settings PRIVATE
    settings/appfixture.h
    settings/tst_settingsactions.cpp
    settings/tst_settingseditors.cpp
    settings/tst_loginitem.cpp
    settings/tst_geoipcatalogue.cpp
    settings/tst_routingeditors.cpp
    tunnel/faketunnelplatform.h tunnel/faketunnelplatform.cpp
)
target_include_directories(test_settings PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
