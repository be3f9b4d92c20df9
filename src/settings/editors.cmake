target_sources(wrenlow_app PRIVATE
    settings/vpnactions.h settings/vpnactions.cpp
    settings/loginitem.h settings/loginitem.cpp
    settings/generalsettingsviewmodel.h settings/generalsettingsviewmodel.cpp
    settings/networksettingsviewmodel.h settings/networksettingsviewmodel.cpp
    settings/dnssettingsviewmodel.h settings/dnssettingsviewmodel.cpp
    settings/geoipcatalogue.h settings/geoipcatalogue.cpp
    settings/geoip.qrc
    settings/routingsettingsviewmodel.h settings/routingsettingsviewmodel.cpp
    settings/domainlistviewmodel.h settings/domainlistviewmodel.cpp
)
