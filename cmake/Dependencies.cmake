# Third-party libraries, gathered in two interface targets so that the core and
# the platform layer each see only what they need.
add_library(jv_deps INTERFACE)
add_library(jv_platform_deps INTERFACE)

# zlib and minizip's unzip layer read zip-packed packages; the tests also use
# minizip's zip layer to build archives.
if(MINGW)
  # No MinGW build of minizip is packaged: compile its sources from Debian's
  # zlib source package (scripts/deps.sh fetches it) against Debian's MinGW zlib.
  file(GLOB JV_MINIZIP_FOUND /usr/src/zlib-debian/zlib-*/contrib/minizip)
  list(SORT JV_MINIZIP_FOUND)
  list(POP_BACK JV_MINIZIP_FOUND JV_MINIZIP_DEFAULT)
  set(JV_MINIZIP_SOURCE_DIR "${JV_MINIZIP_DEFAULT}" CACHE PATH "minizip sources from Debian's zlib source package")
  # A folder configured before the sources were fetched (or before a newer
  # zlib replaced them) keeps no stale answer: the sources found now count.
  if(NOT EXISTS "${JV_MINIZIP_SOURCE_DIR}/unzip.c" AND JV_MINIZIP_DEFAULT)
    set(JV_MINIZIP_SOURCE_DIR "${JV_MINIZIP_DEFAULT}" CACHE PATH "minizip sources from Debian's zlib source package"
        FORCE)
  endif()
  if(NOT EXISTS "${JV_MINIZIP_SOURCE_DIR}/unzip.c")
    message(FATAL_ERROR "minizip sources not found (JV_MINIZIP_SOURCE_DIR); run scripts/deps.sh")
  endif()
  find_path(JV_MINGW_ZLIB_INCLUDE zlib.h PATHS /usr/i686-w64-mingw32/include)
  find_library(JV_MINGW_ZLIB NAMES libz.a PATHS /usr/i686-w64-mingw32/lib)
  if(NOT JV_MINGW_ZLIB OR NOT JV_MINGW_ZLIB_INCLUDE)
    message(FATAL_ERROR "MinGW zlib not found; install libz-mingw-w64-dev")
  endif()
  add_library(jv_minizip STATIC
    ${JV_MINIZIP_SOURCE_DIR}/unzip.c ${JV_MINIZIP_SOURCE_DIR}/ioapi.c ${JV_MINIZIP_SOURCE_DIR}/zip.c)
  target_include_directories(jv_minizip SYSTEM PUBLIC ${JV_MINIZIP_SOURCE_DIR} ${JV_MINGW_ZLIB_INCLUDE})
  # The plain 32-bit stdio calls: the 64-bit seek wrappers need C runtime
  # entries that Windows 98's msvcrt.dll lacks, and no package comes near 2 GB.
  target_compile_definitions(jv_minizip PUBLIC USE_FILE32API)
  target_link_libraries(jv_minizip PUBLIC ${JV_MINGW_ZLIB})
  target_link_libraries(jv_deps INTERFACE jv_minizip)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(JV_MINIZIP REQUIRED IMPORTED_TARGET minizip)
  find_package(ZLIB REQUIRED)
  target_link_libraries(jv_deps INTERFACE PkgConfig::JV_MINIZIP ZLIB::ZLIB)
endif()

# Linux reaches optical drives by SG_IO through libsgutils2's pass-through layer.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  find_library(JV_SGUTILS2 NAMES sgutils2 REQUIRED)
  target_link_libraries(jv_platform_deps INTERFACE ${JV_SGUTILS2})
endif()

# The drive listing as JSON (--json): nlohmann's header-only library. The
# MinGW sysroot has no copy; the host's headers are portable C++, reached
# through a folder that holds them alone (the host's /usr/include must never
# be on the cross compiler's path).
if(MINGW)
  find_path(JV_NLOHMANN_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
  if(NOT JV_NLOHMANN_INCLUDE)
    message(FATAL_ERROR "nlohmann/json.hpp not found; install nlohmann-json3-dev")
  endif()
  set(JV_NLOHMANN_ONLY ${CMAKE_BINARY_DIR}/nlohmann-only)
  file(MAKE_DIRECTORY ${JV_NLOHMANN_ONLY})
  file(CREATE_LINK ${JV_NLOHMANN_INCLUDE}/nlohmann ${JV_NLOHMANN_ONLY}/nlohmann SYMBOLIC)
  target_include_directories(jv_deps SYSTEM INTERFACE ${JV_NLOHMANN_ONLY})
else()
  find_package(nlohmann_json 3 REQUIRED)
  target_link_libraries(jv_deps INTERFACE nlohmann_json::nlohmann_json)
endif()
