wrenlow_add_test(test_platform_linux
    SOURCES
        platform/tst_linuxtunnel.cpp
        platform/tst_tunnelintegration.cpp
        platform/tst_vpnintegration.cpp
    LIBRARIES wrenlow_test_peers wrenlow_app)
# The integration test launches the real tunnel program, as the application does.
add_dependencies(test_platform_linux wrenlow-tunnel)
target_compile_definitions(test_platform_linux PRIVATE WRENLOW_TUNNEL_PATH="$<TARGET_FILE:wrenlow-tunnel>")
