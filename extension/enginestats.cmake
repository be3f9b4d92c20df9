# The engine's traffic counters through its statistics API.
target_sources(wrenlow_tunnel_lib PRIVATE
    enginestatswire.h enginestatswire.cpp
    enginestats.h enginestats.cpp
)
