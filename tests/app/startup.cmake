# The shipped program, started for real with the tunnel program beside it.
wrenlow_add_test(test_startup
    SOURCES app/tst_startup.cpp
    LIBRARIES wrenlow_test_peers wrenlow_app)
add_dependencies(test_startup wrenlow wrenlow-tunnel)
target_compile_definitions(test_startup PRIVATE WRENLOW_APP_PATH="$<TARGET_FILE:wrenlow>")
set_tests_properties(test_startup PROPERTIES LABELS integration)
