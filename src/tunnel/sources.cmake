target_sources(wrenlow_app PRIVATE
    tunnel/vpnmanager.h tunnel/vpnmanager.cpp
    tunnel/tunnelrequests.cpp
    tunnel/systemextensionmanager.h tunnel/systemextensionmanager.cpp
)
