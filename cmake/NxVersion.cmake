# The project's one version (project(... VERSION x.y.z) in the top CMakeLists.txt) as a header
# every program includes: NxVersion.h, generated into the build tree from cmake/NxVersion.h.in.
# Link the interface library nx_version to include it. The Windows resources (VERSIONINFO) and
# the packages take the same PROJECT_VERSION.
if(NOT PROJECT_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "the top CMakeLists.txt sets the version as project(... VERSION x.y.z)")
endif()
set(NX_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/NxVersion.h.in ${NX_GENERATED_DIR}/NxVersion.h @ONLY)
add_library(nx_version INTERFACE)
target_include_directories(nx_version INTERFACE ${NX_GENERATED_DIR})
