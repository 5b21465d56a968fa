# pel_subsystem_library(NAME [LIBS ...])
# Builds every .cpp/.h/.ui of the calling folder into the static library pel_NAME.
# Sources are found by glob so that adding a file never needs an edit here.
function(pel_subsystem_library name)
  cmake_parse_arguments(ARG "" "" "LIBS;EXCLUDE" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h
       ${CMAKE_CURRENT_SOURCE_DIR}/*.ui)
  foreach(ex ${ARG_EXCLUDE})
    list(FILTER srcs EXCLUDE REGEX "/${ex}$")
  endforeach()
  add_library(pel_${name} STATIC ${srcs})
  target_include_directories(pel_${name} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
  target_compile_options(pel_${name} PRIVATE ${PEL_WARNINGS})
  target_link_libraries(pel_${name} PUBLIC ${ARG_LIBS})
endfunction()
