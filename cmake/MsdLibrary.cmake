# msd_add_library(<name>): the static library of one folder, built from the folder's .cpp files.
# Includes name their file from the project root ("platform/rtos/rtos.h") or from modules/
# ("gui/core/guithing.h"); each library then names the libraries it uses itself.
function(msd_add_library name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/modules)
endfunction()
