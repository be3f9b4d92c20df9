target_sources(wrenlow_app PRIVATE
    platform/tunnelprogram.h platform/tunnelprogram.cpp
    platform/profilestore.h platform/profilestore.cpp
    platform/linuxtunnelconnection.h platform/linuxtunnelconnection.cpp
    platform/linuxtunnelprofile.h platform/linuxtunnelprofile.cpp
    platform/linuxtunnelplatform.h platform/linuxtunnelplatform.cpp
    platform/linuxextensionactivation.h platform/linuxextensionactivation.cpp
)
