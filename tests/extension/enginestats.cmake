# The statistics client against hand-made bytes and a real engine.
target_sources(test_extension PRIVATE extension/tst_enginestats.cpp)
