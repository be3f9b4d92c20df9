target_sources(wrenlow_app PRIVATE
    catalogue/subscriptionloader.cpp
    catalogue/subscriptionrefresh.h catalogue/subscriptionrefresh.cpp
    catalogue/statuschecks.h catalogue/statuschecks.cpp
)
