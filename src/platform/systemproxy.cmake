# Points the desktop's proxy settings at the tunnel and puts the user's back (docs/system-proxy.md).
target_sources(wrenlow_core PRIVATE
    platform/systemproxy.h platform/systemproxy.cpp
    platform/systemproxytool.h platform/systemproxytool.cpp
    platform/systemproxygnome.cpp
    platform/systemproxykde.cpp
)
