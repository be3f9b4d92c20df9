# Runs the real gsettings and kreadconfig5/kwriteconfig5 on a private configuration directory.
target_sources(test_platform PRIVATE platform/tst_systemproxy.cpp)
