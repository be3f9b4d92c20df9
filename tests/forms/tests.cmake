wrenlow_add_test(test_app
    SOURCES app/tst_wrenlowapp.cpp tunnel/faketunnelplatform.cpp
    LIBRARIES wrenlow_app)

wrenlow_add_test(test_forms
    SOURCES forms/tst_serveraddeditviewmodel.cpp forms/tst_subscriptionviewmodel.cpp tunnel/faketunnelplatform.cpp
    LIBRARIES wrenlow_app)
