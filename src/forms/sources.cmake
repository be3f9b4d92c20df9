target_sources(wrenlow_app PRIVATE
    forms/serveraddeditviewmodel.h forms/serveraddeditviewmodel.cpp
    forms/subscriptionviewmodel.h forms/subscriptionviewmodel.cpp
)
