# Real proxy servers (ss-server, v2ray) and a local site on 127.0.0.1, for the tests that move
# traffic and for the benchmark.
add_library(wrenlow_test_peers STATIC
    extension/testpeers.h extension/testpeers.cpp
    extension/testhttpserver.h extension/testhttpserver.cpp)
target_include_directories(wrenlow_test_peers PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/extension)
target_compile_definitions(wrenlow_test_peers PRIVATE
    WRENLOW_TEST_CERTS_DIR="${CMAKE_CURRENT_SOURCE_DIR}/extension/certs")
target_link_libraries(wrenlow_test_peers PUBLIC wrenlow_core Qt6::Network)

# Real traffic through the engine, and through the whole tunnel as the application drives it.
wrenlow_add_test(test_traffic
    SOURCES
        extension/tst_engineroundtrip.cpp
        extension/tst_tunneltraffic.cpp
    LIBRARIES wrenlow_test_peers wrenlow_tunnel_lib wrenlow_app)
add_dependencies(test_traffic wrenlow-tunnel)
target_compile_definitions(test_traffic PRIVATE WRENLOW_TUNNEL_PATH="$<TARGET_FILE:wrenlow-tunnel>")
# Each refused fetch waits out its time limit.
set_tests_properties(test_traffic PROPERTIES TIMEOUT 600)
