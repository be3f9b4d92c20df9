target_sources(test_catalogue PRIVATE
    tunnel/faketunnelplatform.h tunnel/faketunnelplatform.cpp
    catalogue/localhttpserver.h catalogue/loadoutcome.h
    catalogue/tst_subscriptionloader.cpp
    catalogue/tst_subscriptionrefresh.cpp
    catalogue/tst_statuschecks.cpp
    catalogue/tst_catalogueitemmodel.cpp
)
target_include_directories(test_catalogue PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
