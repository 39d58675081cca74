# Third-party libraries, gathered in two interface targets so that the core and
# the platform layer each see only what they need.
add_library(jv_deps INTERFACE)
add_library(jv_platform_deps INTERFACE)
