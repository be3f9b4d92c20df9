target_sources(wrenlow_app PRIVATE
)
