# The tunnel program, run for real over its socket, and its parts in-process.
wrenlow_add_test(test_extension
    SOURCES
        extension/tunnelharness.h extension/tunnelharness.cpp
        extension/tst_tunnelprogram.cpp
        extension/tst_tunnelrequests.cpp
        extension/tst_tunnelparts.cpp
        extension/tst_engineconfig.cpp
        extension/tst_engineprocess.cpp
        extension/tst_geoipranges.cpp
        extension/tst_tunnelsystemproxy.cpp
    LIBRARIES wrenlow_test_peers wrenlow_tunnel_lib wrenlow_core Qt6::Network)
add_dependencies(test_extension wrenlow-tunnel)
target_compile_definitions(test_extension PRIVATE
    WRENLOW_TUNNEL_PATH="$<TARGET_FILE:wrenlow-tunnel>"
    WRENLOW_EXPECTED_VERSION="${PROJECT_VERSION}"
    WRENLOW_GOLDEN_DIR="${CMAKE_CURRENT_SOURCE_DIR}/extension/golden")

# Parts kept in their own lists.
include(extension/enginestats.cmake)
include(extension/traffic.cmake)
