target_sources(test_tunnel PRIVATE
    tunnel/faketunnelplatform.h tunnel/faketunnelplatform.cpp
    tunnel/tst_vpnmanager.cpp
    tunnel/tst_tunnelrequests.cpp
    tunnel/tst_systemextensionmanager.cpp
)
